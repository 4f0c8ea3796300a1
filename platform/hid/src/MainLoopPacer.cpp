#include "MainLoopPacer.h"

#include <QTimer>
#include <algorithm>

namespace hid::detail {

MainLoopPacer::MainLoopPacer(Tick tick)
    : tick(std::move(tick))
{
}

MainLoopPacer::~MainLoopPacer()
{
    *alive = false;
    if (timer) {
        timer->stop();
    }
    retire(timer, ticking);
}

void MainLoopPacer::start(std::int64_t firstWakeUs)
{
    if (!timer) {
        timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer.get(), &QTimer::timeout, [this] { onTimeout(); });
    }
    ++generation;
    running = true;
    heldUs = 0;
    clock.start();
    arm(firstWakeUs);
}

void MainLoopPacer::stop()
{
    ++generation;
    running = false;
    if (timer) {
        timer->stop();
    }
}

std::int64_t MainLoopPacer::nowUs() const { return clock.nsecsElapsed() / 1000 - heldUs; }

void MainLoopPacer::arm(std::int64_t wake)
{
    wakeUs = wake;
    const std::int64_t waitUs = std::max<std::int64_t>(0, wake - nowUs());
    // Round up: a wake-up before the time asked for would find nothing due and spin.
    const auto waitMs = static_cast<int>(std::min<std::int64_t>((waitUs + 999) / 1000, 24 * 3600 * 1000));
    timer->start(waitMs);
}

void MainLoopPacer::onTimeout()
{
    if (!running) {
        return;
    }
    if (const std::int64_t lag = nowUs() - wakeUs; lag > kMaxLagUs) {
        heldUs += lag;
    }
    const auto stillAlive = alive;
    const std::uint64_t startedAs = generation;
    const Tick current = tick; // the tick may destroy this pacer, and its own copy with it
    ticking = true;
    const std::optional<std::int64_t> next = current(nowUs());
    if (!*stillAlive) {
        return;
    }
    ticking = false;
    if (generation != startedAs) {
        return; // stopped or restarted by the tick
    }
    if (!next) {
        running = false;
        return;
    }
    arm(*next);
}

} // namespace hid::detail
