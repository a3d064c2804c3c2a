#define VORN_LOG_SOURCE "VORN_IO"

// Key expiry and compare-before-set.
//
// With expiry on (the meta flag MetaFlagKeyExpire), every value ends with a
// little-endian uint32: the second at which it expires, 0 for never. A value
// is expired from that second on (time == now counts). Expired values are
// hidden and deleted when read, and dropped from the index before every
// compaction; switching expiry on or off rewrites every value with or
// without the suffix under a new sequence.

#include "core/StoreEngine.h"
#include "encoding/VornIndex.h"

#include <cstring>
#include <utility>
#include <vector>

#include "core/VORNClock.h"
#include "core/VORNMetaInfo.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

using namespace vorn;

namespace {

bool isExpired(uint32_t expireTime, uint32_t now) {
    return expireTime != 0 && now >= expireTime;
}

// The expiry time at the end of a value of at least 4 bytes.
uint32_t expireTimeOf(const VornBuffer &value) {
    return decodeFixed32(static_cast<const uint8_t *>(value.data()) + value.size() - kFixed32Size);
}

} // namespace

uint32_t StoreEngine::getCurrentTimeInSecond() {
    return currentTimeInSecond();
}

uint32_t StoreEngine::safeExpirationPlusCurrentTime(uint32_t seconds) {
    const uint64_t sum = static_cast<uint64_t>(seconds) + getCurrentTimeInSecond();
    return sum >= 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(sum);
}

bool StoreEngine::enableAutoKeyExpire(uint32_t expiredInSeconds) {
    if (refuseReadOnly(__func__)) {
        return false;
    }
    applyOpenConfig(); // the open's switches come before this call
    WriteGuard guard(m_sync);
    if (!readyToSwitchExpiry(__func__)) {
        return false;
    }
    if (m_enableCompareBeforeSet) {
        VORNError("enableCompareBeforeSet will be invalid when Expiration is on");
        m_enableCompareBeforeSet = false;
    }
    if (expiredInSeconds != m_expiredInSeconds) {
        VORNInfo("expiredInSeconds: %u", expiredInSeconds);
        m_expiredInSeconds = expiredInSeconds;
    }
    m_enableKeyExpire = true;
    if (m_meta.record().hasFlag(MetaFlagKeyExpire)) {
        return true; // the values carry their times already
    }

    const uint32_t expireTime = expireTimeForDuration(expiredInSeconds);
    VORNInfo("turn on recording expire date for all keys inside [%s] from now %u", m_mmapID.c_str(), expireTime);
    m_meta.record().setFlag(MetaFlagKeyExpire);
    m_meta.record().m_version = MetaVersionFlags;

    if (recordExpiryFlagOfNewFile(__func__, "writeback")) {
        return true;
    }

    auto stream = m_stream.bytes();
    std::vector<std::pair<std::string, VornBuffer>> pairs;
    pairs.reserve(m_index.size());
    m_index.forEachValue(stream, m_crypter, [&](const std::string &key, VornBuffer &&value) {
        pairs.emplace_back(key, withExpireTime(value, expireTime));
    });
    return doFullWriteBack(std::move(pairs));
}

bool StoreEngine::disableAutoKeyExpire() {
    if (refuseReadOnly(__func__)) {
        return false;
    }
    applyOpenConfig(); // the open's switches come before this call
    WriteGuard guard(m_sync);
    if (!readyToSwitchExpiry(__func__)) {
        return false;
    }
    // Values that have expired are gone for every reader; without their
    // times they would come back as values that never expire.
    if (m_enableKeyExpire) {
        filterExpiredKeys();
    }
    m_expiredInSeconds = 0;
    m_enableKeyExpire = false;
    if (!m_meta.record().hasFlag(MetaFlagKeyExpire)) {
        return true;
    }

    VORNInfo("erase previous recorded expire date for all keys inside [%s]", m_mmapID.c_str());
    m_meta.record().unsetFlag(MetaFlagKeyExpire);
    m_meta.record().m_version = MetaVersionFlags;

    if (recordExpiryFlagOfNewFile(__func__, "write-back")) {
        return true;
    }

    auto stream = m_stream.bytes();
    std::vector<std::pair<std::string, VornBuffer>> pairs;
    auto addWithoutTime = [&pairs](const std::string &key, VornBuffer &&value) {
        if (value.size() < kFixed32Size) {
            VORNWarning("key [%s] has invalid value size %u", key.c_str(), static_cast<uint32_t>(value.size()));
            return;
        }
        const size_t size = value.size() - kFixed32Size;
        pairs.emplace_back(key, VornBuffer(std::move(value), size));
    };
    pairs.reserve(m_index.size());
    m_index.forEachValue(stream, m_crypter, addWithoutTime);
    return doFullWriteBack(std::move(pairs));
}

void StoreEngine::applyKeyExpireConfig(const VORNConfig &config) {
    if (!config.enableKeyExpire) {
        return;
    }
    if (isReadOnly()) {
        VORNWarning("[%s] file readonly", m_mmapID.c_str());
        return;
    }
    WriteGuard guard(m_sync);
    loadMetaInfoAndCheck(); // sets m_enableKeyExpire from the file
    if (!m_meta.isMapped()) {
        return;
    }
    if (m_enableKeyExpire) {
        if (*config.enableKeyExpire) {
            m_expiredInSeconds = config.expiredInSeconds;
        } else {
            disableAutoKeyExpire();
        }
    } else if (*config.enableKeyExpire) {
        enableAutoKeyExpire(config.expiredInSeconds);
    }
}

