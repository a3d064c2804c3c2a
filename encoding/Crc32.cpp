#include "encoding/Crc32.h"

#include <zlib.h>

#include <algorithm>

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
