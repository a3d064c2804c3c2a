#define VORN_LOG_SOURCE "VORN_IO"

// Compaction and growth: when a record does not fit, the stream is rewritten
// in place with one record per live key (records move toward the start, or
// in an order that never overwrites an unmoved one, so no second copy is
// needed), and the file is doubled first when even that is not enough. Every full write-back starts a new sequence, so
// other processes reload instead of applying appends.

#include "core/VORN.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "core/VORNEngine.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"
#include "encoding/ZoraVEDezad.h"
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

// A run of live records that lie back to back in the old stream and move
// together with one copy.
struct Segment {
    size_t offset; // in the old stream
    size_t length;
    size_t destination; // in the new stream
};

template <typename Entry, typename Length>
std::vector<Segment> cutSegments(const std::vector<Entry *> &sorted, size_t firstDestination, Length recordLength) {
    std::vector<Segment> segments;
    size_t destination = firstDestination;
    for (Entry *entry : sorted) {
        const size_t offset = entry->offset;
        const size_t length = recordLength(*entry);
        if (!segments.empty() && segments.back().offset + segments.back().length == offset) {
            segments.back().length += length;
        } else {
            segments.push_back({offset, length, destination});
        }
        destination += length;
    }
    return segments;
}

// Plain compaction: live records move to consecutive places from stream offset
// 4, the index learns their new offsets, and a 4-byte item-size holder goes in
// front; with an encrypter the new stream is then encrypted in place.
void memmoveDictionary(VORNMap &dic, CodedOutputData *output, uint8_t *stream, AESCrypt *encrypter, size_t totalSize) {
    std::vector<KeyValueHolder *> sorted;
    sorted.reserve(dic.size());
    for (auto &pair : dic) {
        sorted.push_back(&pair.second);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const KeyValueHolder *a, const KeyValueHolder *b) { return a->offset < b->offset; });
    auto recordLength = [](const KeyValueHolder &kv) -> size_t { return kv.computedKVSize + kv.valueSize; };
    std::vector<Segment> segments = cutSegments(sorted, kItemSizeHolderWidth, recordLength);

    // Only a stream whose records started before offset 4 (an item-size
    // holder narrower than 4 bytes) moves records toward the end, and then
    // only a leading run of segments: the amount a segment moves forward
    // shrinks by every hole before it. Moving that run last segment first,
    // and everything after it in order, never overwrites a record that has
    // still to be moved, whatever the holes between segments.
    size_t forward = 0;
    while (forward < segments.size() && segments[forward].destination > segments[forward].offset) {
        forward++;
    }
    for (size_t i = forward; i-- > 0;) {
        memmove(stream + segments[i].destination, stream + segments[i].offset, segments[i].length);
    }
    for (size_t i = forward; i < segments.size(); i++) {
        if (segments[i].destination != segments[i].offset) {
            memmove(stream + segments[i].destination, stream + segments[i].offset, segments[i].length);
        }
    }

    if (!encrypter) {
        size_t offset = kItemSizeHolderWidth;
        for (KeyValueHolder *kv : sorted) {
            kv->offset = static_cast<uint32_t>(offset);
            offset += recordLength(*kv);
        }
    }
    output->setPosition(0);
    output->writeUInt32(AESCrypt::randomItemSizeHolder(kItemSizeHolderWidth));
    if (encrypter) {
        // A plain store given a key: the caller discards the index.
        encrypter->encrypt(stream, stream, totalSize);
    }
    output->setPosition(totalSize);
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
void copyPreparedRecords(CodedOutputData *output, uint8_t *stream, const VornBuffer &prepared, AESCrypt *encrypter,
                         size_t totalSize) {
    output->setPosition(0);
    output->writeUInt32(AESCrypt::randomItemSizeHolder(kItemSizeHolderWidth));
    VornBuffer records = preparedRecords(prepared);
    output->writeRawData(records);
    if (encrypter) {
        encrypter->encrypt(stream, stream, totalSize);
    }
    output->setPosition(totalSize);
}

// Bytes an encrypted compaction moves at a time, through a stack buffer.
constexpr size_t kMovePieceSize = 4096;

// Item-size holder width of an encrypted compaction: the first record that
// stays in the file keeps its place when it starts at 1, 2, 3 or 5.
uint32_t holderWidthForFirstOffset(size_t firstOffset) {
    return (firstOffset >= 1 && firstOffset <= 5) ? static_cast<uint32_t>(firstOffset) : kItemSizeHolderWidth;
}

