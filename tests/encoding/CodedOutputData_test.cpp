// Writing: running out of room, items too long for the format, sources that
// overlap the region, and the position operations callers use to write in place.

#include "encoding/CodedOutputData.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExactBytes.h"

using namespace vorn;

namespace {

VornBuffer borrow(const std::string &s) {
    return VornBuffer(const_cast<char *>(s.data()), s.size(), VornBufferNoCopy);
}

struct NoRoomCase {
    std::string name;
    size_t regionSize;
    std::function<void(CodedOutputData &)> write; // the last write fails
    std::string message;
    std::vector<uint8_t> regionAfter;
    size_t positionAfter;
};

std::vector<NoRoomCase> noRoomCases() {
    const std::string hello = "hello";
    const std::string long128(128, 'x');
    return {
        {"byte into nothing", 0, [](CodedOutputData &o) { o.writeRawByte(1); }, "m_position: 0 m_size: 0", {}, 0},
        {"empty string into nothing",
         0,
         [](CodedOutputData &o) { o.writeString(""); },
         "m_position: 0 m_size: 0",
         {},
         0},
        {"uint32 300 fills 2 bytes, then a byte",
         2,
         [](CodedOutputData &o) {
             o.writeUInt32(300);
             o.writeRawByte(7);
         },
         "m_position: 2 m_size: 2",
         {0xAC, 0x02},
         2},
        {"bool after bool",
         1,
         [](CodedOutputData &o) {
             o.writeBool(true);
             o.writeBool(false);
         },
         "m_position: 1 m_size: 1",
         {0x01},
         1},
        {"int32 -1 into 3 bytes",
         3,
         [](CodedOutputData &o) { o.writeInt32(-1); },
         "m_position: 3 m_size: 3",
         {0xFF, 0xFF, 0xFF},
         3},
        {"raw varint32 -1 into 4 bytes",
         4,
         [](CodedOutputData &o) { o.writeRawVarint32(-1); },
         "m_position: 4 m_size: 4",
         {0xFF, 0xFF, 0xFF, 0xFF},
         4},
        {"uint64 2^35 into 4 bytes",
         4,
         [](CodedOutputData &o) { o.writeUInt64(1ull << 35); },
         "m_position: 4 m_size: 4",
         {0x80, 0x80, 0x80, 0x80},
         4},
        {"int64 min into 9 bytes", 9, [](CodedOutputData &o) { o.writeInt64(INT64_MIN); }, "m_position: 9 m_size: 9",
         repeated(0x80, 9), 9},
        {"float into 3 bytes",
         3,
         [](CodedOutputData &o) { o.writeFloat(1.0f); },
         "m_position: 3 m_size: 3",
         {0x00, 0x00, 0x80},
         3},
        {"fixed32 into 3 bytes",
         3,
         [](CodedOutputData &o) { o.writeRawLittleEndian32(0x12345678); },
         "m_position: 3 m_size: 3",
         {0x78, 0x56, 0x34},
         3},
        {"double into 7 bytes",
         7,
         [](CodedOutputData &o) { o.writeDouble(1.0); },
         "m_position: 7 m_size: 7",
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0},
         7},
        {"fixed64 into 7 bytes",
         7,
         [](CodedOutputData &o) { o.writeRawLittleEndian64(0x0102030405060708); },
         "m_position: 7 m_size: 7",
         {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02},
         7},
        {"string of 5 into 4 bytes: prefix written",
         4,
         [hello](CodedOutputData &o) { o.writeString(hello); },
         "m_position: 1, numberOfBytes: 5, m_size: 4",
         {0x05, 0x00, 0x00, 0x00},
         1},
        {"data of 5 into 4 bytes: prefix written",
         4,
         [hello](CodedOutputData &o) { o.writeData(borrow(hello)); },
         "m_position: 1, numberOfBytes: 5, m_size: 4",
         {0x05, 0x00, 0x00, 0x00},
         1},
        {"raw data of 5 into 4 bytes: nothing written",
         4,
         [hello](CodedOutputData &o) { o.writeRawData(borrow(hello)); },
         "m_position: 0, numberOfBytes: 5, m_size: 4",
         {0x00, 0x00, 0x00, 0x00},
         0},
        {"raw data of 5 after 2 into 6",
         6,
         [hello](CodedOutputData &o) {
             o.writeRawByte(0x11);
             o.writeRawByte(0x22);
             o.writeRawData(borrow(hello));
         },
         "m_position: 2, numberOfBytes: 5, m_size: 6",
         {0x11, 0x22, 0x00, 0x00, 0x00, 0x00},
         2},
        {"string of 128 into 1 byte: prefix cut",
         1,
         [long128](CodedOutputData &o) { o.writeString(long128); },
         "m_position: 1 m_size: 1",
         {0x80},
         1},
    };
}

