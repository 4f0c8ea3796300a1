#include "platform/qt/QtMainQueue.h"

#include <mutex>

namespace platform {

struct QtMainQueue::Target {
    std::mutex lock; // held while posting, so the context cannot be destroyed in between
    QObject* context = nullptr;

    void clear()
    {
        std::lock_guard guard(lock);
        context = nullptr;
    }
};

QtMainQueue::QtMainQueue(QObject* context)
    : target(std::make_shared<Target>())
{
    target->context = context;
    // Direct: runs on the destroying thread before the context's memory goes, and waits for a
    // post in flight on another thread. Events posted until then are removed with the context.
    watch = QObject::connect(context, &QObject::destroyed, [target = target] { target->clear(); });
}

QtMainQueue::~QtMainQueue()
{
    QObject::disconnect(watch);
    target->clear();
}

void QtMainQueue::async(std::function<void()> job)
{
    std::lock_guard guard(target->lock);
    if (target->context) {
        QMetaObject::invokeMethod(target->context, std::move(job), Qt::QueuedConnection);
    }
}

ScopedQtMainQueue::ScopedQtMainQueue(QObject* context)
    : queue(context)
    , previous(foundation::setMainQueue(&queue))
{
}

ScopedQtMainQueue::~ScopedQtMainQueue() { foundation::setMainQueue(previous); }

} // namespace platform
