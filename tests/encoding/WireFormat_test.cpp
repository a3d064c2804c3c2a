// The wire format's bytes: one table of values x types with their exact
// encoding and encoded size, read back, and cut short at every length.

#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"
#include "encoding/PBUtility.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExactBytes.h"

using namespace vorn;

namespace {

struct WireCase {
    std::string name;
    std::function<void(CodedOutputData &)> write;
    size_t computedSize; // what the size helper says the writer needs
    std::vector<uint8_t> bytes;
    std::function<void(CodedInputData &)> readAndCheck;
    size_t lengthPrefix; // bytes of the length prefix of a length-delimited item, else 0
};

std::vector<uint8_t> bytesOf(const std::string &s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

WireCase boolCase(bool v, std::vector<uint8_t> bytes) {
    return {std::string("bool ") + (v ? "true" : "false"),
            [v](CodedOutputData &o) { o.writeBool(v); },
            pbBoolSize(),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readBool(), v); },
            0};
}

WireCase int32Case(int32_t v, std::vector<uint8_t> bytes) {
    return {"int32 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeInt32(v); },
            pbInt32Size(v),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readInt32(), v); },
            0};
}

WireCase rawVarint32Case(int32_t v, std::vector<uint8_t> bytes) {
    return {"raw varint32 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeRawVarint32(v); },
            pbRawVarint32Size(static_cast<uint32_t>(v)),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readRawVarint32(), v); },
            0};
}

WireCase uint32Case(uint32_t v, std::vector<uint8_t> bytes) {
    return {"uint32 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeUInt32(v); },
            pbUInt32Size(v),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readUInt32(), v); },
            0};
}

WireCase int64Case(int64_t v, std::vector<uint8_t> bytes) {
    return {"int64 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeInt64(v); },
            pbInt64Size(v),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readInt64(), v); },
            0};
}

WireCase uint64Case(uint64_t v, std::vector<uint8_t> bytes) {
    return {"uint64 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeUInt64(v); },
            pbUInt64Size(v),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readUInt64(), v); },
            0};
}

WireCase fixed32Case(int32_t v, std::vector<uint8_t> bytes) {
    return {"fixed32 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeRawLittleEndian32(v); },
            kFixed32Size,
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readRawLittleEndian32(), v); },
            0};
}

WireCase fixed64Case(int64_t v, std::vector<uint8_t> bytes) {
    return {"fixed64 " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeRawLittleEndian64(v); },
            kFixed64Size,
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(i.readRawLittleEndian64(), v); },
            0};
}

WireCase floatCase(float v, std::vector<uint8_t> bytes) {
    return {"float " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeFloat(v); },
            pbFloatSize(),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(floatToBits(i.readFloat()), floatToBits(v)); },
            0};
}

WireCase doubleCase(double v, std::vector<uint8_t> bytes) {
    return {"double " + std::to_string(v),
            [v](CodedOutputData &o) { o.writeDouble(v); },
            pbDoubleSize(),
            bytes,
            [v](CodedInputData &i) { EXPECT_EQ(doubleToBits(i.readDouble()), doubleToBits(v)); },
            0};
}

WireCase stringCase(const std::string &v, std::vector<uint8_t> prefix) {
    size_t prefixSize = prefix.size();
    return {"string of " + std::to_string(v.size()),
            [v](CodedOutputData &o) { o.writeString(v); },
            pbLengthDelimitedSize(v.size()),
            concat(prefix, bytesOf(v)),
            [v](CodedInputData &i) { EXPECT_EQ(i.readString(), v); },
            prefixSize};
}

WireCase dataCase(const std::string &v, std::vector<uint8_t> prefix) {
    size_t prefixSize = prefix.size();
    return {"data of " + std::to_string(v.size()),
            [v](CodedOutputData &o) {
                VornBuffer b(const_cast<char *>(v.data()), v.size(), VornBufferNoCopy);
                o.writeData(b);
            },
            pbLengthDelimitedSize(v.size()),
            concat(prefix, bytesOf(v)),
            [v](CodedInputData &i) {
                VornBuffer b = i.readData(true, false);
                EXPECT_EQ(std::string(static_cast<const char *>(b.data()), b.size()), v);
            },
            prefixSize};
}

WireCase rawDataCase(const std::string &v) {
    return {"raw data of " + std::to_string(v.size()),
            [v](CodedOutputData &o) {
                VornBuffer b(const_cast<char *>(v.data()), v.size(), VornBufferNoCopy);
                o.writeRawData(b);
            },
            v.size(),
            bytesOf(v),
            [v](CodedInputData &i) {
                std::string got;
                for (size_t k = 0; k < v.size(); k++)
                    got += static_cast<char>(i.readRawByte());
                EXPECT_EQ(got, v);
            },
            0};
}

