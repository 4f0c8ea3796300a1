#include "TrayFixture.h"

#include "views/MenuBarExtra.h"
#include "views/MenuBarHandLabel.h"

#include <QFontMetricsF>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct LabelCase {
    const char* name;
    std::int64_t count;
    const char* text;
    const char* value;
    bool shrinks;
};

const LabelCase kLabelCases[] = {
    {"Zero", 0, "0", "0 slaps", false},
    {"One", 1, "1", "1 slaps", false},
    {"Seven", 7, "7", "7 slaps", false},
    {"TwoDigits", 42, "42", "42 slaps", false},
    {"FourDigits", 1234, "1234", "1234 slaps", true},
    {"SevenDigits", 1234567, "1234567", "1234567 slaps", true},
};

class LabelCases : public ::testing::TestWithParam<LabelCase> {};

TEST_P(LabelCases, ShowTheCountOnOneLineOverTheHandsLowerRightCorner)
{
    const MenuBarHandLabel label(GetParam().count);
    EXPECT_EQ(label.countText(), QString::fromUtf8(GetParam().text));
    EXPECT_EQ(MenuBarHandLabel::accessibilityLabel(), QStringLiteral("Bonkly"));
    EXPECT_EQ(label.accessibilityValue(), QString::fromUtf8(GetParam().value));
    EXPECT_EQ(label.toolTip(), QStringLiteral("Bonkly \u2014 ") + QString::fromUtf8(GetParam().value));

    const auto layout = label.layout();
    EXPECT_EQ(layout.scale < 1.0, GetParam().shrinks);
    EXPECT_GE(layout.scale, MenuBarHandLabel::minimumScaleFactor);
    // One line at the scaled size, never two.
    const QFontMetricsF metrics(MenuBarHandLabel::countFont());
    EXPECT_DOUBLE_EQ(layout.countFrame.height(), metrics.height() * layout.scale);
    EXPECT_GE(layout.countFrame.width(), MenuBarHandLabel::minimumCountWidth);
    // Bottom-trailing aligned with the hand, then 4 right and 2 down.
    EXPECT_DOUBLE_EQ(layout.countFrame.right(), layout.hand.right() + 4);
    EXPECT_DOUBLE_EQ(layout.countFrame.bottom(), layout.hand.bottom() + 2);
    EXPECT_DOUBLE_EQ(layout.hand.width(), MenuBarHandLabel::handSide);
    // Everything stays inside the icon.
    const QRectF slot(0, 0, MenuBarHandLabel::slotSide, MenuBarHandLabel::slotSide);
    EXPECT_TRUE(slot.contains(layout.hand));
    EXPECT_TRUE(slot.contains(layout.countFrame));
    EXPECT_GE(layout.textLeft, 0);
    if (GetParam().count < 1000000) {
        EXPECT_EQ(layout.text, label.countText()) << "shrunk, not cut";
    }
}

INSTANTIATE_TEST_SUITE_P(Views, LabelCases, ::testing::ValuesIn(kLabelCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MenuBarHandLabel, CountsFontIsNinePointHeavy)
{
    const QFont font = MenuBarHandLabel::countFont();
    EXPECT_EQ(font.pixelSize(), 9);
    EXPECT_GE(font.weight(), QFont::Bold);
}

/// Pixels that are at least half covered.
int covered(const QImage& image, const QRect& area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += qAlpha(image.pixel(x, y)) >= 128 ? 1 : 0;
        }
    }
    return count;
}

/// Pixels of the hand or the digits: light ones, where the tile is a deep pink.
int glyphPixels(const QImage& image, const QRect& area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            count += qGreen(image.pixel(x, y)) >= 160 ? 1 : 0;
        }
    }
    return count;
}

class IconSizes : public ::testing::TestWithParam<QSize> {};

TEST_P(IconSizes, DrawTheHandAndTheDigitsOnTheTileAtEveryTraySizeAndPixelRatio)
{
    const int side = GetParam().width();
    for (qreal ratio : {1.0, 2.0}) {
        const QImage zero = MenuBarHandLabel(0).image(side, ratio);
        const QImage many = MenuBarHandLabel(1234).image(side, ratio);
        ASSERT_EQ(zero.size(), QSize(int(side * ratio), int(side * ratio)));
        EXPECT_EQ(zero.devicePixelRatio(), ratio);
        const QRect all = zero.rect();
        const int area = all.width() * all.height();
        EXPECT_GT(covered(zero, all), area * 9 / 10) << "the tile fills the icon but its rounded corners";
        EXPECT_LT(covered(zero, all), area);
        EXPECT_GT(glyphPixels(zero, all), area / 8) << "the hand is drawn";
        EXPECT_LT(glyphPixels(zero, all), area / 2);
        // The digits differ, and only in the lower part of the icon, where the count sits.
        const QRect upper(0, 0, all.width(), all.height() * 8 / 22);
        EXPECT_EQ(glyphPixels(zero, upper), glyphPixels(many, upper));
        EXPECT_NE(zero, many);
    }
}

