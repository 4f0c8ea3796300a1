#pragma once

#include "platform/foundation/MainQueue.h"

#include <QMetaObject>
#include <QObject>

#include <memory>

namespace platform {

/// The main queue bound to the Qt event loop of the application's thread: jobs run on `context`'s
/// thread, later than they are posted and in posting order, when its loop next turns (before it
/// waits, or as it looks for events). Callable from any thread; a post from another thread wakes
/// the loop, one from the loop's own thread does not need to (which spares a listening
/// application a wake-up and a system call on each tick). Jobs posted once `context` or this
/// queue is destroyed are dropped, with those still waiting; posting never touches a destroyed
/// context.
class QtMainQueue final : public foundation::MainQueue {
public:
    explicit QtMainQueue(QObject* context);
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void async(std::function<void()> job) override;

private:
    struct Target;
    std::shared_ptr<Target> target; // the context, cleared when it is destroyed
    QMetaObject::Connection watch;
    QMetaObject::Connection turns[2]; // the loop's turns on the context's thread run the jobs
};

/// Binds a QtMainQueue on `context` as the process's main queue for its lifetime.
class ScopedQtMainQueue {
public:
    explicit ScopedQtMainQueue(QObject* context);
    ~ScopedQtMainQueue();
    ScopedQtMainQueue(const ScopedQtMainQueue&) = delete;
    ScopedQtMainQueue& operator=(const ScopedQtMainQueue&) = delete;

private:
    QtMainQueue queue;
    foundation::MainQueue* previous;
};

} // namespace platform
