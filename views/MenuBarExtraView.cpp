#include "views/MenuBarExtraView.h"

#include "ViewModels/ThwackoViewModel.h"
#include "views/Symbols.h"
#include "views/Theme.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QStyle>
#include <QWidget>
#include <QWidgetAction>
#include <QWindow>

#include <algorithm>

using Kind = MenuBarMenuItem::Kind;

std::vector<MenuBarMenuItem> menuBarMenuItems(bool isRunning, bool isPaused)
{
    std::vector<MenuBarMenuItem> items;
    if (!isRunning) {
        items.push_back({Kind::status, QStringLiteral("Stopped"), QStringLiteral("moon.zzz")});
        items.push_back({Kind::startStop, QStringLiteral("Start listening"), QStringLiteral("play.circle")});
    } else {
        if (isPaused) {
            items.push_back({Kind::status, QStringLiteral("Paused"), QStringLiteral("pause.circle")});
        } else {
            items.push_back({Kind::status, QStringLiteral("Listening \u2014 slap away"),
                             QStringLiteral("dot.radiowaves.left.and.right")});
        }
        items.push_back({Kind::startStop, QStringLiteral("Stop listening"), QStringLiteral("stop.circle")});
        if (isPaused) {
            items.push_back({Kind::pauseResume, QStringLiteral("Resume"), QStringLiteral("play.fill")});
        } else {
            items.push_back({Kind::pauseResume, QStringLiteral("Pause"), QStringLiteral("pause.fill")});
        }
    }
    items.push_back({Kind::divider, {}, {}});
    items.push_back({Kind::openWindow, QStringLiteral("Open Bonkly window"), QStringLiteral("macwindow")});
    items.push_back({Kind::quit, QStringLiteral("Quit Bonkly"), QStringLiteral("power"), true});
    return items;
}

namespace {

/// The status row: a symbol and a text in the secondary style, which choosing does nothing to.
/// Its text and icon are what an exported menu shows of it.
QWidgetAction* makeStatusAction(const MenuBarMenuItem& item, QMenu* menu, bool exported)
{
    auto* action = new QWidgetAction(menu);
    action->setText(item.title);
    const QColor secondary = theme::color(theme::SystemColor::secondary, menu->palette());
    action->setIcon(symbols::symbolIcon(item.symbol.toStdString(), secondary));
    // Disabling the action greys its row, so only the exported menu has it disabled.
    action->setEnabled(!exported);
    auto* row = new QWidget;
    row->setObjectName(QStringLiteral("menuStatusRow"));
    auto* layout = new QHBoxLayout(row);
    const int indent = menu->style()->pixelMetric(QStyle::PM_MenuHMargin, nullptr, menu) + 8;
    layout->setContentsMargins(indent, 4, indent, 4);
    layout->setSpacing(6);
    const QFont font = theme::font(theme::TextStyle::subheadline);
    const int side = QFontMetrics(font).height();
    auto* icon = new QLabel;
    icon->setPixmap(symbols::symbolPixmap(item.symbol.toStdString(), side, secondary, menu->devicePixelRatioF()));
    auto* text = new QLabel(item.title);
    text->setObjectName(QStringLiteral("menuStatusText"));
    text->setFont(font);
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, secondary);
    text->setPalette(palette);
    layout->addWidget(icon);
    layout->addWidget(text, 1);
    action->setDefaultWidget(row);
    return action;
}

} // namespace

MenuBarExtraView::MenuBarExtraView(ThwackoViewModel& viewModel, OpenWindowAction openWindow, TerminateAction terminate,
                                   QObject* parent)
    : QObject(parent)
    , viewModel(viewModel)
    , openWindow(std::move(openWindow))
    , terminate(std::move(terminate))
    , menu_(std::make_unique<QMenu>())
{
    if (!this->terminate) {
        this->terminate = [] { QCoreApplication::quit(); };
    }
    menu_->setObjectName(QStringLiteral("menuBarExtraMenu"));
    rebuild();
    connect(&viewModel, &ThwackoViewModel::changed, this, &MenuBarExtraView::rebuild);
    // A menu opened right after a change must not show the state before it.
    connect(menu_.get(), &QMenu::aboutToShow, this, &MenuBarExtraView::rebuild);
}

