#pragma once

#include "views/MenuBarExtraView.h"

#include <QList>
#include <QObject>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>

class QSystemTrayIcon;
class QTimer;
class ThwackoViewModel;

/// The tray item: the hand with the slap count as its icon, the accessible label and value as
/// its tooltip, and the menu-bar menu. On an XEmbed tray, where the application draws the menu,
/// a plain click drops the menu down as well; on a D-Bus (StatusNotifierItem) host, which shows
/// the exported menu on a right click itself, a plain click opens the window instead, as "Open
/// Bonkly window" does.
///
/// Where the desktop has no tray the application must stay reachable: while no tray is there,
/// closing the last application window quits the application (through the terminate action);
/// when the tray goes away while no window is shown, the "main" window opens. Lives on the main
/// thread.
class MenuBarExtra final : public QObject {
    Q_OBJECT

public:
    /// Whether the desktop shows a system tray now.
    using TrayProbe = std::function<bool()>;

    /// How often the tray's presence is checked again.
    static constexpr int trayCheckIntervalMs = 2000;

    /// `probe` defaults to asking Qt whether a system tray is available.
    MenuBarExtra(ThwackoViewModel& viewModel, MenuBarExtraView::OpenWindowAction openWindow,
                 MenuBarExtraView::TerminateAction terminate = {}, TrayProbe probe = {}, QObject* parent = nullptr);
    ~MenuBarExtra() override;

    QSystemTrayIcon& trayIcon() const { return *tray; }
    MenuBarExtraView& menuView() const { return *view; }
    /// The slap count the icon shows now.
    std::int64_t shownCount() const { return count; }
    /// Whether a tray was there at the last check.
    bool isTrayAvailable() const { return trayAvailable; }
    /// Whether hiding the last application window ends the application now.
    bool quitsWhenLastWindowCloses() const { return !trayAvailable; }
    /// Whether the item is exported over D-Bus (StatusNotifierItem) rather than embedded (XEmbed).
    bool isExported() const;
    /// The icon sizes the icon declares: those panels ask for.
    static const QList<QSize>& iconSizes();

    /// Looks again whether a tray is there and applies the rules above on a change.
    void checkTray();

signals:
    /// The tray appeared or went away.
    void trayAvailabilityChanged(bool available);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void refresh(bool force);
    /// Installs or removes the application-wide filter that sees windows hide.
    void watchHides(bool on);
    bool anyWindowShown() const;
    void quitIfUnreachable();

    ThwackoViewModel& viewModel;
    MenuBarExtraView::OpenWindowAction openWindow;
    MenuBarExtraView::TerminateAction terminate;
    TrayProbe probe;
    std::unique_ptr<MenuBarExtraView> view;
    std::unique_ptr<QSystemTrayIcon> tray;
    QTimer* trayTimer = nullptr;
    std::int64_t count = -1;
    bool trayAvailable = false;
    bool quitCheckPending = false;
    bool watchingHides = false;
};