INSTANTIATE_TEST_SUITE_P(Views, IconSizes, ::testing::ValuesIn(MenuBarExtra::iconSizes()),
                         [](const auto& info) { return "Px" + std::to_string(info.param.width()); });

class TrayItemTest : public traytest::ViewModelFixture {
protected:
    bool trayThere = true;
    std::vector<QString> opened;
    int terminations = 0;
    std::unique_ptr<MenuBarExtra> extra;

    void make()
    {
        extra = std::make_unique<MenuBarExtra>(
            *vm, [this](const QString& id) { opened.push_back(id); }, [this] { ++terminations; },
            [this] { return trayThere; });
    }
    void TearDown() override
    {
        extra.reset();
        ViewModelFixture::TearDown();
    }
};

TEST_F(TrayItemTest, IconAndTooltipFollowTheSlapCount)
{
    make();
    EXPECT_EQ(extra->shownCount(), 0);
    EXPECT_EQ(extra->trayIcon().toolTip(), QStringLiteral("Bonkly \u2014 0 slaps"));
    EXPECT_FALSE(extra->trayIcon().icon().isNull());
    EXPECT_EQ(extra->trayIcon().contextMenu(), extra->menuView().menu());
    const QImage before = extra->trayIcon().icon().pixmap(22, 22).toImage();

    startListening();
    slap();
    ASSERT_EQ(vm->totalSlaps(), 1);
    EXPECT_EQ(extra->shownCount(), 1);
    EXPECT_EQ(extra->trayIcon().toolTip(), QStringLiteral("Bonkly \u2014 1 slaps"));
    EXPECT_NE(extra->trayIcon().icon().pixmap(22, 22).toImage(), before);
    // A HiDPI tray gets a sharp picture, not a scaled-up one.
    const QPixmap sharp = extra->trayIcon().icon().pixmap(QSize(22, 22), 2.0);
    EXPECT_EQ(sharp.size(), QSize(44, 44));
}

/// WCAG relative luminance of an opaque colour.
double luminance(QRgb rgb)
{
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
}

