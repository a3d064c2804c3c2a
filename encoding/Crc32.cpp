#include "encoding/Crc32.h"

#include <zlib.h>

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "encoding/LittleEndian.h"

namespace vorn {

namespace {

// kTables.t[0] is the classic byte table; t[k][b] is the CRC register after
// byte b followed by k zero bytes, which lets eight bytes be folded at once.
struct SliceTables {
    uint32_t t[8][256];
};

constexpr SliceTables makeTables() {
    SliceTables tables{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int bit = 0; bit < 8; bit++) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        tables.t[0][b] = c;
    }
    for (int k = 1; k < 8; k++) {
        for (uint32_t b = 0; b < 256; b++) {
            const uint32_t previous = tables.t[k - 1][b];
            tables.t[k][b] = (previous >> 8) ^ tables.t[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr SliceTables kTables = makeTables();

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VORN_FOLDED_CRC 1

// Folding with carry-less multiplication (PCLMULQDQ): four 128-bit lanes
// folded 64 bytes at a time, then into one lane, then reduced to 32 bits
// (Barrett). The constants are x^k mod P for the reflected polynomial
// 0x1DB710641 (k = 4*128+32, 4*128-32, 128+32, 128-32, 64), then P and its
// Barrett quotient. Works on the raw register: zlib's value is
// ~foldCRC32(~crc, ...). REQUIRES: length >= 64, a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) inline __m128i foldLane(__m128i lane, __m128i constants, __m128i next) {
    const __m128i low = _mm_clmulepi64_si128(lane, constants, 0x00);
    const __m128i high = _mm_clmulepi64_si128(lane, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse4.1"))) uint32_t foldCRC32(uint32_t crc, const uint8_t *p, size_t length) {
    const __m128i byFour = _mm_set_epi64x(0x1c6e41596ll, 0x154442bd4ll);
    const __m128i byOne = _mm_set_epi64x(0x0ccaa009ell, 0x1751997d0ll);
    const __m128i to32 = _mm_set_epi64x(0, 0x163cd6124ll);
    const __m128i barrett = _mm_set_epi64x(0x1f7011641ll, 0x1db710641ll);
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    auto load = [](const uint8_t *at) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at)); };

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x2 = load(p + 16);
    __m128i x3 = load(p + 32);
    __m128i x4 = load(p + 48);
    p += 64;
    length -= 64;
    while (length >= 64) {
        x1 = foldLane(x1, byFour, load(p));
        x2 = foldLane(x2, byFour, load(p + 16));
        x3 = foldLane(x3, byFour, load(p + 32));
        x4 = foldLane(x4, byFour, load(p + 48));
        p += 64;
        length -= 64;
    }
    x1 = foldLane(x1, byOne, x2);
    x1 = foldLane(x1, byOne, x3);
    x1 = foldLane(x1, byOne, x4);
    while (length >= 16) {
        x1 = foldLane(x1, byOne, load(p));
        p += 16;
        length -= 16;
    }
    // 128 bits to 64.
    __m128i rest = _mm_srli_si128(x1, 8);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, byOne, 0x10), rest);
    // 64 bits to 32.
    rest = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), to32, 0x00), rest);
    // Barrett reduction.
    rest = x1;
    x1 = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), barrett, 0x10), low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, barrett, 0x00), rest);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool canFold() {
    static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return supported;
}
#endif

} // namespace

uint32_t crc32Extend(uint32_t crc, const void *bytes, size_t length) {
    const auto &t = kTables.t;
    auto p = static_cast<const uint8_t *>(bytes);
    uint32_t c = ~crc;
    while (length >= 8) {
        // The register meets the first four bytes (read little-endian, as the
        // reflected CRC consumes them); the next four only shift through.
        const uint32_t low = decodeFixed32(p) ^ c;
        const uint32_t high = decodeFixed32(p + 4);
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        p += 8;
        length -= 8;
    }
    while (length != 0) {
        c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
        length--;
    }
    return ~c;
}

uint32_t streamCRC32(uint32_t crc, const void *ptr, size_t length) {
    if (length < kShortCRCInput) {
        return crc32Extend(crc, ptr, length); // one record: zlib would go a byte at a time
    }
#ifdef VORN_FOLDED_CRC
    if (canFold()) {
        // A load's CRC pass over the whole stream: about twice zlib's speed.
        const size_t folded = length & ~static_cast<size_t>(15);
        const auto bytes = static_cast<const uint8_t *>(ptr);
        const uint32_t head = ~foldCRC32(~crc, bytes, folded);
        return crc32Extend(head, bytes + folded, length - folded);
    }
#endif
    // zlib takes 32-bit lengths; feed it in pieces it can always take.
    constexpr size_t kPiece = 1u << 30;
    auto bytes = static_cast<const Bytef *>(ptr);
    uLong digest = crc;
    while (length > 0) {
        size_t piece = std::min(length, kPiece);
        digest = ::crc32(digest, bytes, static_cast<uInt>(piece));
        bytes += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(digest);
}

} // namespace vorn
