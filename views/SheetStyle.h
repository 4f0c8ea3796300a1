#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

/// The named text styles and colours the settings sheet and the tray menu use, taken from the
/// theme so that light and dark palettes both read well.
namespace sheetstyle {

QFont title2Bold();
QFont title3();
QFont subheadline();
QFont subheadlineSemibold();
QFont subheadlineMonospaced();
QFont caption();
QFont captionMonospaced();
QFont caption2();

/// System pink: card headings and switched-on switches.
QColor accent(const QPalette& palette);
QColor primary(const QPalette& palette);
QColor secondary(const QPalette& palette);
QColor tertiary(const QPalette& palette);
QColor destructive(const QPalette& palette);
QColor switchTrackOff(const QPalette& palette);
QColor windowBackground(const QPalette& palette);

} // namespace sheetstyle
