#pragma once

#include <pthread.h>

#include <functional>
#include <string>
#include <type_traits>
#include <utility>

namespace tally {

/// A reader/writer lock: many readers at once, a writer alone. A waiting writer goes before
/// readers that arrive after it, so a steady stream of readers cannot starve it. Callbacks must
/// not take the same lock again.
class ReadWriteLock {
public:
    explicit ReadWriteLock(std::string label);
    ~ReadWriteLock();
    ReadWriteLock(const ReadWriteLock&) = delete;
    ReadWriteLock& operator=(const ReadWriteLock&) = delete;

    const std::string& label() const { return name; }

    /// Runs `closure` in a shared section; it has run when the call returns.
    void read(const std::function<void()>& closure);

    /// Runs `closure` alone and returns its value.
    template <typename F> std::invoke_result_t<F&> write(F&& closure)
    {
        const Exclusive section(*this);
        return closure();
    }

private:
    struct Exclusive {
        explicit Exclusive(ReadWriteLock& lock);
        ~Exclusive();
        ReadWriteLock& lock;
    };

    std::string name;
    pthread_rwlock_t rwlock;
};

} // namespace tally
