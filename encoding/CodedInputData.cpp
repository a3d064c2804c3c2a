#include "encoding/CodedInputData.h"

#include <cstring>

namespace vorn {

uint64_t CodedInputData::readFixedNearEnd(size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; i++) {
        value |= static_cast<uint64_t>(readRawByte()) << (8 * i);
    }
    return value;
}

std::string CodedInputData::readString() {
    uint32_t length = readLength();
    std::string value(reinterpret_cast<const char *>(m_region + m_position), length);
    m_position += length;
    return value;
}

void CodedInputData::readString(std::string &value) {
    uint32_t length = readLength();
    const auto bytes = reinterpret_cast<const char *>(m_region + m_position);
    if (length <= value.size()) {
        // A string read into again and again (a caller's reused buffer):
        // shrinking never reallocates or fills, so this is one copy.
        value.resize(length);
        memcpy(&value[0], bytes, length);
    } else {
        value.assign(bytes, length);
    }
    m_position += length;
}

VornBuffer CodedInputData::readData(bool copy, bool exactly) {
    int32_t length = readRawVarint32();
    uint64_t wanted = static_cast<uint64_t>(static_cast<int64_t>(length));
    size_t left = m_size - m_position;
    if (exactly ? wanted != left : wanted > left) {
        throwBadLength(length);
    }
    // The buffer type is not const-aware; a borrowed buffer over the region is
    // read-only by contract of this reader's callers.
    void *bytes = const_cast<uint8_t *>(m_region + m_position);
    VornBuffer result(bytes, static_cast<size_t>(wanted), copy ? VornBufferCopy : VornBufferNoCopy);
    m_position += static_cast<size_t>(wanted);
    return result;
}

VornBuffer CodedInputData::readRealData(const VornBuffer &buffer) {
    CodedInputData input(buffer.data(), buffer.size());
    return input.readData(false, true);
}

std::string CodedInputData::readRecordKey(uint32_t &recordOffset) {
    return std::string(readRecordKeyView(recordOffset));
}

std::string_view CodedInputData::readRecordKeyView(uint32_t &recordOffset) {
    if (m_position > kMaxRecordOffset) {
        throwRecordOffsetTooLarge();
    }
    recordOffset = static_cast<uint32_t>(m_position);
    uint32_t length = readLength();
    if (length > kMaxKeyLength) {
        throwKeyTooLarge();
    }
    std::string_view key(reinterpret_cast<const char *>(m_region + m_position), length);
    m_position += length;
    return key;
}

uint32_t CodedInputData::skipRecordValue(uint32_t recordOffset, uint16_t &computedKVSize) {
    uint32_t length = readLength();
    // A record offset beyond the position wraps to a huge size and is refused too.
    size_t kvSize = m_position - recordOffset;
    if (kvSize > kMaxComputedKVSize) {
        throwComputedKVSizeTooLarge();
    }
    computedKVSize = static_cast<uint16_t>(kvSize);
    m_position += length;
    return length;
}

} // namespace vorn