const std::string kBinary("a\0\xff\x80z", 5);
const std::string k128(128, 'x');

std::vector<WireCase> wireCases() {
    return {
        boolCase(true, {0x01}),
        boolCase(false, {0x00}),
        int32Case(0, {0x00}),
        int32Case(1, {0x01}),
        int32Case(127, {0x7F}),
        int32Case(128, {0x80, 0x01}),
        int32Case(300, {0xAC, 0x02}),
        int32Case(INT32_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0x07}),
        int32Case(-1, repeated(0xFF, 9, {0x01})),
        int32Case(INT32_MIN, {0x80, 0x80, 0x80, 0x80, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
        rawVarint32Case(-1, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
        rawVarint32Case(300, {0xAC, 0x02}),
        uint32Case(300, {0xAC, 0x02}),
        uint32Case(16383, {0xFF, 0x7F}),
        uint32Case(16384, {0x80, 0x80, 0x01}),
        uint32Case(UINT32_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
        int64Case(0, {0x00}),
        int64Case(-1, repeated(0xFF, 9, {0x01})),
        int64Case(INT64_MIN, repeated(0x80, 9, {0x01})),
        int64Case(INT64_MAX, repeated(0xFF, 8, {0x7F})),
        uint64Case(1ull << 63, repeated(0x80, 9, {0x01})),
        uint64Case(1ull << 56, repeated(0x80, 8, {0x01})),
        uint64Case(UINT64_MAX, repeated(0xFF, 9, {0x01})),
        fixed32Case(1, {0x01, 0x00, 0x00, 0x00}),
        fixed32Case(0x12345678, {0x78, 0x56, 0x34, 0x12}),
        fixed32Case(-2, {0xFE, 0xFF, 0xFF, 0xFF}),
        fixed64Case(0x0102030405060708, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}),
        fixed64Case(-1, repeated(0xFF, 8)),
        floatCase(1.0f, {0x00, 0x00, 0x80, 0x3F}),
        floatCase(-2.5f, {0x00, 0x00, 0x20, 0xC0}),
        doubleCase(1.0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3F}),
        doubleCase(-0.0, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}),
        doubleCase(0.1, {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}),
        stringCase("abc", {0x03}),
        stringCase("", {0x00}),
        stringCase(kBinary, {0x05}),
        stringCase(k128, {0x80, 0x01}),
        dataCase("abc", {0x03}),
        dataCase("", {0x00}),
        dataCase(k128, {0x80, 0x01}),
        rawDataCase("abc"),
    };
}

TEST(WireFormatTest, EachValueEncodesToItsExactBytesAndComputedSize) {
    for (const WireCase &c : wireCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.computedSize, c.bytes.size());
        ExactBytes region(c.bytes.size()); // room for exactly the encoding: ASan reports any write beyond
        CodedOutputData output(region.data(), region.size());
        c.write(output);
        EXPECT_EQ(output.getPosition(), c.bytes.size());
        EXPECT_EQ(output.spaceLeft(), 0u);
        EXPECT_EQ(hexOf(region.bytes()), hexOf(c.bytes));
    }
}

TEST(WireFormatTest, EachEncodingReadsBackToItsValue) {
    for (const WireCase &c : wireCases()) {
        SCOPED_TRACE(c.name);
        ExactBytes region(c.bytes);
        CodedInputData input(region.data(), region.size());
        c.readAndCheck(input);
        EXPECT_EQ(input.getPosition(), c.bytes.size());
        EXPECT_TRUE(input.reachedEnd());
    }
}

TEST(WireFormatTest, EveryEncodingCutShortFailsWithoutReadingPastTheCut) {
    for (const WireCase &c : wireCases()) {
        for (size_t cut = 0; cut < c.bytes.size(); cut++) {
            SCOPED_TRACE(c.name + " cut to " + std::to_string(cut));
            ExactBytes region(c.bytes, cut);
            CodedInputData input(region.data(), region.size());
            // Inside the length prefix (or any other item) the bytes run out; after
            // a complete prefix the item is longer than what is left.
            bool inPrefix = c.lengthPrefix == 0 || cut < c.lengthPrefix;
            std::string expected =
                inPrefix ? "reach end, m_position: " + std::to_string(cut) + ", m_size: " + std::to_string(cut)
                         : "InvalidProtocolBuffer truncatedMessage";
            try {
                c.readAndCheck(input);
                ADD_FAILURE() << "no exception";
            } catch (const std::out_of_range &e) {
                EXPECT_EQ(std::string(e.what()), expected);
            }
            EXPECT_EQ(input.getPosition(), inPrefix ? cut : c.lengthPrefix);
        }
    }
}