// Encrypted compaction. Records kept by position move to their new place one
// piece at a time: decrypted under the old stream into a buffer on the stack,
// then encrypted under the encrypter's new stream into the mapping, so that
// no record lies in the mapping (that is, in the file) in clear at any moment.
// A record never moves toward the end (the holder width keeps the first one in
// place or moves it down), so each piece is read before anything at or after
// it is written. The records of values held in memory follow, encrypted on
// the way. Without an encrypter (the key is being removed) the result is
// written in clear.
void memmoveDictionary(VORNMapCrypt &dic, CodedOutputData *output, uint8_t *stream, AESCrypt *decrypter,
                       AESCrypt *encrypter, const VornBuffer &prepared, size_t totalSize) {
    std::vector<KeyValueHolderCrypt *> sorted;
    for (auto &pair : dic) {
        if (pair.second.kind == KVHolderOffset) {
            sorted.push_back(&pair.second);
        }
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const KeyValueHolderCrypt *a, const KeyValueHolderCrypt *b) { return a->offset < b->offset; });

    const uint32_t width = sorted.empty() ? kItemSizeHolderWidth : holderWidthForFirstOffset(sorted.front()->offset);
    output->setPosition(0);
    output->writeUInt32(AESCrypt::randomItemSizeHolder(width));
    if (encrypter) {
        encrypter->encrypt(stream, stream, width);
    }

    size_t position = width;
    // The old stream is decrypted from the cipher state of the first record
    // of each run of records that lie back to back.
    std::optional<AESCrypt> reader;
    size_t runEnd = SIZE_MAX;
    uint8_t piece[kMovePieceSize];
    for (KeyValueHolderCrypt *kv : sorted) {
        const size_t offset = kv->offset;
        const size_t length = kv->recordSize();
        if (offset != runEnd) {
            reader.emplace(*decrypter, kv->cryptStatus);
        }
        runEnd = offset + length;
        if (!encrypter) {
            reader->decrypt(stream + offset, stream + position, length);
            position += length;
            continue;
        }
        kv->offset = static_cast<uint32_t>(position);
        AESCryptStatus status;
        encrypter->getCurStatus(status);
        kv->cryptStatus = status;
        for (size_t done = 0; done < length;) {
            const size_t n = std::min(sizeof(piece), length - done);
            reader->decrypt(stream + offset + done, piece, n);
            encrypter->encrypt(piece, stream + position + done, n);
            done += n;
        }
        position += length;
    }

    if (prepared.size() > 0) {
        VornBuffer records = preparedRecords(prepared);
        if (encrypter) {
            encrypter->encrypt(records.data(), stream + position, records.size());
        } else {
            memcpy(stream + position, records.data(), records.size());
        }
    }
    output->setPosition(totalSize);
}

} // namespace

} // namespace vorn