MenuBarExtraView::~MenuBarExtraView()
{
    // An exported menu's items go only with their actions' removal, not with the menu itself.
    menu_->clear();
}

QAction* MenuBarExtraView::action(MenuBarMenuItem::Kind kind) const
{
    const auto it =
        std::find_if(actions.begin(), actions.end(), [kind](const auto& entry) { return entry.first == kind; });
    return it == actions.end() ? nullptr : it->second;
}

void MenuBarExtraView::setExported(bool exported)
{
    this->exported = exported;
    if (QAction* status = action(Kind::status)) {
        status->setEnabled(!exported);
    }
}

void MenuBarExtraView::rebuild()
{
    const bool running = viewModel.isRunning();
    const bool paused = running && viewModel.isPaused();
    if (built && running == builtRunning && paused == builtPaused) {
        return;
    }
    built = true;
    builtRunning = running;
    builtPaused = paused;

    shown = menuBarMenuItems(running, paused);
    // Actions go away with the menu's next rebuild; a triggered one may still be on the stack.
    for (QAction* old : menu_->actions()) {
        menu_->removeAction(old);
        old->deleteLater();
    }
    actions.clear();

    const QColor tint = theme::color(theme::SystemColor::primary, menu_->palette());
    const QColor red = theme::color(theme::SystemColor::red, menu_->palette());
    for (const MenuBarMenuItem& item : shown) {
        QAction* action = nullptr;
        switch (item.kind) {
        case Kind::divider:
            action = menu_->addSeparator();
            break;
        case Kind::status:
            action = makeStatusAction(item, menu_.get(), exported);
            menu_->addAction(action);
            break;
        default: {
            action = menu_->addAction(symbols::symbolIcon(item.symbol.toStdString(), item.destructive ? red : tint),
                                      item.title);
            const Kind kind = item.kind;
            connect(action, &QAction::triggered, this, [this, kind] { perform(kind); });
            break;
        }
        }
        action->setObjectName(QStringLiteral("menuItem%1").arg(static_cast<int>(item.kind)));
        actions.emplace_back(item.kind, action);
    }
}

void MenuBarExtraView::perform(MenuBarMenuItem::Kind kind)
{
    switch (kind) {
    case Kind::startStop:
        viewModel.isRunning() ? viewModel.stop() : viewModel.start();
        break;
    case Kind::pauseResume:
        viewModel.togglePause();
        break;
    case Kind::openWindow:
        openBonklyWindow();
        break;
    case Kind::quit:
        terminate();
        break;
    case Kind::status:
    case Kind::divider:
        break;
    }
}

bool MenuBarExtraView::canBecomeKeyWindow(const QWidget* window)
{
    return window != nullptr && window->isVisible() && isApplicationWindow(window);
}

bool MenuBarExtraView::isApplicationWindow(const QWidget* window)
{
    if (window == nullptr || !window->isWindow()) {
        return false;
    }
    switch (window->windowType()) {
    case Qt::Popup:
    case Qt::ToolTip:
    case Qt::SplashScreen:
    case Qt::Desktop:
        return false;
    default:
        break;
    }
    // The tray's own embedded window is no application window.
    if (window->inherits("QSystemTrayIconSys") || window->windowFlags().testFlag(Qt::BypassWindowManagerHint)) {
        return false;
    }
    return !window->testAttribute(Qt::WA_ShowWithoutActivating) && !window->testAttribute(Qt::WA_DontShowOnScreen);
}

void MenuBarExtraView::openBonklyWindow()
{
    // The windows in the order they were created, the application's own list.
    QWidget* chosen = nullptr;
    for (QWindow* handle : QGuiApplication::topLevelWindows()) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowHandle() == handle && canBecomeKeyWindow(widget)) {
                chosen = widget;
                break;
            }
        }
        if (chosen != nullptr) {
            break;
        }
    }
    if (chosen == nullptr) {
        openWindow(QStringLiteral("main"));
        return;
    }
    if (chosen->isMinimized()) {
        chosen->showNormal();
    }
    // A sheet comes forward together with the window it belongs to.
    if (QWidget* owner = chosen->parentWidget() ? chosen->parentWidget()->window() : nullptr) {
        owner->raise();
    }
    chosen->raise();
    chosen->activateWindow();
}
