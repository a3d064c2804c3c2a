// DataStream on its own: the exact bytes an append lays down (plain and
// encrypted), the running CRC, a record that does not fit, the CRC check of a
// claimed length, the legacy size field, and the zeroing of the tail.

#include <gtest/gtest.h>

#include <zlib.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "PartFixtures.h"
#include "core/DataStream.h"
#include "crypt/AESCrypt.h"
#include "encoding/VornBuffer.h"

using namespace parts;
using recordstream::appendVarint;
using vorn::DataStream;
using vorn::kDataFileHeaderSize;
using vorn::VornBuffer;
using vorn_test::hex;
using vorn_test::readFile;

namespace {

VornBuffer bufferOf(const std::string &bytes) {
    return VornBuffer(const_cast<char *>(bytes.data()), bytes.size(), vorn::VornBufferCopy);
}

uint32_t zlibCRC(const std::string &bytes) {
    return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(bytes.data()), bytes.size()));
}

// One record as the engine hands it over, and the bytes it must become.
struct RecordCase {
    const char *name;
    std::string keyData;
    uint32_t keyLength;
    std::string value;
    bool dataHolder;
    Bytes expected;
};

Bytes spelled(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes varint(uint64_t value) {
    Bytes out;
    appendVarint(out, value);
    return out;
}

std::vector<RecordCase> recordCases() {
    const std::string longKey(300, 'K');
    const std::string longValue = text(recordstream::patternBytes(200, 9));
    return {
        {"raw key, plain value", "k", 1, "v", false, {0x01, 'k', 0x01, 'v'}},
        {"data-holder value", "k2", 2, "hello", true, {0x02, 'k', '2', 0x06, 0x05, 'h', 'e', 'l', 'l', 'o'}},
        {"key carrying its length",
         text({0x03, 'a', 'b', 'c'}),
         3,
         "xyz",
         false,
         {0x03, 'a', 'b', 'c', 0x03, 'x', 'y', 'z'}},
        {"300-byte key", longKey, 300, "long-key-value", false,
         spelled({varint(300), bytesOf(longKey), varint(14), bytesOf("long-key-value")})},
        {"200-byte data-holder value", "big", 3, longValue, true,
         spelled({{0x03, 'b', 'i', 'g'}, varint(202), varint(200), bytesOf(longValue)})},
        {"deletion (empty value)", "k", 1, "", false, {0x01, 'k', 0x00}},
    };
}

class DataStreamTest : public PartTest {
protected:
    // A fresh one-page data file, its stream `prefix` (set as trusted, the
    // writer behind it).
    std::unique_ptr<DataStream> openWith(const Bytes &prefix) {
        auto stream = std::make_unique<DataStream>(path("data"), 0, false);
        EXPECT_TRUE(stream->isMapped());
        std::copy(prefix.begin(), prefix.end(), stream->bytes());
        stream->setSize(prefix.size());
        stream->setCRC(zlibCRC(text(prefix)));
        stream->resetWriter(prefix.size());
        return stream;
    }

    std::string streamOnDisk(size_t length) { return readFile(path("data")).substr(kDataFileHeaderSize, length); }
};

const Bytes kHolder = {0x80, 0x80, 0x80, 0x00};

TEST_F(DataStreamTest, PlainAppendLaysDownExactBytesAndExtendsTheCRC) {
    auto stream = openWith(kHolder);
    Bytes expectedStream = kHolder;
    for (const RecordCase &c : recordCases()) {
        SCOPED_TRACE(c.name);
        VornBuffer key = bufferOf(c.keyData), value = bufferOf(c.value);
        const vorn::RecordParts record{key, c.keyLength, value, c.dataHolder};
        const vorn::RecordSizes sizes = vorn::recordSizesOf(record);
        EXPECT_EQ(sizes.size, c.expected.size());
        if (c.keyData.size() == c.keyLength) {
            const vorn::RecordSizes bySize = vorn::recordSizesOf(c.keyLength, c.value.size(), c.dataHolder);
            EXPECT_EQ(bySize.size, sizes.size);
            EXPECT_EQ(bySize.valueLength, sizes.valueLength);
            EXPECT_EQ(bySize.keyLength, sizes.keyLength);
        }
        const size_t offset = stream->append(record, sizes, nullptr, nullptr);
        EXPECT_EQ(offset, expectedStream.size());
        expectedStream.insert(expectedStream.end(), c.expected.begin(), c.expected.end());
        EXPECT_EQ(stream->size(), expectedStream.size());
        EXPECT_EQ(stream->crc(), zlibCRC(text(expectedStream)));
    }
    const std::string file = readFile(path("data"));
    EXPECT_EQ(file.substr(0, kDataFileHeaderSize), std::string(4, '\0')) << "the legacy size is not the writer's";
    EXPECT_EQ(hex(streamOnDisk(expectedStream.size())), hex(text(expectedStream)));
    EXPECT_EQ(file.substr(kDataFileHeaderSize + expectedStream.size()),
              std::string(file.size() - kDataFileHeaderSize - expectedStream.size(), '\0'));
}

TEST_F(DataStreamTest, EncryptedAppendNeverLeavesPlaintextAndDecryptsFromTheReturnedState) {
    auto stream = openWith({});
    vorn::AESCrypt cipher = recordstream::makeCipher();
    Bytes plainStream;
    std::vector<std::pair<size_t, vorn::AESCryptStatus>> starts;
    for (const RecordCase &c : recordCases()) {
        VornBuffer key = bufferOf(c.keyData), value = bufferOf(c.value);
        const vorn::RecordParts record{key, c.keyLength, value, c.dataHolder};
        vorn::AESCryptStatus state;
        const size_t offset = stream->append(record, vorn::recordSizesOf(record), &cipher, &state);
        EXPECT_EQ(offset, plainStream.size()) << c.name;
        starts.emplace_back(offset, state);
        plainStream.insert(plainStream.end(), c.expected.begin(), c.expected.end());
    }
    ASSERT_EQ(stream->size(), plainStream.size());

    // The file holds exactly the plain stream encrypted from its first byte.
    const std::string onDisk = streamOnDisk(plainStream.size());
    EXPECT_EQ(hex(onDisk), hex(text(recordstream::encrypted(plainStream).bytes())));
    EXPECT_EQ(stream->crc(), zlibCRC(onDisk)) << "the CRC covers the bytes as stored";
    const std::string file = readFile(path("data"));
    for (const RecordCase &c : recordCases()) {
        if (c.value.size() >= 5) {
            EXPECT_EQ(file.find(c.value), std::string::npos) << c.name << ": value in clear in the file";
        }
    }
    EXPECT_EQ(file.find(std::string(300, 'K')), std::string::npos) << "key in clear in the file";

    // Each record decrypts on its own from the state append returned.
    const std::vector<RecordCase> cases = recordCases();
    for (size_t i = 0; i < cases.size(); i++) {
        vorn::AESCrypt reader(cipher, starts[i].second);
        Bytes plain(cases[i].expected.size());
        reader.decrypt(stream->bytes() + starts[i].first, plain.data(), plain.size());
        EXPECT_EQ(hex(text(plain)), hex(text(cases[i].expected))) << cases[i].name;
    }
}

// A record exactly as large as the room left fits; one byte more throws and
// leaves the stream, its CRC, the writer and the cipher where they were: the
// next record lands where the refused one would have.
TEST_F(DataStreamTest, RecordThatDoesNotFitChangesNothing) {
    struct Case {
        bool encrypted;
        size_t extra; // bytes beyond the room
    };
    for (const Case c : {Case{false, 0}, Case{false, 1}, Case{true, 0}, Case{true, 1}}) {
        SCOPED_TRACE(std::string(c.encrypted ? "encrypted" : "plain") + ", over by " + std::to_string(c.extra));
        auto stream = openWith(kHolder);
        vorn::AESCrypt cipher = recordstream::makeCipher();
        vorn::AESCrypt *crypter = c.encrypted ? &cipher : nullptr;
        VornBuffer firstKey = bufferOf("a"), firstValue = bufferOf("first");
        const vorn::RecordParts first{firstKey, 1, firstValue, false};
        stream->append(first, vorn::recordSizesOf(first), crypter, nullptr);

        const size_t room = stream->room();
        ASSERT_EQ(room, page - kDataFileHeaderSize - stream->size());
        // Key part 4 bytes ("big" and its length), a 2-byte value length.
        const std::string bigValue(room - 4 - 2 + c.extra, 'Z');
        VornBuffer bigKey = bufferOf("big"), big = bufferOf(bigValue);
        const vorn::RecordParts record{bigKey, 3, big, false};
        const vorn::RecordSizes sizes = vorn::recordSizesOf(record);
        ASSERT_EQ(sizes.size, room + c.extra);

        const size_t sizeBefore = stream->size();
        const uint32_t crcBefore = stream->crc();
        const std::string cipherBefore = recordstream::statusOf(cipher);
        if (c.extra == 0) {
            EXPECT_EQ(stream->append(record, sizes, crypter, nullptr), sizeBefore);
            EXPECT_EQ(stream->room(), 0u);
            EXPECT_EQ(stream->size(), page - kDataFileHeaderSize);
            continue;
        }
        EXPECT_THROW(stream->append(record, sizes, crypter, nullptr), std::out_of_range);
        EXPECT_EQ(stream->size(), sizeBefore);
        EXPECT_EQ(stream->crc(), crcBefore);
        EXPECT_EQ(stream->room(), room);
        EXPECT_EQ(recordstream::statusOf(cipher), cipherBefore);

        VornBuffer nextKey = bufferOf("n"), nextValue = bufferOf("next");
        const vorn::RecordParts next{nextKey, 1, nextValue, false};
        vorn::AESCryptStatus state;
        cipher.getCurStatus(state);
        EXPECT_EQ(stream->append(next, vorn::recordSizesOf(next), crypter, nullptr), sizeBefore);
        Bytes written(stream->bytes() + sizeBefore, stream->bytes() + stream->size());
        if (c.encrypted) {
            vorn::AESCrypt reader(cipher, state);
            reader.decrypt(written.data(), written.data(), written.size());
        }
        EXPECT_EQ(hex(text(written)), "01 6E 04 6E 65 78 74 ");
        EXPECT_EQ(stream->crc(), zlibCRC(streamOnDisk(stream->size())));
    }
}

TEST_F(DataStreamTest, ChecksOutOnlyAGoodLengthInsideTheFile) {
    const Bytes records = recordstream::StreamBuilder().add("key", "value").add("k2", "v2").bytes();
    auto stream = openWith(records);
    const size_t room = page - kDataFileHeaderSize;
    const uint32_t whole = zlibCRC(text(records));
    const uint32_t shorter = zlibCRC(text(records).substr(0, records.size() - 1));
    const uint32_t allRoom = zlibCRC(text(records) + std::string(room - records.size(), '\0'));
    struct Case {
        const char *name;
        size_t size;
        uint32_t crc;
        bool expected;
        bool computed; // the CRC of `size` bytes is left in crc()
    };
    const Case cases[] = {
        {"the stream with its CRC", records.size(), whole, true, true},
        {"one byte short", records.size() - 1, whole, false, true},
        {"the short length with its own CRC", records.size() - 1, shorter, true, true},
        {"the whole room", room, allRoom, true, true},
        {"one byte past the file", room + 1, allRoom, false, false},
        {"far past the file", 1u << 30, whole, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stream->setCRC(0xDEADBEEF);
        EXPECT_EQ(stream->checksOut(c.size, c.crc), c.expected);
        const std::string bytes(reinterpret_cast<const char *>(stream->bytes()), c.computed ? c.size : 0);
        EXPECT_EQ(stream->crc(), c.computed ? zlibCRC(bytes) : 0xDEADBEEF);
    }
}

TEST_F(DataStreamTest, LegacySizeField) {
    {
        auto stream = openWith(kHolder);
        EXPECT_EQ(stream->legacySize(), 0u);
        stream->writeLegacySize(0x01020304, false);
        EXPECT_EQ(stream->legacySize(), 0x01020304u);
        stream->writeLegacySize(7, true); // a read-only store writes nothing
        EXPECT_EQ(stream->legacySize(), 0x01020304u);
        EXPECT_EQ(hex(readFile(path("data")).substr(0, 8)), "04 03 02 01 80 80 80 00 ");
    }
    // Read-only files are mapped at their length on disk: a file shorter than
    // the field has none, and no room for a writer.
    for (const std::string &contents : {std::string("\x05\x06", 2), std::string("\x05\x06\x07", 3)}) {
        SCOPED_TRACE(contents.size());
        vorn_test::writeFile(path("short"), contents);
        DataStream stream(path("short"), 0, true);
        EXPECT_EQ(stream.legacySize(), 0u);
        ASSERT_TRUE(stream.isMapped());
        EXPECT_EQ(stream.fileSize(), contents.size());
        stream.writeLegacySize(9, false);
        stream.resetWriter(0);
        EXPECT_EQ(stream.room(), 0u);
        EXPECT_EQ(readFile(path("short")), contents);
    }
}

// zeroTail clears every byte past the stream, and nothing of the header or
// the stream, wherever the stream ends relative to the pages.
TEST_F(DataStreamTest, ZeroTailClearsExactlyPastTheStream) {
    const size_t fileSize = 2 * page;
    for (size_t size : {size_t(0), size_t(10), page - kDataFileHeaderSize, page - kDataFileHeaderSize + 1,
                        fileSize - kDataFileHeaderSize}) {
        SCOPED_TRACE(size);
        vorn_test::writeFile(path("tail"), std::string(fileSize, '\xAB'));
        {
            DataStream stream(path("tail"), fileSize, false);
            ASSERT_EQ(stream.fileSize(), fileSize);
            stream.setSize(size);
            stream.zeroTail();
        }
        const std::string file = readFile(path("tail"));
        ASSERT_EQ(file.size(), fileSize);
        const size_t kept = kDataFileHeaderSize + size;
        EXPECT_EQ(file.substr(0, kept), std::string(kept, '\xAB'));
        EXPECT_EQ(file.substr(kept), std::string(fileSize - kept, '\0'));
    }
}

} // namespace
