#pragma once

#include <QIconEngine>

/// An icon engine for square pictures drawn afresh at whatever size and pixel ratio is asked
/// for. Subclasses draw one picture of `side` logical pixels at `ratio`; this class turns the
/// sizes QIcon hands over into that one call.
class SquareIconEngine : public QIconEngine {
public:
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override;
    /// `size` is in logical pixels at ratio 1.
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override;
    /// `size` is in device pixels: QIcon::pixmap() multiplies by the ratio before asking.
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override;
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override;

    /// The logical side of the picture for a request of `deviceSize` at `scale`.
    static int logicalSide(const QSize& deviceSize, qreal scale);

protected:
    /// The picture, `side` logical pixels square, with its device pixel ratio set to `ratio`.
    virtual QPixmap render(int side, qreal ratio, QIcon::Mode mode, QIcon::State state) const = 0;
};
