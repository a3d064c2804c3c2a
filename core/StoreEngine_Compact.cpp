#define VORN_LOG_SOURCE "VORN_IO"

// Compaction and growth: when a record does not fit, the stream is rewritten
// with one record per live key, and the file is doubled first when even that
// is not enough. The new stream goes to a journal first and is copied over
// the old one only once the journal is complete (VORNRewriteJournal.h), so
// a process dying at any moment leaves either stream whole; where the journal
// cannot be created or the disk has no room for it, the new stream goes
// through memory and that promise does not hold. Every full
// write-back starts a new sequence, so other processes reload instead of
// applying appends.

#include "core/StoreEngine.h"
#include "encoding/VornIndex.h"
#include "platform/MemoryFile.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "core/VORNMetaInfo.h"
#include "core/VORNRewriteJournal.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"
#include "encoding/LittleEndian.h"
#include "encoding/RecordCoder.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"

using namespace vorn;

bool StoreEngine::ensureMemorySize(size_t newSize) {
    if (!checkWritable("ensureMemorySize")) {
        return false;
    }
    const bool indexEmpty = m_index.empty();
    if (m_stream.hasWriter() && newSize < m_stream.room() && !indexEmpty) {
        return true;
    }
    if (m_enableKeyExpire) {
        filterExpiredKeys();
    }
    PreparedStream prepared = prepareStream(m_index);
    if (prepared.totalSize == 0) {
        return false;
    }
    const bool needSync = !m_index.empty();
    // While dead bytes are fewer than live ones a compaction would reclaim
    // little: the file grows and appending goes on (each byte is rewritten a
    // bounded number of times: a compaction happens only once the dead bytes
    // have caught up with the live ones).
    const size_t live = prepared.totalSize;
    const size_t current = m_stream.size();
    if (needSync && m_stream.hasWriter() && current >= live && current - live < live &&
        kDataFileHeaderSize + static_cast<uint64_t>(current) + newSize <= kMaxStreamEnd) {
        return growInPlace(newSize);
    }
    return expandAndWriteBack(newSize, std::move(prepared), needSync);
}

namespace {

// Room kept for what comes after a growth: half as many records again as
// the index holds (at least 8), of the average size so far.
uint64_t futureUsageOf(uint64_t lenNeeded, size_t keys) {
    const uint64_t itemCount = static_cast<uint64_t>(keys) + 1;
    const uint64_t averageItemSize = (lenNeeded + itemCount - 1) / itemCount;
    return averageItemSize * std::max<uint64_t>(8, itemCount / 2);
}

} // namespace

bool StoreEngine::growFile(const char *function, size_t newSize, uint64_t lenNeeded, uint64_t futureUsage) {
    const size_t fileSize = m_stream.fileSize();
    uint64_t newFileSize = static_cast<uint64_t>(fileSize) * 2;
    while (lenNeeded + futureUsage >= newFileSize) {
        newFileSize *= 2;
    }
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, function, __LINE__,
                      "extending [%s] file size from %zu to %zu, incoming size:%zu, future usage:%zu",
                      m_mmapID.c_str(), fileSize, static_cast<size_t>(newFileSize), newSize,
                      static_cast<size_t>(futureUsage));
    if (!m_stream.file().truncate(static_cast<size_t>(newFileSize))) {
        if (!m_stream.isMapped()) {
            dropContentAfterUnmap();
        }
        return false;
    }
    if (!m_stream.isMapped()) {
        _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, function, __LINE__, "[%s] file not valid", m_mmapID.c_str());
        dropContentAfterUnmap();
        return false;
    }
    return true;
}

bool StoreEngine::growInPlace(size_t newSize) {
    const uint64_t lenNeeded = static_cast<uint64_t>(m_stream.size()) + newSize + kDataFileHeaderSize;
    // The stream does not move: a process dying during the growth leaves it
    // whole in a longer file, and the meta record needs no change.
    if (!growFile(__func__, newSize, lenNeeded, futureUsageOf(lenNeeded, m_index.size()))) {
        return false;
    }
    m_stream.resetWriter(m_stream.size());
    // The stream as it stands becomes the last confirmed state, as a
    // rewrite at this point would have made it: a damaged record then falls
    // back no further than the last growth.
    if (m_meta.holdsRecord()) {
        VORNMetaInfo &record = m_meta.record();
        record.m_lastConfirmedMetaInfo.lastActualSize = static_cast<uint32_t>(m_stream.size());
        record.m_lastConfirmedMetaInfo.lastActualCRC = m_stream.crc();
        m_meta.storeRecord();
    }
    return newSize < m_stream.room();
}

bool StoreEngine::expandAndWriteBack(size_t newSize, PreparedStream preparedData, bool needSync, AESCrypt *newCrypter) {
    const size_t fileSize = m_stream.fileSize();
    const uint64_t totalSize = preparedData.totalSize;
    const uint64_t lenNeeded = totalSize + newSize + kDataFileHeaderSize;
    if (lenNeeded > kMaxStreamEnd) {
        VORNError("[%s] stream of %llu bytes with an incoming record of %zu would exceed %llu bytes", m_mmapID.c_str(),
                  static_cast<unsigned long long>(totalSize), newSize, static_cast<unsigned long long>(kMaxStreamEnd));
        return false;
    }
    const uint64_t futureUsage = futureUsageOf(lenNeeded, m_index.size());
    if ((lenNeeded >= fileSize || (needSync && lenNeeded + futureUsage >= fileSize)) &&
        !growFile(__func__, newSize, lenNeeded, futureUsage)) {
        return false;
    }
    return doFullWriteBack(std::move(preparedData), newCrypter, needSync);
}

