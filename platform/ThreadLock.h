#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

namespace vorn {

// A recursive mutex that counts its outstanding holds.
//
// Thread safety: safe to use from any number of threads; a thread may take it
// again while holding it. The count covers all threads together: unlock() with
// a count of 0 logs "attempt to unlock unowned lock %p" and leaves the mutex
// alone. Failures of the pthread calls are logged (source "ThreadLock") and
// never thrown.
//
// Lifetime: the owner (a store, or the process-wide registry) deletes it; the
// destructor releases what the destroying thread still holds, then destroys
// the mutex.
class ThreadLock {
public:
    ThreadLock();
    ~ThreadLock();

    void lock();
    // Returns true when the lock was taken without waiting.
    bool try_lock();
    void unlock();

    // Runs `function` exactly once per `token` in this process, however many
    // threads call it; later callers wait until the first run has finished.
    static void ThreadOnce(pthread_once_t *token, void (*function)());

    ThreadLock(const ThreadLock &) = delete;
    ThreadLock &operator=(const ThreadLock &) = delete;

private:
    pthread_mutex_t m_lock;
    // Holds not yet released, by all threads. Atomic because unlock() reads it
    // before it knows whether the calling thread holds the mutex at all.
    std::atomic<int32_t> m_lockCount;
};

} // namespace vorn
