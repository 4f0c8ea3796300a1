#include "MainLoopDrain.h"

#include <QCoreApplication>
#include <QThread>

namespace hid::detail {

MainLoopDrain::MainLoopDrain(Drain drain)
    : drain(std::move(drain))
    , fallback(new QTimer)
{
    fallback->setTimerType(Qt::PreciseTimer);
    fallback->setSingleShot(true);
    fallback->setInterval(kFallbackInterval);
    QObject::connect(fallback, &QTimer::timeout, this, [this] { run(); });
}

MainLoopDrain::~MainLoopDrain()
{
    *alive = false;
    stop();
    fallback->disconnect();
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
    fallback->stop();
    if (filtering) {
        if (QCoreApplication* const application = QCoreApplication::instance()) {
            application->removeEventFilter(this);
        }
        filtering = false;
    }
}

bool MainLoopDrain::eventFilter(QObject* watched, QEvent*)
{
    // Our own timer's event drains through its timeout; every other event drains first.
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
    if (running && (!fallback->isActive() || std::chrono::steady_clock::now() - armedAt >= kRearmAfter)) {
        arm();
    }
}

void MainLoopDrain::arm()
{
    fallback->start();
    armedAt = std::chrono::steady_clock::now();
}

} // namespace hid::detail
