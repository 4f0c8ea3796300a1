#include "platform/qt/QtMainQueue.h"

#include <QMetaObject>
#include <QPointer>

namespace platform {

QtMainQueue::QtMainQueue(QObject* context)
    : context(context)
{
}

void QtMainQueue::async(std::function<void()> job)
{
    QMetaObject::invokeMethod(context, std::move(job), Qt::QueuedConnection);
}

ScopedQtMainQueue::ScopedQtMainQueue(QObject* context)
    : queue(context)
    , previous(foundation::setMainQueue(&queue))
{
}

ScopedQtMainQueue::~ScopedQtMainQueue() { foundation::setMainQueue(previous); }

} // namespace platform
