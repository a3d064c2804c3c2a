#pragma once

// The wire format's sizes, limits and failure texts, shared by the coded
// streams (CodedOutputData, CodedInputData and the decrypting reader).
//
// Wire format: base-128 varints (7-bit groups, least significant first, bit 7
// set on every byte but the last; no tags, no zig-zag: negative numbers are
// two's complement), little-endian fixed-width numbers (LittleEndian.h) and
// length-delimited byte strings (varint length as uint32, then the bytes).
//
// The size helpers give the exact number of bytes a writer produces, so that
// callers size a buffer once and never grow it.

#include <cstddef>
#include <cstdint>

#include "encoding/LittleEndian.h"

namespace vorn {

// Longest varint of a uint32 (and of a negative value written as raw varint32).
constexpr size_t kMaxVarint32Size = 5;
// Longest varint of all: any 64-bit value, and a negative int32 sign-extended.
constexpr size_t kMaxVarintSize = 10;
constexpr size_t kBoolSize = 1;

// A length prefix is read back as an int32, so a length-delimited item holds at
// most INT32_MAX bytes; writers refuse longer ones rather than write a record
// that no reader accepts.
constexpr size_t kMaxLengthDelimitedSize = 0x7FFFFFFF;

// Limits of a data file record, fixed by the 16/32-bit fields of the index
// entries: a key holds at most 65531 bytes, the bytes in front of a value (key
// length varint, key, value length varint) stay below 65536, and a record
// starts below 4 GiB from the stream's first byte.
constexpr uint32_t kMaxKeyLength = 65531;
constexpr uint32_t kMaxComputedKVSize = 0xFFFF;
constexpr uint64_t kMaxRecordOffset = 0xFFFFFFFF;

// Bytes of the varint of `value`: 1 below 2^7, 2 below 2^14, ... 5 from 2^28.
constexpr uint32_t pbRawVarint32Size(uint32_t value) {
    return 1 + static_cast<uint32_t>(31 - __builtin_clz(value | 1)) / 7;
}

// Bytes of the varint of `value`: one per 7-bit group, 1 to 10.
constexpr uint32_t pbUInt64Size(uint64_t value) {
    return 1 + static_cast<uint32_t>(63 - __builtin_clzll(value | 1)) / 7;
}

// Encoded sizes of the writers of CodedOutputData.
constexpr uint32_t pbInt32Size(int32_t value) {
    return value < 0 ? static_cast<uint32_t>(kMaxVarintSize) : pbRawVarint32Size(static_cast<uint32_t>(value));
}
constexpr uint32_t pbUInt32Size(uint32_t value) {
    return pbRawVarint32Size(value);
}
constexpr uint32_t pbInt64Size(int64_t value) {
    return pbUInt64Size(static_cast<uint64_t>(value));
}
constexpr uint32_t pbBoolSize() {
    return static_cast<uint32_t>(kBoolSize);
}
constexpr uint32_t pbFloatSize() {
    return static_cast<uint32_t>(kFixed32Size);
}
constexpr uint32_t pbDoubleSize() {
    return static_cast<uint32_t>(kFixed64Size);
}
// A string or buffer of `length` bytes written with its length prefix.
// REQUIRES: length <= kMaxLengthDelimitedSize (writers refuse longer items).
constexpr size_t pbLengthDelimitedSize(size_t length) {
    return pbRawVarint32Size(static_cast<uint32_t>(length)) + length;
}

// Decodes one 32-bit varint, taking bytes from `nextByte()`:
// bytes 1 to 4 add their low 7 bits while bit 7 is set; byte 5 is added whole
// at shift 28 (bits beyond 32 fall away); if it still has bit 7 set, up to five
// more bytes are read and dropped, which accepts the 10-byte form of a negative
// int32. Returns false when the tenth byte still has bit 7 set (all ten bytes
// have then been taken). `nextByte` bounds-checks or not, as its owner needs.
template <typename NextByte> inline bool pbDecodeVarint32(NextByte &&nextByte, uint32_t &value) {
    uint32_t b = nextByte();
    if (!(b & 0x80)) {
        value = b;
        return true;
    }
    uint32_t result = b & 0x7F;
    for (uint32_t shift = 7; shift < 28; shift += 7) {
        b = nextByte();
        if (!(b & 0x80)) {
            value = result | (b << shift);
            return true;
        }
        result |= (b & 0x7F) << shift;
    }
    b = nextByte();
    value = result | (b << 28);
    if (!(b & 0x80)) {
        return true;
    }
    for (size_t i = kMaxVarint32Size; i < kMaxVarintSize; i++) {
        if (!(nextByte() & 0x80)) {
            return true;
        }
    }
    return false;
}

// Decodes one 64-bit varint: bytes add their low 7 bits at shifts 0 to 56
// while bit 7 is set; a tenth byte contributes only its lowest bit (shift 63).
// Returns false when the tenth byte has bit 7 set.
template <typename NextByte> inline bool pbDecodeVarint64(NextByte &&nextByte, uint64_t &value) {
    uint64_t result = 0;
    for (uint32_t shift = 0; shift < 63; shift += 7) {
        uint64_t b = nextByte();
        result |= (b & 0x7F) << shift;
        if (!(b & 0x80)) {
            value = result;
            return true;
        }
    }
    uint64_t b = nextByte();
    if (b & 0x80) {
        return false;
    }
    value = result | ((b & 1) << 63);
    return true;
}

// Fixed failure texts. Readers and writers throw standard exceptions carrying
// them; callers log what() and treat the item as absent.
constexpr const char kMalformedVarint32Text[] = "InvalidProtocolBuffer malformed varint32";
constexpr const char kMalformedInt64Text[] = "InvalidProtocolBuffer malformedInt64";
constexpr const char kNegativeSizeText[] = "InvalidProtocolBuffer negativeSize";
constexpr const char kTruncatedMessageText[] = "InvalidProtocolBuffer truncatedMessage";
constexpr const char kKeyTooLargeText[] = "VORN key too large for uint16 holder";
constexpr const char kComputedKVSizeTooLargeText[] = "VORN computed KV size too large for uint16 holder";
constexpr const char kRecordOffsetTooLargeText[] = "VORN record offset too large for uint32 holder";
constexpr const char kOutOfSpaceText[] = "OutOfSpace";
constexpr const char kLengthTooLargeText[] = "VORN length too large for varint32 prefix: ";

// Throwers for the texts above, kept out of line so that the inline fast paths
// stay small. Exception types: see each line.
[[noreturn]] void throwReachEnd(size_t position, size_t size); // out_of_range "reach end, m_position: P, m_size: S"
[[noreturn]] void throwOutOfSpace();                           // out_of_range
[[noreturn]] void throwMalformedVarint32();                    // invalid_argument
[[noreturn]] void throwMalformedInt64();                       // invalid_argument
[[noreturn]] void throwNegativeSize();                         // length_error
[[noreturn]] void throwTruncatedMessage();                     // out_of_range
// A length prefix that is negative or does not match the bytes left: throws
// the negative-size error for length < 0, else the truncated-message error.
[[noreturn]] void throwBadLength(int32_t length);
[[noreturn]] void throwKeyTooLarge();                        // length_error
[[noreturn]] void throwComputedKVSizeTooLarge();             // length_error
[[noreturn]] void throwRecordOffsetTooLarge();               // length_error
[[noreturn]] void throwLengthTooLarge(size_t length);        // length_error, text + the length
[[noreturn]] void throwNoRoom(size_t position, size_t size); // out_of_range "m_position: P m_size: S"
// out_of_range "m_position: P, numberOfBytes: N, m_size: S"
[[noreturn]] void throwBytesDoNotFit(size_t position, size_t numberOfBytes, size_t size);

} // namespace vorn
