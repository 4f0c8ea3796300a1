#include "MainLoopDrain.h"

#include <QBasicTimer>
#include <QCoreApplication>
#include <QThread>
#include <QTimerEvent>

namespace hid::detail {

class FallbackTimer final : public QObject {
public:
    explicit FallbackTimer(MainLoopDrain* owner)
        : owner(owner)
    {
    }

    MainLoopDrain* owner; // null once the owner is gone
    QBasicTimer timer;

protected:
    void timerEvent(QTimerEvent* event) override
    {
        if (event->timerId() != timer.timerId()) {
            return;
        }
        timer.stop(); // fires once per arming
        if (owner) {
            owner->run();
        }
    }
};

MainLoopDrain::MainLoopDrain(Drain drain)
    : drain(std::move(drain))
    , fallback(new FallbackTimer(this))
{
}

MainLoopDrain::~MainLoopDrain()
{
    *alive = false;
    stop();
    fallback->owner = nullptr;
    if (draining) {
        fallback->deleteLater(); // its timeout may be what is running now
    } else {
        delete fallback;
    }
}

void MainLoopDrain::start()
{
    running = true;
    arm();
    QCoreApplication* const application = QCoreApplication::instance();
    if (!filtering && application && application->thread() == QThread::currentThread()) {
        application->installEventFilter(this);
        filtering = true;
    }
}

void MainLoopDrain::stop()
{
    running = false;
    fallback->timer.stop();
    if (filtering) {
        if (QCoreApplication* const application = QCoreApplication::instance()) {
            application->removeEventFilter(this);
        }
        filtering = false;
    }
}

bool MainLoopDrain::eventFilter(QObject* watched, QEvent*)
{
    // Our own timer's event drains through its handler; every other event drains first.
    if (watched != fallback) {
        run();
    }
    return false;
}

void MainLoopDrain::run()
{
    if (!running || draining) {
        return; // a report callback that runs a nested event loop does not drain from inside
    }
    const auto stillAlive = alive;
    draining = true;
    const Drain current = drain; // the drain may destroy this object, and its own copy with it
    current();
    if (!*stillAlive) {
        return;
    }
    draining = false;
    // Pushed back: while the loop wakes for other reasons the fallback stays quiet.
    if (running && (!fallback->timer.isActive() || std::chrono::steady_clock::now() - armedAt >= kRearmAfter)) {
        arm();
    }
}

void MainLoopDrain::arm()
{
    fallback->timer.start(static_cast<int>(kFallbackInterval.count()), Qt::PreciseTimer, fallback);
    armedAt = std::chrono::steady_clock::now();
}

} // namespace hid::detail
