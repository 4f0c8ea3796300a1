#pragma once

#include "app/AnalyticsLog.h"
#include "app/ApplicationStateNotifier.h"

#include <QObject>

#include <chrono>
#include <optional>
#include <string>

class QGuiApplication;

/// Wires the application to the analytics client for the life of the object: installs the real
/// client in the facade (before the app delegate configures it), tells the client the primary
/// screen's size, and posts the become-active and resign-active notifications from Qt's
/// application state; the client's warnings for the user go to the application's log. The client
/// shuts down when the application is about to quit, while the event loop still runs (the flush
/// timer stops on the main thread, a request in flight may finish within `kDeliveryLimit`, the
/// store closes), and at the latest with the object, which must end before the main queue is
/// unbound. Used on the main thread.
class AnalyticsSetup {
public:
    /// How long the end waits for queued events (and a request in flight) to go out.
    static constexpr std::chrono::milliseconds kDeliveryLimit{3000};

    /// `serverURL`: where events go (nullopt: the client's default endpoint).
    explicit AnalyticsSetup(QGuiApplication& app, std::optional<std::string> serverURL = std::nullopt);
    ~AnalyticsSetup();
    AnalyticsSetup(const AnalyticsSetup&) = delete;
    AnalyticsSetup& operator=(const AnalyticsSetup&) = delete;

private:
    AnalyticsLog log; // first in, last out: it hears the shutdown
    ApplicationStateNotifier stateNotifier;
    QObject connections; // ends the state connection with the object
};
