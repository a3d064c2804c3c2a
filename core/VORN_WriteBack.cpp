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

#include "core/VORNEngine.h"
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

namespace vorn {

AESCrypt *clearCipherChoice() {
    // The address of a byte, never of a cipher.
    static char marker;
    return reinterpret_cast<AESCrypt *>(&marker);
}

namespace {

size_t plainRecordLength(const IndexEntry &kv) {
    return kv.computedKVSize + kv.valueSize;
}

// The item-size holder that opens a new stream: a varint of `width` bytes.
size_t encodeItemSizeHolder(uint32_t width, uint8_t (&bytes)[kMaxVarint32Size]) {
    CodedOutputData output(bytes, sizeof(bytes));
    output.writeUInt32(AESCrypt::randomItemSizeHolder(width));
    return output.getPosition();
}

// Plain compaction into the journal: a 4-byte item-size holder, then the live
// records in their old order (the journal gathers them into large writes).
// With an encrypter (a plain store given a key) the whole new stream is
// encrypted on the way. `sorted` receives the entries in their new order.
bool writePlainCompaction(VORNMap &dic, const uint8_t *stream, AESCrypt *encrypter, RewriteJournalWriter &journal,
                          std::vector<IndexEntry *> &sorted) {
    sorted.reserve(dic.size());
    for (auto &pair : dic) {
        sorted.push_back(&pair.second);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const IndexEntry *a, const IndexEntry *b) { return a->offset < b->offset; });

    uint8_t holder[kMaxVarint32Size];
    if (!journal.append(holder, encodeItemSizeHolder(kItemSizeHolderWidth, holder), encrypter)) {
        return false;
    }
    for (const IndexEntry *kv : sorted) {
        if (!journal.append(stream + kv->offset, plainRecordLength(*kv), encrypter)) {
            return false;
        }
    }
    return true;
}

// The L record bytes of a prepared pair list (varint L, then L bytes).
VornBuffer preparedRecords(const VornBuffer &prepared) {
    if (prepared.size() == 0) {
        return VornBuffer();
    }
    CodedInputData input(prepared.data(), prepared.size());
    uint32_t length = input.readUInt32();
    const size_t start = input.getPosition();
    if (length > prepared.size() - start) {
        length = static_cast<uint32_t>(prepared.size() - start);
    }
    return VornBuffer(static_cast<uint8_t *>(prepared.data()) + start, length, VornBufferNoCopy);
}

// Plain copy: a 4-byte holder, then the prepared records.
bool writePreparedRecords(const VornBuffer &prepared, AESCrypt *encrypter, RewriteJournalWriter &journal) {
    uint8_t holder[kMaxVarint32Size];
    if (!journal.append(holder, encodeItemSizeHolder(kItemSizeHolderWidth, holder), encrypter)) {
        return false;
    }
    VornBuffer records = preparedRecords(prepared);
    return journal.append(records.data(), records.size(), encrypter);
}

// Bytes an encrypted compaction moves at a time, through a stack buffer.
constexpr size_t kMovePieceSize = 4096;

// Item-size holder width of an encrypted compaction: the first record that
// stays in the file keeps its place when it starts at 1, 2, 3 or 5.
uint32_t holderWidthForFirstOffset(size_t firstOffset) {
    return (firstOffset >= 1 && firstOffset <= 5) ? static_cast<uint32_t>(firstOffset) : kItemSizeHolderWidth;
}

// Where an entry of an encrypted store lives in the new stream.
struct NewPlace {
    uint32_t offset;
    AESCryptStatus status;
};

// Encrypted compaction into the journal: the holder, then the records kept by
// position in their old order, each run of back-to-back records decrypted
// from the cipher state of its first record, one piece at a time through a
// stack buffer, and encrypted under the encrypter's new stream (no record is
// ever written anywhere in clear); then the records of values held in memory.
// Without an encrypter (the key is being removed) the result is in clear and
// the caller discards the index. `sorted` and `places` receive the entries
// kept by position and, with an encrypter, their new offsets and cipher states.
bool writeCryptCompaction(VORNMapCrypt &dic, const uint8_t *stream, AESCrypt *decrypter, AESCrypt *encrypter,
                          const VornBuffer &prepared, RewriteJournalWriter &journal,
                          std::vector<CryptIndexEntry *> &sorted, std::vector<NewPlace> &places) {
    for (auto &pair : dic) {
        if (pair.second.kind == KVHolderOffset) {
            sorted.push_back(&pair.second);
        }
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const CryptIndexEntry *a, const CryptIndexEntry *b) { return a->offset < b->offset; });

