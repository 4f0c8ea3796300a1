#include "views/MenuBarExtra.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/MenuBarHandLabel.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QIconEngine>
#include <QMenu>
#include <QPainter>
#include <QPalette>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

/// Draws the label at whatever size and pixel ratio the tray asks for.
class HandLabelIconEngine final : public QIconEngine {
public:
    HandLabelIconEngine(std::int64_t count, QColor tint)
        : label(count)
        , tint(tint)
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override
    {
        label.paint(*painter, rect, tint);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return scaledPixmap(size, mode, state, 1.0);
    }

    /// `size` is in device pixels here (QIcon::pixmap() multiplies by the ratio before asking).
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode, QIcon::State, qreal scale) override
    {
        const qreal ratio = scale > 0 ? scale : 1.0;
        const int side = static_cast<int>(std::lround(std::min(size.width(), size.height()) / ratio));
        return QPixmap::fromImage(label.image(side, ratio, tint));
    }

    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override
    {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QIconEngine* clone() const override { return new HandLabelIconEngine(label.slapCount(), tint); }
    QString key() const override { return QStringLiteral("ThwackoHandLabel"); }

private:
    MenuBarHandLabel label;
    QColor tint;
};

} // namespace

MenuBarExtra::MenuBarExtra(ThwackoViewModel& viewModel, MenuBarExtraView::OpenWindowAction openWindow,
                           MenuBarExtraView::TerminateAction terminate, TrayProbe probe, QObject* parent)
    : QObject(parent)
    , viewModel(viewModel)
    , openWindow(openWindow)
    , terminate(terminate ? std::move(terminate) : MenuBarExtraView::TerminateAction([] { QCoreApplication::quit(); }))
    , probe(probe ? std::move(probe) : TrayProbe([] { return QSystemTrayIcon::isSystemTrayAvailable(); }))
    , view(std::make_unique<MenuBarExtraView>(viewModel, std::move(openWindow), this->terminate))
    , tray(std::make_unique<QSystemTrayIcon>())
{
    tray->setContextMenu(view->menu());
    // The menu drops down on a plain click too, as a menu-bar item's does.
    connect(tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) {
            view->menu()->popup(QCursor::pos());
        }
    });
    connect(&viewModel, &ThwackoViewModel::changed, this, [this] { refresh(false); });
    qApp->installEventFilter(this);
    refresh(true);

    trayAvailable = this->probe();
    tray->setVisible(true);

    trayTimer = new QTimer(this);
    trayTimer->setInterval(trayCheckIntervalMs);
    connect(trayTimer, &QTimer::timeout, this, &MenuBarExtra::checkTray);
    trayTimer->start();
}

MenuBarExtra::~MenuBarExtra()
{
    qApp->removeEventFilter(this);
    tray->hide();
}

QColor MenuBarExtra::iconTint() { return QGuiApplication::palette().color(QPalette::Active, QPalette::WindowText); }

void MenuBarExtra::checkTray()
{
    const bool available = probe();
    if (available == trayAvailable) {
        return;
    }
    trayAvailable = available;
    if (available) {
        tray->setVisible(true);
    } else if (!anyWindowShown()) {
        openWindow(QStringLiteral("main"));
    }
    emit trayAvailabilityChanged(available);
}

bool MenuBarExtra::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) {
        refresh(true);
    }
    if (event->type() == QEvent::Hide && !trayAvailable && !quitCheckPending) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget != nullptr && widget->isWindow() && MenuBarExtraView::isApplicationWindow(widget)) {
            // Checked once the hide has settled: a window hidden only to be shown again stays.
            quitCheckPending = true;
            QMetaObject::invokeMethod(this, &MenuBarExtra::quitIfUnreachable, Qt::QueuedConnection);
        }
    }
    return QObject::eventFilter(watched, event);
}

bool MenuBarExtra::anyWindowShown() const
{
    const auto windows = QApplication::topLevelWidgets();
    return std::any_of(windows.begin(), windows.end(),
                       [](const QWidget* widget) { return MenuBarExtraView::canBecomeKeyWindow(widget); });
}

void MenuBarExtra::quitIfUnreachable()
{
    quitCheckPending = false;
    if (!trayAvailable && !anyWindowShown()) {
        terminate();
    }
}

void MenuBarExtra::refresh(bool force)
{
    const std::int64_t total = viewModel.totalSlaps();
    if (!force && total == count) {
        return;
    }
    count = total;
    const MenuBarHandLabel label(total);
    tray->setIcon(QIcon(new HandLabelIconEngine(total, iconTint())));
    tray->setToolTip(label.toolTip());
}
