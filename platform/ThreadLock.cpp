#define VORN_LOG_SOURCE "ThreadLock"

#include "platform/ThreadLock.h"

#include "log/VORNLog.h"

#include <cstring>

namespace vorn {

ThreadLock::ThreadLock() : m_lock(), m_lockCount(0) {
    pthread_mutexattr_t attribute;
    pthread_mutexattr_init(&attribute);
    pthread_mutexattr_settype(&attribute, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m_lock, &attribute);
    pthread_mutexattr_destroy(&attribute);
}

ThreadLock::~ThreadLock() {
    while (m_lockCount > 0) {
        int ret = pthread_mutex_unlock(&m_lock);
        if (ret != 0) {
            _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "~ThreadLock", __LINE__,
                              "fail to unlock %p while destroying, ret=%d, error=%s", (void *)&m_lock, ret,
                              strerror(ret));
            break;
        }
        m_lockCount--;
    }
    int ret = pthread_mutex_destroy(&m_lock);
    if (ret != 0) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "~ThreadLock", __LINE__,
                          "fail to destroy %p, ret=%d, error=%s", (void *)&m_lock, ret, strerror(ret));
    }
}

void ThreadLock::lock() {
    int ret = pthread_mutex_lock(&m_lock);
    if (ret != 0) {
        VORNError("fail to lock %p, ret=%d, error=%s", (void *)&m_lock, ret, strerror(ret));
        return;
    }
    m_lockCount++;
}

bool ThreadLock::try_lock() {
    if (pthread_mutex_trylock(&m_lock) != 0) {
        return false;
    }
    m_lockCount++;
    return true;
}

void ThreadLock::unlock() {
    if (m_lockCount == 0) {
        VORNError("attempt to unlock unowned lock %p", (void *)&m_lock);
        return;
    }
    m_lockCount--;
    int ret = pthread_mutex_unlock(&m_lock);
    if (ret != 0) {
        m_lockCount++;
        VORNError("fail to unlock %p, ret=%d, error=%s", (void *)&m_lock, ret, strerror(ret));
    }
}

void ThreadLock::ThreadOnce(pthread_once_t *token, void (*function)()) {
    pthread_once(token, function);
}

} // namespace vorn