VORN::PreparedData VORN::prepareEncode() const {
    if (m_crypter) {
        std::vector<std::pair<std::string, VornBuffer>> pairs;
        size_t smallestOffset = SIZE_MAX;
        size_t recordBytes = 0;
        for (auto &pair : *m_dicCrypt) {
            const KeyValueHolderCrypt &kv = pair.second;
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
            ZoraVEDezad encoder;
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
    for (auto &pair : *m_dic) {
        totalSize += pair.second.computedKVSize + pair.second.valueSize;
    }
    return {VornBuffer(), totalSize};
}

bool VORN::ensureMemorySize(size_t newSize) {
    if (!checkWritable("ensureMemorySize")) {
        return false;
    }
    const bool indexEmpty = m_crypter ? m_dicCrypt->empty() : m_dic->empty();
    if (m_output && newSize < m_output->spaceLeft() && !indexEmpty) {
        return true;
    }
    if (m_enableKeyExpire) {
        filterExpiredKeys();
    }
    PreparedData prepared = prepareEncode();
    if (prepared.second == 0) {
        return false;
    }
    const bool needSync = m_crypter ? !m_dicCrypt->empty() : !m_dic->empty();
    return expandAndWriteBack(newSize, std::move(prepared), needSync);
}

bool VORN::expandAndWriteBack(size_t newSize, PreparedData preparedData, bool needSync, AESCrypt *newCrypter) {
    const size_t fileSize = m_file->getFileSize();
    const uint64_t totalSize = preparedData.second;
    const uint64_t lenNeeded = totalSize + newSize + kDataFileHeaderSize;
    if (lenNeeded > kMaxStreamEnd) {
        VORNError("[%s] stream of %llu bytes with an incoming record of %zu would exceed %llu bytes", m_mmapID.c_str(),
                  static_cast<unsigned long long>(totalSize), newSize, static_cast<unsigned long long>(kMaxStreamEnd));
        return false;
    }
    const uint64_t itemCount = (m_crypter ? m_dicCrypt->size() : m_dic->size()) + 1;
    const uint64_t averageItemSize = (lenNeeded + itemCount - 1) / itemCount;
    const uint64_t futureUsage = averageItemSize * std::max<uint64_t>(8, itemCount / 2);

    if (lenNeeded >= fileSize || (needSync && lenNeeded + futureUsage >= fileSize)) {
        uint64_t newFileSize = static_cast<uint64_t>(fileSize) * 2;
        while (lenNeeded + futureUsage >= newFileSize) {
            newFileSize *= 2;
        }
        VORNInfo("extending [%s] file size from %zu to %zu, incoming size:%zu, future usage:%zu", m_mmapID.c_str(),
                 fileSize, static_cast<size_t>(newFileSize), newSize, static_cast<size_t>(futureUsage));
        if (!m_file->truncate(static_cast<size_t>(newFileSize))) {
            if (!m_file->isFileValid()) {
                dropContentAfterUnmap();
            }
            return false;
        }
        if (!m_file->isFileValid()) {
            VORNWarning("[%s] file not valid", m_mmapID.c_str());
            dropContentAfterUnmap();
            return false;
        }
    }
    doFullWriteBack(std::move(preparedData), newCrypter, needSync);
    return true;
}

void VORN::dropContentAfterUnmap() {
    // clearMemoryCache does nothing while a load is pending: the index is
    // then empty already.
    clearMemoryCache(false);
}

bool VORN::fullWriteback(AESCrypt *newCrypter, bool onlyWhileExpire) {
    if (m_hasFullWriteback || m_needLoadFromFile) {
        return true;
    }
    if (!m_file->isFileValid()) {
        VORNWarning("[%s] file not valid", m_mmapID.c_str());
        return false;
    }
    if (isReadOnly()) {
        VORNWarning("[%s] file readonly", m_mmapID.c_str());
        return false;
    }

    ScopedLock<InterProcessLock> exclusive(m_exclusiveProcessLock);
    // A caller that held only the shared lock may have let another process
    // in while the exclusive one was taken: trust the index only after
    // looking at the meta record again.
    checkLoadData();
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
    const bool indexEmpty = m_crypter ? m_dicCrypt->empty() : m_dic->empty();
    if (indexEmpty) {
        clearAll(false);
        return true;
    }

    PreparedData prepared = prepareEncode();
    const size_t totalSize = prepared.second;
    if (totalSize == 0) {
        return false;
    }
    const size_t fileSize = m_file->getFileSize();
    if (totalSize + kDataFileHeaderSize > fileSize) {
        return expandAndWriteBack(totalSize + kDataFileHeaderSize - fileSize, std::move(prepared), true, newCrypter);
    }
    return doFullWriteBack(std::move(prepared), newCrypter, true);
}

bool VORN::doFullWriteBack(PreparedData preparedData, AESCrypt *newCrypter, bool needSync) {
    AESCrypt *encrypter = nullptr;
    if (newCrypter == clearCipherChoice()) {
        encrypter = nullptr;
    } else if (newCrypter) {
        encrypter = newCrypter;
    } else {
        encrypter = m_crypter;
    }
    uint8_t newIV[kAESBlockSize];
    if (encrypter) {
        AESCrypt::fillRandomIV(newIV);
        encrypter->resetIV(newIV, sizeof(newIV));
    }

    resetOutput(0);
    auto stream = static_cast<uint8_t *>(m_file->getMemory()) + kDataFileHeaderSize;
    const size_t totalSize = preparedData.second;
    if (m_crypter) {
        memmoveDictionary(*m_dicCrypt, m_output, stream, m_crypter, encrypter, preparedData.first, totalSize);
    } else if (preparedData.first.size() == 0) {
        memmoveDictionary(*m_dic, m_output, stream, encrypter, totalSize);
    } else {
        copyPreparedRecords(m_output, stream, preparedData.first, encrypter, totalSize);
    }
    m_actualSize = totalSize;
    recalculateCRCDigestWithIV(encrypter ? newIV : nullptr);
    m_hasFullWriteback = true;
    if (needSync) {
        sync(SyncFlag::Sync);
    }
    return true;
}

bool VORN::doFullWriteBack(std::vector<std::pair<std::string, VornBuffer>> &&pairs) {
    ZoraVEDezad encoder;
    size_t index = encoder.prepareObjectForEncode(pairs);
    VornBuffer buffer = encoder.writePreparedItems(index);
    if (buffer.size() == 0) {
        return false; // encoding failed (logged); the stream stays as it is
    }
    const size_t totalSize = preparedRecords(buffer).size() + kItemSizeHolderWidth;

    if (m_crypter) {
        m_dicCrypt->clear();
    } else {
        m_dic->clear();
    }
    bool ret = false;
    const size_t fileSize = m_file->getFileSize();
    if (fileSize < totalSize + kDataFileHeaderSize) {
        ret = expandAndWriteBack(totalSize + kDataFileHeaderSize - fileSize, {std::move(buffer), totalSize}, true);
    } else {
        ret = doFullWriteBack({std::move(buffer), totalSize}, nullptr, true);
    }
    clearMemoryCache(false);
    return ret;
}
