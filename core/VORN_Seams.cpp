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

size_t VORN::expirySeamFilterExpiredKeys() {
    return filterExpiredKeys();
}

VornBuffer VORN::expirySeamDataWithoutMTime(std::string_view key) {
    return getDataWithoutMTimeForKey(key);
}

uint32_t VORN::expirySeamExpireTime(uint32_t expireDuration) {
    return expireDuration == 0 ? 0 : safeExpirationPlusCurrentTime(expireDuration);
}

// Becomes: clearAll(false);
void VORN::clearingSeamClearAll() {
    if (!checkWritable("clearAll")) {
        return;
    }
    uint8_t newIV[kAESBlockSize];
    AESCrypt::fillRandomIV(newIV);
    if (m_crypter) {
        m_crypter->resetIV(newIV, sizeof(newIV));
        m_dicCrypt->clear();
    } else {
        m_dic->clear();
    }
    writeActualSize(0, 0, newIV, true);
    m_metaFile->msync(SyncFlag::Sync);
    resetOutput(0);
    m_hasFullWriteback = false;
}
