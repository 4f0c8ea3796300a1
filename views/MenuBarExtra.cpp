#include "views/MenuBarExtra.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/MenuBarHandLabel.h"
#include "views/SquareIconEngine.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

/// Draws the label at whatever size and pixel ratio the tray asks for.
class HandLabelIconEngine final : public SquareIconEngine {
public:
    explicit HandLabelIconEngine(std::int64_t count)
        : label(count)
    {
    }

    QIconEngine* clone() const override { return new HandLabelIconEngine(label.slapCount()); }
    QString key() const override { return QStringLiteral("ThwackoHandLabel"); }
    // An exported item sends pictures of the sizes declared here, drawn for each.
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return MenuBarExtra::iconSizes(); }

protected:
    QPixmap render(int side, qreal ratio, QIcon::Mode, QIcon::State) const override
    {
        return QPixmap::fromImage(label.image(side, ratio));
    }

private:
    MenuBarHandLabel label;
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
    view->setExported(isExported());
    connect(tray.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Trigger) {
            return;
        }
        if (isExported()) {
            // A menu popped at the cursor lands in the wrong place under Wayland, and the host
            // has its own right click for the menu.
            view->openBonklyWindow();
        } else {
            // The menu drops down on a plain click too, as a menu-bar item's does.
            view->menu()->popup(QCursor::pos());
        }
    });
    connect(&viewModel, &ThwackoViewModel::changed, this, [this] { refresh(false); });
    refresh(true);

    trayAvailable = this->probe();
    watchHides(!trayAvailable);
    tray->setVisible(true);

    trayTimer = new QTimer(this);
    trayTimer->setInterval(trayCheckIntervalMs);
    connect(trayTimer, &QTimer::timeout, this, &MenuBarExtra::checkTray);
    trayTimer->start();
}

MenuBarExtra::~MenuBarExtra()
{
    watchHides(false);
    tray->hide();
}

void MenuBarExtra::watchHides(bool on)
{
    // Only hides matter, and only while no tray is there: every event of the main thread (the
    // processing timer's too) passes through each application-wide filter, so this one is
    // installed only while it has something to do.
    if (on == watchingHides || qApp == nullptr) {
        return;
    }
    watchingHides = on;
    on ? qApp->installEventFilter(this) : qApp->removeEventFilter(this);
}

// Qt gives the menu a platform menu exactly when it exports the item over D-Bus.
bool MenuBarExtra::isExported() const { return view->menu()->platformMenu() != nullptr; }

const QList<QSize>& MenuBarExtra::iconSizes()
{
    static const QList<QSize> sizes{{16, 16}, {22, 22}, {32, 32}, {48, 48}};
    return sizes;
}

void MenuBarExtra::checkTray()
{
    const bool available = probe();
    if (available == trayAvailable) {
        return;
    }
    trayAvailable = available;
    watchHides(!available);
    if (available) {
        tray->setVisible(true);
    } else if (!anyWindowShown()) {
        openWindow(QStringLiteral("main"));
    }
    emit trayAvailabilityChanged(available);
}

bool MenuBarExtra::eventFilter(QObject* watched, QEvent* event)
{
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
    tray->setIcon(QIcon(new HandLabelIconEngine(total)));
    tray->setToolTip(label.toolTip());
}
