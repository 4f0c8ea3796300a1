#pragma once

#include "platform/registry/LidRegistry.h"

#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

/// Tells when the lid opens or closes by polling its clamshell state every half second and
/// reporting each change of the reading.
///
/// Main thread only: start(), stop() and destruction are called there, and the polling timer
/// runs on the main event loop.
class LidClamshellMonitor final {
public:
    enum class LidTransition { opened, closed };
    using TransitionCallback = std::function<void(LidTransition transition)>;

    /// A stopped monitor reading `registry` every `interval` once started; reads and schedules nothing.
    explicit LidClamshellMonitor(std::shared_ptr<registry::LidRegistry> registry,
                                 std::chrono::milliseconds interval = std::chrono::milliseconds(500));
    /// Stops first, so the timer never outlives the monitor.
    ~LidClamshellMonitor();
    LidClamshellMonitor(const LidClamshellMonitor&) = delete;
    LidClamshellMonitor& operator=(const LidClamshellMonitor&) = delete;

    /// Takes the current reading as the baseline (no transition) and starts polling. Does
    /// nothing while started.
    void start();
    /// Stops polling and forgets the baseline. Does nothing while stopped.
    void stop();

    /// The owner's receiver, called on the main thread once per change of the reading.
    TransitionCallback onTransition;

private:
    void poll();
    void handlePollResult(std::optional<bool> lidClosed);
    std::optional<bool> readLidClosed() const;

    std::shared_ptr<registry::LidRegistry> registry;
    // Always present, started only while the monitor is: stopping it, unlike destroying it, is
    // safe from inside its own timeout.
    QTimer timer;
    bool isStarted = false;
    std::optional<bool> lastLidClosed;
    // The timer's callback holds this weakly: expired once the monitor is gone.
    std::shared_ptr<LidClamshellMonitor*> self = std::make_shared<LidClamshellMonitor*>(this);
};
