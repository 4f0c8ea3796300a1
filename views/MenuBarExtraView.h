#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QMenu;
class QWidget;
class ThwackoViewModel;

/// One element of the menu-bar menu, top to bottom.
struct MenuBarMenuItem {
    enum class Kind { status, startStop, pauseResume, divider, openWindow, quit };
    Kind kind;
    QString title;  ///< empty for the divider
    QString symbol; ///< symbol name; empty for the divider
    bool destructive = false;
};

/// The menu's elements for the view model's two flags; `isPaused` counts only while running.
std::vector<MenuBarMenuItem> menuBarMenuItems(bool isRunning, bool isPaused);

/// The menu-bar menu: a status row, start/stop, pause/resume (only while listening), a divider,
/// the window item and the quit item. It keeps no state of its own: the menu is rebuilt whenever
/// the view model's two flags change. Lives on the main thread.
class MenuBarExtraView final : public QObject {
    Q_OBJECT

public:
    /// Opens a window scene by its identifier ("main").
    using OpenWindowAction = std::function<void(const QString& identifier)>;
    /// Ends the application through its normal path.
    using TerminateAction = std::function<void()>;

    /// `terminate` defaults to quitting the Qt application's event loop.
    MenuBarExtraView(ThwackoViewModel& viewModel, OpenWindowAction openWindow, TerminateAction terminate = {},
                     QObject* parent = nullptr);
    ~MenuBarExtraView() override;

    /// The menu, owned by this view.
    QMenu* menu() const { return menu_.get(); }
    /// The elements the menu shows now.
    const std::vector<MenuBarMenuItem>& items() const { return shown; }
    /// The menu action of an element kind, or nullptr when the menu has none.
    QAction* action(MenuBarMenuItem::Kind kind) const;

    /// Whether the tray host draws the menu from an exported description (a D-Bus host) rather
    /// than the application drawing it. Such a menu has no inert row but a disabled item, so the
    /// status row goes out disabled there; drawn by the application it keeps its own look.
    void setExported(bool exported);
    bool isExported() const { return exported; }

    /// The window item: brings the first window that can take the focus forward, or opens the
    /// "main" scene when there is none.
    void openBonklyWindow();
    /// Whether `window` is a visible application window that can take the keyboard focus.
    static bool canBecomeKeyWindow(const QWidget* window);
    /// Whether `window` is an application window (not a menu, tooltip or the tray's own), shown
    /// or not.
    static bool isApplicationWindow(const QWidget* window);

private:
    void rebuild();
    void perform(MenuBarMenuItem::Kind kind);

    ThwackoViewModel& viewModel;
    OpenWindowAction openWindow;
    TerminateAction terminate;
    std::unique_ptr<QMenu> menu_;
    std::vector<MenuBarMenuItem> shown;
    std::vector<std::pair<MenuBarMenuItem::Kind, QAction*>> actions;
    bool builtRunning = false;
    bool builtPaused = false;
    bool built = false;
    bool exported = false;
};
