#include "views/SlimScrollBarStyle.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionSlider>

#include <algorithm>
#include <climits>

// The geometry and painting are those Qt's style sheet engine gives the rules
//   QScrollBar:vertical { width: 10px; background: transparent; margin: 2px 2px 2px 0; }
//   QScrollBar::handle:vertical { background: rgba(128, 128, 128, 0.5); border-radius: 3px;
//                                 min-height: 28px; }
//   QScrollBar::handle:vertical:hover { background: rgba(128, 128, 128, 0.75); }
//   (no arrows, no page backgrounds)
// pixel for pixel, without the style sheet machinery, which costs several hundred KiB resident.

namespace {

constexpr int kWidth = 10;
constexpr int kMarginTop = 2;
constexpr int kMarginRight = 2;
constexpr int kMarginBottom = 2;
constexpr int kHandleMinimum = 28;
constexpr qreal kRadius = 3;
constexpr int kGrey = 128;
constexpr int kAlpha = 127;      // 0.5 as the style sheet engine rounds it
constexpr int kHoverAlpha = 191; // 0.75

const QStyleOptionSlider* verticalBar(const QStyleOptionComplex* option)
{
    const auto* bar = qstyleoption_cast<const QStyleOptionSlider*>(option);
    return bar != nullptr && bar->orientation == Qt::Vertical ? bar : nullptr;
}

/// The handle's outline as the style sheet engine draws a rounded border box.
QPainterPath roundedBox(const QRectF& r)
{
    const qreal rx = std::min(kRadius, r.width() / 2);
    const qreal ry = std::min(kRadius, r.height() / 2);
    QPainterPath path;
    path.moveTo(r.left() + rx, r.top());
    path.lineTo(r.right() - rx, r.top());
    path.arcTo(r.right() - 2 * rx, r.top(), 2 * rx, 2 * ry, 90, -90);
    path.lineTo(r.right(), r.bottom() - ry);
    path.arcTo(r.right() - 2 * rx, r.bottom() - 2 * ry, 2 * rx, 2 * ry, 0, -90);
    path.lineTo(r.left() + rx, r.bottom());
    path.arcTo(r.left(), r.bottom() - 2 * ry, 2 * rx, 2 * ry, 270, -90);
    path.lineTo(r.left(), r.top() + ry);
    path.arcTo(r.left(), r.top(), 2 * rx, 2 * ry, 180, -90);
    path.closeSubpath();
    return path;
}

} // namespace

SlimScrollBarStyle::SlimScrollBarStyle()
    : QProxyStyle(QApplication::style()->name())
{
}

int SlimScrollBarStyle::pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const
{
    switch (metric) {
    case PM_ScrollBarExtent:
        // Asked without a bar's option, the style sheet engine answers with the margin box.
        return qstyleoption_cast<const QStyleOptionSlider*>(option) ? kWidth : kWidth + kMarginRight;
    case PM_ScrollBarSliderMin:
        return kHandleMinimum;
    default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

QSize SlimScrollBarStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                                           const QWidget* widget) const
{
    if (type == CT_ScrollBar) {
        return {size.width(), size.height() + kMarginTop + kMarginBottom};
    }
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

QRect SlimScrollBarStyle::subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                                         const QWidget* widget) const
{
    const QStyleOptionSlider* bar = control == CC_ScrollBar ? verticalBar(option) : nullptr;
    if (bar == nullptr) {
        return QProxyStyle::subControlRect(control, option, part, widget);
    }
    const QRect groove = bar->rect.adjusted(0, kMarginTop, -kMarginRight, -kMarginBottom);
    const int room = groove.height();
    int length = room;
    if (bar->maximum != bar->minimum) {
        const uint range = uint(bar->maximum - bar->minimum);
        length = int((qint64(bar->pageStep) * room) / (range + bar->pageStep));
        if (length < kHandleMinimum || range > INT_MAX / 2) {
            length = kHandleMinimum;
        }
        length = std::min(length, room);
    }
    const int top = groove.top() + sliderPositionFromValue(bar->minimum, bar->maximum, bar->sliderPosition,
                                                           room - length, bar->upsideDown);
    const QRect handle(groove.left(), top, groove.width(), length);
    switch (part) {
    case SC_ScrollBarGroove:
        return groove;
    case SC_ScrollBarSlider:
        return handle;
    case SC_ScrollBarSubLine:
        return {groove.left(), groove.top(), groove.width(), 0};
    case SC_ScrollBarAddLine:
        return {groove.left(), groove.bottom() + 1, groove.width(), 0};
    // The pages reach one pixel into the handle, as the style sheet engine's do.
    case SC_ScrollBarSubPage:
        return QRect(groove.topLeft(), QPoint(groove.right(), handle.top()));
    case SC_ScrollBarAddPage:
        return QRect(QPoint(groove.left(), handle.bottom()), groove.bottomRight());
    default:
        return {};
    }
}

void SlimScrollBarStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                            QPainter* painter, const QWidget* widget) const
{
    const QStyleOptionSlider* bar = control == CC_ScrollBar ? verticalBar(option) : nullptr;
    if (bar == nullptr) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    // A bar with nothing to scroll counts as disabled, and a disabled handle does not light up.
    const bool hovered = (bar->state & State_Enabled) && bar->minimum != bar->maximum &&
                         (bar->state & State_MouseOver) && (bar->activeSubControls & SC_ScrollBarSlider);
    const QRectF handle(subControlRect(control, option, SC_ScrollBarSlider, widget));
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->fillPath(roundedBox(handle), QColor(kGrey, kGrey, kGrey, hovered ? kHoverAlpha : kAlpha));
    painter->restore();
}
