#pragma once

// The data file as a stream of records.
//
// Layout (little-endian):
//   offset  size         field
//   0       4            legacy size: the stream length for meta versions 0
//                        to 2; left as it is from version 3 on
//   4       size()       the stream: an item-size holder varint, then records
//                        (key length varint, key, value length varint, value;
//                        a value length of 0 deletes the key)
//   4+size  to the end   free room (zeros, or stale record bytes)
// Offsets count from the stream's first byte (bytes()).
//
// Owns the mapped data file, the writer's position and the running CRC of
// the trusted stream [0, size()). It knows nothing of the meta record, the
// index or other processes: the engine records what changed.
//
// Locking: none of its own. The engine calls it under the store's thread
// lock, and writes under the exclusive inter-process lock.
// Failure: an unmapped file shows as isMapped() false; nothing throws except
// append (std::out_of_range when the record does not fit, with nothing of
// it made part of the stream).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "crypt/AESCrypt.h"
#include "encoding/Crc32.h"
#include "encoding/CodedOutputData.h"
#include "encoding/PBUtility.h"
#include "encoding/VornBuffer.h"
#include "platform/MemoryFile.h"

namespace vorn {

// Bytes in front of the stream: the legacy size field.
constexpr size_t kDataFileHeaderSize = 4;

// The whole stream, header included, stays addressable with 32 bits: the
// meta record keeps its length, and the index its offsets, in 32 bits.
constexpr uint64_t kMaxStreamEnd = 0xFFFFFFFFull;

// A value is refused at 2^31 bytes or more: a length prefix is read back as
// an int32.
constexpr uint64_t kMaxValueSize = kMaxLengthDelimitedSize;


// One record to append: the key (raw bytes, or with its length varint in
// front when keyData is longer than keyLength), the value, and for the
// data-holder form the value's own length varint inside the value part.
struct RecordParts {
    const VornBuffer &keyData;
    uint32_t keyLength;
    const VornBuffer &value;
    bool isDataHolder;
};

// Sizes of one record (key length varint, key, value length varint, value).
struct RecordSizes {
    uint32_t valueLength; // value bytes, data-holder prefix included
    uint32_t keyLength;   // key bytes with their length prefix
    size_t size;          // the whole record
};
// Whether the key bytes carry their length varint already.
inline bool keyCarriesPrefix(const RecordParts &record) {
    return record.keyData.size() > record.keyLength;
}

inline RecordSizes recordSizesWithKeyPart(uint32_t keyPart, size_t valueSize, bool isDataHolder) {
    RecordSizes sizes;
    const auto n = static_cast<uint32_t>(valueSize);
    sizes.valueLength = isDataHolder ? n + pbRawVarint32Size(n) : n;
    sizes.keyLength = keyPart;
    sizes.size = static_cast<size_t>(sizes.keyLength) + sizes.valueLength + pbRawVarint32Size(sizes.valueLength);
    return sizes;
}

inline RecordSizes recordSizesOf(const RecordParts &record) {
    const uint32_t keyPart = keyCarriesPrefix(record) ? static_cast<uint32_t>(record.keyData.size())
                                                      : record.keyLength + pbRawVarint32Size(record.keyLength);
    return recordSizesWithKeyPart(keyPart, record.value.size(), record.isDataHolder);
}

// The sizes of a record whose key is written with its length varint.
inline RecordSizes recordSizesOf(uint32_t keyLength, size_t valueSize, bool isDataHolder) {
    return recordSizesWithKeyPart(keyLength + pbRawVarint32Size(keyLength), valueSize, isDataHolder);
}

class DataStream {
public:
    // Opens (creating unless readOnly) and maps the file, at least
    // openingSize bytes long (whole pages).
    DataStream(const std::string &path, size_t openingSize, bool readOnly);
    ~DataStream();
    DataStream(const DataStream &) = delete;
    DataStream &operator=(const DataStream &) = delete;

    // The mapped file itself: growth, remaps, flushes, identity checks.
    MemoryFile &file() const { return *m_file; }
    bool isMapped() const { return m_file->isFileValid(); }
    // The mapping's length (0 when unmapped).
    size_t fileSize() const { return m_file->getFileSize(); }
    // The stream's first byte. REQUIRES: isMapped().
    uint8_t *bytes() const { return static_cast<uint8_t *>(m_file->getMemory()) + kDataFileHeaderSize; }

