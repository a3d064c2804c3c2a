// Reading: malformed and hostile input, the forms that only readers see
// (long and over-long varints), borrowing and copying reads, and the
// index-entry forms used when a data file's records are decoded.

#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExactBytes.h"

using namespace vorn;

namespace {

// Field layout of a plain store's index entry.
struct TestHolder {
    uint16_t computedKVSize = 0xAAAA;
    uint16_t keySize = 0xAAAA;
    uint32_t valueSize = 0xAAAAAAAA;
    uint32_t offset = 0xAAAAAAAA;
};

enum class Error { OutOfRange, InvalidArgument, LengthError };

struct BadInputCase {
    std::string name;
    std::vector<uint8_t> bytes;
    std::function<void(CodedInputData &)> read;
    Error error;
    std::string message;
    size_t positionAfter; // bytes consumed before the failure
};

std::vector<uint8_t> withLength(std::vector<uint8_t> prefix, size_t payload) {
    prefix.resize(prefix.size() + payload, 0x5A);
    return prefix;
}

const std::string kReachEnd0 = "reach end, m_position: 0, m_size: 0";

std::vector<BadInputCase> badInputCases() {
    auto readString = [](CodedInputData &i) { i.readString(); };
    auto readVarint32 = [](CodedInputData &i) { i.readRawVarint32(); };
    auto readInt64 = [](CodedInputData &i) { i.readInt64(); };
    auto readBorrowed = [](CodedInputData &i) { i.readData(false, false); };
    auto readExactly = [](CodedInputData &i) { i.readData(false, true); };
    auto readKey = [](CodedInputData &i) {
        TestHolder kv;
        i.readString(kv);
    };
    const std::string malformed32 = "InvalidProtocolBuffer malformed varint32";
    const std::string malformed64 = "InvalidProtocolBuffer malformedInt64";
    const std::string negative = "InvalidProtocolBuffer negativeSize";
    const std::string truncated = "InvalidProtocolBuffer truncatedMessage";
    return {
        // An empty region: every reader fails at once, naming position 0 and size 0.
        {"empty: raw byte", {}, [](CodedInputData &i) { i.readRawByte(); }, Error::OutOfRange, kReachEnd0, 0},
        {"empty: bool", {}, [](CodedInputData &i) { i.readBool(); }, Error::OutOfRange, kReachEnd0, 0},
        {"empty: int32", {}, [](CodedInputData &i) { i.readInt32(); }, Error::OutOfRange, kReachEnd0, 0},
        {"empty: uint64", {}, [](CodedInputData &i) { i.readUInt64(); }, Error::OutOfRange, kReachEnd0, 0},
        {"empty: float", {}, [](CodedInputData &i) { i.readFloat(); }, Error::OutOfRange, kReachEnd0, 0},
        {"empty: double", {}, [](CodedInputData &i) { i.readDouble(); }, Error::OutOfRange, kReachEnd0, 0},
        {"empty: string", {}, readString, Error::OutOfRange, kReachEnd0, 0},
        {"empty: data", {}, readBorrowed, Error::OutOfRange, kReachEnd0, 0},
        {"empty: key", {}, readKey, Error::OutOfRange, kReachEnd0, 0},
        // Varints that never end.
        {"ten FF then 01: varint32", repeated(0xFF, 10, {0x01}), readVarint32, Error::InvalidArgument, malformed32, 10},
        {"ten FF: varint32", repeated(0xFF, 10), readVarint32, Error::InvalidArgument, malformed32, 10},
        {"ten 80 then 00: varint32", repeated(0x80, 10, {0x00}), readVarint32, Error::InvalidArgument, malformed32, 10},
        {"ten FF: bool", repeated(0xFF, 10), [](CodedInputData &i) { i.readBool(); }, Error::InvalidArgument,
         malformed32, 10},
        {"ten FF then 01: int64", repeated(0xFF, 10, {0x01}), readInt64, Error::InvalidArgument, malformed64, 10},
        {"ten 80: uint64", repeated(0x80, 10), [](CodedInputData &i) { i.readUInt64(); }, Error::InvalidArgument,
         malformed64, 10},
        {"ten FF as a length", repeated(0xFF, 10, {0x01, 0x00}), readString, Error::InvalidArgument, malformed32, 10},
        // The region ends inside a varint that would have been too long anyway.
        {"nine FF: varint32", repeated(0xFF, 9), readVarint32, Error::OutOfRange, "reach end, m_position: 9, m_size: 9",
         9},
        {"nine FF: int64", repeated(0xFF, 9), readInt64, Error::OutOfRange, "reach end, m_position: 9, m_size: 9", 9},
        // Negative lengths, in the 5-byte and in the 10-byte form, and INT32_MIN.
        {"length -1 (5 bytes)", withLength({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 20), readString, Error::LengthError,
         negative, 5},
        {"length -1 (10 bytes)", withLength(repeated(0xFF, 9, {0x01}), 20), readBorrowed, Error::LengthError, negative,
         10},
        {"length INT32_MIN", withLength({0x80, 0x80, 0x80, 0x80, 0x08}, 3), readExactly, Error::LengthError, negative,
         5},
        {"length -2: key", withLength({0xFE, 0xFF, 0xFF, 0xFF, 0x0F}, 3), readKey, Error::LengthError, negative, 5},
        // Lengths beyond the region.
        {"length 10, 9 left: string", withLength({0x0A}, 9), readString, Error::OutOfRange, truncated, 1},
        {"length 10, 9 left: data", withLength({0x0A}, 9), readBorrowed, Error::OutOfRange, truncated, 1},
        {"length 10, 9 left: exactly", withLength({0x0A}, 9), readExactly, Error::OutOfRange, truncated, 1},
        {"length 10, 11 left: exactly", withLength({0x0A}, 11), readExactly, Error::OutOfRange, truncated, 1},
        {"length 1, none left", {0x01}, readString, Error::OutOfRange, truncated, 1},
        {"length INT32_MAX", withLength({0xFF, 0xFF, 0xFF, 0xFF, 0x07}, 4), readString, Error::OutOfRange, truncated,
         5},
        {"length 3, 2 left: key", withLength({0x03}, 2), readKey, Error::OutOfRange, truncated, 1},
    };
}

TEST(CodedInputDataTest, BadInputRaisesItsFixedErrorWithinTheRegion) {
    for (const BadInputCase &c : badInputCases()) {
        SCOPED_TRACE(c.name + ": " + hexOf(c.bytes));
        ExactBytes region(c.bytes); // ASan reports any read past the input
        CodedInputData input(region.data(), region.size());
        try {
            c.read(input);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range &e) {
            EXPECT_EQ(c.error, Error::OutOfRange);
            EXPECT_EQ(std::string(e.what()), c.message);
        } catch (const std::invalid_argument &e) {
            EXPECT_EQ(c.error, Error::InvalidArgument);
            EXPECT_EQ(std::string(e.what()), c.message);
        } catch (const std::length_error &e) {
            EXPECT_EQ(c.error, Error::LengthError);
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(input.getPosition(), c.positionAfter);
    }
}

// Encodings that no writer of ours produces but that readers accept.
TEST(CodedInputDataTest, AcceptsLongAndNonMinimalVarints) {
    struct {
        const char *name;
        std::vector<uint8_t> bytes;
        std::function<int64_t(CodedInputData &)> read;
        int64_t expected;
    } cases[] = {
        {"10-byte -1 as raw varint32", repeated(0xFF, 9, {0x01}), [](CodedInputData &i) { return i.readRawVarint32(); },
         -1},
        {"5-byte -1 as int32", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, [](CodedInputData &i) { return i.readInt32(); }, -1},
        // Bits of the fifth byte beyond 32 fall away.
        {"fifth byte 7F", {0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, [](CodedInputData &i) { return i.readInt32(); }, -1},
        {"padded zero", {0x80, 0x80, 0x00}, [](CodedInputData &i) { return i.readInt32(); }, 0},
        {"10-byte form ending 00", repeated(0x80, 9, {0x00}), [](CodedInputData &i) { return i.readUInt32(); }, 0},
        {"bool from 2", {0x02}, [](CodedInputData &i) { return i.readBool(); }, 1},
        {"bool from 128", {0x80, 0x01}, [](CodedInputData &i) { return i.readBool(); }, 1},
        {"bool from 00", {0x00}, [](CodedInputData &i) { return i.readBool(); }, 0},
        // A tenth byte contributes only its lowest bit.
        {"int64 tenth byte 02", repeated(0x80, 9, {0x02}), [](CodedInputData &i) { return i.readInt64(); }, 0},
        {"int64 tenth byte 7F", repeated(0xFF, 9, {0x7F}), [](CodedInputData &i) { return i.readInt64(); }, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Once at the end of an exact region (byte-by-byte path) and once with
        // room behind the varint.
        for (size_t trailing : {size_t(0), size_t(10)}) {
            std::vector<uint8_t> bytes = c.bytes;
            bytes.resize(bytes.size() + trailing, 0xEE);
            ExactBytes region(bytes);
            CodedInputData input(region.data(), region.size());
            EXPECT_EQ(c.read(input), c.expected);
            EXPECT_EQ(input.getPosition(), c.bytes.size());
        }
    }
}

TEST(CodedInputDataTest, FailedStringReadLeavesTheTargetUnchanged) {
    ExactBytes region(withLength({0x0A}, 9));
    CodedInputData input(region.data(), region.size());
    std::string target = "previous";
    EXPECT_THROW(input.readString(target), std::out_of_range);
    EXPECT_EQ(target, "previous");

    ExactBytes good(std::vector<uint8_t>{0x02, 'o', 'k', 0x00});
    CodedInputData again(good.data(), good.size());
    again.readString(target);
    EXPECT_EQ(target, "ok");
    again.readString(target);
    EXPECT_EQ(target, "");
    EXPECT_TRUE(again.reachedEnd());
}

TEST(CodedInputDataTest, StringReadReplacesWhateverTheTargetHeld) {
    // Shorter, equal, longer and heap-held previous contents: the target ends
    // holding exactly the read bytes, embedded zero included.
    const std::string previous[] = {"", "a", "xyz", "abcd", std::string(40, 'L'), std::string(3, '\0')};
    ExactBytes region(std::vector<uint8_t>{0x03, 'o', 0x00, 'k'});
    for (const auto &before : previous) {
        SCOPED_TRACE(before.size());
        CodedInputData input(region.data(), region.size());
        std::string target = before;
        input.readString(target);
        EXPECT_EQ(target, std::string("o\0k", 3));
        EXPECT_TRUE(input.reachedEnd());
    }
}

TEST(CodedInputDataTest, ReadDataCopiesOrBorrowsFromTheRegion) {
    std::string payload(40, 'p');
    std::vector<uint8_t> bytes = {0x28};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.push_back(0x01);
    ExactBytes region(bytes);

    CodedInputData borrowing(region.data(), region.size());
    VornBuffer borrowed = borrowing.readData(false, false);
    EXPECT_EQ(borrowed.data(), region.data() + 1);
    EXPECT_EQ(borrowed.size(), 40u);
    EXPECT_FALSE(borrowed.ownsBlock());
    EXPECT_EQ(borrowing.getPosition(), 41u);

    CodedInputData copying(region.data(), region.size());
    VornBuffer copied = copying.readData(true, false);
    EXPECT_NE(copied.data(), region.data() + 1);
    EXPECT_TRUE(copied.ownsBlock());
    EXPECT_EQ(std::string(static_cast<const char *>(copied.data()), copied.size()), payload);

    // The item is followed by a byte, so it does not fill the region exactly.
    CodedInputData exact(region.data(), region.size());
    EXPECT_THROW(exact.readData(false, true), std::out_of_range);
}

TEST(CodedInputDataTest, ReadRealDataUnwrapsOneWrittenItem) {
    std::string value = "wrapped value";
    ExactBytes region(pbLengthDelimitedSize(value.size()));
    CodedOutputData output(region.data(), region.size());
    output.writeString(value);

    VornBuffer wrapped(region.data(), region.size(), VornBufferNoCopy);
    VornBuffer inner = CodedInputData::readRealData(wrapped);
    EXPECT_EQ(inner.data(), region.data() + 1); // borrowed from the wrapped buffer
    EXPECT_EQ(std::string(static_cast<const char *>(inner.data()), inner.size()), value);

    VornBuffer shorter(region.data(), region.size() - 1, VornBufferNoCopy);
    try {
        CodedInputData::readRealData(shorter);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "InvalidProtocolBuffer truncatedMessage");
    }
    VornBuffer empty(0);
    EXPECT_THROW(CodedInputData::readRealData(empty), std::out_of_range);
}

TEST(CodedInputDataTest, SeekStopsAtTheEnd) {
    ExactBytes region(8);
    CodedInputData input(region.data(), region.size());
    input.seek(3);
    try {
        input.seek(6);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ(e.what(), "OutOfSpace");
    }
    EXPECT_EQ(input.getPosition(), 3u);
    EXPECT_THROW(input.seek(SIZE_MAX), std::out_of_range); // no wrap-around
    EXPECT_EQ(input.getPosition(), 3u);
    input.seek(5);
    EXPECT_TRUE(input.reachedEnd());
    input.seek(0);
    EXPECT_THROW(input.seek(1), std::out_of_range);
    EXPECT_EQ(input.getPosition(), 8u);
}

// Builds a record stream: a holder varint, then key/value records.
std::vector<uint8_t> recordStream(const std::vector<std::pair<std::string, std::string>> &records,
                                  size_t leading = 10) {
    size_t size = leading;
    for (const auto &r : records)
        size += pbLengthDelimitedSize(r.first.size()) + pbLengthDelimitedSize(r.second.size());
    ExactBytes region(size);
    CodedOutputData output(region.data(), region.size());
    output.seek(leading);
    for (const auto &r : records) {
        output.writeString(r.first);
        output.writeString(r.second);
    }
    EXPECT_EQ(output.spaceLeft(), 0u);
    return region.bytes();
}

TEST(CodedInputDataTest, HolderFormsLocateKeyAndValue) {
    const std::string value300(300, 'v');
    ExactBytes region(recordStream({{"key", value300}, {"k2", ""}, {"k3", "x"}}));
    CodedInputData input(region.data(), region.size());
    input.seek(10);

    TestHolder first;
    EXPECT_EQ(input.readString(first), "key");
    EXPECT_EQ(first.offset, 10u);
    EXPECT_EQ(first.keySize, 3u);
    input.readData(first);
    EXPECT_EQ(first.valueSize, 300u);
    EXPECT_EQ(first.computedKVSize, 1u + 3u + 2u);
    EXPECT_EQ(memcmp(region.data() + first.offset + first.computedKVSize, value300.data(), 300), 0);
    EXPECT_EQ(input.getPosition(), 10u + 6u + 300u); // the value was skipped

    TestHolder deletion;
    EXPECT_EQ(input.readString(deletion), "k2");
    input.readData(deletion);
    EXPECT_EQ(deletion.offset, 316u);
    EXPECT_EQ(deletion.valueSize, 0u);
    EXPECT_EQ(deletion.computedKVSize, 4u);

    TestHolder last;
    EXPECT_EQ(input.readString(last), "k3");
    input.readData(last);
    EXPECT_EQ(last.offset, 320u);
    EXPECT_EQ(region.data()[last.offset + last.computedKVSize], 'x');
    EXPECT_TRUE(input.reachedEnd());
}

TEST(CodedInputDataTest, HolderFormsEnforceTheIndexLimits) {
    struct {
        size_t keyLength;
        size_t valueLength;
        const char *error; // null: accepted
    } cases[] = {
        {65531, 127, nullptr}, // key part 3 + 65531 + 1 = 65535
        {65532, 0, "VORN key too large for uint16 holder"},
        {65531, 128, "VORN computed KV size too large for uint16 holder"}, // key part 65536
        {65000, 20000, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.keyLength) + " / " + std::to_string(c.valueLength));
        ExactBytes region(recordStream({{std::string(c.keyLength, 'k'), std::string(c.valueLength, 'v')}}, 0));
        CodedInputData input(region.data(), region.size());
        TestHolder kv;
        try {
            std::string key = input.readString(kv);
            input.readData(kv);
            EXPECT_EQ(c.error, nullptr);
            EXPECT_EQ(key.size(), c.keyLength);
            EXPECT_EQ(kv.keySize, c.keyLength);
            EXPECT_EQ(kv.valueSize, c.valueLength);
            EXPECT_EQ(kv.computedKVSize, pbRawVarint32Size(uint32_t(c.keyLength)) + c.keyLength +
                                             pbRawVarint32Size(uint32_t(c.valueLength)));
            EXPECT_TRUE(input.reachedEnd());
        } catch (const std::length_error &e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

// A record that starts 4 GiB or more into the stream cannot be indexed in 32
// bits; the reader refuses it instead of recording a wrapped offset. The region
// is a sparse anonymous mapping: only the pages around 4 GiB are touched.
TEST(CodedInputDataTest, RecordAtFourGiBIsRefused) {
    const size_t size = (size_t(1) << 32) + 4096;
    void *mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    uint8_t *base = static_cast<uint8_t *>(mapping);
    struct {
        size_t start;
        bool accepted;
    } cases[] = {{size_t(0xFFFFFFFF), true}, {size_t(1) << 32, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.start);
        base[c.start] = 0x01; // key length 1
        base[c.start + 1] = 'k';
        CodedInputData input(base, size);
        input.seek(c.start);
        TestHolder kv;
        if (c.accepted) {
            EXPECT_EQ(input.readString(kv), "k");
            EXPECT_EQ(kv.offset, 0xFFFFFFFFu);
        } else {
            try {
                input.readString(kv);
                ADD_FAILURE() << "no exception";
            } catch (const std::length_error &e) {
                EXPECT_STREQ(e.what(), "VORN record offset too large for uint32 holder");
            }
            EXPECT_EQ(input.getPosition(), c.start);
        }
    }
    munmap(mapping, size);
}

} // namespace
