#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

#include <string_view>
#include <vector>

/// The project's own symbols, named like the platform symbols the views ask for
/// ("gearshape", "hand.raised.fill", ...). Each is an SVG drawn in one colour on a 24 x 24 grid,
/// stored as resources/symbols/<name>.svg and compiled into the views library; the caller's tint
/// replaces that colour. Rendered pixmaps are cached. Main thread only.
namespace symbols {

/// Whether a symbol of that name exists.
bool hasSymbol(std::string_view name);
/// The symbol tinted `tint`, rendered afresh for every size and pixel ratio a widget asks for.
/// Unknown names give a null icon (and a warning), never an empty box.
QIcon symbolIcon(std::string_view name, const QColor& tint);
/// The symbol as a square pixmap of `logicalPx` logical pixels at `devicePixelRatio`, tinted.
/// Unknown names give a null pixmap.
QPixmap symbolPixmap(std::string_view name, int logicalPx, const QColor& tint, qreal devicePixelRatio = 1.0);
/// An image asset from resources/images (e.g. "BonklyLogo"), fitted into `logicalSize` with its
/// aspect ratio kept; null when unknown.
QPixmap imagePixmap(std::string_view name, QSize logicalSize, qreal devicePixelRatio = 1.0);
/// The aspect ratio (width / height) of an image asset; 1 when unknown.
qreal imageAspectRatio(std::string_view name);

/// Every symbol name the application's views use, so a test can check that each one draws.
const std::vector<std::string_view>& usedSymbolNames();

} // namespace symbols
