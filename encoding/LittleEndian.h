#pragma once

// Little-endian fixed-width numbers. Every fixed-width field the library writes
// (fixed32/fixed64, float and double values, the data file's leading size
// field, the meta record, the 4-byte expiry trailer) is stored least
// significant byte first, whatever the host's byte order. The helpers are
// written byte by byte; compilers turn each into a single load or store.
// Callers guarantee that 4 or 8 bytes are addressable at the pointer.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorn {

constexpr size_t kFixed32Size = 4;
constexpr size_t kFixed64Size = 8;

inline void encodeFixed32(void *dst, uint32_t value) {
    uint8_t *p = static_cast<uint8_t *>(dst);
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}

inline void encodeFixed64(void *dst, uint64_t value) {
    uint8_t *p = static_cast<uint8_t *>(dst);
    for (size_t i = 0; i < kFixed64Size; i++) {
        p[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint32_t decodeFixed32(const void *src) {
    const uint8_t *p = static_cast<const uint8_t *>(src);
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t decodeFixed64(const void *src) {
    const uint8_t *p = static_cast<const uint8_t *>(src);
    uint64_t value = 0;
    for (size_t i = 0; i < kFixed64Size; i++) {
        value |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    return value;
}

// IEEE-754 bit patterns; the wire format stores floats and doubles as these.
inline uint32_t floatToBits(float value) {
    static_assert(sizeof(float) == kFixed32Size, "float must be IEEE-754 single precision");
    uint32_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return bits;
}

inline float bitsToFloat(uint32_t bits) {
    float value;
    memcpy(&value, &bits, sizeof(value));
    return value;
}

inline uint64_t doubleToBits(double value) {
    static_assert(sizeof(double) == kFixed64Size, "double must be IEEE-754 double precision");
    uint64_t bits;
    memcpy(&bits, &value, sizeof(bits));
    return bits;
}

inline double bitsToDouble(uint64_t bits) {
    double value;
    memcpy(&value, &bits, sizeof(value));
    return value;
}

} // namespace vorn
