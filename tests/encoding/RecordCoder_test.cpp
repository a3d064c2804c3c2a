// The container coder: exact bytes of every container, typed decoding and its
// failures, and decoding of item streams into both index types, strictly and
// greedily.

#include "encoding/RecordCoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
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

VornBuffer borrow(ExactBytes &bytes, size_t length) {
    return VornBuffer(bytes.data(), length, VornBufferNoCopy);
}

VornBuffer owned(const Bytes &bytes) {
    return VornBuffer(const_cast<uint8_t *>(bytes.data()), bytes.size(), VornBufferCopy);
}

Bytes hex(const char *text) {
    Bytes out;
    for (const char *p = text; *p;) {
        if (*p == ' ') {
            p++;
            continue;
        }
        out.push_back(static_cast<uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return out;
}

template <typename T> VornBuffer encodeList(const std::vector<T> &values) {
    RecordCoder encoder;
    size_t index = encoder.prepareObjectForEncode(values);
    return encoder.writePreparedItems(index);
}

template <typename T> std::vector<T> decodeList(const Bytes &encoded, bool expectOk = true) {
    ExactBytes input(encoded);
    VornBuffer buffer = borrow(input, input.size());
    RecordCoder decoder(&buffer);
    std::vector<T> out;
    EXPECT_EQ(decoder.decodeOneVector(out), expectOk);
    return out;
}

// ---- Encoding ----

TEST(RecordCoderTest, ListsEncodeToTheirExactBytesAndBack) {
    // Strings, empty ones included.
    VornBuffer strings = encodeList(std::vector<std::string>{"a", "", "bc"});
    EXPECT_EQ(hexOf(bytesOf(strings)), "06 01 61 00 02 62 63");
    EXPECT_EQ(RecordCoder::decodeVector(strings), (std::vector<std::string>{"a", "", "bc"}));
    VornBuffer noStrings = encodeList(std::vector<std::string>{});
    EXPECT_EQ(hexOf(bytesOf(noStrings)), "00");
    EXPECT_TRUE(RecordCoder::decodeVector(noStrings).empty());

    // Numbers.
    EXPECT_EQ(hexOf(bytesOf(encodeList(std::vector<int32_t>{-1}))), "0A FF FF FF FF FF FF FF FF FF 01");
    EXPECT_EQ(hexOf(bytesOf(encodeList(std::vector<int32_t>{1, 300}))), "03 01 AC 02");
    EXPECT_EQ(hexOf(bytesOf(encodeList(std::vector<uint32_t>{0, 0xFFFFFFFF}))), "06 00 FF FF FF FF 0F");
    EXPECT_EQ(hexOf(bytesOf(encodeList(std::vector<int64_t>{-2}))), "0A FE FF FF FF FF FF FF FF FF 01");
    EXPECT_EQ(hexOf(bytesOf(encodeList(std::vector<uint64_t>{1ull << 63, 5}))), "0B 80 80 80 80 80 80 80 80 80 01 05");
    EXPECT_EQ(decodeList<int32_t>(hex("0A FF FF FF FF FF FF FF FF FF 01")), std::vector<int32_t>{-1});
    EXPECT_EQ(decodeList<int32_t>(hex("03 01 AC 02")), (std::vector<int32_t>{1, 300}));
    EXPECT_EQ(decodeList<uint32_t>(hex("06 00 FF FF FF FF 0F")), (std::vector<uint32_t>{0, 0xFFFFFFFF}));
    EXPECT_EQ(decodeList<int64_t>(hex("0A FE FF FF FF FF FF FF FF FF 01")), std::vector<int64_t>{-2});
    EXPECT_EQ(decodeList<uint64_t>(hex("0B 80 80 80 80 80 80 80 80 80 01 05")), (std::vector<uint64_t>{1ull << 63, 5}));

    // Fixed-width lists, written without items.
    EXPECT_EQ(hexOf(bytesOf(RecordCoder::getEncodeData(std::vector<bool>{true, false, true}))), "03 01 00 01");
    VornBuffer floats = RecordCoder::getEncodeData(std::vector<float>{1.0f, -2.0f});
    EXPECT_EQ(hexOf(bytesOf(floats)), "08 00 00 80 3F 00 00 00 C0");
    EXPECT_EQ(hexOf(bytesOf(RecordCoder::getEncodeData(std::vector<double>{1.0}))), "08 00 00 00 00 00 00 F0 3F");
    EXPECT_EQ(hexOf(bytesOf(RecordCoder::getEncodeData(std::vector<bool>{}))), "00");
    EXPECT_EQ(decodeList<bool>(hex("03 01 00 01")), (std::vector<bool>{true, false, true}));
    EXPECT_EQ(decodeList<float>(bytesOf(floats)), (std::vector<float>{1.0f, -2.0f}));
    EXPECT_EQ(decodeList<double>(hex("08 00 00 00 00 00 00 F0 3F")), std::vector<double>{1.0});
}

TEST(RecordCoderTest, SingleValuesAndPairListsEncodeToTheirExactBytes) {
    EXPECT_EQ(hexOf(bytesOf(RecordCoder::encodeDataWithObject(owned({0x76})))), "01 76");
    EXPECT_EQ(hexOf(bytesOf(RecordCoder::encodeDataWithObject(VornBuffer()))), "00");
    Bytes long200 = patternBytes(200, 1);
    Bytes wrapped = bytesOf(RecordCoder::encodeDataWithObject(owned(long200)));
    EXPECT_EQ(Bytes(wrapped.begin(), wrapped.begin() + 2), hex("C8 01"));
    EXPECT_EQ(Bytes(wrapped.begin() + 2, wrapped.end()), long200);

    {
        RecordCoder encoder;
        VornBuffer value = owned({1, 2});
        EXPECT_EQ(hexOf(bytesOf(encoder.writePreparedItems(encoder.prepareObjectForEncode(value)))), "02 01 02");
        std::string text = "hey";
        EXPECT_EQ(hexOf(bytesOf(encoder.writePreparedItems(encoder.prepareObjectForEncode(text)))), "03 68 65 79");
        EXPECT_EQ(encoder.writePreparedItems(99).size(), 0u);
    }

    // A pair with an empty key is left out entirely.
    std::vector<std::pair<std::string, VornBuffer>> pairs;
    pairs.emplace_back("k", owned({0x01}));
    pairs.emplace_back("", owned({0x02}));
    RecordCoder encoder;
    size_t index = encoder.prepareObjectForEncode(pairs);
    EXPECT_EQ(encoder.items()[index].itemType, PBItemContainer);
    EXPECT_EQ(hexOf(bytesOf(encoder.writePreparedItems(index))), "04 01 6B 01 01");
}

TEST(RecordCoderTest, EncodedPairListDecodesAsAnItemStream) {
    // The write-back copies a pair list behind an item-size holder; read as a
    // stream (its prefix in the holder's place) it gives back every pair.
    std::vector<std::pair<std::string, VornBuffer>> pairs;
    std::map<std::string, Bytes> expected;
    for (int i = 0; i < 50; i++) {
        Bytes value = patternBytes(static_cast<size_t>(i * 7 % 300 + 1), static_cast<uint8_t>(i));
        std::string key = "key" + std::to_string(i);
        pairs.emplace_back(key, owned(value));
        expected[key] = value;
    }
    RecordCoder encoder;
    VornBuffer encoded = encoder.writePreparedItems(encoder.prepareObjectForEncode(pairs));
    ExactBytes region(bytesOf(encoded));
    VORNMap index;
    ASSERT_TRUE(RecordCoder::decodeMap(index, borrow(region, region.size())));
    std::map<std::string, Bytes> content;
    for (const auto &entry : index) {
        content[std::string(entry.first)] = bytesOf(entry.second.toVornBuffer(region.data()));
    }
    EXPECT_EQ(content, expected);
}

TEST(RecordCoderTest, TypedListFailuresAreLoggedAndKeepTheDecodedElements) {
    LogCapture log;
    // The second float is cut short.
    std::vector<float> floats = decodeList<float>(hex("08 00 00 80 3F 00 00"), false);
    EXPECT_EQ(floats, std::vector<float>{1.0f});
    std::vector<int32_t> ints = decodeList<int32_t>(hex("03 01 AC"), false);
    EXPECT_EQ(ints, std::vector<int32_t>{1});
    EXPECT_EQ(log.described(), (std::vector<std::string>{
                                   "E RecordCoder decodeOneVector: reach end, m_position: 7, m_size: 7",
                                   "E RecordCoder decodeOneVector: reach end, m_position: 3, m_size: 3",
                               }));

    // A hostile prefix reserves only what the input can hold.
    std::vector<double> doubles = decodeList<double>(hex("FF FF FF FF 0F 00 00 00 00 00 00 F0 3F"));
    EXPECT_EQ(doubles, std::vector<double>{1.0});
    EXPECT_LE(doubles.capacity(), 1u);
    std::vector<bool> bools = decodeList<bool>(hex("FF FF FF FF 07 01 00"));
    EXPECT_EQ(bools, (std::vector<bool>{true, false}));
    EXPECT_LE(bools.capacity(), 64u);

    // String lists let the reader's exception through.
    ExactBytes cut(hex("06 01 61 05 62"));
    try {
        RecordCoder::decodeVector(borrow(cut, cut.size()));
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range &e) {
        EXPECT_EQ(std::string(e.what()), "InvalidProtocolBuffer truncatedMessage");
    }
}

// ---- Item streams into an index ----

using Content = std::map<std::string, Bytes>;

struct Expect {
    bool ok;
    Content content;
};

struct MapCase {
    std::string name;
    Bytes stream;
    size_t beforeLength; // a prefix of the stream decoded into the index first (0: empty index)
    size_t position;     // 0, or beforeLength: apply only what follows it
    Expect strict;
    Expect greedy;
    std::string error; // the logged text of a failed decode
};

struct Outcome {
    bool ok;
    Content content;
    std::vector<std::string> log;
    bool cipherAtEnd = true;
};

Content contentOf(const VORNMap &index, const uint8_t *base) {
    Content out;
    for (const auto &entry : index) {
        out[std::string(entry.first)] = bytesOf(entry.second.toVornBuffer(base));
    }
    return out;
}

Content contentOf(const VORNMapCrypt &index, const uint8_t *base, const AESCrypt &reference) {
    Content out;
    for (const auto &entry : index) {
        out[entry.first] = bytesOf(entry.second.toVornBuffer(base, &reference));
    }
    return out;
}

Outcome decodePlain(ExactBytes &region, const MapCase &c, bool greedy) {
    VORNMap index;
    if (c.beforeLength > 0) {
        EXPECT_TRUE(RecordCoder::decodeMap(index, borrow(region, c.beforeLength)));
    }
    LogCapture log;
    VornBuffer input = borrow(region, region.size());
    Outcome out;
    out.ok = greedy ? RecordCoder::greedyDecodeMap(index, input, c.position)
                    : RecordCoder::decodeMap(index, input, c.position);
    out.content = contentOf(index, region.data());
    out.log = log.described();
    return out;
}

Outcome decodeEncrypted(ExactBytes &region, const MapCase &c, bool greedy) {
    // The store's cipher: after the first decode it stands at its end, which
    // is where a decode from that position must start.
    AESCrypt cipher = makeCipher();
    VORNMapCrypt index;
    if (c.beforeLength > 0) {
        EXPECT_TRUE(RecordCoder::decodeMap(index, borrow(region, c.beforeLength), &cipher));
    }
    if (c.position == 0) {
        cipher.resetIV(kIV, sizeof(kIV));
    }
    LogCapture log;
    VornBuffer input = borrow(region, region.size());
    Outcome out;
    out.ok = greedy ? RecordCoder::greedyDecodeMap(index, input, &cipher, c.position)
                    : RecordCoder::decodeMap(index, input, &cipher, c.position);
    AESCrypt reference = makeCipher();
    out.content = contentOf(index, region.data(), reference);
    out.log = log.described();
    out.cipherAtEnd = statusOf(cipher) == statusAfter(region.data(), region.size());
    return out;
}

std::vector<MapCase> mapCases() {
    const Bytes v256 = patternBytes(256, 1), v257 = patternBytes(257, 2), small = patternBytes(3, 3);
    const Bytes v300 = patternBytes(300, 4), other257 = patternBytes(257, 5);
    const std::string truncated = "InvalidProtocolBuffer truncatedMessage";
    std::vector<MapCase> cases;

    {
        StreamBuilder s(4);
        s.add("k", v256).add("j", v257).add("k", other257).add("j", small);
        s.add("gone", v300).add("gone", Bytes{}).add("s", small).add("s", v256).add("none", Bytes{});
        Content expected = {{"k", other257}, {"j", small}, {"s", v256}};
        cases.push_back(
            {"later records win, empty values delete", s.bytes(), 0, 0, {true, expected}, {true, expected}, ""});
    }
    {
        StreamBuilder s(4);
        s.add("keep", small).add("k", v256).add("j", v257);
        s.add("k", v300).add("j", Bytes{}).add("n", v257);
        size_t appended = s.recordOffset(3);
        cases.push_back({"records after a known offset",
                         s.bytes(),
                         appended,
                         appended,
                         {true, {{"k", v300}, {"n", v257}}},
                         {true, {{"keep", small}, {"k", v300}, {"n", v257}}},
                         ""});
    }
    {
        StreamBuilder s(4);
        s.add("k", v256).add("j", v257).add("k", v300);
        Bytes cut(s.bytes().begin(), s.bytes().end() - 10);
        cases.push_back({"last record cut short, empty index",
                         cut,
                         0,
                         0,
                         {false, {}},
                         {false, {{"k", v256}, {"j", v257}}},
                         truncated});
        cases.push_back({"last record cut short, loaded index",
                         cut,
                         s.recordOffset(1),
                         0,
                         {false, {{"k", v256}}},
                         {false, {{"k", v256}, {"j", v257}}},
                         truncated});
        Bytes cutLarge(s.bytes().begin(), s.bytes().begin() + static_cast<long>(s.valueOffset(1) + 256));
        cases.push_back({"257-byte value cut short", cutLarge, 0, 0, {false, {}}, {false, {{"k", v256}}}, truncated});
    }
    {
        StreamBuilder s(4);
        s.add("k", small).raw({0x01, 'j', 0x81, 0x02}).raw(patternBytes(100, 6)); // claims 257 bytes
        cases.push_back(
            {"value length beyond the input", s.bytes(), 0, 0, {false, {}}, {false, {{"k", small}}}, truncated});
    }
    {
        StreamBuilder s(4);
        s.add("k", small).raw({0xF0, 0xA2, 0x04}).raw(Bytes(70000, 'x')).raw({0x01, 'v'}); // key of 70000
        cases.push_back({"key beyond the key limit",
                         s.bytes(),
                         0,
                         0,
                         {false, {}},
                         {false, {{"k", small}}},
                         "VORN key too large for uint16 holder"});
    }
    {
        StreamBuilder s(4);
        s.add("k", small).raw(repeated(0xFF, 10));
        cases.push_back({"malformed length",
                         s.bytes(),
                         0,
                         0,
                         {false, {}},
                         {false, {{"k", small}}},
                         "InvalidProtocolBuffer malformed varint32"});
    }
    {
        StreamBuilder s(4);
        s.add("k", small).raw({0x05, 'a'});
        cases.push_back({"trailing partial record", s.bytes(), 0, 0, {false, {}}, {false, {{"k", small}}}, truncated});
    }
    {
        StreamBuilder s(4);
        s.add("k", v257);
        size_t end = s.bytes().size();
        cases.push_back({"position at the end", s.bytes(), end, end, {true, {}}, {true, {{"k", v257}}}, ""});
        cases.push_back({"position beyond the end",
                         s.bytes(),
                         end,
                         end + 1,
                         {false, {{"k", v257}}},
                         {false, {{"k", v257}}},
                         "OutOfSpace"});
    }
    {
        StreamBuilder s(4);
        s.raw({0x00}).add("k", small);
        cases.push_back({"empty key: the next bytes are the next record",
                         s.bytes(),
                         0,
                         0,
                         {true, {{"k", small}}},
                         {true, {{"k", small}}},
                         ""});
    }
    {
        StreamBuilder s(1);
        cases.push_back({"holder only", s.bytes(), 0, 0, {true, {}}, {true, {}}, ""});
    }
    return cases;
}

void checkOutcome(const Outcome &out, const Expect &expect, const std::string &error, bool encrypted) {
    EXPECT_EQ(out.ok, expect.ok);
    EXPECT_EQ(out.content, expect.content);
    if (expect.ok) {
        EXPECT_TRUE(out.log.empty());
        if (encrypted) {
            EXPECT_TRUE(out.cipherAtEnd) << "the cipher stands at the end of the stream";
        }
    } else {
        EXPECT_EQ(out.log, std::vector<std::string>{"E RecordCoder decodeOneMap: " + error});
    }
}

TEST(RecordCoderTest, PlainStreamDecodesStrictlyOrGreedily) {
    for (const auto &c : mapCases()) {
        SCOPED_TRACE(c.name);
        ExactBytes region(c.stream);
        {
            SCOPED_TRACE("strict");
            checkOutcome(decodePlain(region, c, false), c.strict, c.error, false);
        }
        {
            SCOPED_TRACE("greedy");
            checkOutcome(decodePlain(region, c, true), c.greedy, c.error, false);
        }
    }
}

// The index a plain decode builds is sized from the records it will hold:
// distinct keys all end up in it, and a stream of many dead records of one
// key (a planted file) reserves no more than one entry per 64 stream bytes.
TEST(RecordCoderTest, PlainDecodeSizesItsIndexFromTheRecords) {
    recordstream::StreamBuilder distinct;
    for (int i = 0; i < 5000; i++) {
        distinct.add("key-" + std::to_string(i), "v");
    }
    ExactBytes many(distinct.bytes());
    VORNMap index;
    ASSERT_TRUE(RecordCoder::decodeMap(index, borrow(many, many.size())));
    EXPECT_EQ(index.size(), 5000u);
    EXPECT_LE(index.memoryBytes(), 16u * 8192) << "sized for 5000 keys";

    recordstream::StreamBuilder repeated;
    for (int i = 0; i < 20000; i++) {
        repeated.add("a", "x");
    }
    ExactBytes dead(repeated.bytes());
    for (bool greedy : {false, true}) {
        VORNMap one;
        ASSERT_TRUE(greedy ? RecordCoder::greedyDecodeMap(one, borrow(dead, dead.size()))
                           : RecordCoder::decodeMap(one, borrow(dead, dead.size())));
        EXPECT_EQ(one.size(), 1u);
        EXPECT_LE(one.memoryBytes(), dead.size() / 2) << (greedy ? "greedy" : "strict");
    }
}

TEST(RecordCoderTest, EncryptedStreamDecodesStrictlyOrGreedily) {
    for (const auto &c : mapCases()) {
        SCOPED_TRACE(c.name);
        ExactBytes region = encrypted(c.stream);
        {
            SCOPED_TRACE("strict");
            checkOutcome(decodeEncrypted(region, c, false), c.strict, c.error, true);
        }
        {
            SCOPED_TRACE("greedy");
            checkOutcome(decodeEncrypted(region, c, true), c.greedy, c.error, true);
        }
    }
}

TEST(RecordCoderTest, EncryptedEntriesTakeTheFormOfTheirValueSize) {
    StreamBuilder s(4);
    s.add("v0", patternBytes(27, 1)).add("v1", patternBytes(28, 2)).add("v2", patternBytes(256, 3));
    s.add("v3", patternBytes(257, 4));
    ExactBytes region = encrypted(s.bytes());
    AESCrypt cipher = makeCipher();
    VORNMapCrypt index;
    ASSERT_TRUE(RecordCoder::decodeMap(index, borrow(region, region.size()), &cipher));
    const IndexEntryType kinds[] = {KVHolderInline, KVHolderHeap, KVHolderHeap, KVHolderOffset};
    for (int i = 0; i < 4; i++) {
        std::string key = "v" + std::to_string(i);
        SCOPED_TRACE(key);
        auto it = index.find(key);
        ASSERT_NE(it, index.end());
        EXPECT_EQ(it->second.kind, kinds[i]);
    }
    uint32_t offset = index.find("v3")->second.offset;
    EXPECT_EQ(offset, s.recordOffset(3));

    EXPECT_FALSE(RecordCoder::decodeMap(index, borrow(region, region.size()), nullptr));
    EXPECT_EQ(index.size(), 4u);
}

} // namespace
