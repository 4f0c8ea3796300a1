#pragma once

#include "views/Theme.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QColor>
#include <QVariantAnimation>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

/// Small painted building blocks of the views. Each takes its colours from theme roles at paint
/// time, so it follows the palette it is shown in; none holds application state.
namespace widgets {

/// A colour that is either a theme role (optionally faded) or a fixed colour.
struct Tint {
    std::optional<theme::SystemColor> role;
    QColor fixed;
    qreal opacity = 1.0;

    static Tint of(theme::SystemColor role, qreal opacity = 1.0) { return {role, {}, opacity}; }
    static Tint rgb(QColor color) { return {std::nullopt, color, 1.0}; }
    QColor resolve(const QPalette& palette) const;
    bool operator==(const Tint&) const = default;
};

/// One run of text: a font, a tint, wrapping or one-line elision, and an optional shrink before
/// eliding. Its accessible name is its text.
///
/// What it measures and lays out is kept until an input changes (the text, font, wrapping,
/// elision, alignment or shrink; the width for the fitted text; the size, the painter's font
/// and direction and the pixel ratio for the drawn layout), so a repaint only draws glyphs.
class TextLabel : public QWidget {
    Q_OBJECT
public:
    explicit TextLabel(QWidget* parent = nullptr);
    ~TextLabel() override;

    void setText(const QString& text);
    QString text() const { return content; }
    void setTint(Tint tint);
    void setTextFont(const QFont& font);
    /// Wraps onto as many lines as needed, or up to `maxLines` (0: no limit).
    void setWrapping(bool wrap, int maxLines = 0);
    void setElide(Qt::TextElideMode mode);
    void setAlignment(Qt::Alignment a);
    /// On one line, shrink down to `factor` of the font size before eliding.
    void setMinimumScale(qreal factor);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return wrap; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Fit;
    struct Drawing;
    /// The font and lines for `width`: the shrunk font and elided text on one line, or the lines
    /// cut at `maxLines`.
    const Fit& fitted(int width) const;
    /// Drops everything measured or laid out; with `geometry`, tells the layout the hints changed.
    void invalidate(bool geometry);

    QString content;
    Tint tint = Tint::of(theme::SystemColor::primary);
    QFont textFont;
    bool wrap = false;
    int maxLines = 0;
    Qt::TextElideMode elide = Qt::ElideRight;
    Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
    qreal minimumScale = 1.0;

    mutable std::optional<QSize> cachedSizeHint;
    mutable std::optional<QSize> cachedMinimumSizeHint;
    mutable std::array<std::pair<int, int>, 2> cachedHeights{{{-1, 0}, {-1, 0}}}; // width, height; newest first
    mutable std::unique_ptr<Fit> fit;
    std::unique_ptr<Drawing> drawing;
};

/// A symbol of the project's set, drawn at a fixed logical size in a tint.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(std::string name, int pixels, Tint tint, QWidget* parent = nullptr);
    void setSymbol(std::string name, Tint tint);
    const std::string& symbol() const { return name; }
    /// The tint on this widget's palette now.
    QColor currentColor() const { return tint.resolve(palette()); }
    /// Width of the frame the symbol is centred in (default: its own size).
    void setFrameWidth(int width);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string name;
    int pixels;
    Tint tint;
    int frameWidth = 0;
};

/// A filled, rounded push button with a symbol and a title (the prominent bordered style), or
/// with `prominent` false the plain bordered style.
class PillButton : public QAbstractButton {
    Q_OBJECT
public:
    PillButton(bool prominent, QWidget* parent = nullptr);
    void setContent(const QString& title, std::string symbol);
    /// The new tint; with `fadeMs` the drawn colour moves there ease-in-out.
    void setTint(Tint tint, int fadeMs = 0);
    /// Draws the button on its way in: at `progress` 0 transparent and shifted by `from`, at 1
    /// in place. Only the drawing moves; the button is there for clicks and readers throughout.
    void setEntrance(qreal progress, QPointF from);
    void setVerticalPadding(int padding)
    {
        padding_ = padding;
        updateGeometry();
    }
    const std::string& symbol() const { return symbolName; }
    QColor currentTint() const { return tint.resolve(palette()); }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool prominent;
    std::string symbolName;
    Tint tint = Tint::of(theme::SystemColor::pink);
    QColor fadeFrom;
    qreal fade = 1.0;
    qreal entrance = 1.0;
    QPointF entranceFrom;
    int padding_ = 10;
};

/// A borderless button that shows only a symbol (the header's gear, the sheet's close button).
class SymbolButton : public QAbstractButton {
    Q_OBJECT
public:
    SymbolButton(std::string symbol, int pixels, Tint tint, const QString& accessibleName, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::string symbolName;
    int pixels;
    Tint tint;
};

/// A borderless text button (the log's "Clear").
class PlainTextButton : public QAbstractButton {
    Q_OBJECT
public:
    PlainTextButton(const QString& title, QFont font, Tint tint, QWidget* parent = nullptr);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QFont font_;
    Tint tint;
};

/// An indeterminate spinner in the small control size: eight spokes, one step every 100 ms.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {14, 14}; }
    /// The spoke drawn brightest, 0 to 7.
    int step() const { return step_; }
    bool isSpinning() const { return timer.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    // Stepped on a timer at its own pace rather than by an animation: an animation would repaint
    // at the screen's rate (about 60 Hz) for a picture that changes ten times a second.
    QBasicTimer timer;
    int step_ = 0;
};

/// A one-pixel horizontal line in the separator colour.
class Separator : public QWidget {
    Q_OBJECT
public:
    explicit Separator(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

/// Gives a scroll area thin, rounded scroll bars without arrows that read on light and dark; the
/// area itself takes no keyboard focus (Tab goes to the controls inside).
void useSlimScrollBars(QAbstractScrollArea* area);

/// Runs `apply(t)` for t from 0 to 1 over `ms` milliseconds with ease-in-out, or at once at 1
/// when animations are off. The state readers see is set by the caller beforehand; this only
/// paints the way there.
QVariantAnimation* animate(QObject* owner, int ms, std::function<void(qreal)> apply,
                           QEasingCurve curve = QEasingCurve::InOutQuad);
/// A damped spring as an easing curve; run it over 1.6 responses.
QEasingCurve spring(qreal response, qreal damping);
/// Animations are skipped (the end state drawn at once) while this is false; tests that grab
/// pictures turn them off.
void setAnimationsEnabled(bool enabled);
bool animationsEnabled();

/// Mixes two colours: t = 0 gives `from`, 1 gives `to`.
QColor mix(const QColor& from, const QColor& to, qreal t);

} // namespace widgets
