#include "views/Theme.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>

#include <cmath>

namespace {

using theme::SystemColor;

/// The contrast ratio of `foreground` drawn over `background`, as the web's guidelines define it.
double contrast(QColor foreground, const QColor& background)
{
    const double a = foreground.alphaF();
    foreground = QColor::fromRgbF(float(foreground.redF() * a + background.redF() * (1 - a)),
                                  float(foreground.greenF() * a + background.greenF() * (1 - a)),
                                  float(foreground.blueF() * a + background.blueF() * (1 - a)));
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double l1 = luminance(foreground);
    const double l2 = luminance(background);
    return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

struct ContrastCase {
    const char* name;
    SystemColor color;
    double least;
};

const ContrastCase kContrastCases[] = {
    {"Red", SystemColor::red, 3.0},
    {"Orange", SystemColor::orange, 3.0},
    {"Yellow", SystemColor::yellow, 2.6},
    {"Green", SystemColor::green, 3.0},
    {"Blue", SystemColor::blue, 3.0},
    {"Cyan", SystemColor::cyan, 3.0},
    {"Purple", SystemColor::purple, 3.0},
    {"Pink", SystemColor::pink, 3.0},
    {"Gray", SystemColor::gray, 2.7},
    {"Primary", SystemColor::primary, 10.0},
    {"Secondary", SystemColor::secondary, 4.0},
    {"Tertiary", SystemColor::tertiary, 3.0},
    {"Quaternary", SystemColor::quaternary, 2.0},
};

class ReadableColour : public ::testing::TestWithParam<ContrastCase> {};

TEST_P(ReadableColour, OnTheWindowAndControlBackgroundsOfBothPalettes)
{
    for (const auto& [name, palette] :
         {std::pair{"light", theme::lightPalette()}, std::pair{"dark", theme::darkPalette()}}) {
        for (SystemColor ground : {SystemColor::windowBackground, SystemColor::controlBackground}) {
            const double ratio = contrast(theme::color(GetParam().color, palette), theme::color(ground, palette));
            EXPECT_GE(ratio, GetParam().least) << name << " palette, ground " << int(ground);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Colours, ReadableColour, ::testing::ValuesIn(kContrastCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Theme, TellsDarkFromLight)
{
    EXPECT_FALSE(theme::isDark(theme::lightPalette()));
    EXPECT_TRUE(theme::isDark(theme::darkPalette()));
}

struct FormatCase {
    const char* name;
    QString shown;
    const char* expected;
};

class NumberFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(NumberFormat, UsesAFullStopAndNoGroupingWhateverTheLocale)
{
    EXPECT_EQ(GetParam().shown, QString::fromLatin1(GetParam().expected));
}

// Built while a German locale is the default, which writes 1.234,5.
const FormatCase* formatCases()
{
    static const std::vector<FormatCase> cases = [] {
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        std::vector<FormatCase> made{
            {"AmplitudeRounds", theme::amplitude(1.23456), "1.2346g"},
            {"AmplitudeZero", theme::amplitude(0.0), "0.0000g"},
            {"AmplitudeSmall", theme::amplitude(0.05), "0.0500g"},
            {"AmplitudeLong", theme::amplitude(0.12345678), "0.1235g"},
            {"ThreeDecimals", theme::fixed(0.3, 3), "0.300"},
            {"Ratio", theme::ratio(1.5), "1.5x"},
            {"RatioRounds", theme::ratio(0.75), "0.8x"},
            {"CountWithoutGrouping", theme::count(1234567), "1234567"},
            {"CountZero", theme::count(0), "0"},
        };
        QLocale::setDefault(before);
        return made;
    }();
    return cases.data();
}

INSTANTIATE_TEST_SUITE_P(German, NumberFormat, ::testing::ValuesIn(formatCases(), formatCases() + 9),
                         [](const auto& info) { return std::string(info.param.name); });

struct TimeCase {
    const char* name;
    QLocale locale;
    const char* shown; // 09:05:07 local time
};

class TimeOfDay : public ::testing::TestWithParam<TimeCase> {};

TEST_P(TimeOfDay, ShowsHoursAndMinutesInTheLocaleWithoutSeconds)
{
    const QLocale before;
    QLocale::setDefault(GetParam().locale);
    const QDateTime when(QDate(2024, 3, 5), QTime(9, 5, 7));
    EXPECT_EQ(theme::timeOfDay(foundation::Date(double(when.toSecsSinceEpoch()))), QString::fromUtf8(GetParam().shown));
    QLocale::setDefault(before);
}

INSTANTIATE_TEST_SUITE_P(Locales, TimeOfDay,
                         ::testing::Values(TimeCase{"C", QLocale::c(), "09:05"},
                                           TimeCase{"English_US", QLocale("en_US"), "9:05 AM"},
                                           TimeCase{"German", QLocale("de_DE"), "09:05"},
                                           TimeCase{"Finnish", QLocale("fi_FI"), "9.05"},
                                           TimeCase{"Bulgarian", QLocale("bg_BG"), "9:05 ч."}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Theme, TheTimeOfDayHasNoDate)
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
    // 2023-11-14 22:13:20 UTC, shown in local time: hours and minutes only.
    const QString shown = theme::timeOfDay(foundation::Date(1.7e9));
    EXPECT_EQ(shown, QLocale().toString(QDateTime::fromSecsSinceEpoch(1700000000).time(), QLocale::ShortFormat));
    EXPECT_FALSE(shown.contains(QStringLiteral("2023")));
    QLocale::setDefault(before);
}

} // namespace
