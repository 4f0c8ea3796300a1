// The painted buttons of Widgets.h: the pill, the symbol-only and the plain text button.
#include "views/FocusRing.h"
#include "views/Symbols.h"
#include "views/Widgets.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace widgets {

// ---- PillButton

PillButton::PillButton(bool p, QWidget* parent)
    : QAbstractButton(parent)
    , prominent(p)
{
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFont(theme::font(theme::TextStyle::headline));
    focusring::follow();
}

void PillButton::setContent(const QString& title, std::string symbol)
{
    if (title == text() && symbol == symbolName) {
        return;
    }
    setText(title);
    setAccessibleName(title);
    symbolName = std::move(symbol);
    update();
}

void PillButton::setTint(Tint t, int fadeMs)
{
    if (t == tint && fade >= 1.0) {
        return;
    }
    const QColor before =
        fade < 1.0 && fadeFrom.isValid() ? mix(fadeFrom, tint.resolve(palette()), fade) : tint.resolve(palette());
    tint = t;
    if (fadeMs <= 0 || before == t.resolve(palette())) {
        fade = 1.0;
        update();
        return;
    }
    fadeFrom = before;
    animate(this, fadeMs, [this](qreal p) {
        fade = p;
        update();
    });
}

void PillButton::setEntrance(qreal progress, QPointF from)
{
    entrance = progress;
    entranceFrom = from;
    update();
}

QSize PillButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 16 + 6 + 28, metrics.height() + 2 * padding_};
}

QSize PillButton::minimumSizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 16 + 6 + 16, metrics.height() + 2 * padding_};
}

void PillButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QColor fill;
    QColor foreground;
    const bool dark = theme::isDark(palette());
    if (entrance < 1.0) {
        painter.setOpacity(std::clamp(entrance, 0.0, 1.0));
        painter.translate(entranceFrom * (1.0 - entrance));
    }
    if (prominent) {
        fill =
            fade < 1.0 && fadeFrom.isValid() ? mix(fadeFrom, tint.resolve(palette()), fade) : tint.resolve(palette());
        foreground = Qt::white;
    } else {
        fill = dark ? QColor(255, 255, 255, 38) : QColor(0, 0, 0, 16);
        foreground = theme::color(theme::SystemColor::primary, palette());
    }
    if (isDown()) {
        fill = fill.darker(118);
    } else if (underMouse()) {
        fill = fill.lighter(106);
    }
    if (!isEnabled()) {
        fill = theme::withOpacity(fill, 0.45);
        foreground = theme::withOpacity(foreground, 0.5);
    }
    QPainterPath path;
    path.addRoundedRect(box, 8, 8);
    painter.fillPath(path, fill);
    if (focusring::shows(this)) {
        focusring::paint(painter, path, palette());
    }
    painter.setFont(font());
    const QFontMetricsF metrics(font());
    const int iconPx = 16;
    const qreal gap = 6;
    const qreal textWidth = metrics.horizontalAdvance(text());
    const qreal total = (symbolName.empty() ? 0 : iconPx + gap) + textWidth;
    qreal x = (width() - total) / 2.0;
    if (!symbolName.empty()) {
        painter.drawPixmap(QPointF(x, (height() - iconPx) / 2.0),
                           symbols::symbolPixmap(symbolName, iconPx, foreground, devicePixelRatioF()));
        x += iconPx + gap;
    }
    painter.setPen(foreground);
    painter.drawText(QRectF(x, 0, textWidth + 1, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
}

// ---- SymbolButton

SymbolButton::SymbolButton(std::string symbol, int px, Tint t, const QString& accessible, QWidget* parent)
    : QAbstractButton(parent)
    , symbolName(std::move(symbol))
    , pixels(px)
    , tint(t)
{
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(accessible);
    setToolTip(accessible);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    focusring::follow();
}

QSize SymbolButton::sizeHint() const { return {pixels + 8, pixels + 8}; }

void SymbolButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QColor color = tint.resolve(palette());
    if (isDown()) {
        color = theme::color(theme::SystemColor::primary, palette());
    }
    painter.drawPixmap(QPointF((width() - pixels) / 2.0, (height() - pixels) / 2.0),
                       symbols::symbolPixmap(symbolName, pixels, color, devicePixelRatioF()));
    if (focusring::shows(this)) {
        QPainterPath ring;
        ring.addEllipse(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5));
        focusring::paint(painter, ring, palette());
    }
}

// ---- PlainTextButton

PlainTextButton::PlainTextButton(const QString& title, QFont font, Tint t, QWidget* parent)
    : QAbstractButton(parent)
    , font_(std::move(font))
    , tint(t)
{
    setText(title);
    setAccessibleName(title);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    focusring::follow();
}

QSize PlainTextButton::sizeHint() const
{
    // Room for the focus ring around the title.
    const QFontMetrics metrics(font_);
    return {metrics.horizontalAdvance(text()) + 10, metrics.height() + 4};
}

void PlainTextButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(font_);
    painter.setPen(isDown() ? theme::color(theme::SystemColor::primary, palette()) : tint.resolve(palette()));
    painter.drawText(rect(), Qt::AlignCenter, text());
    if (focusring::shows(this)) {
        QPainterPath ring;
        ring.addRoundedRect(QRectF(rect()).adjusted(1.25, 1.25, -1.25, -1.25), 4, 4);
        focusring::paint(painter, ring, palette());
    }
}

} // namespace widgets
