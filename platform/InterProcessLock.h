#pragma once

#include <cstdint>

namespace vorn {

enum class LockType : int32_t {
    Shared = 0,
    Exclusive = 1,
};

// A recursive shared/exclusive advisory lock on a whole file, taken with
// flock(2) on one descriptor.
//
// Counting: the lock counts shared and exclusive holds separately. Only the
// first hold and the last release of a kind make a system call; while an
// exclusive hold is outstanding, shared holds and releases are counts only.
// Taking exclusive while holding shared upgrades the flock: in place when no
// other process holds the file, else by releasing the shared lock and waiting
// for the exclusive one (other processes may get in between). Releasing the
// last exclusive hold while shared holds remain downgrades to a shared flock.
//
// Failure: every operation returns false on failure, logs the error (source
// "InterProcessLock") and leaves the counts as they were. With a negative
// descriptor every operation fails without a system call. Releasing a kind
// that is not held returns false.
//
// Ownership: does not own the descriptor. The destructor releases a flock
// still held; call destroyAndUnLock() before the descriptor is closed.
//
// Thread safety: none; callers serialise with their own ThreadLock. flock
// state belongs to the open file description: FileLocks on two descriptors of
// one file exclude each other even inside one process, while two FileLocks on
// the same descriptor share one flock state that their counts do not see.
class FileLock {
public:
    explicit FileLock(int fd);
    ~FileLock();

    // Blocks until the lock is held.
    bool lock(LockType lockType);

    // Does not wait. On failure, when `tryAgain` is given, *tryAgain is set to
    // true if another holder is in the way (EWOULDBLOCK), false for any other
    // error. A failed upgrade ends holding the shared lock again.
    bool try_lock(LockType lockType, bool *tryAgain = nullptr);

    bool unlock(LockType lockType);

    // Releases the flock whatever the counts, zeroes them and forgets the
    // descriptor; afterwards every operation fails quietly and the destructor
    // does nothing.
    void destroyAndUnLock();

    // Moves the lock to `fd` and takes there the flock its counts say is
    // held: exclusive while an exclusive hold is counted, else shared while a
    // shared one is. For a file whose descriptor was replaced, or whose flock
    // another FileLock on the same descriptor has released. The previous
    // descriptor is not touched: it must be closed (which releases its flock)
    // or be that same descriptor. False (logged) when the flock cannot be
    // taken; the counts are kept either way.
    bool rebind(int fd);

    int getFd() const { return m_fd; }
    uint64_t sharedLockCount() const { return m_sharedLockCount; }
    uint64_t exclusiveLockCount() const { return m_exclusiveLockCount; }

    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    bool doLock(LockType lockType, bool wait, bool *tryAgain);
    bool platformLock(LockType lockType, bool wait, bool unLockFirstIfNeeded, bool *tryAgain);
    // Releases to a shared flock when `unLockToSharedLock`, else unlocks.
    bool platformUnLock(bool unLockToSharedLock);

    int m_fd;
    uint64_t m_sharedLockCount;
    uint64_t m_exclusiveLockCount;
};

// One kind (shared or exclusive) of a FileLock, in the shape ScopedLock wants.
// A store keeps two of these over one FileLock and disables both when it is
// not shared between processes: then lock() and unlock() do nothing and
// try_lock() returns false.
//
// Ownership: does not own the FileLock. Thread safety: as FileLock.
class InterProcessLock {
public:
    InterProcessLock(FileLock *fileLock, LockType lockType)
        : m_fileLock(fileLock), m_lockType(lockType), m_enable(true) {}

    // Results of the FileLock are dropped here; its failures are logged.
    void lock() {
        if (m_enable) {
            m_fileLock->lock(m_lockType);
        }
    }

    bool try_lock(bool *tryAgain = nullptr) {
        if (m_enable) {
            return m_fileLock->try_lock(m_lockType, tryAgain);
        }
        return false;
    }

    void unlock() {
        if (m_enable) {
            m_fileLock->unlock(m_lockType);
        }
    }

    void setEnable(bool enable) { m_enable = enable; }

private:
    FileLock *m_fileLock;
    LockType m_lockType;
    bool m_enable;
};

} // namespace vorn
