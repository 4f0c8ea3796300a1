#pragma once

// moc cannot parse the C++20 library headers this pulls in; it needs none of them.
#ifndef Q_MOC_RUN
#include "platform/foundation/Date.h"
#endif

#include <QColor>
#include <QFont>
#include <QLocale>
#include <QPalette>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

/// The platform's named text styles, system colours and materials, mapped onto Qt, and the
/// number formats the views show. Colours follow the palette they are asked for, so one view
/// reads well in a light and a dark palette. Main thread only.
namespace theme {

/// Named text styles, largest first.
enum class TextStyle {
    largeTitle,
    title,
    title2,
    title3,
    headline,
    body,
    callout,
    subheadline,
    footnote,
    caption,
    caption2,
};

enum class Design {
    standard,
    monospaced,
    rounded,
};

/// The style's font: its own size and weight unless `weight` is given.
QFont font(TextStyle style, std::optional<QFont::Weight> weight = std::nullopt, Design design = Design::standard);
/// The style's size in logical pixels.
int pointSize(TextStyle style);

/// System colours and the hierarchical foreground styles.
enum class SystemColor {
    red,
    orange,
    yellow,
    green,
    blue,
    cyan,
    purple,
    pink,
    gray,
    primary,
    secondary,
    tertiary,
    quaternary,
    windowBackground,
    controlBackground,
    separator,
};

/// Whether `palette` is a dark one (its window colour is dark).
bool isDark(const QPalette& palette);
/// The colour as it reads on `palette`.
QColor color(SystemColor which, const QPalette& palette);
/// The colour with its alpha multiplied by `opacity`.
QColor withOpacity(QColor color, qreal opacity);

/// A light and a dark palette for the Fusion style, close to the platform's own.
QPalette lightPalette();
QPalette darkPalette();

/// Paints the ultra-thin material: a translucent, softly outlined rounded rectangle.
void paintMaterial(QPainter& painter, const QRectF& rect, qreal radius, const QPalette& palette);

/// A container whose background is the ultra-thin material with a corner radius.
class MaterialPanel : public QWidget {
    Q_OBJECT
public:
    explicit MaterialPanel(qreal radius, QWidget* parent = nullptr);
    qreal radius() const { return cornerRadius; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    qreal cornerRadius;
};

// Numbers, always with a full stop and without grouping, whatever the locale.

/// `value` with `decimals` decimals ("%.Nf" in the C locale).
QString fixed(double value, int decimals);
/// "%.4fg": an amplitude in g.
QString amplitude(double g);
/// "%.1fx": a rate.
QString ratio(double value);
/// A count as plain decimal digits.
QString count(std::int64_t value);
/// The locale's short time format without seconds: hours and minutes.
QString hoursAndMinutesFormat(const QLocale& locale);
/// The time of day of `date`, hours and minutes in the current locale (no date, no seconds).
QString timeOfDay(foundation::Date date);

} // namespace theme
