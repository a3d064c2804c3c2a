#include "core/DataStream.h"

#include <algorithm>
#include <cstring>

#include "encoding/LittleEndian.h"
#include "encoding/PBUtility.h"
#include "platform/MemoryFile.h"

namespace vorn {

namespace {

// Tail bytes are cleared a page at a time, and only pages holding something:
// the untouched pages of a sparse data file stay unallocated.
constexpr size_t kZeroChunkSize = 4096;

bool isAllZero(const uint8_t *bytes, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// A record for an encrypted store (DataStream::append): the record is encrypted on its way into
// the mapping. Its head (key part and length prefixes) is put together in a
// buffer of its own and the value is read straight from the caller's bytes,
// so no byte of the record ever lies in the mapping in clear: the mapping is
// the file, and a crash at any moment (or a reader that takes no lock) would
// find it there. Nothing is written, and the cipher does not move, when the
// record does not fit (std::out_of_range from the output).
void writeEncryptedRecord(CodedOutputData &output, AESCrypt &crypter, const RecordParts &record,
                          uint32_t valueLength) {
    const VornBuffer &keyData = record.keyData;
    const VornBuffer &data = record.value;
    const bool keyEncoded = keyCarriesPrefix(record);
    const auto keySize = static_cast<uint32_t>(keyData.size());
    const size_t headSize = (keyEncoded ? keySize : pbRawVarint32Size(keySize) + keySize) +
                            (record.isDataHolder ? pbRawVarint32Size(valueLength) : 0) +
                            pbRawVarint32Size(static_cast<uint32_t>(data.size()));
    // Keys up to about 250 bytes need no allocation.
    uint8_t local[256];
    VornBuffer large;
    uint8_t *head = local;
    if (headSize > sizeof(local)) {
        large = VornBuffer(headSize);
        head = static_cast<uint8_t *>(large.data());
    }
    CodedOutputData headOutput(head, headSize);
    if (keyEncoded) {
        headOutput.writeRawData(keyData);
    } else {
        headOutput.writeData(keyData);
    }
    if (record.isDataHolder) {
        headOutput.writeUInt32(valueLength);
    }
    headOutput.writeUInt32(static_cast<uint32_t>(data.size()));

    uint8_t *bytes = output.curWritePointer();
    output.seek(headSize + data.size());
    crypter.encrypt(head, bytes, headSize);
    crypter.encrypt(data.data(), bytes + headSize, data.size());
}

} // namespace

DataStream::DataStream(const std::string &path, size_t openingSize, bool readOnly)
    : m_file(new MemoryFile(path, openingSize, readOnly, true)) {}

DataStream::~DataStream() {
    delete m_file;
}

void DataStream::resetWriter(size_t position) {
    // A read-only file is mapped at its length on disk, which may be shorter
    // than the header: no room at all then.
    const size_t mapped = m_file->getFileSize();
    const size_t room = mapped > kDataFileHeaderSize ? mapped - kDataFileHeaderSize : 0;
    m_writer.emplace(bytes(), room);
    m_writer->setPosition(position);
}

void DataStream::writeEncrypted(const RecordParts &record, uint32_t valueLength, AESCrypt &cipher) {
    writeEncryptedRecord(*m_writer, cipher, record, valueLength);
}

bool DataStream::checksOut(size_t size, uint32_t crc) {
    if (!holds(size)) {
        return false;
    }
    m_crc = streamCRC32(0, bytes(), size);
    return m_crc == crc;
}

std::optional<size_t> DataStream::recordEndAt(size_t offset, const AESCrypt *cipher,
                                              const uint8_t *streamVector) const {
    if (offset == 0 || !holds(offset)) {
        return std::nullopt;
    }
    const size_t limit = fileSize() - kDataFileHeaderSize;
    // Up to a varint's worth of clear bytes at `position` (fewer at the end
    // of the mapping). An encrypted stream is decrypted from the start of the
    // 16-byte block holding `position`: in CFB the block's key stream is the
    // encrypted ciphertext block in front of it, or the vector for the first.
    auto clearBytes = [&](size_t position, uint8_t (&out)[kMaxVarint32Size]) -> size_t {
        const size_t n = std::min(sizeof(out), limit - position);
        if (!cipher) {
            memcpy(out, bytes() + position, n);
            return n;
        }
        const size_t blockStart = position - position % kAESBlockSize;
        AESCryptStatus status{0, {}};
        memcpy(status.m_vector, blockStart == 0 ? streamVector : bytes() + blockStart - kAESBlockSize,
               kAESBlockSize);
        AESCrypt clone(*cipher, status);
        uint8_t clear[kAESBlockSize + kMaxVarint32Size];
        const size_t skip = position - blockStart;
        clone.decrypt(bytes() + blockStart, clear, skip + n);
        memcpy(out, clear + skip, n);
        return n;
    };
    // One length prefix at `position`; advances it past the prefix.
    auto readLength = [&](size_t &position) -> std::optional<uint32_t> {
        if (position >= limit) {
            return std::nullopt;
        }
        uint8_t buffer[kMaxVarint32Size];
        const size_t available = clearBytes(position, buffer);
        size_t used = 0;
        bool overrun = false;
        uint32_t value = 0;
        const bool ok = pbDecodeVarint32(
            [&]() -> uint8_t {
                if (used >= available) {
                    overrun = true;
                    return 0;
                }
                return buffer[used++];
            },
            value);
        if (!ok || overrun) {
            return std::nullopt;
        }
        position += used;
        return value;
    };

    size_t position = offset;
    const std::optional<uint32_t> keyLength = readLength(position);
    if (!keyLength || *keyLength == 0 || *keyLength > limit - position) {
        return std::nullopt;
    }
    position += *keyLength;
    const std::optional<uint32_t> valueLength = readLength(position);
    if (!valueLength || *valueLength > limit - position) {
        return std::nullopt;
    }
    return position + *valueLength;
}

uint32_t DataStream::legacySize() const {
    if (!isMapped() || fileSize() < kDataFileHeaderSize) {
        return 0;
    }
    return decodeFixed32(m_file->getMemory());
}

void DataStream::writeLegacySize(size_t size, bool readOnly) {
    if (!readOnly && isMapped() && fileSize() >= kDataFileHeaderSize) {
        encodeFixed32(m_file->getMemory(), static_cast<uint32_t>(size));
    }
}

void DataStream::zeroTail() {
    if (!isMapped()) {
        return;
    }
    auto base = static_cast<uint8_t *>(m_file->getMemory());
    const size_t mapped = fileSize();
    size_t position = kDataFileHeaderSize + m_size;
    if (position >= mapped) {
        return;
    }
    while (position < mapped) {
        const size_t end = std::min(mapped, (position / kZeroChunkSize + 1) * kZeroChunkSize);
        if (!isAllZero(base + position, end - position)) {
            memset(base + position, 0, end - position);
        }
        position = end;
    }
    m_file->msync(SyncFlag::Sync);
}

} // namespace vorn
