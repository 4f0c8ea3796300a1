#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QTimer;

namespace hid::detail {

/// Runs its owner's delivery on the main loop at the times the owner asks for, measured on a
/// monotonic clock that start() sets to 0. A wake-up that comes late is handed the real time, so
/// the owner can deliver everything due since and keep its pace; when the loop stalled for more
/// than kMaxLagUs the clock is held back instead, so the owner never bursts more than that.
/// Main thread only.
class MainLoopPacer {
public:
    /// Called with the clock's time; delivers what is due and returns when to run next (nullopt:
    /// stop). It may stop, restart or destroy the pacer.
    using Tick = std::function<std::optional<std::int64_t>(std::int64_t nowUs)>;

    static constexpr std::int64_t kMaxLagUs = 100'000;

    explicit MainLoopPacer(Tick tick);
    ~MainLoopPacer();
    MainLoopPacer(const MainLoopPacer&) = delete;
    MainLoopPacer& operator=(const MainLoopPacer&) = delete;

    /// Sets the clock to 0 and runs the tick at `firstWakeUs` (from the event loop, never inside).
    void start(std::int64_t firstWakeUs);
    /// No tick runs after this returns, until the next start().
    void stop();
    bool isRunning() const { return running; }

private:
    std::int64_t nowUs() const;
    void arm(std::int64_t wakeUs);
    void onTimeout();

    Tick tick;
    std::unique_ptr<QTimer> timer;
    QElapsedTimer clock;
    std::int64_t heldUs = 0;
    std::int64_t wakeUs = 0;
    std::uint64_t generation = 0;
    bool running = false;
    bool ticking = false;
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
};

/// Disposes of a QObject that may be the sender of the signal being handled right now: it is
/// disconnected at once and deleted later in that case, deleted at once otherwise.
template <class T> void retire(std::unique_ptr<T>& object, bool insideItsSignal)
{
    if (!object) {
        return;
    }
    object->disconnect();
    if (insideItsSignal) {
        object.release()->deleteLater();
    } else {
        object.reset();
    }
}

} // namespace hid::detail
