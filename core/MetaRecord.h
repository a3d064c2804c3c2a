#pragma once

// The meta file: one page shared by every process that has the store open.
// Its first 112 bytes are the record (VORNMetaInfo.h: the stream's CRC and
// length, the rewrite sequence, the IV, the last confirmed state, flags); the
// 48-byte check block after it vouches for the record's sequence, IV and
// flags and for the key.
//
// Owns the meta file (opened at construction, mapped at the first reload) and
// this process's copy of the record. It writes only what it is asked to:
// the engine decides when the record changes.
//
// Locking: none of its own. The engine calls it under the store's thread
// lock and the inter-process lock the operation needs; the inter-process
// lock itself lives on this file's descriptor (ProcessSync).
// Failure: an unmapped or short file shows as isMapped() / holdsRecord()
// false; the writers then write nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/VORNMetaInfo.h"
#include "encoding/LittleEndian.h"
#include "log/VORNHandler.h"
#include "platform/MemoryFile.h"

namespace vorn {

class AESCrypt;

// `record` after recording a stream of `size` bytes with `crcDigest` (and a
// new vector, and a sequence step when asked): the in-memory half of
// recording a stream, also used to name a rewrite's record in advance.
void advanceMetaRecord(VORNMetaInfo &record, size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence);

// CRC-32 of the record's sequence, vector and flags: the fields a check block
// vouches for. Nothing else checks them (the stream's CRC and length, and the
// last confirmed state, have checks and repairs of their own).
uint32_t recordFieldsCRC(const VORNMetaInfo &record);
// A current check block for `record`: keyState and keyCheck from
// `streamCipher` (null: a stream in clear), `blockFlags` as given, sealed.
MetaCheckBlock makeCheckBlock(const VORNMetaInfo &record, const AESCrypt *streamCipher, uint8_t blockFlags);
// The block stored after the record in a meta page of `pageSize` bytes;
// false when the page is too short, or holds no block (wrong magic, or a
// block CRC that does not check out).
bool readCheckBlock(const void *page, size_t pageSize, MetaCheckBlock &block);
// Recomputes blockCRC over the block's other fields.
void sealCheckBlock(MetaCheckBlock &block);

class MetaRecord {
public:
    // Opens (creating unless readOnly) the meta file without mapping it.
    MetaRecord(const std::string &path, bool readOnly, bool mayflyFD);
    ~MetaRecord();
    MetaRecord(const MetaRecord &) = delete;
    MetaRecord &operator=(const MetaRecord &) = delete;

    MemoryFile &file() const { return *m_file; }
    bool isMapped() const { return m_file->isFileValid(); }
    // The mapping holds a whole record.
    bool holdsRecord() const { return isMapped() && pageSize() >= kMetaInfoSize; }
    uint8_t *page() const { return static_cast<uint8_t *>(m_file->getMemory()); }
    size_t pageSize() const { return m_file->getFileSize(); }
    // Makes `fresh` (opened at the path by the caller) the meta file; takes
    // ownership and closes the old one.
    void replaceFile(MemoryFile *fresh);

    // This process's copy of the record.
    VORNMetaInfo &record() { return m_record; }
    const VORNMetaInfo &record() const { return m_record; }
    // The record from the page, and back. REQUIRES: holdsRecord() (storing)
    // or isMapped() (loading).
    void loadRecord();
    void storeRecord();
    // Only the CRC and size fields: what an append changes.
    void storeCRCAndSize() { m_record.writeCRCAndActualSizeOnly(page()); }
    // The new sequence alone, into the page: other processes reload before
    // they read through offsets a rewrite is about to overwrite.
    void publishSequence(uint32_t sequence);

    // The three fields another process changes, straight from the page
    // (zeros for what a short read-only page does not have). Inline: every
    // operation of a multi-process store reads them.
    struct SharedFields {
        uint32_t sequence;
        uint32_t crcDigest;
        uint32_t actualSize;
    };
    SharedFields sharedFields() const {
        if (pageSize() < kMetaInfoSize) {
            return sharedFieldsOfShortPage();
        }
        const uint8_t *bytes = page();
        return {decodeFixed32(bytes + offsetof(VORNMetaInfo, m_sequence)),
                decodeFixed32(bytes + offsetof(VORNMetaInfo, m_crcDigest)),
                decodeFixed32(bytes + offsetof(VORNMetaInfo, m_actualSize))};
    }

    // ---- The check block ----
    // Whether the page holds a block vouching for the current record and key;
    // while not, the next append writes one.
    bool blockCurrent() const { return m_blockCurrent; }
    void markBlockStale() { m_blockCurrent = false; }
    // Writes a current block for the record (nothing for a read-only store
    // or a short page).
    void writeCheckBlock(const AESCrypt *streamCipher, uint8_t blockFlags);
    // After a repair of the record's fields: the block follows the record,
    // keeping what it says of the key; nothing when it is not current.
    void resealCheckBlock();

    // What the block says of the record just loaded and of the key given.
    struct Verdict {
        bool keyMismatch = false;     // a wrong, missing or superfluous key (logged)
        bool metaDamaged = false;     // the record disagrees with its block and the host chose to discard
        bool needFreshVector = false; // an encrypted store must rewrite under a new IV before appending
    };
    // Reads the block against the record. A damaged IV is repaired (when the
    // host answers recover: the handler, or `recover` when set); a block
    // that vouches for nothing is dropped. `mmapID` names the store in logs.
    Verdict evaluateCheckBlock(const std::string &mmapID, const AESCrypt *cipher,
                               std::optional<VORNRecoverStrategic> recover);

private:
    SharedFields sharedFieldsOfShortPage() const;

    MemoryFile *m_file;
    const bool m_readOnly;
    VORNMetaInfo m_record;
    bool m_blockCurrent = false;
};

} // namespace vorn