    // The trusted stream length and its CRC.
    size_t size() const { return m_size; }
    uint32_t crc() const { return m_crc; }
    void setSize(size_t size) { m_size = size; }
    void setCRC(uint32_t crc) { m_crc = crc; }

    // The writer: positioned at `position` over the whole room of the
    // mapping; dropped when the mapping goes.
    void resetWriter(size_t position);
    void dropWriter() { m_writer.reset(); }
    bool hasWriter() const { return m_writer.has_value(); }
    // Room left for appends behind the writer. REQUIRES: hasWriter().
    size_t room() const { return m_writer->spaceLeft(); }
    void setWritePosition(size_t position) { m_writer->setPosition(position); }

    // Appends one record at the writer (encrypted on its way into the
    // mapping under `cipher` when given, never lying there in clear), then
    // extends size() and crc() over it. Returns its offset. With
    // `cipherState`, the cipher's state at the record's first byte.
    // REQUIRES: hasWriter(). Throws std::out_of_range (nothing appended,
    // the cipher unmoved) when the record does not fit.
    // Inline: it is the whole of a write's work on the data file.
    size_t append(const RecordParts &record, const RecordSizes &sizes, AESCrypt *cipher,
                  AESCryptStatus *cipherState) {
        if (cipherState) {
            cipher->getCurStatus(*cipherState);
        }
        const size_t offset = m_size;
        uint8_t *start = m_writer->curWritePointer();
        try {
            if (cipher) {
                writeEncrypted(record, sizes.valueLength, *cipher);
            } else {
                writePlain(record, sizes.valueLength);
            }
        } catch (...) {
            m_writer->setPosition(m_size); // the partial bytes stay outside the stream
            throw;
        }
        m_size += sizes.size;
        m_crc = streamCRC32(m_crc, start, sizes.size);
        return offset;
    }

    // Whether a stream of `size` bytes lies within the mapping.
    bool holds(size_t size) const {
        const size_t mapped = fileSize();
        return isMapped() && mapped >= kDataFileHeaderSize && size <= mapped - kDataFileHeaderSize;
    }

    // Whether the CRC of the first `size` stream bytes is `crc`; the computed
    // value is left in crc(). False when `size` is not held (see holds).
    bool checksOut(size_t size, uint32_t crc);

    // The end of the one record that starts at stream offset `offset` (past
    // the item-size holder), when its two length prefixes read and the record
    // lies within the mapping. For an encrypted stream, `cipher` is the
    // store's cipher (only cloned) and `streamVector` the stream's 16-byte
    // initial vector. Reads nothing past the mapping.
    std::optional<size_t> recordEndAt(size_t offset, const AESCrypt *cipher, const uint8_t *streamVector) const;

    // The legacy size field; 0 when the file is shorter than it.
    uint32_t legacySize() const;
    // Writes it (nothing for a read-only or short file).
    void writeLegacySize(size_t size, bool readOnly);

    // Zeroes the file past the stream (a page at a time, only pages holding
    // something, so that a sparse file stays sparse) and flushes it.
    void zeroTail();

private:
    // One record at the writer: the key (raw when it carries its length
    // prefix already), then the value with its length prefix, and for the
    // data-holder form the value's own length in front of it.
    void writePlain(const RecordParts &record, uint32_t valueLength) {
        if (keyCarriesPrefix(record)) {
            m_writer->writeRawData(record.keyData);
        } else {
            m_writer->writeData(record.keyData);
        }
        if (record.isDataHolder) {
            m_writer->writeUInt32(valueLength);
        }
        m_writer->writeData(record.value);
    }
    // The same record encrypted on its way into the mapping: never in clear
    // there, not even for a moment.
    void writeEncrypted(const RecordParts &record, uint32_t valueLength, AESCrypt &cipher);

    MemoryFile *m_file;
    std::optional<CodedOutputData> m_writer;
    size_t m_size = 0;
    uint32_t m_crc = 0;
};

} // namespace vorn
