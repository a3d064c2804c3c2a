#pragma once

#include <string>

namespace vorn {

// The lock an open store holds on its data file for the whole life of its
// instance, so that processes that would use one store in incompatible ways
// find out at open instead of through lost writes and SIGBUS: shared for
// multi-process and read-only opens (any number of them), exclusive for a
// single-process writer (no other opener at all). It is only ever tried,
// never waited for.
//
// The lock covers one byte far past any data a store file holds
// (kOpenModeLockOffset), taken through a descriptor of its own that the
// object keeps until release():
//
// - Linux: an open-file-description lock (F_OFD_SETLK). It belongs to this
//   descriptor only: flock(2) locks on the same file (backup, restore, file
//   growth) are independent of it, and another descriptor of the same file
//   in this process conflicts with it exactly as another process would.
// - Apple: not taken (acquire reports Held and detects nothing). Without
//   open-file-description locks only process-associated fcntl locks remain,
//   and on BSD kernels those share one lock list with flock(2): a whole-file
//   flock taken by this very process on another descriptor of the data file
//   (file growth, backup, restore) would wait for ever behind the mode lock.
//   Such a lock would also vanish whenever any descriptor of the file in the
//   process was closed.
//
// Ownership: owns its descriptor. Thread safety: none; the registry lock
// serialises its callers.
class OpenModeLock {
public:
    enum class Result {
        Held,     // the lock is held
        NoFile,   // the file does not exist (and was not to be created)
        Conflict, // another opener holds an incompatible lock
        Failed,   // the file could not be opened or locked (logged)
    };

    OpenModeLock() = default;
    ~OpenModeLock() { release(); }

    // Opens `path` without following a symbolic link (creating it, mode 0700,
    // when `create`), and tries the lock: exclusive or shared. On any result
    // but Held nothing stays open. Anything held before is released first.
    Result acquire(const std::string &path, bool exclusive, bool create);

    // Gives the lock up (closing its descriptor). Idempotent.
    void release();

    bool isHeld() const { return m_fd >= 0; }

    OpenModeLock(const OpenModeLock &) = delete;
    OpenModeLock &operator=(const OpenModeLock &) = delete;

private:
    int m_fd = -1;
};

} // namespace vorn
