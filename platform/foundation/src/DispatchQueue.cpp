#include "platform/foundation/DispatchQueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#include <vector>

namespace foundation {

namespace {

using Clock = std::chrono::steady_clock;

// Far enough to mean "never", near enough that adding it to a steady-clock reading cannot overflow.
constexpr std::chrono::nanoseconds kForever = std::chrono::hours(24 * 365 * 100);

std::chrono::nanoseconds clampTimeout(std::chrono::nanoseconds timeout)
{
    return std::clamp(timeout, std::chrono::nanoseconds::zero(), kForever);
}

// The queues whose items the current thread is running, innermost last. A thread holds several
// when an item of one queue calls `sync` on another.
thread_local std::vector<const void*> heldQueues;

bool holds(const void* queue) { return std::find(heldQueues.begin(), heldQueues.end(), queue) != heldQueues.end(); }

class Holding {
public:
    explicit Holding(const void* queue) { heldQueues.push_back(queue); }
    ~Holding() { heldQueues.pop_back(); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;
};

[[noreturn]] void fail(const std::string& label, const char* what)
{
    std::fprintf(stderr, "DispatchQueue \"%s\": %s\n", label.c_str(), what);
    std::fflush(stderr);
    std::abort();
}

// A `sync` caller waiting for its turn; it lives on the caller's stack.
struct Ticket {
    std::condition_variable turn;
    bool started = false;
};

struct Item {
    std::function<void()> work; // empty for a sync caller's place in the line
    bool exclusive = false;     // a barrier, or any item of a serial queue
    Ticket* ticket = nullptr;
};

struct QueueState {
    std::string label;
    std::string threadName;
    DispatchQueue::Kind kind;

    std::mutex mutex;
    std::condition_variable workAvailable; // idle threads wait here
    std::condition_variable drained;       // the destructor waits here
    std::deque<Item> pending;              // submitted, not yet started
    std::deque<Item> ready;                // started asynchronous items waiting for a thread
    std::size_t running = 0;               // started non-exclusive items (ready, on a thread, or sync)
    bool exclusiveRunning = false;
    std::size_t available = 0; // threads not running an item (idle, or about to look for one)
    std::map<std::thread::id, std::thread> threads;
    std::vector<std::thread> exited; // threads that retired; joined by the next submitter
    std::chrono::nanoseconds idleTimeout = std::chrono::seconds(5);
    bool stopping = false;

