#pragma once

// CRC-32 of the stream checksum: the zlib / IEEE 802.3 CRC (reflected
// polynomial 0xEDB88320, register inverted on entry and exit), so that
// crc32Extend(crc, bytes, n) == zlib's crc32(crc, bytes, n) for every crc,
// every input and every split of an input into pieces.
//
// Made for the short pieces a single record adds to a stream: below about 50
// bytes zlib works a byte at a time, this works 8 bytes per step (slicing by
// eight, 8 KiB of tables built at compile time). Long inputs go through
// carry-less multiplication where the processor has it (x86-64 PCLMULQDQ,
// checked at run time), else through zlib; streamCRC32 chooses.

#include <cstddef>
#include <cstdint>

namespace vorn {

// Inputs shorter than this go through crc32Extend, longer ones through zlib.
constexpr size_t kShortCRCInput = 256;

uint32_t crc32Extend(uint32_t crc, const void *bytes, size_t length);

// zlib's crc32 extended from `crc` over `length` bytes (any size_t length):
// short inputs through crc32Extend, long ones folded, or through zlib in
// pieces it can take.
uint32_t streamCRC32(uint32_t crc, const void *ptr, size_t length);

} // namespace vorn
