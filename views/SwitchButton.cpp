#include "views/SwitchButton.h"

#include "views/FocusRing.h"
#include "views/SheetStyle.h"

#include <QPainter>
#include <QPainterPath>

SwitchButton::SwitchButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setCheckable(true);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    focusring::follow();
}

QSize SwitchButton::sizeHint() const { return {38, 22}; }

void SwitchButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    const qreal radius = track.height() / 2;
    const QPalette& pal = palette();
    const bool on = isChecked();

    QColor trackColor = on ? sheetstyle::accent(pal) : sheetstyle::switchTrackOff(pal);
    if (isDown()) {
        trackColor = trackColor.darker(110);
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(trackColor);
    painter.drawRoundedRect(track, radius, radius);

    const qreal inset = 2;
    const qreal knob = track.height() - 2 * inset;
    const qreal x = on ? track.right() - inset - knob : track.left() + inset;
    const QRectF knobRect(x, track.top() + inset, knob, knob);
    painter.setBrush(QColor(0, 0, 0, 40));
    painter.drawEllipse(knobRect.translated(0, 0.6));
    painter.setBrush(Qt::white);
    painter.drawEllipse(knobRect);

    if (focusring::shows(this)) {
        QPainterPath ring;
        ring.addRoundedRect(track.adjusted(-0.25, -0.25, 0.25, 0.25), radius, radius);
        focusring::paint(painter, ring, pal);
    }
}