    const uint32_t width = sorted.empty() ? kItemSizeHolderWidth : holderWidthForFirstOffset(sorted.front()->offset);
    uint8_t holder[kMaxVarint32Size];
    if (!journal.append(holder, encodeItemSizeHolder(width, holder), encrypter)) {
        return false;
    }

    size_t position = width;
    std::optional<AESCrypt> reader;
    size_t runEnd = SIZE_MAX;
    uint8_t piece[kMovePieceSize];
    if (encrypter) {
        places.reserve(sorted.size());
    }
    for (CryptIndexEntry *kv : sorted) {
        const size_t offset = kv->offset;
        const size_t length = kv->recordSize();
        if (offset != runEnd) {
            reader.emplace(*decrypter, kv->cryptStatus);
        }
        runEnd = offset + length;
        if (encrypter) {
            AESCryptStatus status;
            encrypter->getCurStatus(status);
            places.push_back({static_cast<uint32_t>(position), status});
        }
        for (size_t done = 0; done < length;) {
            const size_t n = std::min(sizeof(piece), length - done);
            reader->decrypt(stream + offset + done, piece, n);
            if (!journal.append(piece, n, encrypter)) {
                return false;
            }
            done += n;
        }
        position += length;
    }

    if (prepared.size() > 0) {
        VornBuffer records = preparedRecords(prepared);
        return journal.append(records.data(), records.size(), encrypter);
    }
    return true;
}

} // namespace

} // namespace vorn

StoreEngine::PreparedData StoreEngine::prepareEncode() const {
    if (m_crypter) {
        std::vector<std::pair<std::string, VornBuffer>> pairs;
        size_t smallestOffset = SIZE_MAX;
        size_t recordBytes = 0;
        for (auto &pair : m_index.crypt()) {
            const CryptIndexEntry &kv = pair.second;
            if (kv.kind == KVHolderOffset) {
                smallestOffset = std::min<size_t>(smallestOffset, kv.offset);
                recordBytes += kv.recordSize();
            } else {
                pairs.emplace_back(pair.first, kv.toVornBuffer(nullptr, nullptr));
            }
        }
        const size_t holder =
            (smallestOffset == SIZE_MAX) ? kItemSizeHolderWidth : holderWidthForFirstOffset(smallestOffset);
        size_t totalSize = holder + recordBytes;
        VornBuffer buffer;
        if (!pairs.empty()) {
            RecordCoder encoder;
            size_t index = encoder.prepareObjectForEncode(pairs);
            buffer = encoder.writePreparedItems(index);
            if (buffer.size() == 0) {
                // Encoding failed (logged): writing back now would drop every
                // value held in memory.
                return {VornBuffer(), 0};
            }
            totalSize += preparedRecords(buffer).size();
        }
        return {std::move(buffer), totalSize};
    }
    size_t totalSize = kItemSizeHolderWidth;
    for (auto &pair : m_index.plain()) {
        totalSize += pair.second.computedKVSize + pair.second.valueSize;
    }
    return {VornBuffer(), totalSize};
}

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
    PreparedData prepared = prepareEncode();
    if (prepared.second == 0) {
        return false;
    }
    const bool needSync = !m_index.empty();
    return expandAndWriteBack(newSize, std::move(prepared), needSync);
}

