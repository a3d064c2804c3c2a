#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "encoding/LittleEndian.h"
#include "encoding/PBUtility.h"
#include "encoding/VornBuffer.h"

namespace vorn {

// Writes the wire format (PBUtility.h) into a region of memory it does not own
// and never grows: a VornBuffer sized beforehand with the pb*Size helpers, or
// the mapped data file. The region must outlive the writer.
//
// Invariant: 0 <= position <= size. A write that does not fit throws
// std::out_of_range and never touches memory outside the region:
//  - writeRawByte and everything built on it (varints, bool, fixed-width,
//    float, double, length prefixes) write the bytes that fit, one by one, then
//    throw "m_position: P m_size: S" with P == S;
//  - the bytes of writeRawData, writeString and writeData are written whole or
//    not at all: "m_position: P, numberOfBytes: N, m_size: S". writeString and
//    writeData have already written their length prefix when this is thrown.
// writeString and writeData refuse items longer than kMaxLengthDelimitedSize
// with std::length_error before writing anything.
// Source bytes may overlap the region (records are moved within the mapped file).
//
// Not thread-safe; a writer is used by one thread, under the owner's locks.
class CodedOutputData {
public:
    CodedOutputData(void *ptr, size_t size) : m_region(static_cast<uint8_t *>(ptr)), m_size(size), m_position(0) {}

    void writeRawByte(uint8_t value) {
        if (m_position >= m_size) {
            throwNoRoom(m_position, m_size);
        }
        m_region[m_position++] = value;
    }

    void writeBool(bool value) { writeRawByte(value ? 1 : 0); }

    // Varint of value as uint32: 1 to 5 bytes (5 for any negative value).
    void writeRawVarint32(int32_t value) { writeUInt32(static_cast<uint32_t>(value)); }
    void writeUInt32(uint32_t value) {
        if (m_size - m_position >= kMaxVarint32Size) {
            uint8_t *p = m_region + m_position;
            while (value >= 0x80) {
                *p++ = static_cast<uint8_t>(value | 0x80);
                value >>= 7;
            }
            *p++ = static_cast<uint8_t>(value);
            m_position = static_cast<size_t>(p - m_region);
        } else {
            writeVarintNearEnd(value);
        }
    }
    // Non-negative: as writeUInt32. Negative: sign-extended to 64 bits, 10 bytes.
    void writeInt32(int32_t value) {
        if (value < 0) {
            writeUInt64(static_cast<uint64_t>(static_cast<int64_t>(value)));
        } else {
            writeUInt32(static_cast<uint32_t>(value));
        }
    }
    // Varint of value as uint64: 1 to 10 bytes (10 for any negative value).
    void writeRawVarint64(int64_t value) { writeUInt64(static_cast<uint64_t>(value)); }
    void writeInt64(int64_t value) { writeUInt64(static_cast<uint64_t>(value)); }
    void writeUInt64(uint64_t value) {
        if (m_size - m_position >= kMaxVarintSize) {
            uint8_t *p = m_region + m_position;
            while (value >= 0x80) {
                *p++ = static_cast<uint8_t>(value | 0x80);
                value >>= 7;
            }
            *p++ = static_cast<uint8_t>(value);
            m_position = static_cast<size_t>(p - m_region);
        } else {
            writeVarintNearEnd(value);
        }
    }

    // Fixed width, least significant byte first.
    void writeRawLittleEndian32(int32_t value) {
        if (m_size - m_position >= kFixed32Size) {
            encodeFixed32(m_region + m_position, static_cast<uint32_t>(value));
            m_position += kFixed32Size;
        } else {
            writeFixedNearEnd(static_cast<uint32_t>(value), kFixed32Size);
        }
    }
    void writeRawLittleEndian64(int64_t value) {
        if (m_size - m_position >= kFixed64Size) {
            encodeFixed64(m_region + m_position, static_cast<uint64_t>(value));
            m_position += kFixed64Size;
        } else {
            writeFixedNearEnd(static_cast<uint64_t>(value), kFixed64Size);
        }
    }
    // IEEE-754 bit patterns, little-endian.
    void writeFloat(float value) { writeRawLittleEndian32(static_cast<int32_t>(floatToBits(value))); }
    void writeDouble(double value) { writeRawLittleEndian64(static_cast<int64_t>(doubleToBits(value))); }

    // Varint of the length (as uint32), then the bytes; no terminator.
    void writeString(std::string_view value) { writeLengthDelimited(value.data(), value.size()); }
    // Varint of the buffer's size (as uint32), then its bytes.
    void writeData(const VornBuffer &value) { writeLengthDelimited(value.data(), value.size()); }
    // The bytes only.
    void writeRawData(const VornBuffer &value) { writeRawData(value.data(), value.size()); }
    void writeRawData(const void *bytes, size_t length) {
        if (length > m_size - m_position) {
            throwBytesDoNotFit(m_position, length, m_size);
        }
        if (length > 0) {
            memmove(m_region + m_position, bytes, length);
            m_position += length;
        }
    }

    size_t spaceLeft() const { return m_size - m_position; }
    // Where the next byte goes. Callers may write up to spaceLeft() bytes there
    // themselves (e.g. to encrypt in place) and then seek() over them.
    uint8_t *curWritePointer() const { return m_region + m_position; }
    // Moves forward n bytes without writing; past the end: "OutOfSpace"
    // (std::out_of_range), position unchanged.
    void seek(size_t n) {
        if (n > m_size - m_position) {
            throwOutOfSpace();
        }
        m_position += n;
    }
    void reset() { m_position = 0; }
    size_t getPosition() const { return m_position; }
    // Any position up to the size (the end included); beyond it: "OutOfSpace"
    // (std::out_of_range), position unchanged.
    void setPosition(size_t position) {
        if (position > m_size) {
            throwOutOfSpace();
        }
        m_position = position;
    }

private:
    void writeLengthDelimited(const void *bytes, size_t length) {
        if (length > kMaxLengthDelimitedSize) {
            throwLengthTooLarge(length);
        }
        writeUInt32(static_cast<uint32_t>(length));
        writeRawData(bytes, length);
    }
    // Byte-by-byte forms for the last few bytes of the region: write what fits, then throw.
    void writeVarintNearEnd(uint64_t value);
    void writeFixedNearEnd(uint64_t value, size_t width);

    uint8_t *m_region;
    size_t m_size;
    size_t m_position;
};

} // namespace vorn
