#include "views/SheetStyle.h"

#include "views/Theme.h"

namespace sheetstyle {

using theme::Design;
using theme::SystemColor;
using theme::TextStyle;

QFont title2Bold() { return theme::font(TextStyle::title2, QFont::Bold); }
QFont title3() { return theme::font(TextStyle::title3); }
QFont subheadline() { return theme::font(TextStyle::subheadline); }
QFont subheadlineSemibold() { return theme::font(TextStyle::subheadline, QFont::DemiBold); }
QFont subheadlineMonospaced() { return theme::font(TextStyle::subheadline, std::nullopt, Design::monospaced); }
QFont caption() { return theme::font(TextStyle::caption); }
QFont captionMonospaced() { return theme::font(TextStyle::caption, std::nullopt, Design::monospaced); }
QFont caption2() { return theme::font(TextStyle::caption2); }

QColor accent(const QPalette& palette) { return theme::color(SystemColor::pink, palette); }
QColor primary(const QPalette& palette) { return theme::color(SystemColor::primary, palette); }
QColor secondary(const QPalette& palette) { return theme::color(SystemColor::secondary, palette); }
QColor tertiary(const QPalette& palette) { return theme::color(SystemColor::tertiary, palette); }
QColor destructive(const QPalette& palette) { return theme::color(SystemColor::red, palette); }
QColor switchTrackOff(const QPalette& palette)
{
    return theme::withOpacity(theme::color(SystemColor::primary, palette), theme::isDark(palette) ? 0.28 : 0.18);
}
QColor windowBackground(const QPalette& palette) { return theme::color(SystemColor::windowBackground, palette); }

} // namespace sheetstyle
