#include "views/Widgets.h"

#include "views/FormattedText.h"
#include "views/SlimScrollBarStyle.h"
#include "views/Symbols.h"

#include <QEasingCurve>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextLayout>
#include <QTimerEvent>

#include <cmath>

namespace widgets {

namespace {
bool animationsOn = true;
}

QColor Tint::resolve(const QPalette& palette) const
{
    const QColor base = role ? theme::color(*role, palette) : fixed;
    return theme::withOpacity(base, opacity);
}

QColor mix(const QColor& from, const QColor& to, qreal t)
{
    auto lerp = [t](float a, float b) { return a + (b - a) * float(t); };
    return QColor::fromRgbF(lerp(from.redF(), to.redF()), lerp(from.greenF(), to.greenF()),
                            lerp(from.blueF(), to.blueF()), lerp(from.alphaF(), to.alphaF()));
}

void setAnimationsEnabled(bool enabled) { animationsOn = enabled; }
bool animationsEnabled() { return animationsOn; }

QEasingCurve spring(qreal, qreal)
{
    // A damped oscillator released from rest and settling at 1, over 1.6 of its periods. Qt's
    // custom curves take a plain function, so the damping is the views' one value (0.62, between
    // the 0.6 and 0.65 they ask for); callers give the duration from the response.
    // setCustomType() makes the curve custom; asking the constructor for the Custom type
    // instead only logs that the type is invalid.
    QEasingCurve curve;
    curve.setCustomType([](qreal t) {
        if (t >= 1.0) {
            return 1.0;
        }
        constexpr qreal zeta = 0.62;
        const qreal omega = 2 * M_PI;
        const qreal omegaD = omega * std::sqrt(1 - zeta * zeta);
        const qreal s = t * 1.6;
        const qreal envelope = std::exp(-zeta * omega * s);
        return 1 - envelope * (std::cos(omegaD * s) + zeta * omega / omegaD * std::sin(omegaD * s));
    });
    return curve;
}

QVariantAnimation* animate(QObject* owner, int ms, std::function<void(qreal)> apply, QEasingCurve curve)
{
    if (!animationsOn || ms <= 0) {
        apply(1.0);
        return nullptr;
    }
    auto* animation = new QVariantAnimation(owner);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setDuration(ms);
    animation->setEasingCurve(curve);
    QObject::connect(animation, &QVariantAnimation::valueChanged, owner,
                     [apply](const QVariant& value) { apply(value.toReal()); });
    apply(0.0);
    animation->start(QAbstractAnimation::DeleteWhenStopped);
    return animation;
}

void useSlimScrollBars(QAbstractScrollArea* area)
{
    // The area draws no focus of its own, so Tab passes it by for the controls inside, which it
    // scrolls into view as they take the focus.
    area->setFocusPolicy(Qt::NoFocus);
    QScrollBar* bar = area->verticalScrollBar();
    auto* style = new SlimScrollBarStyle;
    style->setParent(bar);
    bar->setStyle(style);
    // The handle follows the pointer, lighting up under it.
    bar->setMouseTracking(true);
}

// ---- TextLabel

struct TextLabel::Fit {
    int width = 0;
    QFont font;
    QStringList lines; // on one line: the elided text; with a line limit: each line; else unused
    qreal lineSpacing = 0;
};

struct TextLabel::Drawing {
    QSize size;
    QFont font; // the painter's, which the runs were laid out in
    Qt::LayoutDirection direction = Qt::LeftToRight;
    qreal pixelRatio = 1.0;
    std::vector<std::unique_ptr<FormattedText>> runs;
};

TextLabel::TextLabel(QWidget* parent)
    : QWidget(parent)
    , textFont(theme::font(theme::TextStyle::body))
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

TextLabel::~TextLabel() = default;

void TextLabel::invalidate(bool geometry)
{
    cachedSizeHint.reset();
    cachedMinimumSizeHint.reset();
    cachedHeights.fill({-1, 0});
    fit.reset();
    drawing.reset();
    if (geometry) {
        updateGeometry();
    }
    update();
}

void TextLabel::setText(const QString& text)
{
    if (text == content) {
        return;
    }
    const std::optional<QSize> hintBefore = wrap ? std::nullopt : cachedSizeHint;
    content = text;
    setAccessibleName(text);
    invalidate(false);
    // On one line only the size hint depends on the text: when it stays (a count ticking up in
    // a fixed-width font), the window is spared a relayout.
    if (!hintBefore || sizeHint() != *hintBefore) {
        updateGeometry();
    }
}

void TextLabel::setTint(Tint t)
{
    if (t == tint) {
        return; // views set their whole state on every change; unchanged widgets are not repainted
    }
    tint = t;
    update();
}

void TextLabel::setTextFont(const QFont& font)
{
    textFont = font;
    invalidate(true);
}

void TextLabel::setWrapping(bool w, int lines)
{
    wrap = w;
    maxLines = lines;
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(w);
    setSizePolicy(policy);
    invalidate(true);
}

void TextLabel::setElide(Qt::TextElideMode mode)
{
    if (mode != elide) {
        elide = mode;
        invalidate(false);
    }
}

void TextLabel::setAlignment(Qt::Alignment a)
{
    if (a != alignment) {
        alignment = a;
        invalidate(false);
    }
}

void TextLabel::setMinimumScale(qreal factor)
{
    if (factor != minimumScale) {
        minimumScale = factor;
        invalidate(false);
    }
}

QSize TextLabel::sizeHint() const
{
    if (cachedSizeHint) {
        return *cachedSizeHint;
    }
    const QFontMetricsF metrics(textFont);
    qreal width = 0;
    for (const QString& line : content.split(u'\n')) {
        width = std::max(width, metrics.horizontalAdvance(line));
    }
    const int lines = wrap ? int(content.count(u'\n')) + 1 : 1;
    const int w = int(std::ceil(width)) + 1;
    cachedSizeHint = QSize(w, wrap ? heightForWidth(w) : int(std::ceil(metrics.height())) * lines);
    return *cachedSizeHint;
}

QSize TextLabel::minimumSizeHint() const
{
    if (cachedMinimumSizeHint) {
        return *cachedMinimumSizeHint;
    }
    const QFontMetricsF metrics(textFont);
    if (wrap) {
        cachedMinimumSizeHint = QSize(int(std::ceil(metrics.averageCharWidth() * 6)), int(std::ceil(metrics.height())));
    } else {
        cachedMinimumSizeHint =
            QSize(int(std::ceil(metrics.horizontalAdvance(QStringLiteral("…")) * 2)), int(std::ceil(metrics.height())));
    }
    return *cachedMinimumSizeHint;
}

int TextLabel::heightForWidth(int width) const
{
    for (const auto& [w, h] : cachedHeights) {
        if (w == width) {
            return h;
        }
    }
    const QFontMetricsF metrics(textFont);
    int height = 0;
    if (!wrap) {
        height = int(std::ceil(metrics.height()));
    } else {
        const int flags = Qt::TextWordWrap | int(alignment & Qt::AlignHorizontal_Mask);
        const QRectF bounds = metrics.boundingRect(QRectF(0, 0, std::max(width, 1), 100000), flags, content);
        qreal text = bounds.height();
        if (maxLines > 0) {
            text = std::min(text, metrics.lineSpacing() * maxLines);
        }
        height = int(std::ceil(std::max(text, metrics.height())));
    }
    // The layout asks for its width and the hint's by turns; two entries hold both.
    cachedHeights[1] = cachedHeights[0];
    cachedHeights[0] = {width, height};
    return height;
}

const TextLabel::Fit& TextLabel::fitted(int width) const
{
    if (fit && fit->width == width) {
        return *fit;
    }
    auto fitting = std::make_unique<Fit>();
    fitting->width = width;
    fitting->font = textFont;
    const qreal available = width;
    if (!wrap) {
        QFontMetricsF metrics(textFont);
        const qreal natural = metrics.horizontalAdvance(content);
        if (natural > available && minimumScale < 1.0) {
            const qreal scale = std::max(minimumScale, available / natural);
            fitting->font.setPixelSize(std::max(1, int(std::floor(textFont.pixelSize() * scale))));
            metrics = QFontMetricsF(fitting->font);
        }
        fitting->lines = {metrics.elidedText(content, elide, available)};
    } else if (maxLines > 0) {
        // At most maxLines lines; the last one is cut with an ellipsis.
        const QFontMetricsF metrics(textFont);
        QTextLayout layout(content, textFont);
        QTextOption option;
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        layout.setTextOption(option);
        layout.beginLayout();
        for (int i = 0; i < maxLines; ++i) {
            QTextLine line = layout.createLine();
            if (!line.isValid()) {
                break;
            }
            line.setLineWidth(available);
            QString text = content.mid(line.textStart(), line.textLength());
            if (i == maxLines - 1 && line.textStart() + line.textLength() < content.size()) {
                text = metrics.elidedText(content.mid(line.textStart()), Qt::ElideRight, available);
            }
            fitting->lines << text.trimmed();
        }
        layout.endLayout();
        fitting->lineSpacing = metrics.lineSpacing();
    }
    fit = std::move(fitting);
    return *fit;
}

void TextLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(tint.resolve(palette()));
    const Fit& fitting = fitted(width());
    painter.setFont(fitting.font);
    const qreal ratio = painter.device()->devicePixelRatioF();
    if (!drawing || drawing->size != size() || drawing->font != painter.font() ||
        drawing->direction != painter.layoutDirection() || drawing->pixelRatio != ratio) {
        auto made = std::make_unique<Drawing>();
        made->size = size();
        made->font = painter.font();
        made->direction = painter.layoutDirection();
        made->pixelRatio = ratio;
        const QRectF area = rect();
        if (!wrap) {
            made->runs.push_back(std::make_unique<FormattedText>(fitting.lines.value(0), area,
                                                                 int(alignment) | Qt::TextSingleLine, painter));
        } else if (maxLines <= 0) {
            made->runs.push_back(
                std::make_unique<FormattedText>(content, area, int(alignment) | Qt::TextWordWrap, painter));
        } else {
            qreal top = 0;
            for (const QString& line : fitting.lines) {
                made->runs.push_back(std::make_unique<FormattedText>(
                    line, QRectF(0, top, area.width(), fitting.lineSpacing),
                    int(alignment & Qt::AlignHorizontal_Mask) | Qt::AlignTop | Qt::TextSingleLine, painter));
                top += fitting.lineSpacing;
            }
        }
        drawing = std::move(made);
    }
    for (const auto& run : drawing->runs) {
        run->draw(painter);
    }
}

