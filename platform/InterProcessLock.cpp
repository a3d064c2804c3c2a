#define VORN_LOG_SOURCE "InterProcessLock"

#include "platform/InterProcessLock.h"

#include "log/VORNLog.h"
#include "platform/SystemCalls.h"

#include <sys/file.h>

#include <cerrno>
#include <cstring>

namespace vorn {

namespace {

// A blocking flock may be interrupted by a signal before it gets the lock;
// that is not a failure, so it is simply retried.
int flockRetryingInterrupts(int fd, int operation) {
    int ret;
    do {
        ret = sys().flock(fd, operation);
    } while (ret != 0 && errno == EINTR && (operation & LOCK_NB) == 0);
    return ret;
}

} // namespace

FileLock::FileLock(int fd) : m_fd(fd), m_sharedLockCount(0), m_exclusiveLockCount(0) {}

FileLock::~FileLock() {
    if (m_fd < 0) {
        return;
    }
    if (m_exclusiveLockCount > 0) {
        m_exclusiveLockCount = 0;
        m_sharedLockCount = 0;
        platformUnLock(false);
    } else if (m_sharedLockCount > 0) {
        m_sharedLockCount = 0;
        platformUnLock(false);
    }
}

bool FileLock::lock(LockType lockType) {
    return doLock(lockType, true, nullptr);
}

bool FileLock::try_lock(LockType lockType, bool *tryAgain) {
    return doLock(lockType, false, tryAgain);
}

bool FileLock::doLock(LockType lockType, bool wait, bool *tryAgain) {
    if (m_fd < 0) {
        return false;
    }
    if (lockType == LockType::Shared) {
        // An exclusive flock already covers a shared hold.
        if (m_sharedLockCount > 0 || m_exclusiveLockCount > 0) {
            m_sharedLockCount++;
            return true;
        }
        if (!platformLock(LockType::Shared, wait, false, tryAgain)) {
            return false;
        }
        m_sharedLockCount = 1;
        return true;
    }
    if (m_exclusiveLockCount > 0) {
        m_exclusiveLockCount++;
        return true;
    }
    if (!platformLock(LockType::Exclusive, wait, m_sharedLockCount > 0, tryAgain)) {
        return false;
    }
    m_exclusiveLockCount = 1;
    return true;
}

bool FileLock::platformLock(LockType lockType, bool wait, bool unLockFirstIfNeeded, bool *tryAgain) {
    if (unLockFirstIfNeeded) {
        // Converting in place keeps other processes out; it only works when no
        // one else holds the file.
        if (sys().flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        // A failed conversion may already have dropped the shared lock (Linux
        // does); make that explicit so the wait below cannot deadlock against
        // another process waiting to upgrade.
        int ret = sys().flock(m_fd, LOCK_UN);
        if (ret != 0) {
            VORNError("fail to try unlock first fd=%d, ret=%d, error:%s", m_fd, ret, strerror(errno));
        }
    }

    int operation = (lockType == LockType::Shared) ? LOCK_SH : LOCK_EX;
    if (!wait) {
        operation |= LOCK_NB;
    }
    int ret = flockRetryingInterrupts(m_fd, operation);
    if (ret == 0) {
        return true;
    }
    int error = errno;
    if (tryAgain) {
        *tryAgain = (error == EWOULDBLOCK);
    }
    if (wait) {
        VORNError("fail to lock fd=%d, ret=%d, error:%s", m_fd, ret, strerror(error));
    }
    if (unLockFirstIfNeeded) {
        // The caller still counts a shared hold: take it back.
        ret = flockRetryingInterrupts(m_fd, LOCK_SH);
        if (ret != 0) {
            VORNError("fail to recover shared-lock fd=%d, ret=%d, error:%s", m_fd, ret, strerror(errno));
        }
    }
    return false;
}

bool FileLock::unlock(LockType lockType) {
    if (m_fd < 0) {
        return false;
    }
    if (lockType == LockType::Shared) {
        if (m_sharedLockCount == 0) {
            return false;
        }
        if (m_sharedLockCount > 1 || m_exclusiveLockCount > 0) {
            m_sharedLockCount--;
            return true;
        }
        if (!platformUnLock(false)) {
            return false;
        }
        m_sharedLockCount = 0;
        return true;
    }
    if (m_exclusiveLockCount == 0) {
        return false;
    }
    if (m_exclusiveLockCount > 1) {
        m_exclusiveLockCount--;
        return true;
    }
    if (!platformUnLock(m_sharedLockCount > 0)) {
        return false;
    }
    m_exclusiveLockCount = 0;
    return true;
}

bool FileLock::platformUnLock(bool unLockToSharedLock) {
    int ret = flockRetryingInterrupts(m_fd, unLockToSharedLock ? LOCK_SH : LOCK_UN);
    if (ret != 0) {
        int error = errno;
        VORNError("fail to unlock fd=%d, error:%d(%s)", m_fd, error, strerror(error));
        return false;
    }
    return true;
}

bool FileLock::rebind(int fd) {
    m_fd = fd;
    if (m_fd < 0) {
        return m_sharedLockCount == 0 && m_exclusiveLockCount == 0;
    }
    if (m_exclusiveLockCount > 0) {
        return platformLock(LockType::Exclusive, true, false, nullptr);
    }
    if (m_sharedLockCount > 0) {
        return platformLock(LockType::Shared, true, false, nullptr);
    }
    return true;
}

void FileLock::destroyAndUnLock() {
    platformUnLock(false);
    m_sharedLockCount = 0;
    m_exclusiveLockCount = 0;
    m_fd = -1;
}

} // namespace vorn
