#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/VORNMetaInfo.h"
#include "platform/JournalFile.h"

namespace vorn {

class AESCrypt;

// A rewrite of the stream (compaction, growth, re-keying, switching expiry)
// puts new bytes where every live record is read from. So that a process
// dying in the middle loses nothing, the new stream is first written whole
// into a journal beside the data file, followed by a header naming the meta
// record that describes it; only then is it copied over the old stream, the
// meta record replaced and the journal removed. A later load whose meta
// record does not check out against the stream finishes the copy from a
// complete journal (see finishInterruptedRewrite); a journal without a
// sound header was never acted on and is simply removed.
//
// Journal file "<data file>:rewrite" (':' never occurs in a data file's own
// name, so it cannot be mistaken for a store), little-endian:
//   offset size
//        0    8 magic "VRNRWJ01"
//        8  112 the meta record of the new stream (CRC, size, sequence, vector, flags)
//      120    4 reserved, 0
//      124    4 CRC-32 of bytes 0..123
//      128    - the new stream, exactly the record's m_actualSize bytes
constexpr size_t kRewriteJournalHeaderSize = 128;
constexpr const char *kRewriteJournalSuffix = ":rewrite";

std::string rewriteJournalPath(const std::string &dataPath);

// Writing one rewrite. Owned by the rewriting store for the length of one
// write-back, under its thread lock and exclusive file lock. When the journal
// file cannot be created (a read-only directory, no descriptors left), or the
// store finds that the disk has no room for it (outOfSpace(): the compaction
// itself needs none, it stays inside the data file), the new stream is
// gathered in memory instead: the rewrite still happens, logged, but is not
// protected against the process dying. A process killed while such a rewrite
// copies the new stream over the old one leaves a stream that checks out as
// neither: the next load treats it as damage (the host's handler decides
// between discarding it and keeping what decodes), so the store's contents may
// be lost.
class RewriteJournalWriter {
public:
    enum class Where { Disk, Memory };

    explicit RewriteJournalWriter(const std::string &dataPath, Where where = Where::Disk);
    ~RewriteJournalWriter(); // removes an unfinished journal

    bool inMemory() const { return m_inMemory; }
    // A write of the journal failed for lack of room (full disk, quota, file
    // size limit), as opposed to a failing disk.
    bool outOfSpace() const;

    // Appends bytes of the new stream; with an encrypter they are encrypted on
    // the way (the encrypter advances as if it wrote the stream itself).
    bool append(const void *bytes, size_t length, AESCrypt *encrypter);
    size_t streamSize() const { return m_streamSize; }
    uint32_t streamCRC() const { return m_streamCRC; }

    // Makes the journal complete: after this, a load finishes the rewrite
    // whatever happens to the data file.
    bool commit(const VORNMetaInfo &newRecord);
    // Copies the new stream into `stream` (room for streamSize() bytes).
    bool copyStreamTo(uint8_t *stream);
    // The rewrite is in place: the journal is no longer needed.
    void finish();

private:
    bool appendEncoded(const uint8_t *bytes, size_t length);

    JournalFile m_file;
    bool m_inMemory = false;
    std::vector<uint8_t> m_memory;
    size_t m_streamSize = 0;
    uint32_t m_streamCRC = 0;
    bool m_committed = false;
    bool m_finished = false;
};

// Reading a journal left behind. open() is true only for a complete journal:
// sound magic and header CRC, a stream as long as its record says whose CRC is
// the record's. Absent: false, silently; present but incomplete: false, logged.
class RewriteJournalReader {
public:
    explicit RewriteJournalReader(const std::string &dataPath);

    bool open();
    const VORNMetaInfo &record() const { return m_record; }
    bool copyStreamTo(uint8_t *stream);
    // Removes the journal file (complete or not).
    bool remove();

private:
    JournalFile m_file;
    VORNMetaInfo m_record;
};

} // namespace vorn
