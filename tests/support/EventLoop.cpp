#include "support/EventLoop.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer check;
    check.setInterval(1);
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    check.start();
    deadline.start(timeout);
    loop.exec();
    return done();
}

void pumpFor(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

void drainPosted()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::processEvents();
    }
}

} // namespace testsupport
