// The slim scroll bar's style against the style sheet it stands for, which Qt's own style sheet
// engine draws: the same size, part rectangles, hit tests and pixels in every state.
#include "views/SlimScrollBarStyle.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>

#include <string>
#include <vector>

namespace {

const char* const kReferenceSheet =
    "QScrollBar:vertical { width: 10px; background: transparent; margin: 2px 2px 2px 0; }"
    "QScrollBar::handle:vertical { background: rgba(128, 128, 128, 0.5); border-radius: 3px; min-height: 28px; }"
    "QScrollBar::handle:vertical:hover { background: rgba(128, 128, 128, 0.75); }"
    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }";

class SlimScrollBarStyleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reference.setStyleSheet(QString::fromLatin1(kReferenceSheet));
        style.setParent(&slim);
        slim.setStyle(&style);
        reference.ensurePolished();
        slim.ensurePolished();
    }

    QImage paint(QScrollBar& bar, const QStyleOptionSlider& option)
    {
        QImage image(option.rect.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(200, 30, 60)); // a ground the handle's edges blend into
        QPainter painter(&image);
        bar.style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, &bar);
        return image;
    }

    QScrollBar reference{Qt::Vertical};
    QScrollBar slim{Qt::Vertical};
    SlimScrollBarStyle style;
};

TEST_F(SlimScrollBarStyleTest, SizesAsTheStyleSheetDoes)
{
    EXPECT_EQ(slim.sizeHint(), reference.sizeHint());
    EXPECT_EQ(slim.testAttribute(Qt::WA_Hover), reference.testAttribute(Qt::WA_Hover));
    for (const auto metric : {QStyle::PM_ScrollBarExtent, QStyle::PM_ScrollBarSliderMin}) {
        EXPECT_EQ(slim.style()->pixelMetric(metric, nullptr, &slim),
                  reference.style()->pixelMetric(metric, nullptr, &reference))
            << "metric " << metric;
    }
}

constexpr int kHovered = 1;
constexpr int kPressed = 2;
constexpr int kDisabled = 4;

struct BarCase {
    int height;
    int maximum;
    int page;
    int position;
    int state; ///< kHovered, kPressed, kDisabled or'ed
};

/// Bars short and tall, with nothing to scroll up to a long range, a page of the bar's height and a
/// short one, at the top, a third of the way and the bottom, idle, hovered, pressed and disabled.
std::vector<BarCase> barCases()
{
    std::vector<BarCase> cases;
    for (const int height : {60, 223, 517}) {
        for (const int maximum : {0, 1, 50, 814, 100000}) {
            for (const int page : {height, 20}) {
                for (const int position : {0, maximum / 3, maximum}) {
                    for (const int state : {0, kHovered, kPressed, kHovered | kPressed, kHovered | kDisabled}) {
                        cases.push_back({height, maximum, page, position, state});
                    }
                }
            }
        }
    }
    return cases;
}

TEST_F(SlimScrollBarStyleTest, PartsHitsAndPixelsAsTheStyleSheetGives)
{
    for (const BarCase& c : barCases()) {
        SCOPED_TRACE("height " + std::to_string(c.height) + ", range 0.." + std::to_string(c.maximum) + ", page " +
                     std::to_string(c.page) + ", at " + std::to_string(c.position) + ", state " +
                     std::to_string(c.state));
        QStyleOptionSlider option;
        option.initFrom(&reference);
        option.rect = QRect(0, 0, 10, c.height);
        option.orientation = Qt::Vertical;
        option.maximum = c.maximum;
        option.sliderPosition = option.sliderValue = c.position;
        option.pageStep = c.page;
        option.singleStep = 20;
        option.subControls = QStyle::SC_All;
        if (c.state & (kHovered | kPressed)) {
            option.activeSubControls = QStyle::SC_ScrollBarSlider;
        }
        if (c.state & kHovered) {
            option.state |= QStyle::State_MouseOver;
        }
        if (c.state & kPressed) {
            option.state |= QStyle::State_Sunken;
        }
        if (c.state & kDisabled) {
            option.state &= ~QStyle::State_Enabled;
        }
        for (uint part = QStyle::SC_ScrollBarAddLine; part <= uint(QStyle::SC_ScrollBarGroove); part <<= 1) {
            const auto sub = QStyle::SubControl(part);
            EXPECT_EQ(slim.style()->subControlRect(QStyle::CC_ScrollBar, &option, sub, &slim),
                      reference.style()->subControlRect(QStyle::CC_ScrollBar, &option, sub, &reference))
                << "part " << part;
        }
        for (int y = 0; y < c.height; ++y) {
            const QPoint at(4, y);
            ASSERT_EQ(slim.style()->hitTestComplexControl(QStyle::CC_ScrollBar, &option, at, &slim),
                      reference.style()->hitTestComplexControl(QStyle::CC_ScrollBar, &option, at, &reference))
                << "at y " << y;
        }
        EXPECT_TRUE(paint(slim, option) == paint(reference, option));
    }
}

} // namespace
