// Reading an encrypted item stream: entries in the right form with the right
// bytes, the cipher in step with the stream, a bounded buffer, and hostile
// lengths refused before anything is decrypted or buffered for them.

#include "encoding/CodedInputDataCrypt.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExactBytes.h"
#include "RecordStream.h"

using namespace vorn;
using namespace recordstream;

namespace {

Bytes bytesOf(const VornBuffer &buffer) {
    auto p = static_cast<const uint8_t *>(buffer.data());
    return Bytes(p, p + buffer.size());
}

template <typename T> T field(T value) {
    return value;
}

struct Decoded {
    std::string key;
    CryptIndexEntry kv;
};

// Reads records until the end of the region.
std::vector<Decoded> readRecords(CodedInputDataCrypt &input) {
    std::vector<Decoded> out;
    while (!input.reachedEnd()) {
        Decoded record;
        record.key = input.readString(record.kv);
        input.readData(record.kv);
        out.push_back(std::move(record));
    }
    return out;
}

// Bytes of the region the cipher has passed, found by comparing its state
// with the state after each prefix of the ciphertext.
size_t cipherPassed(const AESCrypt &cipher, ExactBytes &cipherText, bool aes256 = false) {
    const std::string status = statusOf(cipher);
    for (size_t k = 0; k <= cipherText.size(); k++) {
        if (statusAfter(cipherText.data(), k, aes256) == status) {
            return k;
        }
    }
    return SIZE_MAX;
}

// Checks every decoded record against what was written: the key, the value
// (an offset-form entry decrypted through a reference cipher), the entry form
// and, for the offset form, the position fields.
void expectRecords(const std::vector<Decoded> &decoded, const std::vector<Record> &written, const StreamBuilder &stream,
                   size_t firstIndex, ExactBytes &cipherText, bool aes256) {
    ASSERT_EQ(decoded.size(), written.size());
    AESCrypt reference = makeCipher(aes256);
    for (size_t i = 0; i < written.size(); i++) {
        SCOPED_TRACE("record " + std::to_string(i) + " key " + written[i].key);
        const CryptIndexEntry &kv = decoded[i].kv;
        const size_t length = written[i].value.size();
        EXPECT_EQ(decoded[i].key, written[i].key);
        EXPECT_EQ(kv.realValueSize(), length);
        if (length > 256) {
            EXPECT_EQ(kv.kind, KVHolderOffset);
            EXPECT_EQ(field(kv.offset), stream.recordOffset(firstIndex + i));
            EXPECT_EQ(field(kv.keySize), written[i].key.size());
            EXPECT_EQ(kv.recordSize(),
                      stream.valueOffset(firstIndex + i) + length - stream.recordOffset(firstIndex + i));
            EXPECT_EQ(statusOf(kv.cryptStatus),
                      statusAfter(cipherText.data(), stream.recordOffset(firstIndex + i), aes256));
        } else {
            EXPECT_EQ(kv.kind, length <= 27 ? KVHolderInline : KVHolderHeap);
        }
        EXPECT_EQ(bytesOf(kv.toVornBuffer(cipherText.data(), &reference)), written[i].value);
    }
}

std::vector<Record> shortValueRecords() {
    return {{"a", patternBytes(1, 1)},         {"empty", {}},
            {"inline27", patternBytes(27, 2)}, {"heap28", patternBytes(28, 3)},
            {"k", patternBytes(255, 4)},       {std::string(40, 'K'), patternBytes(256, 5)},
            {"b", patternBytes(3, 6)},         {"z", patternBytes(100, 7)}};
}

std::vector<Record> mixedRecords() {
    return {{"a", patternBytes(5, 1)},
            {"big257", patternBytes(257, 2)}, // starts mid-block
            {"c", patternBytes(256, 3)},
            {"sixteen_key_13", patternBytes(300, 4)},
            {"long", patternBytes(5000, 5)}, // many buffer refills
            {std::string(29, 'q'), patternBytes(257, 6)},
            {"tail", patternBytes(2, 7)},
            {"last", patternBytes(16384, 8)}}; // 3-byte value length, ends the region
}

TEST(CodedInputDataCryptTest, ReadsEveryRecordAndEndsWithTheCipherAtTheEnd) {
    struct Case {
        const char *name;
        std::vector<Record> records;
        bool aes256;
        size_t varintPadding = 0;
    } cases[] = {
        {"values of 256 bytes or less, AES-128", shortValueRecords(), false},
        {"values of 256 bytes or less, AES-256", shortValueRecords(), true},
        {"values of 257 bytes and more, AES-128", mixedRecords(), false},
        {"values of 257 bytes and more, AES-256", mixedRecords(), true},
        // Lengths in a longer form than this library writes: the entry still
        // starts at the record's first byte.
        {"non-minimal length varints", mixedRecords(), false, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        StreamBuilder stream(4);
        for (const auto &r : c.records) {
            stream.add(r.key, r.value, c.varintPadding);
        }
        ExactBytes cipherText = encrypted(stream.bytes(), c.aes256);

        AESCrypt cipher = makeCipher(c.aes256);
        CodedInputDataCrypt input(cipherText.data(), cipherText.size(), cipher);
        EXPECT_EQ(input.readInt32(), 0);
        std::vector<Decoded> decoded = readRecords(input);
        expectRecords(decoded, c.records, stream, 0, cipherText, c.aes256);
        // The same state as decrypting the whole region in one call.
        EXPECT_EQ(statusOf(cipher), statusAfter(cipherText.data(), cipherText.size(), c.aes256));
    }
}

// A partial load: the cipher already stands at a record boundary (anywhere in
// a block) and the reader skips the bytes before it.
TEST(CodedInputDataCryptTest, StartsFromAnyPlaceInACipherBlock) {
    StreamBuilder stream(1);
    std::vector<Record> records;
    for (size_t i = 0; i < 80; i++) {
        // Record sizes 4, 5, 6, ... walk the boundaries through every residue.
        Bytes value = patternBytes(i % 3 == 2 ? 260 + i : i, static_cast<uint8_t>(i));
        records.push_back({std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i), value});
        stream.add(records.back().key, value);
    }
    ExactBytes cipherText = encrypted(stream.bytes());

    std::vector<bool> residueSeen(16, false);
    for (size_t first = 0; first < records.size(); first++) {
        const size_t boundary = stream.recordOffset(first);
        residueSeen[boundary % 16] = true;
        SCOPED_TRACE("from record " + std::to_string(first) + " at " + std::to_string(boundary));

        AESCrypt cipher = makeCipher();
        Bytes skipped(boundary);
        cipher.decrypt(cipherText.data(), skipped.data(), boundary);
        CodedInputDataCrypt input(cipherText.data(), cipherText.size(), cipher);
        input.seek(boundary);
        std::vector<Decoded> decoded = readRecords(input);
        expectRecords(decoded, std::vector<Record>(records.begin() + first, records.end()), stream, first, cipherText,
                      false);
        EXPECT_EQ(statusOf(cipher), statusAfter(cipherText.data(), cipherText.size()));
    }
    for (size_t r = 0; r < 16; r++) {
        EXPECT_TRUE(residueSeen[r]) << "no record starts at residue " << r;
    }
}

TEST(CodedInputDataCryptTest, BufferGrowsForALongKeyAndIsReusedAfterwards) {
    StreamBuilder stream(4);
    std::vector<Record> records;
    records.push_back({std::string(100, 'x'), patternBytes(10, 1)});
    for (int i = 0; i < 2000; i++) {
        records.push_back({"key_" + std::to_string(i), patternBytes(static_cast<size_t>(i % 40), 2)});
        if (i % 100 == 50) {
            records.push_back({"large_" + std::to_string(i), patternBytes(1000, 3)});
        }
    }
    for (const auto &r : records) {
        stream.add(r.key, r.value);
    }
    ExactBytes cipherText = encrypted(stream.bytes());

    AESCrypt cipher = makeCipher();
    CodedInputDataCrypt input(cipherText.data(), cipherText.size(), cipher);
    EXPECT_EQ(input.bufferCapacity(), 32u);
    input.readInt32();
    Decoded first;
    first.key = input.readString(first.kv);
    input.readData(first.kv);
    EXPECT_EQ(first.key, records[0].key);
    const size_t grown = input.bufferCapacity();
    EXPECT_GT(grown, 100u);
    EXPECT_LT(grown, 100u + 32 + 32) << "growth is by what the read needs";

    std::vector<Decoded> rest = readRecords(input);
    // Later records start further into the buffer: it is compacted, not grown.
    EXPECT_EQ(input.bufferCapacity(), grown);
    rest.insert(rest.begin(), std::move(first));
    expectRecords(rest, records, stream, 0, cipherText, false);
}

enum class Error { OutOfRange, InvalidArgument, LengthError };

struct BadCase {
    const char *name;
    Bytes plain;
    std::function<void(CodedInputDataCrypt &)> read;
    Error error;
    std::string message;
    size_t maxCipherPassed; // the cipher never passes more of the region than this
};

Bytes varint(uint64_t value) {
    Bytes out;
    appendVarint(out, value);
    return out;
}

Bytes concat(std::vector<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST(CodedInputDataCryptTest, HostileInputFailsBeforeDecryptingOrBufferingIt) {
    auto readRecord = [](CodedInputDataCrypt &input) {
        input.readInt32();
        CryptIndexEntry kv;
        input.readString(kv);
        input.readData(kv);
    };
    const std::string truncated = "InvalidProtocolBuffer truncatedMessage";
    std::vector<BadCase> cases = {
        // A key length within the region but beyond the key limit: refused
        // before the 70000 key bytes are decrypted or buffered.
        {"key beyond the key limit", concat({{0x00}, varint(70000), patternBytes(70010, 1)}), readRecord,
         Error::LengthError, "VORN key too large for uint16 holder", 16},
        {"key of 65532 bytes", concat({{0x00}, varint(65532), patternBytes(65540, 1)}), readRecord, Error::LengthError,
         "VORN key too large for uint16 holder", 16},
        {"key length beyond the region", concat({{0x00}, varint(0x7FFFFFFF), patternBytes(40, 1)}), readRecord,
         Error::OutOfRange, truncated, 16},
        {"negative key length", concat({{0x00}, repeated(0xFF, 9, {0x01}), patternBytes(40, 1)}), readRecord,
         Error::LengthError, "InvalidProtocolBuffer negativeSize", 16},
        {"key cut short", concat({{0x00}, varint(5), {'a', 'b', 'c'}}), readRecord, Error::OutOfRange, truncated, 5},
        // A value length beyond what is left: nothing of the value is decrypted
        // beyond the look-ahead block of its length varint.
        {"value length beyond the region", concat({{0x00}, varint(1), {'k'}, varint(1000), patternBytes(300, 2)}),
         readRecord, Error::OutOfRange, truncated, 16},
        {"257-byte value one byte short", concat({{0x00}, varint(1), {'k'}, varint(257), patternBytes(256, 2)}),
         readRecord, Error::OutOfRange, truncated, 16},
        {"negative value length", concat({{0x00}, varint(1), {'k'}, repeated(0xFF, 9, {0x01}), patternBytes(40, 2)}),
         readRecord, Error::LengthError, "InvalidProtocolBuffer negativeSize", 16},
        {"malformed varint", concat({{0x00}, repeated(0xFF, 10), patternBytes(40, 3)}), readRecord,
         Error::InvalidArgument, "InvalidProtocolBuffer malformed varint32", 16},
        {"varint cut by the end", concat({{0x00}, {0x81, 0x82}}), readRecord, Error::OutOfRange,
         "reach end, m_position: 3, m_size: 3", 3},
        {"byte at the end",
         {0x00},
         [](CodedInputDataCrypt &input) {
             input.readRawByte();
             input.readRawByte();
         },
         Error::OutOfRange,
         "reach end, m_position: 1, m_size: 1",
         1},
        {"empty region",
         {},
         [](CodedInputDataCrypt &input) { input.readInt32(); },
         Error::OutOfRange,
         "reach end, m_position: 0, m_size: 0",
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ExactBytes cipherText = encrypted(c.plain);
        AESCrypt cipher = makeCipher();
        CodedInputDataCrypt input(cipherText.data(), cipherText.size(), cipher);
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
        EXPECT_LE(cipherPassed(cipher, cipherText), c.maxCipherPassed);
        EXPECT_EQ(input.bufferCapacity(), 32u);
    }
}

TEST(CodedInputDataCryptTest, SeekStaysInsideTheRegionAndOnlyBeforeReading) {
    StreamBuilder stream(4);
    stream.add("k", patternBytes(10, 1));
    ExactBytes cipherText = encrypted(stream.bytes());
    AESCrypt cipher = makeCipher();
    CodedInputDataCrypt input(cipherText.data(), cipherText.size(), cipher);
    try {
        input.seek(cipherText.size() + 1);
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range &e) {
        EXPECT_EQ(std::string(e.what()), "OutOfSpace");
    }
    EXPECT_EQ(input.getPosition(), 0u);
    input.seek(cipherText.size());
    EXPECT_TRUE(input.reachedEnd());

    AESCrypt other = makeCipher();
    CodedInputDataCrypt reading(cipherText.data(), cipherText.size(), other);
    reading.readInt32();
    EXPECT_THROW(reading.seek(1), std::logic_error);
}

// A record starting 4 GiB or more into the stream cannot be indexed in 32
// bits. The region is a sparse anonymous mapping; the reader seeks to the
// record with a cipher that stands at its state there (a fresh one here).
TEST(CodedInputDataCryptTest, RecordAtFourGiBIsRefused) {
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
        const uint8_t record[] = {0x01, 'k', 0x01, 'v'};
        AESCrypt writer = makeCipher();
        writer.encrypt(record, base + c.start, sizeof(record));
        AESCrypt cipher = makeCipher();
        CodedInputDataCrypt input(base, size, cipher);
        input.seek(c.start);
        CryptIndexEntry kv;
        if (c.accepted) {
            EXPECT_EQ(input.readString(kv), "k");
            EXPECT_EQ(field(kv.offset), 0xFFFFFFFFu);
            input.readData(kv);
            EXPECT_EQ(bytesOf(kv.toVornBuffer(nullptr, nullptr)), Bytes{'v'});
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