/// The icon composited over `panel`: the contrast ratio against the panel of each pixel that is
/// at least half opaque, in ascending order.
std::vector<double> contrastsOver(const QImage& icon, QRgb panel)
{
    QImage flat(icon.size(), QImage::Format_RGB32);
    flat.fill(panel);
    QPainter painter(&flat);
    painter.drawImage(QPoint(0, 0), icon.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    painter.end();
    const QImage alpha = icon.convertToFormat(QImage::Format_ARGB32);
    const double back = luminance(panel);
    std::vector<double> ratios;
    for (int y = 0; y < alpha.height(); ++y) {
        for (int x = 0; x < alpha.width(); ++x) {
            if (qAlpha(alpha.pixel(x, y)) >= 128) {
                const double front = luminance(flat.pixel(x, y));
                ratios.push_back((std::max(front, back) + 0.05) / (std::min(front, back) + 0.05));
            }
        }
    }
    std::sort(ratios.begin(), ratios.end());
    return ratios;
}

struct PanelCase {
    const char* name;
    QRgb colour;
};

const PanelCase kPanels[] = {{"LightPanel", 0xfff2f2f2}, {"DarkPanel", 0xff1e1e1e}};

// The icon reads on a light and a dark panel at every size it declares, whatever the palette:
// the 90th percentile of its opaque pixels' contrast with the panel is at least 3 : 1.
TEST_F(TrayItemTest, TheIconStandsOutFromLightAndDarkPanelsWhateverThePalette)
{
    make();
    const QIcon icon = extra->trayIcon().icon();
    EXPECT_EQ(icon.availableSizes(), MenuBarExtra::iconSizes());
    for (const traytest::PaletteCase& palette : traytest::kPalettes) {
        QApplication::setPalette(palette.palette());
        drain();
        for (const QSize& size : MenuBarExtra::iconSizes()) {
            const QImage image = extra->trayIcon().icon().pixmap(size).toImage();
            ASSERT_EQ(image.size(), size);
            for (const PanelCase& panel : kPanels) {
                const std::vector<double> ratios = contrastsOver(image, panel.colour);
                ASSERT_FALSE(ratios.empty());
                const double p90 = ratios[std::min(ratios.size() - 1, ratios.size() * 9 / 10)];
                EXPECT_GE(p90, 3.0) << palette.name << " palette, " << size.width() << " px, " << panel.name;
                // Most of the icon, the tile, reaches it too, not only its most contrasting part.
                const double median = ratios[ratios.size() / 2];
                EXPECT_GE(median, 3.0) << palette.name << " palette, " << size.width() << " px, " << panel.name;
            }
        }
    }
}

struct NoTrayCase {
    const char* name;
    bool trayAtStart;
    bool trayLater;
    bool windowShown;
    bool quitsOnLastWindowClose;
    bool opensWindow;
};

const NoTrayCase kNoTrayCases[] = {
    {"TrayThroughout", true, true, false, false, false},
    {"NoTrayAtAll", false, false, false, true, false},
    {"TrayAppears", false, true, false, false, false},
    {"TrayGoesAwayWithTheWindowClosed", true, false, false, true, true},
    {"TrayGoesAwayWithTheWindowShown", true, false, true, true, false},
};

class NoTray : public TrayItemTest, public ::testing::WithParamInterface<NoTrayCase> {};

TEST_P(NoTray, KeepsTheApplicationReachable)
{
    trayThere = GetParam().trayAtStart;
    make();
    EXPECT_EQ(extra->quitsWhenLastWindowCloses(), !GetParam().trayAtStart);
    QWidget window;
    if (GetParam().windowShown) {
        window.show();
    }
    trayThere = GetParam().trayLater;
    extra->checkTray();
    EXPECT_EQ(extra->isTrayAvailable(), GetParam().trayLater);
    EXPECT_EQ(extra->quitsWhenLastWindowCloses(), GetParam().quitsOnLastWindowClose);
    EXPECT_EQ(opened.size(), GetParam().opensWindow ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Views, NoTray, ::testing::ValuesIn(kNoTrayCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct CloseCase {
    const char* name;
    bool tray;      // at start
    bool trayLater; // once the window is shown
    bool secondWindow;
    bool minimizeInstead;
    bool quits;
};

const CloseCase kCloseCases[] = {
    {"WithATrayClosingTheWindowKeepsRunning", true, true, false, false, false},
    {"WithoutATrayClosingTheLastWindowQuits", false, false, false, false, true},
    {"WithoutATrayAnotherWindowKeepsItRunning", false, false, true, false, false},
    {"WithoutATrayMinimizingKeepsItRunning", false, false, false, true, false},
    {"TrayGoneMeanwhileClosingTheLastWindowQuits", true, false, false, false, true},
    {"TrayThereMeanwhileClosingTheWindowKeepsRunning", false, true, false, false, false},
};

class LastWindowClose : public TrayItemTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(LastWindowClose, QuitsOnlyWhenNothingIsLeftToReachTheApplication)
{
    trayThere = GetParam().tray;
    make();
    QWidget window;
    window.setAttribute(Qt::WA_QuitOnClose, false); // as the application's window
    window.show();
    QWidget other;
    if (GetParam().secondWindow) {
        other.show();
    }
    trayThere = GetParam().trayLater;
    extra->checkTray();
    // A menu that opens and closes is no window.
    extra->menuView().menu()->popup({0, 0});
    drain();
    extra->menuView().menu()->hide();
    drain();
    EXPECT_EQ(terminations, 0);
    if (GetParam().minimizeInstead) {
        window.showMinimized();
    } else {
        window.close();
    }
    drain();
    EXPECT_EQ(terminations, GetParam().quits ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Views, LastWindowClose, ::testing::ValuesIn(kCloseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Pictures of the icon at the tray's sizes with a few counts, on a light and a dark panel.
class TrayIconPictures : public ::testing::TestWithParam<PanelCase> {};

TEST_P(TrayIconPictures, Render)
{
    const QColor panel = QColor::fromRgba(GetParam().colour);
    const std::vector<int> sides{16, 22, 32, 48};
    const std::vector<std::int64_t> counts{0, 7, 42, 1234};
    const int cell = 64;
    QImage sheet(cell * int(counts.size()) * 2, cell * int(sides.size()), QImage::Format_ARGB32);
    sheet.fill(panel);
    QPainter painter(&sheet);
    for (std::size_t row = 0; row < sides.size(); ++row) {
        for (std::size_t column = 0; column < counts.size() * 2; ++column) {
            const qreal ratio = column < counts.size() ? 1.0 : 2.0;
            const MenuBarHandLabel label(counts[column % counts.size()]);
            const QImage image = label.image(sides[row], ratio);
            const QPoint origin(int(column) * cell + (cell - sides[row]) / 2,
                                int(row) * cell + (cell - sides[row]) / 2);
            painter.drawImage(QRect(origin, QSize(sides[row], sides[row])), image);
        }
    }
    painter.end();
    ASSERT_TRUE(sheet.save(traytest::screenshotPath(QStringLiteral("tray-icons-%1").arg(GetParam().name))));
    // Each size once more at its own scale, 1:1 and magnified four times, for a close look.
    for (int side : sides) {
        QImage strip(side * 4 + 5 * 4, side + 8, QImage::Format_ARGB32);
        strip.fill(panel);
        QPainter p(&strip);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            p.drawImage(QPoint(4 + int(i) * (side + 4), 4), MenuBarHandLabel(counts[i]).image(side, 1.0));
        }
        p.end();
        const QString name = QStringLiteral("tray-icon-%1px-%2").arg(side).arg(GetParam().name);
        ASSERT_TRUE(strip.save(traytest::screenshotPath(name)));
        ASSERT_TRUE(strip.scaled(strip.size() * 4).save(traytest::screenshotPath(name + QStringLiteral("-x4"))));
    }
}

INSTANTIATE_TEST_SUITE_P(Views, TrayIconPictures, ::testing::ValuesIn(kPanels),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