void StoreEngine::dropContentAfterUnmap() {
    // clearMemoryCache does nothing while a load is pending: the index is
    // then empty already.
    clearMemoryCache(false);
}

bool StoreEngine::fullWriteback(AESCrypt *newCrypter, bool onlyWhileExpire) {
    if (m_hasFullWriteback || m_needLoadFromFile) {
        return true;
    }
    if (!m_stream.isMapped()) {
        VORNWarning("[%s] file not valid", m_mmapID.c_str());
        return false;
    }
    if (isReadOnly()) {
        VORNWarning("[%s] file readonly", m_mmapID.c_str());
        return false;
    }

    ScopedLock<InterProcessLock> exclusive(m_sync.exclusiveLock());
    // A caller that held only the shared lock may have let another process
    // in while the exclusive one was taken: trust the index only after
    // looking at the meta record again.
    refreshIfNeeded();
    if (m_hasFullWriteback || m_needLoadFromFile) {
        return true;
    }
    if (!checkWritable("fullWriteback")) {
        return false;
    }
    if (m_enableKeyExpire) {
        size_t expired = filterExpiredKeys();
        if (onlyWhileExpire && expired == 0) {
            return true;
        }
    }
    const bool indexEmpty = m_index.empty();
    if (indexEmpty) {
        clearAll(false);
        return true;
    }

    PreparedStream prepared = prepareStream(m_index);
    const size_t totalSize = prepared.totalSize;
    if (totalSize == 0) {
        return false;
    }
    const size_t fileSize = m_stream.fileSize();
    if (totalSize + kDataFileHeaderSize > fileSize) {
        return expandAndWriteBack(totalSize + kDataFileHeaderSize - fileSize, std::move(prepared), true, newCrypter);
    }
    return doFullWriteBack(std::move(prepared), newCrypter, true);
}

bool StoreEngine::doFullWriteBack(PreparedStream prepared, AESCrypt *newCrypter, bool needSync) {
    AESCrypt *encrypter = nullptr;
    if (newCrypter == clearCipherChoice()) {
        encrypter = nullptr;
    } else if (newCrypter) {
        encrypter = newCrypter;
    } else {
        encrypter = m_crypter;
    }
    const size_t totalSize = prepared.totalSize;
    if (!m_meta.holdsRecord()) {
        VORNError("file [%s] not valid", m_metaPath.c_str());
        return false;
    }
    if (!m_stream.isMapped() || totalSize + kDataFileHeaderSize > m_stream.fileSize()) {
        VORNError("[%s] no room for a rewrite of %zu bytes", m_mmapID.c_str(), totalSize);
        return false;
    }
    Compactor compactor(m_path, m_index, m_stream, m_crypter, encrypter);
    const Compactor::Status built = compactor.build(prepared, m_meta.record());
    if (compactor.builtInMemory()) {
        VORNWarning("[%s] no room for the rewrite journal: the rewrite goes through memory and is not protected "
                    "against a crash",
                    m_mmapID.c_str());
    }
    if (built != Compactor::Status::Ok) {
        if (built == Compactor::Status::WrongSize) {
            VORNError("[%s] rewrite produced %zu bytes instead of %zu", m_mmapID.c_str(), compactor.builtSize(),
                      totalSize);
        }
        // The data file is untouched, but a cipher may have moved on: read
        // the store again before its next use.
        VORNError("[%s] rewrite abandoned, the stream stays as it was", m_mmapID.c_str());
        clearMemoryCache(false);
        return false;
    }
    if (compactor.install(m_meta) != Compactor::Status::Ok) {
        VORNError("[%s] rewrite interrupted, the next load finishes it", m_mmapID.c_str());
        clearMemoryCache(false);
        return false;
    }
    m_stream.resetWriter(totalSize);
    writeActualSize(totalSize, compactor.newCRC(), compactor.newIV(), true, encrypter);
    m_needFreshVector = false;
    m_hasFullWriteback = true;
    if (needSync) {
        sync(SyncFlag::Sync);
    }
    compactor.finish();
    return true;
}

bool StoreEngine::doFullWriteBack(std::vector<std::pair<std::string, VornBuffer>> &&pairs) {
    PreparedStream prepared = prepareStream(std::move(pairs));
    if (prepared.totalSize == 0) {
        return false; // encoding failed (logged); the stream stays as it is
    }
    m_index.clear();
    bool ret = false;
    const size_t fileSize = m_stream.fileSize();
    const size_t totalSize = prepared.totalSize;
    if (fileSize < totalSize + kDataFileHeaderSize) {
        ret = expandAndWriteBack(totalSize + kDataFileHeaderSize - fileSize, std::move(prepared), true);
    } else {
        ret = doFullWriteBack(std::move(prepared), nullptr, true);
    }
    clearMemoryCache(false);
    return ret;
}
