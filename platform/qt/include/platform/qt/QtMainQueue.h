#pragma once

#include "platform/foundation/MainQueue.h"

#include <QObject>

namespace platform {

/// The main queue bound to the Qt event loop of the application's thread: each job is posted as
/// a queued call on `context`'s thread and runs in posting order. Jobs posted after `context` is
/// destroyed are dropped.
class QtMainQueue final : public foundation::MainQueue {
public:
    explicit QtMainQueue(QObject* context);
    void async(std::function<void()> job) override;

private:
    QObject* context;
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
