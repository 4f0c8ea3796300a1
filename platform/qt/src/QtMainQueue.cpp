#include "platform/qt/QtMainQueue.h"

#include <QAbstractEventDispatcher>
#include <QThread>

#include <atomic>
#include <deque>
#include <mutex>

namespace platform {

// The jobs wait here, in posting order. A job posted on the context's own thread needs no wake-up:
// that thread is running an event handler (or code between two turns of its loop), and the loop
// runs the jobs as it turns again, before it waits. A job from another thread wakes the loop with
// one queued call, which runs every job waiting by then; so does a job posted while nothing will
// turn the loop again by itself (no event dispatcher yet).
struct QtMainQueue::Target {
    std::mutex lock; // held while posting, so the context cannot be destroyed in between
    QObject* context = nullptr;
    QThread* thread = nullptr;
    std::deque<std::function<void()>> jobs;
    // jobs.size(), written under `lock`: the loop turns that find nothing to run take no lock.
    std::atomic<std::size_t> waiting{0};
    bool wakeUpPosted = false; // a queued run() is on its way
    bool turnsRunJobs = false; // the loop runs the jobs before each wait

    void clear()
    {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard guard(lock);
            context = nullptr;
            dropped.swap(jobs);
            waiting.store(0, std::memory_order_relaxed);
        }
        // Destroyed here, unlocked: a job's captures may post again.
    }

    bool onContextThread() const
    {
        const Qt::HANDLE known = contextThreadId.load(std::memory_order_relaxed);
        return known != nullptr ? known == QThread::currentThreadId() : QThread::currentThread() == thread;
    }

    // Called with `lock` held.
    void postWakeUp(const std::shared_ptr<Target>& self)
    {
        if (wakeUpPosted) {
            return;
        }
        wakeUpPosted = true;
        QMetaObject::invokeMethod(
            context,
            [self] {
            {
                std::lock_guard guard(self->lock);
                self->wakeUpPosted = false;
            }
            self->run();
            },
            Qt::QueuedConnection);
    }

    // Runs the jobs waiting now, one at a time in order (a job may run a nested event loop, which
    // goes on with the next ones); those posted meanwhile wait for the next turn, which a wake-up
    // brings at once, so a job that posts again cannot hold the loop.
    void run()
    {
        // A job posted from another thread after this read brings a wake-up of its own.
        if (waiting.load(std::memory_order_acquire) == 0) {
            return;
        }
        // Only the context's thread runs jobs: from now on a post can tell it by its id alone.
        contextThreadId.store(QThread::currentThreadId(), std::memory_order_relaxed);
        const std::shared_ptr<Target> keep = self.lock();
        std::size_t count = 0; // of the jobs waiting when this run began, those not yet taken
        bool counted = false;
        do {
            std::function<void()> job;
            {
                std::lock_guard guard(lock);
                if (!counted) {
                    count = jobs.size();
                    counted = true;
                }
                if (jobs.empty()) {
                    return; // a nested loop ran them, or the context went
                }
                job = std::move(jobs.front());
                jobs.pop_front();
                --count;
                waiting.store(jobs.size(), std::memory_order_relaxed);
            }
            job();
        } while (count > 0);
        if (waiting.load(std::memory_order_acquire) == 0) {
            return;
        }
        std::lock_guard guard(lock);
        if (!jobs.empty() && context != nullptr) {
            postWakeUp(keep);
        }
    }

    // The id of the context's thread once it has run jobs; until then posts compare QThreads.
    std::atomic<Qt::HANDLE> contextThreadId{nullptr};
    std::weak_ptr<Target> self;
};

QtMainQueue::QtMainQueue(QObject* context)
    : target(std::make_shared<Target>())
{
    target->self = target;
    target->context = context;
    target->thread = context->thread();
    // Direct: runs on the destroying thread before the context's memory goes, and waits for a
    // post in flight on another thread. Events posted until then are removed with the context.
    watch = QObject::connect(context, &QObject::destroyed, [target = target] { target->clear(); });
    if (QAbstractEventDispatcher* const dispatcher = QAbstractEventDispatcher::instance(target->thread)) {
        // Both: a loop that may wait says so before it does, one that only looks says it is awake.
        const auto runJobs = [target = target] { target->run(); };
        turns[0] = QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, context, runJobs);
        turns[1] = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, context, runJobs);
        target->turnsRunJobs = true;
    }
}

QtMainQueue::~QtMainQueue()
{
    QObject::disconnect(watch);
    QObject::disconnect(turns[0]);
    QObject::disconnect(turns[1]);
    target->clear();
}

void QtMainQueue::async(std::function<void()> job)
{
    std::lock_guard guard(target->lock);
    if (target->context == nullptr) {
        return;
    }
    target->jobs.push_back(std::move(job));
    target->waiting.store(target->jobs.size(), std::memory_order_release);
    if (!target->turnsRunJobs || !target->onContextThread()) {
        target->postWakeUp(target);
    }
}

ScopedQtMainQueue::ScopedQtMainQueue(QObject* context)
    : queue(context)
    , previous(foundation::setMainQueue(&queue))
{
}

ScopedQtMainQueue::~ScopedQtMainQueue() { foundation::setMainQueue(previous); }

} // namespace platform
