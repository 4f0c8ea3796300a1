#include "TrayFixture.h"

#include "views/MenuBarExtra.h"
#include "views/MenuBarHandLabel.h"

#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

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

class IconSizes : public ::testing::TestWithParam<int> {};

TEST_P(IconSizes, DrawTheHandAndTheDigitsAtEveryTraySizeAndPixelRatio)
{
    const int side = GetParam();
    for (qreal ratio : {1.0, 2.0}) {
        const QImage zero = MenuBarHandLabel(0).image(side, ratio, Qt::black);
        const QImage many = MenuBarHandLabel(1234).image(side, ratio, Qt::black);
        ASSERT_EQ(zero.size(), QSize(int(side * ratio), int(side * ratio)));
        EXPECT_EQ(zero.devicePixelRatio(), ratio);
        const QRect all = zero.rect();
        EXPECT_GT(covered(zero, all), all.width() * all.height() / 8) << "the hand is drawn";
        EXPECT_LT(covered(zero, all), all.width() * all.height() * 3 / 4);
        // The digits differ, and only in the lower part of the icon, where the count sits.
        const QRect upper(0, 0, all.width(), all.height() * 8 / 22);
        EXPECT_EQ(covered(zero, upper), covered(many, upper));
        EXPECT_NE(zero, many);
    }
}

INSTANTIATE_TEST_SUITE_P(Views, IconSizes, ::testing::Values(16, 22, 32, 48),
                         [](const auto& info) { return "Px" + std::to_string(info.param); });

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

TEST_F(TrayItemTest, TheIconFollowsThePalette)
{
    make();
    QApplication::setPalette(theme::darkPalette());
    drain();
    EXPECT_EQ(MenuBarExtra::iconTint(), theme::darkPalette().color(QPalette::WindowText));
    const QImage dark = extra->trayIcon().icon().pixmap(22, 22).toImage();
    QApplication::setPalette(theme::lightPalette());
    drain();
    EXPECT_NE(extra->trayIcon().icon().pixmap(22, 22).toImage(), dark);
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
    bool tray;
    bool secondWindow;
    bool minimizeInstead;
    bool quits;
};

const CloseCase kCloseCases[] = {
    {"WithATrayClosingTheWindowKeepsRunning", true, false, false, false},
    {"WithoutATrayClosingTheLastWindowQuits", false, false, false, true},
    {"WithoutATrayAnotherWindowKeepsItRunning", false, true, false, false},
    {"WithoutATrayMinimizingKeepsItRunning", false, false, true, false},
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

// Pictures of the icon at the tray's sizes with a few counts, on a panel of each palette.
class TrayIconPictures : public ::testing::TestWithParam<traytest::PaletteCase> {};

TEST_P(TrayIconPictures, Render)
{
    const QPalette palette = GetParam().palette();
    QApplication::setPalette(palette);
    const std::vector<int> sides{16, 22, 32, 48};
    const std::vector<std::int64_t> counts{0, 7, 42, 1234};
    const int cell = 64;
    QImage sheet(cell * int(counts.size()) * 2, cell * int(sides.size()), QImage::Format_ARGB32);
    sheet.fill(palette.color(QPalette::Window));
    QPainter painter(&sheet);
    for (std::size_t row = 0; row < sides.size(); ++row) {
        for (std::size_t column = 0; column < counts.size() * 2; ++column) {
            const qreal ratio = column < counts.size() ? 1.0 : 2.0;
            const MenuBarHandLabel label(counts[column % counts.size()]);
            const QImage image = label.image(sides[row], ratio, MenuBarExtra::iconTint());
            const QPoint origin(int(column) * cell + (cell - sides[row]) / 2,
                                int(row) * cell + (cell - sides[row]) / 2);
            painter.drawImage(QRect(origin, QSize(sides[row], sides[row])), image);
        }
    }
    painter.end();
    ASSERT_TRUE(sheet.save(traytest::screenshotPath(QStringLiteral("tray-icons-%1").arg(GetParam().name))));
    // Each size once more at its own scale, 1:1 and at twice the pixels, for a close look.
    for (int side : sides) {
        QImage strip(side * 4 + 5 * 4, side + 8, QImage::Format_ARGB32);
        strip.fill(palette.color(QPalette::Window));
        QPainter p(&strip);
        for (std::size_t i = 0; i < counts.size(); ++i) {
            p.drawImage(QPoint(4 + int(i) * (side + 4), 4),
                        MenuBarHandLabel(counts[i]).image(side, 1.0, MenuBarExtra::iconTint()));
        }
        p.end();
        ASSERT_TRUE(
            strip.save(traytest::screenshotPath(QStringLiteral("tray-icon-%1px-%2").arg(side).arg(GetParam().name))));
    }
    QApplication::setPalette(theme::lightPalette());
}

INSTANTIATE_TEST_SUITE_P(Views, TrayIconPictures, ::testing::ValuesIn(traytest::kPalettes),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
