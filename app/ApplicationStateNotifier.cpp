#include "app/ApplicationStateNotifier.h"

ApplicationStateNotifier::ApplicationStateNotifier(foundation::NotificationCenter& center, Qt::ApplicationState initial)
    : center(center)
    , active(initial == Qt::ApplicationActive)
{
}

void ApplicationStateNotifier::stateChanged(Qt::ApplicationState state)
{
    const bool nowActive = state == Qt::ApplicationActive;
    if (nowActive == active) {
        return; // hidden after inactive, say: still not active
    }
    active = nowActive;
    center.post(nowActive ? foundation::kApplicationDidBecomeActive : foundation::kApplicationWillResignActive);
}
