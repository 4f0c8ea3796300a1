#include "views/SettingsSheetPresenter.h"

#include "views/ContentView.h"
#include "views/SettingsView.h"

#include <QChildEvent>
#include <QEvent>

SettingsSheetPresenter::SettingsSheetPresenter(QWidget& window, ThwackoViewModel& viewModel)
    : QObject(&window)
    , window(window)
    , viewModel(viewModel)
{
    for (ContentView* content : window.findChildren<ContentView*>()) {
        follow(content);
    }
    window.installEventFilter(this);
}

SettingsView* SettingsSheetPresenter::sheet() const { return shown.data(); }

bool SettingsSheetPresenter::eventFilter(QObject* watched, QEvent* event)
{
    // A window with its sheet open hands the keyboard to the sheet, so Escape closes it even
    // after a click on the window (which it blocks) took the focus there.
    if (watched == &window && event->type() == QEvent::WindowActivate && shown && shown->isVisible()) {
        shown->raise();
        shown->activateWindow();
    }
    // A window closed with its sheet open comes back without it, ready for the gear button.
    if (watched == &window && event->type() == QEvent::Hide && !window.isMinimized() && shown) {
        shown->dismiss();
    }
    if (watched == &window && event->type() == QEvent::ChildPolished) {
        if (auto* content = qobject_cast<ContentView*>(static_cast<QChildEvent*>(event)->child())) {
            follow(content);
        }
    }
    return QObject::eventFilter(watched, event);
}

void SettingsSheetPresenter::follow(ContentView* content)
{
    if (content->property("thwacko.settingsFollowed").toBool()) {
        return;
    }
    content->setProperty("thwacko.settingsFollowed", true);
    connect(content, &ContentView::showSettingsChanged, this, [this, content](bool show) { present(content, show); });
    if (content->showSettings()) {
        present(content, true);
    }
}

void SettingsSheetPresenter::present(ContentView* content, bool show)
{
    if (!show) {
        if (shown) {
            shown->dismiss();
        }
        return;
    }
    if (shown) {
        return;
    }
    QPointer<ContentView> owner(content);
    shown = SettingsView::present(&window, viewModel, [owner] {
        if (owner) {
            owner->setShowSettings(false);
        }
    });
}
