#define VORN_LOG_SOURCE "VORN"

// The engine's entry points for the typed face: finished value bytes in, and
// the queries and removals that need no decoding.

#include "core/StoreEngine.h"

#include "encoding/VornIndex.h"
#include "log/VORNLog.h"
#include "platform/MemoryFile.h"

using namespace vorn;

bool StoreEngine::setPlainValue(std::string_view key, VornBuffer &&value, const uint32_t *expireDuration) {
    if (key.empty()) {
        return false;
    }
    WriteGuard guard(m_sync);
    refreshIfNeeded(); // the loaded (or refreshed) files say whether values carry an expiry time
    if (!m_enableKeyExpire || value.size() == 0) {
        return setDataForKey(guard, std::move(value), key, false);
    }
    const uint32_t duration = expireDuration ? *expireDuration : m_expiredInSeconds;
    return setDataForKey(guard, withExpireTime(value, expireTimeForDuration(duration)), key, false);
}

bool StoreEngine::setBytesValue(std::string_view key, const void *bytes, size_t length, const uint32_t *expireDuration) {
    if (key.empty()) {
        return false;
    }
    VornBuffer data(const_cast<void *>(bytes), length, VornBufferNoCopy);
    WriteGuard guard(m_sync);
    refreshIfNeeded(); // a load decides whether values carry an expiry time
    if (!m_enableKeyExpire) {
        return setDataForKey(guard, std::move(data), key, true); // the data-holder form
    }
    return setDataForKey(std::move(data), key, expireDuration ? *expireDuration : m_expiredInSeconds);
}

// ---- Queries and removal ----

bool StoreEngine::containsKey(std::string_view key) {
    ReadGuard guard(m_sync);
    refreshIfNeeded();
    if (m_enableKeyExpire) {
        return getDataWithoutMTimeForKey(key).size() != 0;
    }
    return m_index.contains(key);
}

void StoreEngine::purgeExpiredKeys() {
    if (isReadOnly()) {
        // Nothing may be rewritten: hide the expired keys from the index only.
        filterExpiredKeys();
        return;
    }
    ScopedLock<InterProcessLock> exclusive(m_sync.exclusiveLock());
    // The caller looked at the files before it held this lock: look again.
    refreshIfNeeded();
    if (!m_enableKeyExpire) {
        return;
    }
    // Time has passed since the last write-back; keys may have expired since,
    // so "nothing changed since the last write-back" does not hold here. The
    // write-back below rewrites only when keys did expire.
    m_hasFullWriteback = false;
    fullWriteback(nullptr, true);
}

size_t StoreEngine::count(bool filterExpire) {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    refreshIfNeeded();
    if (filterExpire && m_enableKeyExpire) {
        purgeExpiredKeys();
    }
    return m_index.size();
}

size_t StoreEngine::totalSize() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    refreshIfNeeded();
    return m_stream.fileSize();
}

size_t StoreEngine::actualSize() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    refreshIfNeeded();
    return m_stream.size();
}

std::vector<std::string> StoreEngine::allKeys(bool filterExpire) {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    refreshIfNeeded();
    if (filterExpire && m_enableKeyExpire) {
        purgeExpiredKeys();
    }
    return m_index.keys();
}

bool StoreEngine::removeValueForKey(std::string_view key) {
    if (key.empty()) {
        return false;
    }
    if (isReadOnly()) {
        VORNWarning("[%s] file readonly", m_mmapID.c_str());
        return false;
    }
    WriteGuard guard(m_sync);
    refreshIfNeeded();
    return removeDataForKey(key);
}

Status StoreEngine::removeForNullValue(std::string_view key) {
    if (key.empty()) {
        return Status::EmptyKey;
    }
    if (isReadOnly()) {
        return Status::ReadOnly;
    }
    WriteGuard guard(m_sync);
    refreshIfNeeded();
    // An unusable store cannot say whether the key is there: nothing it
    // reports as absent may be taken as removed.
    const Status status = writeStatus();
    if (status != Status::Ok) {
        return status;
    }
    if (!m_index.contains(key) || removeDataForKey(key)) {
        return Status::Ok;
    }
    return Status::IO; // the deletion record was not written (logged)
}

bool StoreEngine::removeValuesForKeys(const std::vector<std::string> &keys) {
    if (isReadOnly()) {
        VORNWarning("[%s] file readonly", m_mmapID.c_str());
        return false;
    }
    if (keys.empty()) {
        return true;
    }
    if (keys.size() == 1) {
        return removeValueForKey(keys[0]);
    }
    WriteGuard guard(m_sync);
    refreshIfNeeded();
    size_t erased = 0;
    for (const auto &key : keys) {
        erased += m_index.erase(key);
    }
    if (erased == 0) {
        return true;
    }
    m_hasFullWriteback = false;
    return fullWriteback(nullptr, false);
}

void StoreEngine::shared_lock() {
    m_sync.threadLock()->lock();
    m_sync.sharedLock()->lock();
}

void StoreEngine::shared_unlock() {
    m_sync.sharedLock()->unlock();
    m_sync.threadLock()->unlock();
}
