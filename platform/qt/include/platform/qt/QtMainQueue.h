#pragma once

#include "platform/foundation/MainQueue.h"

#include <QMetaObject>
#include <QObject>

#include <memory>

namespace platform {

/// The main queue bound to the Qt event loop of the application's thread: each job is posted as
/// a queued call on `context`'s thread and runs in posting order. Callable from any thread. Jobs
/// posted once `context` or this queue is destroyed are dropped; posting never touches a
/// destroyed context.
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
