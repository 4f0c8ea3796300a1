#pragma once

#include "platform/foundation/NotificationCenter.h"

#include <Qt>

/// Turns Qt's application-state changes into the application's become-active and resign-active
/// notifications: one post per transition into or out of the active state. Used on the main thread.
class ApplicationStateNotifier {
public:
    ApplicationStateNotifier(foundation::NotificationCenter& center, Qt::ApplicationState initial);

    void stateChanged(Qt::ApplicationState state);

private:
    foundation::NotificationCenter& center;
    bool active;
};
