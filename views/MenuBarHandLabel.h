#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRectF>
#include <QRgb>
#include <QString>

#include <cstdint>

/// The tray item's picture: the raised hand with the slap count overlapping its lower right
/// corner, in white on a rounded tile of the logo's pink. The tile's pink stands out by at least
/// 3 : 1 from light and dark panels alike, so the icon reads whatever the panel or palette.
///
/// Laid out in points inside a square slot of `slotSide` points, the icon's whole area: the hand
/// at the standard symbol size, and over it the count in 9 pt heavy digits, in a frame at least
/// 10 pt wide with the text at its trailing edge, aligned with the hand's bottom-trailing corner
/// and then moved 4 pt right and 2 pt down. A count too wide for the slot shrinks, down to 45 %
/// of its size, and never wraps.
class MenuBarHandLabel {
public:
    static constexpr qreal slotSide = 22;
    static constexpr qreal handSide = 17;
    static constexpr qreal margin = 1;
    static constexpr qreal fontPoints = 9;
    static constexpr qreal minimumScaleFactor = 0.45;
    static constexpr qreal minimumCountWidth = 10;
    static constexpr qreal countOffsetX = 4;
    static constexpr qreal countOffsetY = 2;
    static constexpr qreal tileRadius = 4.5;
    /// The tile's gradient, top left to bottom right, and the colour of the hand and digits.
    static constexpr QRgb tileTop = 0xffec407a;
    static constexpr QRgb tileBottom = 0xffd81b60;
    static constexpr QRgb glyph = 0xffffffff;

    /// Where things go, in points inside the slot.
    struct Layout {
        QRectF hand;       ///< the symbol's box
        QRectF countFrame; ///< the count's frame after the offset
        QString text;      ///< what is drawn: the count, elided only past the minimum scale
        qreal scale = 1;   ///< the count's shrink factor, 0.45 to 1
        qreal baselineY = 0;
        qreal textLeft = 0;
    };

    explicit MenuBarHandLabel(std::int64_t slapCount);

    std::int64_t slapCount() const { return count; }
    /// The count in decimal without grouping separators.
    QString countText() const;
    /// "Bonkly".
    static QString accessibilityLabel();
    /// The count, a blank and "slaps", for every count ("1 slaps").
    QString accessibilityValue() const;
    /// The tray's tooltip: the accessible label and value.
    QString toolTip() const;

    /// The digits' font at 9 units (heavy, tabular digits).
    static QFont countFont();
    Layout layout() const;

    /// The label as an image of `side` logical pixels at `devicePixelRatio`.
    QImage image(int side, qreal devicePixelRatio) const;

private:
    std::int64_t count;
};
