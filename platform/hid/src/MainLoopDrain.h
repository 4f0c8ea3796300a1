#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace hid::detail {

class FallbackTimer;

/// Hands a device's pending reports to the main thread in batches, without waking it for each.
/// The drain runs just before the main thread handles any other event (so a consumer's own
/// timer sees every report that came before it, with no added delay) and, when nothing else
/// wakes the main loop, from a fallback timer at most kFallbackInterval after the last drain.
/// Main thread only.
class MainLoopDrain final : public QObject {
public:
    /// Delivers what is pending. It may stop, restart or destroy the drain.
    using Drain = std::function<void()>;

    /// Longest a report waits while the main loop has nothing else to do; well inside the 64
    /// reports a hidraw reader keeps at 1000 reports per second.
    static constexpr std::chrono::milliseconds kFallbackInterval{25};
    /// The fallback is pushed back only once it has run this long: restarting a timer costs
    /// more than a drain, and a loop woken every 10 ms (or 4) then restarts it on every other
    /// wake-up instead of on every event, while it still never fires. It is a bare timer of the
    /// event dispatcher: restarting a QTimer costs a fifth more.
    static constexpr std::chrono::milliseconds kRearmAfter{kFallbackInterval / 2};

    explicit MainLoopDrain(Drain drain);
    ~MainLoopDrain() override;

    void start();
    /// No drain runs after this returns, until the next start().
    void stop();
    bool isRunning() const { return running; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend class FallbackTimer;
    void run();
    void arm();

    Drain drain;
    FallbackTimer* fallback; // owned; deleted later when destroyed from inside its own timeout
    std::chrono::steady_clock::time_point armedAt;
    bool running = false;
    bool draining = false;
    bool filtering = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

} // namespace hid::detail