TEST(CodedOutputDataTest, WritesThatDoNotFitStopAtTheRegionEnd) {
    for (const NoRoomCase &c : noRoomCases()) {
        SCOPED_TRACE(c.name);
        ExactBytes region(c.regionSize); // ASan reports any write beyond the region
        CodedOutputData output(region.data(), region.size());
        try {
            c.write(output);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range &e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(hexOf(region.bytes()), hexOf(c.regionAfter));
        EXPECT_EQ(output.getPosition(), c.positionAfter);
    }
}

// A length prefix is read back as an int32: an item of 2^31 bytes or more
// would make an unreadable record, so it is refused before anything is written.
TEST(CodedOutputDataTest, ItemsBeyondInt32LengthAreRefused) {
    // Never read: every case fails before copying. Read back through a
    // volatile pointer, so that the compiler does not size the huge views
    // below against a 1-byte object and warn about a copy that never runs.
    uint8_t sourceByte = 0;
    uint8_t *volatile hidden = &sourceByte;
    uint8_t *source = hidden;
    ExactBytes region(16);
    {
        CodedOutputData output(region.data(), region.size());
        VornBuffer huge(source, size_t(1) << 31, VornBufferNoCopy);
        try {
            output.writeData(huge);
            ADD_FAILURE() << "no exception";
        } catch (const std::length_error &e) {
            EXPECT_STREQ(e.what(), "VORN length too large for varint32 prefix: 2147483648");
        }
        EXPECT_EQ(output.getPosition(), 0u);
        EXPECT_EQ(hexOf(region.bytes()), hexOf(std::vector<uint8_t>(16, 0)));
    }
    {
        // The largest length is written, then its bytes do not fit.
        CodedOutputData output(region.data(), region.size());
        VornBuffer largest(source, 0x7FFFFFFF, VornBufferNoCopy);
        try {
            output.writeData(largest);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range &e) {
            EXPECT_STREQ(e.what(), "m_position: 5, numberOfBytes: 2147483647, m_size: 16");
        }
        EXPECT_EQ(output.getPosition(), 5u);
    }
}

// A record is sometimes rewritten from bytes of the same region (its key moved
// toward the start of the stream), so the copy must allow overlap.
TEST(CodedOutputDataTest, SourceMayOverlapTheRegion) {
    ExactBytes region(16);
    for (size_t i = 0; i < 16; i++)
        region.data()[i] = static_cast<uint8_t>(0x40 + i);
    CodedOutputData output(region.data(), region.size());
    output.writeData(VornBuffer(region.data() + 2, 6, VornBufferNoCopy));
    output.writeRawData(region.data() + 8, 8);
    EXPECT_EQ(output.getPosition(), 15u);
    EXPECT_EQ(hexOf(region.bytes()),
              hexOf({0x06, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x4F}));
}

TEST(CodedOutputDataTest, CallersWriteInPlaceAndMoveThePosition) {
    ExactBytes region(8);
    CodedOutputData output(region.data(), region.size());
    output.writeRawByte(0x01);
    EXPECT_EQ(output.curWritePointer(), region.data() + 1);
    memcpy(output.curWritePointer(), "abc", 3);
    output.seek(3);
    output.writeRawByte(0x02);
    EXPECT_EQ(output.getPosition(), 5u);
    EXPECT_EQ(output.spaceLeft(), 3u);

    try {
        output.seek(4);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "OutOfSpace");
    }
    EXPECT_THROW(output.seek(SIZE_MAX), std::out_of_range); // no wrap-around
    EXPECT_EQ(output.getPosition(), 5u);

    // Positions beyond the end are refused, so no later write can leave the region.
    EXPECT_THROW(output.setPosition(9), std::out_of_range);
    EXPECT_EQ(output.getPosition(), 5u);
    output.setPosition(8);
    EXPECT_EQ(output.spaceLeft(), 0u);
    EXPECT_THROW(output.writeUInt64(1), std::out_of_range);

    output.reset();
    EXPECT_EQ(output.getPosition(), 0u);
    output.writeRawLittleEndian32(0x04030201);
    EXPECT_EQ(hexOf(region.bytes()), hexOf({0x01, 0x02, 0x03, 0x04, 0x02, 0x00, 0x00, 0x00}));
}

} // namespace
