#include "encoding/CodedInputDataCrypt.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "encoding/PBUtility.h"

namespace vorn {

namespace {

constexpr size_t roundUpToBlock(size_t n) {
    return (n + kAESBlockSize - 1) / kAESBlockSize * kAESBlockSize;
}

} // namespace

CodedInputDataCrypt::CodedInputDataCrypt(const void *ptr, size_t size, AESCrypt &cipher)
    : m_region(static_cast<const uint8_t *>(ptr)), m_size(ptr ? size : 0), m_position(0), m_cipherPosition(0),
      m_cipher(cipher), m_plainBuffer(nullptr), m_plainCapacity(kInitialBufferSize) {
    m_plainBuffer = static_cast<uint8_t *>(malloc(m_plainCapacity));
    if (!m_plainBuffer) {
        throw std::runtime_error(strerror(errno));
    }
    // Start the buffer at the cipher's place in its block, so that a buffer
    // index and the keystream position of its byte agree modulo 16.
    AESCryptStatus status;
    m_cipher.getCurStatus(status);
    m_plainReadIndex = m_plainEnd = m_keepFrom = status.m_number % kAESBlockSize;
}

CodedInputDataCrypt::~CodedInputDataCrypt() {
    free(m_plainBuffer);
}

void CodedInputDataCrypt::seek(size_t n) {
    if (n > m_size - m_position) {
        throwOutOfSpace();
    }
    if (m_cipherPosition != m_position || m_plainEnd != m_plainReadIndex) {
        // The cipher has already moved past the read position: skipping now
        // would desynchronise stream and keystream.
        throw std::logic_error("CodedInputDataCrypt::seek after a read");
    }
    m_position += n;
    m_cipherPosition += n;
}

uint8_t CodedInputDataCrypt::readRawByte() {
    if (m_position >= m_size) {
        throwReachEnd(m_position, m_size);
    }
    if (m_plainReadIndex == m_plainEnd) {
        consumeBytes(1, false);
    }
    m_position++;
    return m_plainBuffer[m_plainReadIndex++];
}

int32_t CodedInputDataCrypt::readRawVarint32(bool keepFromHere) {
    consumeBytes(kMaxVarintSize, keepFromHere);
    uint32_t value = 0;
    if (!pbDecodeVarint32([this]() -> uint8_t { return readRawByte(); }, value)) {
        throwMalformedVarint32();
    }
    return static_cast<int32_t>(value);
}

uint32_t CodedInputDataCrypt::checkedLength(int32_t length) const {
    // A negative length sign-extends to a count larger than any region.
    if (static_cast<uint64_t>(static_cast<int64_t>(length)) > m_size - m_position) {
        throwBadLength(length);
    }
    return static_cast<uint32_t>(length);
}

void CodedInputDataCrypt::consumeBytes(size_t length, bool keepFromHere) {
    if (keepFromHere) {
        m_keepFrom = m_plainReadIndex;
    }
    const size_t ahead = m_plainEnd - m_plainReadIndex;
    if (ahead >= length) {
        return;
    }
    // Decrypt up to the next block boundary of the keystream: whole blocks
    // from then on, and no byte twice.
    const size_t number = m_plainEnd % kAESBlockSize;
    size_t count = roundUpToBlock(number + length - ahead) - number;
    if (count > m_size - m_cipherPosition) {
        count = m_size - m_cipherPosition;
    }
    if (count == 0) {
        return;
    }
    if (m_plainCapacity - m_plainEnd < count) {
        // Drop what lies before the current record, in whole blocks.
        const size_t from = m_keepFrom / kAESBlockSize * kAESBlockSize;
        if (from > 0) {
            memmove(m_plainBuffer, m_plainBuffer + from, m_plainEnd - from);
            m_plainReadIndex -= from;
            m_plainEnd -= from;
            m_keepFrom -= from;
        }
        if (m_plainCapacity - m_plainEnd < count) {
            const size_t capacity = m_plainCapacity + count;
            auto grown = static_cast<uint8_t *>(realloc(m_plainBuffer, capacity));
            if (!grown) {
                throw std::runtime_error(strerror(errno));
            }
            m_plainBuffer = grown;
            m_plainCapacity = capacity;
        }
    }
    m_cipher.decrypt(m_region + m_cipherPosition, m_plainBuffer + m_plainEnd, count);
    m_cipherPosition += count;
    m_plainEnd += count;
}

void CodedInputDataCrypt::skipBytes(size_t length) {
    m_position += length;
    const size_t ahead = m_plainEnd - m_plainReadIndex;
    if (ahead >= length) {
        m_plainReadIndex += length;
        return;
    }
    // The skipped bytes are decrypted only to advance the cipher: block by
    // block into the buffer's first block, each piece overwriting the last.
    // The final piece stays, since its tail follows the skipped range.
    const size_t rest = length - ahead;
    size_t index = m_plainEnd % kAESBlockSize;
    size_t count = roundUpToBlock(index + rest) - index;
    if (count > m_size - m_cipherPosition) {
        count = m_size - m_cipherPosition;
    }
    size_t left = count;
    size_t end = index;
    while (left > 0) {
        const size_t piece = left < kAESBlockSize - index ? left : kAESBlockSize - index;
        m_cipher.decrypt(m_region + m_cipherPosition, m_plainBuffer + index, piece);
        m_cipherPosition += piece;
        left -= piece;
        end = index + piece;
        index = 0;
    }
    m_plainEnd = end;
    m_plainReadIndex = end - (count - rest);
    m_keepFrom = m_plainReadIndex;
}

std::string CodedInputDataCrypt::readString(CryptIndexEntry &kv) {
    if (m_position > kMaxRecordOffset) {
        throwRecordOffsetTooLarge();
    }
    const size_t recordOffset = m_position;
    const uint32_t length = checkedLength(readRawVarint32(true));
    // Before any key byte is decrypted or buffered.
    if (length > kMaxKeyLength) {
        throwKeyTooLarge();
    }
    consumeBytes(length, false);
    std::string key(reinterpret_cast<const char *>(m_plainBuffer + m_plainReadIndex), length);
    m_plainReadIndex += length;
    m_position += length;
    kv = CryptIndexEntry(length, 0, static_cast<uint32_t>(recordOffset));
    return key;
}

void CodedInputDataCrypt::readData(CryptIndexEntry &kv) {
    const uint32_t length = checkedLength(readRawVarint32(false));
    if (length <= CryptIndexEntry::kMaxDecryptedValueSize) {
        consumeBytes(length, false);
        kv = CryptIndexEntry(m_plainBuffer + m_plainReadIndex, length);
        m_plainReadIndex += length;
        m_position += length;
        return;
    }

    const size_t recordOffset = kv.kind == KVHolderOffset ? kv.offset : SIZE_MAX;
    // The record's bytes in front of the value as they lie in the stream; equal
    // to the minimal varint sizes plus the key for every writer of this
    // library, and still right for a record with longer varints.
    const size_t prefix = m_position - recordOffset;
    // From the record's first byte to what the cipher has passed.
    const size_t back = m_plainEnd - m_plainReadIndex + prefix;
    if (recordOffset > m_position || prefix < kv.keySize || prefix - kv.keySize > UINT8_MAX || back > m_plainEnd) {
        throw std::logic_error("CodedInputDataCrypt::readData without the record's key");
    }
    CryptIndexEntry holder(kv.keySize, length, static_cast<uint32_t>(recordOffset));
    holder.lengthVarintsSize = static_cast<uint8_t>(prefix - kv.keySize);
    // The record's plaintext from its first byte is still buffered (kept since
    // readString marked it), so the cipher can be wound back to that byte.
    m_cipher.statusBeforeDecrypt(m_region + m_cipherPosition, m_plainBuffer + m_plainEnd, back, holder.cryptStatus);
    skipBytes(length);
    kv = std::move(holder);
}

} // namespace vorn