    bool idle() const { return pending.empty() && running == 0 && !exclusiveRunning; }
};

void workerLoop(QueueState& s);

// Called with the lock held, after `ready` grew past the threads free to take it.
void startThread(QueueState& s)
{
    ++s.available;
    try {
        std::thread thread([&s] { workerLoop(s); });
        const std::thread::id id = thread.get_id();
        s.threads.emplace(id, std::move(thread));
    } catch (const std::system_error&) {
        --s.available;
        // A busy thread will take the item when it finishes; with none at all it would wait forever.
        if (s.threads.empty()) {
            fail(s.label, "cannot start a thread");
        }
    }
}

// Starts, in submission order, every item that may start now. Called with the lock held.
void schedule(QueueState& s)
{
    while (!s.pending.empty() && !s.exclusiveRunning) {
        if (s.pending.front().exclusive) {
            if (s.running > 0) {
                return;
            }
            s.exclusiveRunning = true;
        } else {
            ++s.running;
        }
        Item item = std::move(s.pending.front());
        s.pending.pop_front();
        const bool exclusive = item.exclusive;
        if (item.ticket) {
            item.ticket->started = true;
            item.ticket->turn.notify_one();
        } else {
            s.ready.push_back(std::move(item));
            if (s.ready.size() > s.available) {
                startThread(s);
            }
            s.workAvailable.notify_one();
        }
        if (exclusive) {
            return;
        }
    }
}

// Called with the lock held when a started item has returned.
void finish(QueueState& s, bool exclusive)
{
    if (exclusive) {
        s.exclusiveRunning = false;
    } else {
        --s.running;
    }
    schedule(s);
    if (s.idle()) {
        s.drained.notify_all();
    }
}

void workerLoop(QueueState& s)
{
    ::pthread_setname_np(::pthread_self(), s.threadName.c_str());
    std::unique_lock lock(s.mutex);
    for (;;) {
        if (s.ready.empty()) {
            s.workAvailable.wait_for(lock, s.idleTimeout, [&] { return !s.ready.empty() || s.stopping; });
            if (s.ready.empty()) {
                --s.available;
                if (!s.stopping) {
                    // Retire; the destructor joins the threads still in the map when it stops.
                    auto node = s.threads.extract(std::this_thread::get_id());
                    s.exited.push_back(std::move(node.mapped()));
                }
                return;
            }
        }
        Item item = std::move(s.ready.front());
        s.ready.pop_front();
        --s.available;
        lock.unlock();
        {
            const Holding holding(&s);
            item.work();
        }
        // Release the captures before locking: their destructors may submit to this queue.
        item.work = nullptr;
        lock.lock();
        ++s.available;
        finish(s, item.exclusive);
    }
}

void joinAll(std::vector<std::thread>& threads)
{
    for (auto& thread : threads) {
        thread.join();
    }
}

void submit(QueueState& s, std::function<void()> work, bool barrier)
{
    if (!work) {
        fail(s.label, "an empty work item was submitted");
    }
    std::vector<std::thread> retired;
    {
        const std::lock_guard lock(s.mutex);
        s.pending.push_back(Item{std::move(work), barrier || s.kind == DispatchQueue::Kind::Serial, nullptr});
        schedule(s);
        retired.swap(s.exited);
    }
    joinAll(retired);
}

void runSync(QueueState& s, const std::function<void()>& work, bool barrier)
{
    const bool exclusive = barrier || s.kind == DispatchQueue::Kind::Serial;
    std::unique_lock lock(s.mutex);
    if (holds(&s)) {
        // This thread keeps a place of the queue busy until the sync returns.
        if (exclusive) {
            fail(s.label, "sync called from an item of the same queue would deadlock");
        }
        const bool barrierAhead = s.exclusiveRunning || std::any_of(s.pending.begin(), s.pending.end(),
                                                                    [](const Item& item) { return item.exclusive; });
        if (barrierAhead) {
            fail(s.label, "sync called from an item of the same queue behind a barrier would deadlock");
        }
    }
    Ticket ticket;
    s.pending.push_back(Item{{}, exclusive, &ticket});
    schedule(s);
    ticket.turn.wait(lock, [&] { return ticket.started; });
    lock.unlock();

    struct Finish {
        QueueState& s;
        std::unique_lock<std::mutex>& lock;
        bool exclusive;
        ~Finish()
        {
            lock.lock();
            finish(s, exclusive);
        }
    } finishOnExit{s, lock, exclusive};
    const Holding holding(&s);
    work();
}

} // namespace

struct DispatchQueue::State : QueueState {};

DispatchQueue::DispatchQueue(std::string label, Kind kind)
    : state(std::make_shared<State>())
{
    state->label = std::move(label);
    // Thread names are limited to 15 bytes.
    state->threadName = state->label.substr(0, 15);
    state->kind = kind;
}

DispatchQueue::~DispatchQueue()
{
    QueueState& s = *state;
    if (holds(&s)) {
        fail(s.label, "destroyed from one of its own items");
    }
    std::vector<std::thread> threads;
    {
        std::unique_lock lock(s.mutex);
        s.drained.wait(lock, [&] { return s.idle(); });
        s.stopping = true;
        s.workAvailable.notify_all();
        for (auto& [id, thread] : s.threads) {
            threads.push_back(std::move(thread));
        }
        s.threads.clear();
        for (auto& thread : s.exited) {
            threads.push_back(std::move(thread));
        }
        s.exited.clear();
    }
    joinAll(threads);
}

const std::string& DispatchQueue::label() const { return state->label; }

DispatchQueue::Kind DispatchQueue::kind() const { return state->kind; }

void DispatchQueue::async(std::function<void()> work) { submit(*state, std::move(work), false); }

void DispatchQueue::asyncBarrier(std::function<void()> work) { submit(*state, std::move(work), true); }

void DispatchQueue::sync(const std::function<void()>& work) { runSync(*state, work, false); }

void DispatchQueue::syncBarrier(const std::function<void()>& work) { runSync(*state, work, true); }

bool DispatchQueue::isCurrent() const { return holds(static_cast<const QueueState*>(state.get())); }

void DispatchQueue::setIdleThreadTimeout(std::chrono::nanoseconds timeout)
{
    const std::lock_guard lock(state->mutex);
    state->idleTimeout = clampTimeout(timeout);
}

struct Semaphore::State {
    std::mutex mutex;
    std::condition_variable changed;
    long count = 0;
};

Semaphore::Semaphore(long value)
    : state(std::make_unique<State>())
{
    state->count = value;
}

Semaphore::~Semaphore() = default;

void Semaphore::signal()
{
    // Notify under the lock: once a waiter has its count it may destroy the semaphore.
    const std::lock_guard lock(state->mutex);
    ++state->count;
    state->changed.notify_one();
}

bool Semaphore::wait(std::optional<std::chrono::nanoseconds> timeout)
{
    std::unique_lock lock(state->mutex);
    const auto positive = [&] { return state->count > 0; };
    if (!timeout) {
        state->changed.wait(lock, positive);
    } else if (!state->changed.wait_until(lock, Clock::now() + clampTimeout(*timeout), positive)) {
        return false;
    }
    --state->count;
    return true;
}

} // namespace foundation
