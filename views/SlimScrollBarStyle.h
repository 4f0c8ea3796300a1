#pragma once

#include <QProxyStyle>

/// The application's style for a vertical scroll bar that is thin, rounded and without arrows,
/// reading on light and dark: a 10 px bar with a 2 px margin at the top, right and bottom, a
/// grey handle (50 % opaque, 75 % under the pointer) with 3 px corners and at least 28 px long,
/// and nothing else drawn.
class SlimScrollBarStyle final : public QProxyStyle {
public:
    SlimScrollBarStyle();

    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override;
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override;
    QRect subControlRect(ComplexControl control, const QStyleOptionComplex* option, SubControl part,
                         const QWidget* widget) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex* option, QPainter* painter,
                            const QWidget* widget) const override;
};