bool StoreEngine::expandAndWriteBack(size_t newSize, PreparedData preparedData, bool needSync, AESCrypt *newCrypter) {
    const size_t fileSize = m_stream.fileSize();
    const uint64_t totalSize = preparedData.second;
    const uint64_t lenNeeded = totalSize + newSize + kDataFileHeaderSize;
    if (lenNeeded > kMaxStreamEnd) {
        VORNError("[%s] stream of %llu bytes with an incoming record of %zu would exceed %llu bytes", m_mmapID.c_str(),
                  static_cast<unsigned long long>(totalSize), newSize, static_cast<unsigned long long>(kMaxStreamEnd));
        return false;
    }
    const uint64_t itemCount = (m_index.size()) + 1;
    const uint64_t averageItemSize = (lenNeeded + itemCount - 1) / itemCount;
    const uint64_t futureUsage = averageItemSize * std::max<uint64_t>(8, itemCount / 2);

    if (lenNeeded >= fileSize || (needSync && lenNeeded + futureUsage >= fileSize)) {
        uint64_t newFileSize = static_cast<uint64_t>(fileSize) * 2;
        while (lenNeeded + futureUsage >= newFileSize) {
            newFileSize *= 2;
        }
        VORNInfo("extending [%s] file size from %zu to %zu, incoming size:%zu, future usage:%zu", m_mmapID.c_str(),
                 fileSize, static_cast<size_t>(newFileSize), newSize, static_cast<size_t>(futureUsage));
        if (!m_stream.file().truncate(static_cast<size_t>(newFileSize))) {
            if (!m_stream.isMapped()) {
                dropContentAfterUnmap();
            }
            return false;
        }
        if (!m_stream.isMapped()) {
            VORNWarning("[%s] file not valid", m_mmapID.c_str());
            dropContentAfterUnmap();
            return false;
        }
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

    PreparedData prepared = prepareEncode();
    const size_t totalSize = prepared.second;
    if (totalSize == 0) {
        return false;
    }
    const size_t fileSize = m_stream.fileSize();
    if (totalSize + kDataFileHeaderSize > fileSize) {
        return expandAndWriteBack(totalSize + kDataFileHeaderSize - fileSize, std::move(prepared), true, newCrypter);
    }
    return doFullWriteBack(std::move(prepared), newCrypter, true);
}

bool StoreEngine::doFullWriteBack(PreparedData preparedData, AESCrypt *newCrypter, bool needSync) {
    AESCrypt *encrypter = nullptr;
    if (newCrypter == clearCipherChoice()) {
        encrypter = nullptr;
    } else if (newCrypter) {
        encrypter = newCrypter;
    } else {
        encrypter = m_crypter;
    }
    const size_t totalSize = preparedData.second;
    if (!m_meta.isMapped() || m_meta.pageSize() < kMetaInfoSize) {
        VORNError("file [%s] not valid", m_metaPath.c_str());
        return false;
    }
    if (!m_stream.isMapped() || totalSize + kDataFileHeaderSize > m_stream.fileSize()) {
        VORNError("[%s] no room for a rewrite of %zu bytes", m_mmapID.c_str(), totalSize);
        return false;
    }
    // The new stream is built beside the old one, which stays intact until
    // the journal holding the new one is complete.
    auto stream = m_stream.bytes();
    uint8_t newIV[kAESBlockSize];
    std::vector<IndexEntry *> plainSorted;
    std::vector<CryptIndexEntry *> cryptSorted;
    std::vector<NewPlace> places;
    VORNMetaInfo newRecord;
    // One attempt: the whole new stream into `journal`, under a vector of its
    // own (a second attempt never reuses the first one's keystream).
    auto writeInto = [&](RewriteJournalWriter &journal) {
        plainSorted.clear();
        cryptSorted.clear();
        places.clear();
        if (encrypter) {
            AESCrypt::fillRandomIV(newIV);
            encrypter->resetIV(newIV, sizeof(newIV));
        }
        bool written = false;
        if (m_crypter) {
            written = writeCryptCompaction(m_index.crypt(), stream, m_crypter, encrypter, preparedData.first, journal,
                                           cryptSorted, places);
        } else if (preparedData.first.size() == 0) {
            written = writePlainCompaction(m_index.plain(), stream, encrypter, journal, plainSorted);
        } else {
            written = writePreparedRecords(preparedData.first, encrypter, journal);
        }
        if (written && journal.streamSize() != totalSize) {
            VORNError("[%s] rewrite produced %zu bytes instead of %zu", m_mmapID.c_str(), journal.streamSize(),
                      totalSize);
            written = false;
        }
        newRecord = m_meta.record();
        advanceMetaRecord(newRecord, totalSize, journal.streamCRC(), encrypter ? newIV : nullptr, true);
        return written && journal.commit(newRecord);
    };

    std::optional<RewriteJournalWriter> journal;
    journal.emplace(m_path);
    bool committed = writeInto(*journal);
    if (!committed && journal->outOfSpace()) {
        // The compaction itself needs no new disk space: refusing it would
        // refuse every later write that needs room. The partial journal goes
        // first, giving back what it took.
        VORNWarning("[%s] no room for the rewrite journal: the rewrite goes through memory and is not protected "
                    "against a crash",
                    m_mmapID.c_str());
        journal.reset();
        journal.emplace(m_path, RewriteJournalWriter::Where::Memory);
        committed = writeInto(*journal);
    }
    if (!committed) {
        // The data file is untouched, but a cipher may have moved on: read
        // the store again before its next use.
        VORNError("[%s] rewrite abandoned, the stream stays as it was", m_mmapID.c_str());
        clearMemoryCache(false);
        return false;
    }

    // From here on a load finishes this rewrite from the journal. Other
    // processes see the new sequence first, so none of them keeps reading
    // records through offsets that are about to be overwritten.
    encodeFixed32(m_meta.page() + offsetof(VORNMetaInfo, m_sequence),
                  newRecord.m_sequence);
    if (!journal->copyStreamTo(stream)) {
        VORNError("[%s] rewrite interrupted, the next load finishes it", m_mmapID.c_str());
        clearMemoryCache(false);
        return false;
    }

    if (!m_crypter && !encrypter) {
        size_t offset = kItemSizeHolderWidth;
        for (IndexEntry *kv : plainSorted) {
            kv->offset = static_cast<uint32_t>(offset);
            offset += plainRecordLength(*kv);
        }
    } else if (m_crypter && encrypter) {
        for (size_t i = 0; i < cryptSorted.size(); i++) {
            cryptSorted[i]->offset = places[i].offset;
            cryptSorted[i]->cryptStatus = places[i].status;
        }
    }
    // Otherwise the cipher changed and the caller discards the index.
    m_stream.resetWriter(totalSize);
    writeActualSize(totalSize, journal->streamCRC(), encrypter ? newIV : nullptr, true, encrypter);
    m_needFreshVector = false;
    m_hasFullWriteback = true;
    if (needSync) {
        sync(SyncFlag::Sync);
    }
    journal->finish();
    return true;
}

bool StoreEngine::doFullWriteBack(std::vector<std::pair<std::string, VornBuffer>> &&pairs) {
    RecordCoder encoder;
    size_t index = encoder.prepareObjectForEncode(pairs);
    VornBuffer buffer = encoder.writePreparedItems(index);
    if (buffer.size() == 0) {
        return false; // encoding failed (logged); the stream stays as it is
    }
    const size_t totalSize = preparedRecords(buffer).size() + kItemSizeHolderWidth;

    if (m_crypter) {
        m_index.crypt().clear();
    } else {
        m_index.plain().clear();
    }
    bool ret = false;
    const size_t fileSize = m_stream.fileSize();
    if (fileSize < totalSize + kDataFileHeaderSize) {
        ret = expandAndWriteBack(totalSize + kDataFileHeaderSize - fileSize, {std::move(buffer), totalSize}, true);
    } else {
        ret = doFullWriteBack({std::move(buffer), totalSize}, nullptr, true);
    }
    clearMemoryCache(false);
    return ret;
}