// Every varint width boundary, for every integer writer: the size helper names
// exactly the bytes written, and the value reads back.
TEST(WireFormatTest, BoundaryValuesRoundTripInTheirComputedSize) {
    std::vector<uint64_t> values = {0};
    for (int bit = 0; bit < 64; bit++) {
        uint64_t p = 1ull << bit;
        values.insert(values.end(), {p - 1, p, p + 1, ~(p - 1), ~p});
    }
    for (uint64_t raw : values) {
        SCOPED_TRACE(raw);
        struct Roundtrip {
            const char *type;
            size_t size;
            std::function<void(CodedOutputData &)> write;
            std::function<void(CodedInputData &)> check;
        } trips[] = {
            {"int32", pbInt32Size(int32_t(raw)), [&](CodedOutputData &o) { o.writeInt32(int32_t(raw)); },
             [&](CodedInputData &i) { EXPECT_EQ(i.readInt32(), int32_t(raw)); }},
            {"raw varint32", pbRawVarint32Size(uint32_t(raw)),
             [&](CodedOutputData &o) { o.writeRawVarint32(int32_t(raw)); },
             [&](CodedInputData &i) { EXPECT_EQ(i.readRawVarint32(), int32_t(raw)); }},
            {"uint32", pbUInt32Size(uint32_t(raw)), [&](CodedOutputData &o) { o.writeUInt32(uint32_t(raw)); },
             [&](CodedInputData &i) { EXPECT_EQ(i.readUInt32(), uint32_t(raw)); }},
            {"int64", pbInt64Size(int64_t(raw)), [&](CodedOutputData &o) { o.writeInt64(int64_t(raw)); },
             [&](CodedInputData &i) { EXPECT_EQ(i.readInt64(), int64_t(raw)); }},
            {"raw varint64", pbInt64Size(int64_t(raw)), [&](CodedOutputData &o) { o.writeRawVarint64(int64_t(raw)); },
             [&](CodedInputData &i) { EXPECT_EQ(i.readInt64(), int64_t(raw)); }},
            {"uint64", pbUInt64Size(raw), [&](CodedOutputData &o) { o.writeUInt64(raw); },
             [&](CodedInputData &i) { EXPECT_EQ(i.readUInt64(), raw); }},
        };
        for (const Roundtrip &t : trips) {
            SCOPED_TRACE(t.type);
            ExactBytes region(t.size);
            CodedOutputData output(region.data(), region.size());
            t.write(output);
            EXPECT_EQ(output.spaceLeft(), 0u);
            CodedInputData input(region.data(), region.size());
            t.check(input);
            EXPECT_TRUE(input.reachedEnd());
        }
    }
}

TEST(WireFormatTest, SizeHelpersCountSevenBitGroups) {
    struct {
        uint64_t value;
        uint32_t varint32Size; // of the value cut to 32 bits
        uint32_t uint64Size;
    } cases[] = {
        {0, 1, 1},           {127, 1, 1},
        {128, 2, 2},         {(1u << 14) - 1, 2, 2},
        {1u << 14, 3, 3},    {(1u << 21) - 1, 3, 3},
        {1u << 21, 4, 4},    {(1u << 28) - 1, 4, 4},
        {1u << 28, 5, 5},    {UINT32_MAX, 5, 5},
        {1ull << 35, 1, 6},  {(1ull << 63) - 1, 5, 9},
        {1ull << 63, 1, 10}, {UINT64_MAX, 5, 10},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(pbRawVarint32Size(static_cast<uint32_t>(c.value)), c.varint32Size);
        EXPECT_EQ(pbUInt64Size(c.value), c.uint64Size);
    }
    EXPECT_EQ(pbInt32Size(-1), 10u);
    EXPECT_EQ(pbInt32Size(INT32_MIN), 10u);
    EXPECT_EQ(pbInt64Size(-1), 10u);
    EXPECT_EQ(pbLengthDelimitedSize(0), 1u);
    EXPECT_EQ(pbLengthDelimitedSize(127), 128u);
    EXPECT_EQ(pbLengthDelimitedSize(128), 130u);
}

} // namespace
