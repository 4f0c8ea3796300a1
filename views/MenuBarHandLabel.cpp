#include "views/MenuBarHandLabel.h"

#include "views/Symbols.h"
#include "views/Theme.h"

#include <QApplication>

#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <algorithm>
#include <cmath>

MenuBarHandLabel::MenuBarHandLabel(std::int64_t slapCount)
    : count(slapCount)
{
}

QString MenuBarHandLabel::countText() const { return theme::count(count); }

QString MenuBarHandLabel::accessibilityLabel() { return QStringLiteral("Bonkly"); }

QString MenuBarHandLabel::accessibilityValue() const { return theme::count(count) + QStringLiteral(" slaps"); }

QString MenuBarHandLabel::toolTip() const
{
    return accessibilityLabel() + QStringLiteral(" \u2014 ") + accessibilityValue();
}

QFont MenuBarHandLabel::countFont()
{
    // Heavy and with even-width digits, so the count does not jitter as it grows; a pixel size
    // here is one point of the slot.
    QFont font = QApplication::font();
    font.setPixelSize(static_cast<int>(fontPoints));
    font.setWeight(QFont::Black);
    font.setStyleStrategy(QFont::PreferAntialias);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

MenuBarHandLabel::Layout MenuBarHandLabel::layout() const
{
    Layout result;
    const qreal handRight = slotSide - margin - countOffsetX;
    const qreal handBottom = slotSide - margin - countOffsetY;
    result.hand = QRectF(handRight - handSide, handBottom - handSide, handSide, handSide);

    const QFont font = countFont();
    const QFontMetricsF metrics(font);
    const qreal available = slotSide - 2 * margin;
    result.text = countText();
    const qreal natural = metrics.horizontalAdvance(result.text);
    result.scale = natural > available ? std::max(minimumScaleFactor, available / natural) : 1.0;
    if (natural * result.scale > available) {
        // Past the minimum scale the text is cut short rather than wrapped.
        result.text = metrics.elidedText(result.text, Qt::ElideRight, available / result.scale);
    }
    const qreal width = metrics.horizontalAdvance(result.text) * result.scale;
    const qreal height = metrics.height() * result.scale;
    const qreal frameWidth = std::max(minimumCountWidth, width);
    const QPointF corner(result.hand.right() + countOffsetX, result.hand.bottom() + countOffsetY);
    result.countFrame = QRectF(corner.x() - frameWidth, corner.y() - height, frameWidth, height);
    result.textLeft = result.countFrame.right() - width;
    result.baselineY = result.countFrame.top() + metrics.ascent() * result.scale;
    return result;
}

QImage MenuBarHandLabel::image(int side, qreal devicePixelRatio) const
{
    const qreal dpr = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    const int devicePixels = std::max(1, static_cast<int>(std::lround(side * dpr)));
    QImage layer(devicePixels, devicePixels, QImage::Format_ARGB32_Premultiplied);
    layer.fill(Qt::transparent);

    const Layout parts = layout();
    const qreal unit = devicePixels / slotSide; // device pixels per point of the slot
    QPainter painter(&layer);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform | QPainter::TextAntialiasing);

    QLinearGradient pink(0, 0, devicePixels, devicePixels);
    pink.setColorAt(0, QColor::fromRgba(tileTop));
    pink.setColorAt(1, QColor::fromRgba(tileBottom));
    const QBrush tile(pink);
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    const qreal radius = tileRadius * unit;
    painter.drawRoundedRect(QRectF(0, 0, devicePixels, devicePixels), radius, radius);

    const QRect handPixels(static_cast<int>(std::lround(parts.hand.left() * unit)),
                           static_cast<int>(std::lround(parts.hand.top() * unit)),
                           static_cast<int>(std::lround(parts.hand.width() * unit)),
                           static_cast<int>(std::lround(parts.hand.height() * unit)));
    painter.drawPixmap(handPixels,
                       symbols::symbolPixmap("hand.raised.fill", handPixels.width(), QColor::fromRgba(glyph), 1.0));

    QPainterPath digits;
    digits.addText(0, 0, countFont(), parts.text);
    QTransform place;
    place.scale(unit, unit);
    place.translate(parts.textLeft, parts.baselineY);
    place.scale(parts.scale, parts.scale);
    digits = place.map(digits);

    // The digits share the hand's colour; a rim of the tile around them keeps them readable
    // where they overlap the hand, and under them where they reach the tile's rounded corner.
    QPainterPathStroker stroker;
    stroker.setWidth(std::max(1.0, 1.6 * unit));
    stroker.setJoinStyle(Qt::RoundJoin);
    painter.fillPath(stroker.createStroke(digits).united(digits), tile);
    painter.fillPath(digits, QColor::fromRgba(glyph));
    painter.end();

    layer.setDevicePixelRatio(dpr);
    return layer;
}
