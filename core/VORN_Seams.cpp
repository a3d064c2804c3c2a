#define VORN_LOG_SOURCE "VORN_IO"

// Seams where the engine calls into key expiry and clearing, which are built
// later. Each body is the stand-in the engine relies on until then; the later
// work replaces it with the real operation named in the comment.

#include "core/VORN.h"

#include <ctime>

#include "core/VORNEngine.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedOutputData.h"
#include "platform/MemoryFile.h"

using namespace vorn;

// Becomes: return filterExpiredKeys();
size_t VORN::expirySeamFilterExpiredKeys() {
    return 0;
}

// Becomes: return getDataWithoutMTimeForKey(key);
VornBuffer VORN::expirySeamDataWithoutMTime(std::string_view key) {
    VornBuffer raw = getRawDataForKey(key);
    if (raw.size() < kFixed32Size) {
        return raw;
    }
    const size_t size = raw.size() - kFixed32Size;
    return VornBuffer(std::move(raw), size);
}

// Becomes: return expireDuration == 0 ? 0 : safeExpirationPlusCurrentTime(expireDuration);
uint32_t VORN::expirySeamExpireTime(uint32_t expireDuration) {
    if (expireDuration == 0) {
        return 0;
    }
    const uint64_t sum = static_cast<uint64_t>(time(nullptr)) + expireDuration;
    return sum >= 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(sum);
}

void VORN::clearingSeamClearAll() {
    clearAll(false);
}
