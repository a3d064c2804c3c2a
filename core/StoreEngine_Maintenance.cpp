#define VORN_LOG_SOURCE "VORN_IO"

// Operations on a store as a whole: emptying it, giving disk space back,
// changing its key, and copying another store into it. Each one rewrites the
// stream or resets the meta record under a new sequence, so processes that
// have the store open reload (and remap a data file whose length changed)
// before their next operation instead of appending to what they mapped.

#include "core/StoreEngine.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/LittleEndian.h"
#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

using namespace vorn;


void StoreEngine::clearAll(bool keepSpace) {
    VORNInfo("cleaning all key-values from [%s]", m_mmapID.c_str());
    if (refuseReadOnly(__func__)) {
        return;
    }
    WriteGuard guard(m_sync);
    if (!loadDataFile(__func__)) {
        return;
    }
    if (!m_meta.isMapped()) {
        // A cut data file under the old meta record would read as damage.
        VORNError("file [%s] not valid", m_metaPath.c_str());
        return;
    }
    if (m_stream.fileSize() == m_expectedCapacity && m_stream.size() == 0) {
        VORNInfo("nothing to clear for [%s]", m_mmapID.c_str());
        return;
    }
    uint8_t newIV[kAESBlockSize];
    AESCrypt::fillRandomIV(newIV);
    if (m_crypter) {
        m_crypter->resetIV(newIV, sizeof(newIV));
    }
    // The empty record goes first: a process that dies between the two steps
    // leaves an empty store in a longer file, not a record claiming more bytes
    // than the cut file holds (which a later open reports as a damaged file).
    writeActualSize(0, 0, newIV, true);
    m_needFreshVector = false;
    m_meta.file().msync(SyncFlag::Sync);
    if (!keepSpace) {
        m_stream.file().truncate(m_expectedCapacity);
    }

    clearMemoryCache(keepSpace);
    loadFromFile();
}

void StoreEngine::trim() {
    VORNInfo("prepare to trim %s", m_mmapID.c_str());
    if (refuseReadOnly(__func__)) {
        return;
    }
    WriteGuard guard(m_sync);
    if (!loadDataFile(__func__)) {
        return;
    }
    if (m_stream.size() == 0) {
        clearAll(false);
        return;
    }
    if (m_stream.fileSize() <= m_expectedCapacity) {
        return;
    }

    fullWriteback(nullptr, false);
    if (m_needLoadFromFile || !m_stream.isMapped() || !m_meta.isMapped()) {
        return; // the write-back lost the mapping (logged); nothing to shrink
    }

    const size_t oldSize = m_stream.fileSize();
    const size_t limit = 2 * m_stream.size() + 8;
    size_t size = oldSize;
    while (size > limit) {
        size /= 2;
    }
    const size_t newSize = std::max(size, m_expectedCapacity);
    if (newSize == oldSize) {
        VORNInfo("there's no need to trim %s with size %zu, actualSize %zu", m_mmapID.c_str(), oldSize, m_stream.size());
        return;
    }

    VORNInfo("trimming %s from %zu to %zu, actualSize %zu", m_mmapID.c_str(), oldSize, newSize, m_stream.size());
    const size_t actualSize = m_stream.size();
    const uint32_t crcDigest = m_stream.crc();
    const bool resized = m_stream.file().truncate(newSize);
    if (resized || !m_stream.isMapped()) {
        // The file is shorter now (also when only its new mapping failed).
        // The write-back above may have had nothing to do and so left the
        // sequence alone: a process still mapping the longer file must be
        // told to remap, or its next append lands past the end of the file.
        writeActualSize(actualSize, crcDigest, nullptr, true);
        m_meta.file().msync(SyncFlag::Sync);
    }
    if (!resized || !m_stream.isMapped()) {
        if (!m_stream.isMapped()) {
            dropContentAfterUnmap();
        }
        return;
    }
    m_stream.resetWriter(m_stream.size());
    VORNInfo("finish trim %s from %zu to %zu", m_mmapID.c_str(), oldSize, m_stream.fileSize());
}

bool StoreEngine::reKey(const std::string &cryptKey, bool aes256) {
    if (refuseReadOnly(__func__)) {
        return false;
    }
    WriteGuard guard(m_sync);
    if (!loadDataFile(__func__)) {
        return false;
    }

    if (m_crypter) {
        if (cryptKey.empty()) {
            VORNInfo("reKey to no aes key");
            return rewriteUnderCipher(clearCipherChoice());
        }
        // Same key as the cipher uses it, and same key size: nothing to do.
        // (A new key size with the same bytes is a new cipher.)
        if (isSameEffectiveKey(cryptKey, aes256)) {
            return true;
        }
        VORNInfo("reKey with new aes key");
        return rewriteUnderCipher(new AESCrypt(cryptKey.data(), cryptKey.size(), nullptr, 0, aes256));
    }

    if (cryptKey.empty()) {
        return true;
    }
    VORNInfo("reKey to a aes key");
    return rewriteUnderCipher(new AESCrypt(cryptKey.data(), cryptKey.size(), nullptr, 0, aes256));
}

bool StoreEngine::rewriteUnderCipher(AESCrypt *choice) {
    AESCrypt *newCipher = choice == clearCipherChoice() ? nullptr : choice;
    m_hasFullWriteback = false;
    if (!fullWriteback(choice, false)) {
        delete newCipher;
        return false;
    }
    // Past the new stream lie the old records (older values, deleted keys)
    // under the old key or in clear: nothing of them may stay readable.
    m_stream.zeroTail();
    installCipher(newCipher);
    return true;
}

size_t StoreEngine::importFrom(StoreEngine *src) {
    if (!src || src == this) {
        // Importing a store into itself would read values from the very
        // mapping its own writes compact.
        return 0;
    }
    VORNInfo("importing from [%s] to [%s]", src->m_mmapID.c_str(), m_mmapID.c_str());
    if (isReadOnly()) {
        VORNWarning("[%s] file readonly", m_mmapID.c_str());
        return 0;
    }

    // One order for every pair of stores in every process: by registry key.
    StoreEngine *first = this;
    StoreEngine *second = src;
    if (second->m_registryKey < first->m_registryKey) {
        std::swap(first, second);
    }
    WriteGuard firstGuard(first->m_sync);
    WriteGuard secondGuard(second->m_sync);
    refreshIfNeeded();
    src->refreshIfNeeded();
    if (!m_stream.isMapped() || !src->m_stream.isMapped()) {
        VORNWarning("[%s] or [%s] file not valid", m_mmapID.c_str(), src->m_mmapID.c_str());
        return 0;
    }

    const uint32_t expireTime = m_enableKeyExpire ? expireTimeForDuration(m_expiredInSeconds) : 0;
    // Keys first: reading a value may delete an expired key from src's index.
    const std::vector<std::string> keys = src->m_index.keys();

    size_t count = 0;
    for (const std::string &key : keys) {
        VornBuffer value = src->getDataForKey(key);
        if (value.size() == 0) {
            continue;
        }
        if (m_enableKeyExpire) {
            value = withExpireTime(value, expireTime);
        }
        if (setDataForKey(std::move(value), key, false)) {
            count++;
        }
    }
    VORNInfo("imported %llu from [%s] to [%s]", static_cast<unsigned long long>(count), src->m_mmapID.c_str(),
             m_mmapID.c_str());
    return count;
}
