#include "views/Symbols.h"

#include <gtest/gtest.h>

#include <QImage>

#include <string>

namespace {

/// How many pixels of `pixmap` are not fully transparent.
int coveredPixels(const QPixmap& pixmap)
{
    const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    int covered = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            covered += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        }
    }
    return covered;
}

class EveryUsedSymbol : public ::testing::TestWithParam<std::string_view> {};

TEST_P(EveryUsedSymbol, DrawsInTheCallersTintAtEverySize)
{
    const std::string_view name = GetParam();
    ASSERT_TRUE(symbols::hasSymbol(name)) << name;
    for (int px : {16, 20, 24, 32}) {
        for (qreal ratio : {1.0, 2.0}) {
            const QPixmap pixmap = symbols::symbolPixmap(name, px, QColor(0, 128, 255), ratio);
            ASSERT_EQ(pixmap.width(), int(px * ratio)) << name;
            const int covered = coveredPixels(pixmap);
            // Something, and not a filled box.
            EXPECT_GT(covered, pixmap.width() * pixmap.height() / 20) << name << " at " << px;
            EXPECT_LT(covered, pixmap.width() * pixmap.height()) << name << " at " << px;
        }
    }
    const QImage image = symbols::symbolPixmap(name, 24, QColor(0, 128, 255), 1.0).toImage();
    bool tinted = false;
    for (int y = 0; y < image.height() && !tinted; ++y) {
        for (int x = 0; x < image.width() && !tinted; ++x) {
            const QColor c = image.pixelColor(x, y);
            tinted = c.alpha() == 255 && c.red() == 0 && c.green() == 128 && c.blue() == 255;
        }
    }
    EXPECT_TRUE(tinted) << name << " has no pixel fully in the tint";
    EXPECT_FALSE(symbols::symbolIcon(name, Qt::red).pixmap(QSize(20, 20)).isNull()) << name;
}

INSTANTIATE_TEST_SUITE_P(Views, EveryUsedSymbol, ::testing::ValuesIn(symbols::usedSymbolNames()), [](const auto& info) {
    std::string name(info.param);
    for (char& c : name) {
        c = c == '.' ? '_' : c;
    }
    return name;
});

TEST(Symbols, AnUnknownNameGivesNothingRatherThanABox)
{
    EXPECT_FALSE(symbols::hasSymbol("no.such.symbol"));
    EXPECT_TRUE(symbols::symbolPixmap("no.such.symbol", 24, Qt::black).isNull());
    EXPECT_TRUE(symbols::symbolIcon("no.such.symbol", Qt::black).isNull());
}

TEST(Symbols, TheLogoKeepsItsAspectRatio)
{
    const QPixmap logo = symbols::imagePixmap("BonklyLogo", QSize(64, 32));
    ASSERT_FALSE(logo.isNull());
    EXPECT_EQ(logo.size(), QSize(32, 32));
}

} // namespace
