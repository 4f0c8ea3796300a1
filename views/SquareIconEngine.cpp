#include "views/SquareIconEngine.h"

#include <QPaintDevice>
#include <QPainter>

#include <algorithm>
#include <cmath>

int SquareIconEngine::logicalSide(const QSize& deviceSize, qreal scale)
{
    const qreal ratio = scale > 0 ? scale : 1.0;
    return static_cast<int>(std::lround(std::min(deviceSize.width(), deviceSize.height()) / ratio));
}

void SquareIconEngine::paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state)
{
    const int side = std::min(rect.width(), rect.height());
    if (side <= 0) {
        return;
    }
    const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
    // Square, centred in a rectangle of another shape rather than stretched to it.
    const QRect square(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2, side, side);
    painter->drawPixmap(square, render(side, ratio, mode, state));
}

QPixmap SquareIconEngine::pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state)
{
    return scaledPixmap(size, mode, state, 1.0);
}

QPixmap SquareIconEngine::scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale)
{
    const int side = logicalSide(size, scale);
    if (side <= 0) {
        return {};
    }
    return render(side, scale > 0 ? scale : 1.0, mode, state);
}

QSize SquareIconEngine::actualSize(const QSize& size, QIcon::Mode, QIcon::State)
{
    const int side = std::min(size.width(), size.height());
    return {side, side};
}
