#define VORN_LOG_SOURCE "VORN_IO"

#include "core/VORNRewriteJournal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "crypt/AESCrypt.h"
#include "encoding/Crc32.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"

namespace vorn {

namespace {

constexpr char kMagic[8] = {'V', 'R', 'N', 'R', 'W', 'J', '0', '1'};
constexpr size_t kRecordOffset = 8;
constexpr size_t kHeaderCRCOffset = 124;
static_assert(kRecordOffset + kMetaInfoSize + 4 == kHeaderCRCOffset, "journal header layout");
static_assert(kHeaderCRCOffset + 4 == kRewriteJournalHeaderSize, "journal header layout");

// Encrypting appends go through a stack buffer of this many bytes.
constexpr size_t kPieceSize = 4096;

} // namespace

std::string rewriteJournalPath(const std::string &dataPath) {
    return dataPath + kRewriteJournalSuffix;
}

RewriteJournalWriter::RewriteJournalWriter(const std::string &dataPath, Where where)
    : m_file(rewriteJournalPath(dataPath)) {
    if (where == Where::Memory) {
        m_inMemory = true;
        return;
    }
    // The stream starts after the header, which is written last.
    if (m_file.create()) {
        uint8_t blank[kRewriteJournalHeaderSize] = {};
        if (m_file.append(blank, sizeof(blank))) {
            return;
        }
        m_file.remove();
    }
    VORNWarning("no rewrite journal [%s]: the rewrite goes through memory and is not protected against a crash",
                m_file.path().c_str());
    m_inMemory = true;
}

RewriteJournalWriter::~RewriteJournalWriter() {
    // A journal that was committed but never finished is left for the next
    // load: the data file may hold part of the new stream.
    if (!m_inMemory && (!m_committed || m_finished)) {
        m_file.remove();
    }
}

bool RewriteJournalWriter::outOfSpace() const {
    const int error = m_file.lastError();
    return !m_inMemory && (error == ENOSPC || error == EDQUOT || error == EFBIG);
}

bool RewriteJournalWriter::appendEncoded(const uint8_t *bytes, size_t length) {
    m_streamCRC = streamCRC32(m_streamCRC, bytes, length);
    m_streamSize += length;
    if (m_inMemory) {
        m_memory.insert(m_memory.end(), bytes, bytes + length);
        return true;
    }
    return m_file.append(bytes, length);
}

bool RewriteJournalWriter::append(const void *bytes, size_t length, AESCrypt *encrypter) {
    auto source = static_cast<const uint8_t *>(bytes);
    if (!encrypter) {
        return appendEncoded(source, length);
    }
    uint8_t piece[kPieceSize];
    while (length > 0) {
        const size_t n = length < sizeof(piece) ? length : sizeof(piece);
        encrypter->encrypt(source, piece, n);
        if (!appendEncoded(piece, n)) {
            return false;
        }
        source += n;
        length -= n;
    }
    return true;
}

bool RewriteJournalWriter::commit(const VORNMetaInfo &newRecord) {
    if (m_inMemory) {
        return true;
    }
    // The stream reaches the disk before the header that makes the journal
    // complete, and the header before the data file is overwritten: after a
    // power loss a complete header always has its whole stream behind it.
    if (!m_file.sync()) {
        return false;
    }
    uint8_t header[kRewriteJournalHeaderSize] = {};
    memcpy(header, kMagic, sizeof(kMagic));
    newRecord.write(header + kRecordOffset);
    encodeFixed32(header + kHeaderCRCOffset, streamCRC32(0, header, kHeaderCRCOffset));
    if (!m_file.writeAt(0, header, sizeof(header)) || !m_file.sync()) {
        return false;
    }
    m_committed = true;
    return true;
}

bool RewriteJournalWriter::copyStreamTo(uint8_t *stream) {
    if (m_inMemory) {
        memcpy(stream, m_memory.data(), m_memory.size());
        return true;
    }
    return m_file.readAt(kRewriteJournalHeaderSize, stream, m_streamSize);
}

void RewriteJournalWriter::finish() {
    m_finished = true;
    if (!m_inMemory) {
        m_file.remove();
    }
}

RewriteJournalReader::RewriteJournalReader(const std::string &dataPath) : m_file(rewriteJournalPath(dataPath)) {}

bool RewriteJournalReader::open() {
    if (!m_file.openForReading()) {
        return false;
    }
    const int64_t fileSize = m_file.size();
    uint8_t header[kRewriteJournalHeaderSize];
    if (fileSize < static_cast<int64_t>(kRewriteJournalHeaderSize) || !m_file.readAt(0, header, sizeof(header)) ||
        memcmp(header, kMagic, sizeof(kMagic)) != 0 ||
        decodeFixed32(header + kHeaderCRCOffset) != streamCRC32(0, header, kHeaderCRCOffset)) {
        VORNWarning("rewrite journal [%s] is incomplete: the rewrite never started", m_file.path().c_str());
        return false;
    }
    m_record.read(header + kRecordOffset);
    const uint64_t streamSize = m_record.m_actualSize;
    if (static_cast<uint64_t>(fileSize) - kRewriteJournalHeaderSize < streamSize) {
        VORNWarning("rewrite journal [%s] is incomplete: %lld bytes for a stream of %llu", m_file.path().c_str(),
                    static_cast<long long>(fileSize), static_cast<unsigned long long>(streamSize));
        return false;
    }
    uint32_t crc = 0;
    std::vector<uint8_t> piece(64 * 1024);
    for (uint64_t done = 0; done < streamSize;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), streamSize - done));
        if (!m_file.readAt(kRewriteJournalHeaderSize + done, piece.data(), n)) {
            return false;
        }
        crc = streamCRC32(crc, piece.data(), n);
        done += n;
    }
    if (crc != m_record.m_crcDigest) {
        VORNWarning("rewrite journal [%s] does not check out, crc %u, recorded %u", m_file.path().c_str(), crc,
                    m_record.m_crcDigest);
        return false;
    }
    return true;
}

bool RewriteJournalReader::copyStreamTo(uint8_t *stream) {
    return m_file.readAt(kRewriteJournalHeaderSize, stream, m_record.m_actualSize);
}

bool RewriteJournalReader::remove() {
    return m_file.remove();
}

} // namespace vorn
