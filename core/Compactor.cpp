#include "core/Compactor.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/MetaRecord.h"
#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"
#include "encoding/RecordCoder.h"

namespace vorn {

AESCrypt *clearCipherChoice() {
    // The address of a byte, never of a cipher.
    static char marker;
    return reinterpret_cast<AESCrypt *>(&marker);
}

namespace {

// Entries in stream order, so that the old stream is read front to back.
// Offsets are 32-bit: a least-significant-digit radix sort, a byte per pass
// (a pass whose byte is the same for every entry is skipped), costs a few
// instructions per entry where a comparison sort costs one comparison per
// entry and level (about 400 instructions per key at 10,000 keys). Small
// lists go through std::sort.
template <typename Entry> void sortByOffset(std::vector<Entry *> &entries) {
    constexpr size_t kRadixFrom = 256;
    if (entries.size() < kRadixFrom) {
        std::sort(entries.begin(), entries.end(), [](const Entry *a, const Entry *b) { return a->offset < b->offset; });
        return;
    }
    std::vector<Entry *> scratch(entries.size());
    for (unsigned shift = 0; shift < 32; shift += 8) {
        size_t counts[256] = {};
        for (const Entry *e : entries) {
            counts[(e->offset >> shift) & 0xFF]++;
        }
        if (counts[(entries.front()->offset >> shift) & 0xFF] == entries.size()) {
            continue; // every entry has this byte: the order stands
        }
        size_t start = 0;
        for (size_t &count : counts) {
            const size_t n = count;
            count = start;
            start += n;
        }
        for (Entry *e : entries) {
            scratch[counts[(e->offset >> shift) & 0xFF]++] = e;
        }
        entries.swap(scratch);
    }
}

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
    for (auto &&pair : dic) {
        sorted.push_back(&pair.second);
    }
    sortByOffset(sorted);

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
                          std::vector<CryptIndexEntry *> &sorted, std::vector<Compactor::NewPlace> &places) {
    for (auto &pair : dic) {
        if (pair.second.kind == KVHolderOffset) {
            sorted.push_back(&pair.second);
        }
    }
    sortByOffset(sorted);

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

PreparedStream prepareStream(const KeyIndex &index) {
    if (index.encrypted()) {
        std::vector<std::pair<std::string, VornBuffer>> pairs;
        size_t smallestOffset = SIZE_MAX;
        size_t recordBytes = 0;
        for (auto &pair : index.crypt()) {
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
    // Kept by the index as entries come and go: no walk over a million keys
    // at every growth.
    return {VornBuffer(), static_cast<size_t>(kItemSizeHolderWidth + index.plain().liveBytes())};
}

PreparedStream prepareStream(std::vector<std::pair<std::string, VornBuffer>> &&pairs) {
    RecordCoder encoder;
    const size_t index = encoder.prepareObjectForEncode(pairs);
    VornBuffer buffer = encoder.writePreparedItems(index);
    if (buffer.size() == 0) {
        return {VornBuffer(), 0}; // encoding failed (logged)
    }
    const size_t totalSize = preparedRecords(buffer).size() + kItemSizeHolderWidth;
    return {std::move(buffer), totalSize};
}

Compactor::Compactor(const std::string &dataPath, KeyIndex &index, DataStream &stream, AESCrypt *decrypter,
                     AESCrypt *encrypter)
    : m_dataPath(dataPath), m_index(index), m_stream(stream), m_decrypter(decrypter), m_encrypter(encrypter) {}

// One attempt: the whole new stream into `journal`, under a vector of its
// own (a second attempt never reuses the first one's keystream).
bool Compactor::writeInto(RewriteJournalWriter &journal, const PreparedStream &prepared) {
    m_plainMoved.clear();
    m_cryptMoved.clear();
    m_places.clear();
    if (m_encrypter) {
        AESCrypt::fillRandomIV(m_newIV);
        m_encrypter->resetIV(m_newIV, sizeof(m_newIV));
    }
    // The new stream is built beside the old one, which stays intact until
    // the journal holding the new one is complete.
    const uint8_t *stream = m_stream.bytes();
    if (m_index.encrypted()) {
        return writeCryptCompaction(m_index.crypt(), stream, m_decrypter, m_encrypter, prepared.records, journal,
                                    m_cryptMoved, m_places);
    }
    if (prepared.records.size() == 0) {
        return writePlainCompaction(m_index.plain(), stream, m_encrypter, journal, m_plainMoved);
    }
    return writePreparedRecords(prepared.records, m_encrypter, journal);
}

Compactor::Status Compactor::build(const PreparedStream &prepared, const VORNMetaInfo &current) {
    m_journal.emplace(m_dataPath);
    for (int attempt = 0; attempt < 2; attempt++) {
        bool written = writeInto(*m_journal, prepared);
        if (written && m_journal->streamSize() != prepared.totalSize) {
            return Status::WrongSize;
        }
        m_newRecord = current;
        advanceMetaRecord(m_newRecord, prepared.totalSize, m_journal->streamCRC(), newIV(), true);
        if (written && m_journal->commit(m_newRecord)) {
            return Status::Ok;
        }
        if (m_usedMemory || !m_journal->outOfSpace()) {
            break;
        }
        // The compaction itself needs no new disk space: refusing it would
        // refuse every later write that needs room. The partial journal goes
        // first, giving back what it took.
        m_usedMemory = true;
        m_journal.reset();
        m_journal.emplace(m_dataPath, RewriteJournalWriter::Where::Memory);
    }
    return Status::JournalFailed;
}

Compactor::Status Compactor::install(MetaRecord &meta) {
    // From here on a load finishes this rewrite from the journal. Other
    // processes see the new sequence first, so none of them keeps reading
    // records through offsets that are about to be overwritten.
    meta.publishSequence(m_newRecord.m_sequence);
    if (!m_journal->copyStreamTo(m_stream.bytes())) {
        return Status::Interrupted;
    }
    if (!m_index.encrypted() && !m_encrypter) {
        size_t offset = kItemSizeHolderWidth;
        for (IndexEntry *kv : m_plainMoved) {
            kv->offset = static_cast<uint32_t>(offset);
            offset += plainRecordLength(*kv);
        }
    } else if (m_index.encrypted() && m_encrypter) {
        for (size_t i = 0; i < m_cryptMoved.size(); i++) {
            m_cryptMoved[i]->offset = m_places[i].offset;
            m_cryptMoved[i]->cryptStatus = m_places[i].status;
        }
    }
    // Otherwise the cipher changed and the caller discards the index.
    return Status::Ok;
}

} // namespace vorn
