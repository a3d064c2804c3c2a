#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoding/LittleEndian.h"
#include "encoding/PBUtility.h"
#include "encoding/VornBuffer.h"

namespace vorn {

// Reads the wire format (PBUtility.h) from a region of memory it does not own:
// a VornBuffer or the mapped data file. The region must outlive the reader and
// every buffer it lends (readData(false, ..), readRealData).
//
// Never reads outside the region. Every failure is a standard exception with a
// fixed text (PBUtility.h); bytes read before the failing step stay consumed
// (a failed length-delimited read has consumed its length prefix):
//  - a read at the end of the region: std::out_of_range
//    "reach end, m_position: P, m_size: S";
//  - a 32-bit varint longer than 10 bytes: std::invalid_argument
//    "InvalidProtocolBuffer malformed varint32"; a 64-bit one:
//    "InvalidProtocolBuffer malformedInt64";
//  - a negative length: std::length_error "InvalidProtocolBuffer negativeSize";
//    a length beyond the region (or, with `exactly`, not ending precisely at
//    its end): std::out_of_range "InvalidProtocolBuffer truncatedMessage";
//  - seek past the end: std::out_of_range "OutOfSpace", position unchanged.
// Nothing allocates except readString and readData with copy.
//
// Not thread-safe; a reader is used by one thread, under the owner's locks.
class CodedInputData {
public:
    CodedInputData(const void *ptr, size_t size)
        : m_region(static_cast<const uint8_t *>(ptr)), m_size(size), m_position(0) {}

    uint8_t readRawByte() {
        if (m_position >= m_size) {
            throwReachEnd(m_position, m_size);
        }
        return m_region[m_position++];
    }

    // One varint returned as 32 bits; accepts the 10-byte form of a negative int32.
    int32_t readRawVarint32() {
        uint32_t value = 0;
        if (m_size - m_position >= kMaxVarintSize) {
            const uint8_t *p = m_region + m_position;
            bool ok = pbDecodeVarint32([&p]() -> uint8_t { return *p++; }, value);
            m_position = static_cast<size_t>(p - m_region);
            if (!ok) {
                throwMalformedVarint32();
            }
        } else if (!pbDecodeVarint32([this]() -> uint8_t { return readRawByte(); }, value)) {
            throwMalformedVarint32();
        }
        return static_cast<int32_t>(value);
    }
    int32_t readInt32() { return readRawVarint32(); }
    uint32_t readUInt32() { return static_cast<uint32_t>(readRawVarint32()); }
    bool readBool() { return readRawVarint32() != 0; }

    // One varint of up to 10 bytes returned as 64 bits.
    int64_t readInt64() { return static_cast<int64_t>(readUInt64()); }
    uint64_t readUInt64() {
        uint64_t value = 0;
        if (m_size - m_position >= kMaxVarintSize) {
            const uint8_t *p = m_region + m_position;
            bool ok = pbDecodeVarint64([&p]() -> uint8_t { return *p++; }, value);
            m_position = static_cast<size_t>(p - m_region);
            if (!ok) {
                throwMalformedInt64();
            }
        } else if (!pbDecodeVarint64([this]() -> uint8_t { return readRawByte(); }, value)) {
            throwMalformedInt64();
        }
        return value;
    }

    // Fixed width, least significant byte first.
    int32_t readRawLittleEndian32() {
        if (m_size - m_position >= kFixed32Size) {
            uint32_t value = decodeFixed32(m_region + m_position);
            m_position += kFixed32Size;
            return static_cast<int32_t>(value);
        }
        return static_cast<int32_t>(readFixedNearEnd(kFixed32Size));
    }
    int64_t readRawLittleEndian64() {
        if (m_size - m_position >= kFixed64Size) {
            uint64_t value = decodeFixed64(m_region + m_position);
            m_position += kFixed64Size;
            return static_cast<int64_t>(value);
        }
        return static_cast<int64_t>(readFixedNearEnd(kFixed64Size));
    }
    float readFloat() { return bitsToFloat(static_cast<uint32_t>(readRawLittleEndian32())); }
    double readDouble() { return bitsToDouble(static_cast<uint64_t>(readRawLittleEndian64())); }

    // A length-delimited item as a new string (bytes as they are).
    std::string readString();
    // The same into `value`, reusing its storage; `value` is unchanged on failure.
    void readString(std::string &value);

    // A length-delimited item as a buffer: copied (VornBufferCopy) when `copy`,
    // else borrowed from the region (VornBufferNoCopy). With `exactly` the item
    // must end precisely at the end of the region.
    VornBuffer readData(bool copy = true, bool exactly = false);

    // Unwraps a value written by writeData: `buffer` must be exactly one
    // length-delimited item. Returns a buffer borrowed from `buffer`.
    static VornBuffer readRealData(const VornBuffer &buffer);

    // Index entries of a data file's records (key length varint, key, value
    // length varint, value). `Holder` has the unsigned fields `offset` (32 bits),
    // `keySize` (16), `valueSize` (32) and `computedKVSize` (16); offsets count
    // from the region's first byte. The holder is filled only when the read
    // succeeds.
    //
    // Reads a record's key: sets the holder's offset (the record starts here) and
    // keySize, and returns the key. Refuses keys longer than kMaxKeyLength.
    template <typename Holder> std::string readString(Holder &kv) { return std::string(readStringView(kv)); }
    // The same, the key borrowed from the region (no copy).
    template <typename Holder> std::string_view readStringView(Holder &kv) {
        uint32_t offset = 0;
        std::string_view key = readRecordKeyView(offset);
        kv.offset = offset;
        kv.keySize = static_cast<uint16_t>(key.size());
        return key;
    }
    // Reads the value length that follows such a key, sets valueSize and
    // computedKVSize and skips the value bytes without copying them.
    template <typename Holder> void readData(Holder &kv) {
        uint16_t computedKVSize = 0;
        uint32_t valueSize = skipRecordValue(kv.offset, computedKVSize);
        kv.valueSize = valueSize;
        kv.computedKVSize = computedKVSize;
    }

    // The two steps behind the holder forms.
    // Sets recordOffset to the position (refusing positions above
    // kMaxRecordOffset: std::length_error "VORN record offset too large for uint32
    // holder"), then reads a length-delimited key of at most kMaxKeyLength bytes
    // (else std::length_error "VORN key too large for uint16 holder").
    std::string readRecordKey(uint32_t &recordOffset);
    std::string_view readRecordKeyView(uint32_t &recordOffset);
    // Reads a value length; sets computedKVSize = position after it - recordOffset
    // (65536 or more: std::length_error "VORN computed KV size too large for uint16
    // holder"); skips the value and returns its length.
    uint32_t skipRecordValue(uint32_t recordOffset, uint16_t &computedKVSize);

    // Skips n bytes.
    void seek(size_t n) {
        if (n > m_size - m_position) {
            throwOutOfSpace();
        }
        m_position += n;
    }
    bool reachedEnd() const { return m_position == m_size; }
    size_t getPosition() const { return m_position; }

private:
    // Reads a length prefix and checks that the item fits in what is left.
    uint32_t readLength() {
        int32_t length = readRawVarint32();
        // A negative length sign-extends to a count larger than any region.
        if (static_cast<uint64_t>(static_cast<int64_t>(length)) > m_size - m_position) {
            throwBadLength(length);
        }
        return static_cast<uint32_t>(length);
    }
    // Byte-by-byte form for the last few bytes of the region: read what is there, then throw.
    uint64_t readFixedNearEnd(size_t width);

    const uint8_t *m_region;
    size_t m_size;
    size_t m_position;
};

} // namespace vorn
