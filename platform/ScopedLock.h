#pragma once

namespace vorn {

// Holds a lock for the length of a scope: lock() on construction, unlock() on
// destruction. A null pointer makes it do nothing. Used with ThreadLock and
// InterProcessLock (a disabled InterProcessLock does nothing either way).
//
//     ScopedLock lock(m_lock);                   // ThreadLock*
//     ScopedLock shared(m_sharedProcessLock);    // InterProcessLock*
template <typename Lock> class ScopedLock {
public:
    explicit ScopedLock(Lock *lock) : m_lock(lock) {
        if (m_lock) {
            m_lock->lock();
        }
    }

    ~ScopedLock() {
        if (m_lock) {
            m_lock->unlock();
            m_lock = nullptr;
        }
    }

    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

private:
    Lock *m_lock;
};

} // namespace vorn
