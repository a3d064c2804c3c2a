#pragma once

// The full rewrite of a store's stream: one record per live key, written to
// the rewrite journal (VORNRewriteJournal.h) beside the old stream, and
// copied over it only once the journal is complete, so that a process dying
// at any moment leaves either stream whole. Where the journal cannot be
// created or the disk has no room for it, the new stream goes through memory
// and that promise does not hold (the caller logs it).
//
// A compaction is three steps, so that the engine records the new meta
// record between the last two:
//   build()    the new stream into the journal (under a fresh IV when it is
//              encrypted), the new record named in advance; the data file
//              is untouched
//   install()  the new sequence published (other processes reload instead of
//              reading through offsets about to be overwritten), the new
//              stream copied into place, the index moved to the new offsets
//   finish()   the journal removed, after the engine has recorded the stream
//
// Ownership: borrows the index, the stream and the ciphers for its life.
// Locking: the engine holds the thread lock and the exclusive lock.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/DataStream.h"
#include "core/KeyIndex.h"
#include "core/VORNMetaInfo.h"
#include "core/VORNRewriteJournal.h"
#include "crypt/AESCrypt.h"
#include "encoding/VornBuffer.h"

namespace vorn {

class MetaRecord;

// Width of the item-size holder every writer lays down (an encrypted
// compaction may keep a width of 1, 2, 3 or 5 instead).
constexpr uint32_t kItemSizeHolderWidth = 4;

// What a compaction writes: the exact length of the new stream (item-size
// holder included), and the records it must write from memory as one
// encoded pair list (varint length L, then L bytes of records); the buffer
// is empty when every live record is already in the file.
struct PreparedStream {
    VornBuffer records;
    size_t totalSize = 0;
};

// The new stream of `index`; totalSize 0 when the values held in memory
// could not be encoded (logged).
PreparedStream prepareStream(const KeyIndex &index);
// A new stream of exactly the given (key, value bytes) pairs, the index
// being dropped by the caller; totalSize 0 when they could not be encoded.
PreparedStream prepareStream(std::vector<std::pair<std::string, VornBuffer>> &&pairs);

// The cipher choice of a compaction that writes its result in clear
// (removing a store's key). Never a real cipher; compared by address only.
AESCrypt *clearCipherChoice();

class Compactor {
public:
    enum class Status {
        Ok,
        WrongSize,   // the records written do not add up to the prepared length
        JournalFailed, // the journal could not be written (nor memory used)
        Interrupted, // the copy into place failed; the next load finishes it from the journal
    };

    // `decrypter`: the store's cipher (null: a plain stream); `encrypter`:
    // the new stream's (null: in clear).
    Compactor(const std::string &dataPath, KeyIndex &index, DataStream &stream, AESCrypt *decrypter,
              AESCrypt *encrypter);

    // Writes the prepared stream into the journal, trying memory when the
    // disk has no room for it; `current` is the record the new one follows.
    Status build(const PreparedStream &prepared, const VORNMetaInfo &current);
    // Whether build went through memory for lack of disk space.
    bool builtInMemory() const { return m_usedMemory; }
    // The stream length build produced (for the WrongSize message).
    size_t builtSize() const { return m_journal ? m_journal->streamSize() : 0; }

    Status install(MetaRecord &meta);
    void finish() { m_journal->finish(); }

    // The new stream's record, its CRC and IV (null: in clear).
    const VORNMetaInfo &newRecord() const { return m_newRecord; }
    uint32_t newCRC() const { return m_journal->streamCRC(); }
    const uint8_t *newIV() const { return m_encrypter ? m_newIV : nullptr; }

    // Where an entry of an encrypted store lives in the new stream.
    struct NewPlace {
        uint32_t offset;
        AESCryptStatus status;
    };

private:
    bool writeInto(RewriteJournalWriter &journal, const PreparedStream &prepared);

    const std::string m_dataPath;
    KeyIndex &m_index;
    DataStream &m_stream;
    AESCrypt *m_decrypter;
    AESCrypt *m_encrypter;
    std::optional<RewriteJournalWriter> m_journal;
    bool m_usedMemory = false;
    uint8_t m_newIV[kAESBlockSize] = {};
    VORNMetaInfo m_newRecord;
    std::vector<IndexEntry *> m_plainMoved;
    std::vector<CryptIndexEntry *> m_cryptMoved;
    std::vector<NewPlace> m_places;
};

} // namespace vorn
