// The stream checksum's own CRC-32 must give zlib's value for every input and
// every way an input is cut into appended pieces: the meta record written by
// one and checked by the other (or by another version of the library) has to
// agree bit for bit.

#include "encoding/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

using namespace vorn;

namespace {

uint32_t zlibCRC(uint32_t crc, const uint8_t *bytes, size_t length) {
    return static_cast<uint32_t>(crc32(crc, bytes, static_cast<uInt>(length)));
}

std::vector<uint8_t> noise(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    for (auto &b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

TEST(Crc32Test, KnownValues) {
    struct Case {
        const char *text;
        uint32_t crc;
    };
    // The standard check value and two fixed strings.
    const Case cases[] = {
        {"", 0u}, {"123456789", 0xCBF43926u}, {"The quick brown fox jumps over the lazy dog", 0x414FA339u}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(crc32Extend(0, c.text, strlen(c.text)), c.crc);
    }
}

TEST(Crc32Test, MatchesZlibForEveryLengthAlignmentAndStartValue) {
    const auto bytes = noise(600, 7);
    const uint32_t starts[] = {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0xCBF43926u};
    for (uint32_t start : starts) {
        for (size_t offset = 0; offset < 8; offset++) {
            for (size_t length = 0; length + offset <= 300; length++) {
                ASSERT_EQ(crc32Extend(start, bytes.data() + offset, length),
                          zlibCRC(start, bytes.data() + offset, length))
                    << "start " << start << " offset " << offset << " length " << length;
            }
        }
    }
}

// The long-input path (folded where the processor can, else zlib): every
// length around the 16- and 64-byte steps of the fold, unaligned, from any
// start value, and a stream of several megabytes.
TEST(Crc32Test, LongInputsMatchZlib) {
    const auto bytes = noise(4 << 20, 11);
    const uint32_t starts[] = {0u, 0xFFFFFFFFu, 0xCBF43926u};
    for (uint32_t start : starts) {
        for (size_t offset : {0, 1, 7, 8, 15}) {
            for (size_t length = kShortCRCInput; length < kShortCRCInput + 200; length++) {
                ASSERT_EQ(streamCRC32(start, bytes.data() + offset, length),
                          zlibCRC(start, bytes.data() + offset, length))
                    << "start " << start << " offset " << offset << " length " << length;
            }
        }
        EXPECT_EQ(streamCRC32(start, bytes.data() + 3, bytes.size() - 3),
                  zlibCRC(start, bytes.data() + 3, bytes.size() - 3));
    }
}

TEST(Crc32Test, PiecesExtendLikeOneRun) {
    // A stream built record by record (short appends through crc32Extend,
    // a long rewrite through zlib) ends at the CRC of the whole stream.
    const auto bytes = noise(5000, 99);
    const uint32_t whole = zlibCRC(0, bytes.data(), bytes.size());
    const size_t pieceLengths[] = {1, 3, 8, 13, 43, 255, 256, 1000};
    for (size_t piece : pieceLengths) {
        SCOPED_TRACE(piece);
        uint32_t crc = 0;
        size_t done = 0;
        while (done < bytes.size()) {
            const size_t n = std::min(piece, bytes.size() - done);
            crc = crc32Extend(crc, bytes.data() + done, n);
            done += n;
        }
        EXPECT_EQ(crc, whole);
        // Mixed: every other piece through zlib.
        crc = 0;
        done = 0;
        for (int i = 0; done < bytes.size(); i++) {
            const size_t n = std::min(piece, bytes.size() - done);
            crc = (i % 2) ? zlibCRC(crc, bytes.data() + done, n) : crc32Extend(crc, bytes.data() + done, n);
            done += n;
        }
        EXPECT_EQ(crc, whole);
    }
}

} // namespace