// ---- SymbolView

SymbolView::SymbolView(std::string n, int px, Tint t, QWidget* parent)
    : QWidget(parent)
    , name(std::move(n))
    , pixels(px)
    , tint(t)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setAccessibleName(QString::fromStdString(name));
}

void SymbolView::setSymbol(std::string n, Tint t)
{
    if (n == name && t == tint) {
        return;
    }
    tint = t;
    if (n != name) {
        name = std::move(n);
        setAccessibleName(QString::fromStdString(name));
    }
    update();
}

void SymbolView::setFrameWidth(int width)
{
    frameWidth = width;
    updateGeometry();
}

QSize SymbolView::sizeHint() const { return {std::max(frameWidth, pixels), pixels}; }

void SymbolView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPixmap pixmap = symbols::symbolPixmap(name, pixels, tint.resolve(palette()), devicePixelRatioF());
    const QPointF origin((width() - pixels) / 2.0, (height() - pixels) / 2.0);
    painter.drawPixmap(origin, pixmap);
}

// ---- Separator

Separator::Separator(QWidget* parent)
    : QWidget(parent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Separator::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), theme::color(theme::SystemColor::separator, palette()));
}

// ---- Spinner

Spinner::Spinner(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Spinner::showEvent(QShowEvent*)
{
    if (animationsOn) {
        step_ = 0;
        timer.start(100, this);
    }
}

void Spinner::hideEvent(QHideEvent*)
{
    timer.stop();
    step_ = 0;
}

void Spinner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    step_ = (step_ + 1) % 8;
    update();
}

void Spinner::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int step = step_;
    const QPointF centre(width() / 2.0, height() / 2.0);
    const qreal outer = std::min(width(), height()) / 2.0 - 0.5;
    const QColor base = theme::color(theme::SystemColor::primary, palette());
    for (int i = 0; i < 8; ++i) {
        const int age = (step - i + 8) % 8;
        const qreal angle = i * M_PI / 4 - M_PI / 2;
        const QPointF dir(std::cos(angle), std::sin(angle));
        painter.setPen(QPen(theme::withOpacity(base, 0.9 - age * 0.09), 1.6, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(centre + dir * outer * 0.45, centre + dir * outer);
    }
}

} // namespace widgets
