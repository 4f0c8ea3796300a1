#include "views/FocusRing.h"

#include "views/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionSlider>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace focusring {

namespace {

// Qt marks a window when the focus moves by Tab but never clears the mark on a click, so a ring
// once shown would come back on every control clicked afterwards; a click clears it here. Every
// event of the main thread passes through each application-wide filter, the processing timer's
// too, so this one is installed only while some window carries the mark: Qt sets it only as it
// moves the focus, which the application announces.
class ClickWatcher final : public QObject {
public:
    explicit ClickWatcher(QApplication* application)
        : QObject(application)
    {
        connect(application, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
            if (now != nullptr && now->window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
                watch(now->window());
            }
        });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
            QWidget* window = static_cast<QWidget*>(watched)->window();
            if (window->testAttribute(Qt::WA_KeyboardFocusChange)) {
                window->setAttribute(Qt::WA_KeyboardFocusChange, false);
                if (QWidget* focused = window->focusWidget()) {
                    focused->update();
                }
                forgetUnmarked();
            }
        }
        return false;
    }

private:
    void watch(QWidget* window)
    {
        if (std::find(marked.begin(), marked.end(), window) == marked.end()) {
            marked.emplace_back(window);
        }
        if (!filtering) {
            filtering = true;
            qApp->installEventFilter(this);
        }
    }

    void forgetUnmarked()
    {
        std::erase_if(marked, [](const QPointer<QWidget>& window) {
            return window.isNull() || !window->testAttribute(Qt::WA_KeyboardFocusChange);
        });
        if (marked.empty() && filtering) {
            filtering = false;
            qApp->removeEventFilter(this);
        }
    }

    std::vector<QPointer<QWidget>> marked; // the windows that carried the mark when last seen
    bool filtering = false;
};

} // namespace

void follow()
{
    static QObject* watcher = nullptr;
    if (watcher == nullptr && qApp != nullptr) {
        watcher = new ClickWatcher(qApp);
    }
}

bool shows(const QWidget* widget)
{
    return widget->hasFocus() && widget->window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void paint(QPainter& painter, const QPainterPath& shape, const QPalette& palette)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(theme::withOpacity(theme::color(theme::SystemColor::blue, palette), 0.85), 2.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(shape);
    painter.restore();
}

} // namespace focusring

namespace {

constexpr int kRingRoom = 3;

} // namespace

AccentSlider::AccentSlider(QWidget* parent)
    : QSlider(Qt::Horizontal, parent)
{
    focusring::follow();
    takeAccent();
}

QSize AccentSlider::sizeHint() const { return QSlider::sizeHint() + QSize(0, 2 * kRingRoom); }

QSize AccentSlider::minimumSizeHint() const { return QSlider::minimumSizeHint() + QSize(0, 2 * kRingRoom); }

void AccentSlider::takeAccent()
{
    const QColor accent = theme::color(theme::SystemColor::pink, palette());
    if (palette().color(QPalette::Highlight) == accent) {
        return;
    }
    QPalette pal = palette();
    pal.setColor(QPalette::Highlight, accent);
    setPalette(pal);
}

void AccentSlider::changeEvent(QEvent* event)
{
    QSlider::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        takeAccent();
    }
}

void AccentSlider::paintEvent(QPaintEvent* event)
{
    QSlider::paintEvent(event);
    if (!focusring::shows(this)) {
        return;
    }
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect knob = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    QPainter painter(this);
    QPainterPath ring;
    ring.addRoundedRect(QRectF(knob).adjusted(-2, -2, 2, 2), 5, 5);
    focusring::paint(painter, ring, palette());
}
