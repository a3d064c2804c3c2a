#pragma once

// Helpers for the maintenance, import and backup tests: expiry switched on
// through the engine alone, and a few views of a store's state.

#include <cstdint>
#include <string>
#include <string_view>

#include "EngineTestSupport.h"
#include "core/VORN.h"
#include "core/VORNMetaInfo.h"
#include "encoding/LittleEndian.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

class VORNMaintenanceTestPeer {
public:
    // Switches key expiry on for a store that holds no keys yet, the way the
    // store records it: the flag in the meta record, under a new sequence.
    static void enableExpiry(VORN *vorn, uint32_t expiredInSeconds) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(vorn->m_exclusiveProcessLock);
        vorn->refreshIfNeeded();
        vorn->m_metaInfo->setFlag(vorn::MetaFlagKeyExpire);
        vorn->m_metaInfo->m_version = vorn::MetaVersionFlags;
        vorn->writeActualSize(0, 0, nullptr, true);
        vorn->m_enableKeyExpire = true;
        vorn->m_expiredInSeconds = expiredInSeconds;
    }
    static bool expiryOn(const VORN *vorn) { return vorn->m_enableKeyExpire; }

    // Stores value in the data-holder form; with expiry on, followed by the
    // expiry time of `duration` seconds (0: never).
    static bool setWithExpire(VORN *vorn, std::string_view key, const std::string &value, uint32_t duration) {
        vorn::VornBuffer data(const_cast<char *>(value.data()), value.size(), vorn::VornBufferCopy);
        return vorn->setDataForKey(std::move(data), key, duration);
    }

    // The 4-byte expiry time a raw stored value ends with.
    static uint32_t trailingTime(const std::string &raw) {
        return raw.size() < 4 ? 0 : vorn::decodeFixed32(raw.data() + raw.size() - 4);
    }
};
