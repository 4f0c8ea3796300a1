#include "analytics/ReadWriteLock.h"

#include <cstdio>
#include <cstdlib>

namespace tally {

namespace {

[[noreturn]] void fail(const std::string& label, const char* what, int code)
{
    std::fprintf(stderr, "ReadWriteLock %s: %s failed (%d)\n", label.c_str(), what, code);
    std::abort();
}

} // namespace

ReadWriteLock::ReadWriteLock(std::string label)
    : name(std::move(label))
{
    pthread_rwlockattr_t attributes;
    pthread_rwlockattr_init(&attributes);
    // glibc's default (and std::shared_mutex) lets new readers overtake a waiting writer.
    pthread_rwlockattr_setkind_np(&attributes, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    const int code = pthread_rwlock_init(&rwlock, &attributes);
    pthread_rwlockattr_destroy(&attributes);
    if (code != 0) {
        fail(name, "init", code);
    }
}

ReadWriteLock::~ReadWriteLock() { pthread_rwlock_destroy(&rwlock); }

void ReadWriteLock::read(const std::function<void()>& closure)
{
    if (const int code = pthread_rwlock_rdlock(&rwlock); code != 0) {
        fail(name, "read lock", code);
    }
    struct Unlock {
        pthread_rwlock_t* lock;
        ~Unlock() { pthread_rwlock_unlock(lock); }
    } unlock{&rwlock};
    closure();
}

ReadWriteLock::Exclusive::Exclusive(ReadWriteLock& lock)
    : lock(lock)
{
    if (const int code = pthread_rwlock_wrlock(&lock.rwlock); code != 0) {
        fail(lock.name, "write lock", code);
    }
}

ReadWriteLock::Exclusive::~Exclusive() { pthread_rwlock_unlock(&lock.rwlock); }

} // namespace tally