VornBuffer StoreEngine::getDataWithoutMTimeForKey(std::string_view key) {
    // What a read makes of the stored bytes.
    enum class Verdict { Whole, WithoutTime, Expired };
    auto judge = [this, key](const VornBuffer &raw, uint32_t &expireTime) {
        if (!m_enableKeyExpire) {
            return Verdict::Whole; // a reload switched expiry off: nothing to cut
        }
        if (raw.size() < kFixed32Size) {
            if (raw.size() > 0) {
                _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, "getDataWithoutMTimeForKey", __LINE__,
                                  "key [%.*s] has invalid value size %u", static_cast<int>(key.size()), key.data(),
                                  static_cast<uint32_t>(raw.size()));
            }
            return Verdict::Whole;
        }
        expireTime = expireTimeOf(raw);
        return isExpired(expireTime, getCurrentTimeInSecond()) ? Verdict::Expired : Verdict::WithoutTime;
    };

    VornBuffer raw = lookupRawData(key);
    uint32_t expireTime = 0;
    Verdict verdict = judge(raw, expireTime);
    if (verdict == Verdict::Expired && !isReadOnly()) {
        // Deleting writes. Taking the exclusive lock over the shared hold may
        // let another process write in between (flock converts by releasing
        // first): look again under it, so that a value written meanwhile is
        // returned instead of deleted.
        ScopedLock<InterProcessLock> exclusive(m_sync.exclusiveLock());
        if (isMultiProcess()) {
            refreshIfNeeded();
            raw = lookupRawData(key);
            verdict = judge(raw, expireTime);
        }
        if (verdict == Verdict::Expired) {
            VORNInfo("deleting expired key [%.*s] in vorn [%s], due date %u", static_cast<int>(key.size()), key.data(),
                     m_mmapID.c_str(), expireTime);
            removeValueForKey(key);
            return VornBuffer();
        }
    }
    switch (verdict) {
    case Verdict::Whole:
        return raw;
    case Verdict::Expired:
        return VornBuffer(); // a read-only store hides it; its files cannot change
    case Verdict::WithoutTime:
        break;
    }
    const size_t size = raw.size() - kFixed32Size;
    return VornBuffer(std::move(raw), size);
}

uint32_t StoreEngine::getExpireTimeForKey(std::string_view key) {
    ReadGuard guard(m_sync);
    refreshIfNeeded();
    if (!m_enableKeyExpire || key.empty()) {
        return 0;
    }
    VornBuffer raw = lookupRawData(key);
    if (raw.size() >= kFixed32Size) {
        return expireTimeOf(raw);
    }
    if (raw.size() > 0) {
        VORNWarning("key [%.*s] has invalid value size %u", static_cast<int>(key.size()), key.data(),
                    static_cast<uint32_t>(raw.size()));
    }
    return 0;
}

size_t StoreEngine::filterExpiredKeys() {
    const bool indexEmpty = m_index.empty();
    if (!m_enableKeyExpire || indexEmpty || !m_stream.isMapped()) {
        return 0;
    }
    ScopedLock<InterProcessLock> shared(m_sync.sharedLock());
    const uint32_t now = getCurrentTimeInSecond();
    VORNInfo("filtering expired keys inside [%s] now: %u, m_expiredInSeconds: %u", m_mmapID.c_str(), now,
             m_expiredInSeconds);
    const size_t count = m_index.filterExpiredKeys(m_stream.bytes(), m_crypter, now);
    if (count > 0) {
        VORNInfo("deleted %zu expired keys inside [%s]", count, m_mmapID.c_str());
    }
    return count;
}

bool StoreEngine::enableCompareBeforeSet() {
    return switchCompareBeforeSet(true, __func__);
}

bool StoreEngine::disableCompareBeforeSet() {
    return switchCompareBeforeSet(false, __func__);
}

bool StoreEngine::switchCompareBeforeSet(bool enable, const char *caller) {
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, caller, __LINE__, "%s for [%s]", caller, m_mmapID.c_str());
    applyOpenConfig(); // the open's switches come before this call
    WriteGuard guard(m_sync);
    if (m_enableKeyExpire || m_crypter) {
        return false;
    }
    m_enableCompareBeforeSet = enable;
    return true;
}

uint32_t StoreEngine::expireTimeForDuration(uint32_t expireDuration) {
    return expireDuration == 0 ? 0 : safeExpirationPlusCurrentTime(expireDuration);
}

VornBuffer StoreEngine::withExpireTime(const VornBuffer &value, uint32_t expireTime) {
    VornBuffer result(value.size() + kFixed32Size);
    auto bytes = static_cast<uint8_t *>(result.data());
    if (value.size() > 0) {
        memcpy(bytes, value.data(), value.size());
    }
    encodeFixed32(bytes + value.size(), expireTime);
    return result;
}

bool StoreEngine::recordExpiryFlagOfNewFile(const char *caller, const char *writeBack) {
    if (m_stream.fileSize() != m_expectedCapacity || m_stream.size() != 0) {
        return false;
    }
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, caller, __LINE__,
                      "file is new, don't need a full %s [%s], just update meta file", writeBack, m_mmapID.c_str());
    writeActualSize(0, 0, nullptr, true);
    m_meta.file().msync(SyncFlag::Sync);
    return true;
}

bool StoreEngine::readyToSwitchExpiry(const char *caller) {
    refreshIfNeeded();
    if (!m_stream.isMapped() || !m_meta.isMapped()) {
        _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, caller, __LINE__, "[%s] file not valid", m_mmapID.c_str());
        return false;
    }
    if (m_streamUndecodable) {
        checkWritable(caller);
        return false;
    }
    return true;
}
