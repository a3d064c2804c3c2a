// Records whose length varints are spelled with more bytes than needed
// (0x85 0x00 for 5): the decoders accept them, this library never writes
// them, so they reach a store only in files it did not write. A write or a
// removal of such a key must leave a stream that decodes: the key bytes it
// reuses from the old record are found where they really start, and the new
// record spells its lengths in the shortest form.
//
// Each case is a plain store written by hand (stream bytes, matching size and
// CRC), one operation, then the exact stream the operation left behind and
// the store opened again: the same keys and values, nothing logged as damage.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

// A record: key length, key, value length, value; lengths as spelled here.
std::string record(const std::string &keyLength, const std::string &key, const std::string &valueLength,
                   const std::string &value) {
    return keyLength + key + valueLength + value;
}

// "alpha" -> "one" and "beta" -> "two" in the string setters' form (a value
// of 4 bytes: its own length 03, then the text).
const std::string kAlphaShort = record("\x05", "alpha", "\x04", "\x03one");
const std::string kAlphaKeyOverlong = record(std::string("\x85\x00", 2), "alpha", "\x04", "\x03one");
const std::string kAlphaKeyFiveBytes = record(std::string("\x85\x80\x80\x80\x00", 5), "alpha", "\x04", "\x03one");
const std::string kAlphaValueOverlong = record("\x05", "alpha", std::string("\x84\x00", 2), "\x03one");
const std::string kBetaKeyOverlong = record(std::string("\x84\x00", 2), "beta", "\x04", "\x03two");

// What the writers append: the shortest form.
const std::string kAlphaThree = record("\x05", "alpha", "\x06", "\x05three");
const std::string kAlphaRemoved = record("\x05", "alpha", std::string(1, '\0'), "");

enum class Operation { SetAlpha, RemoveAlpha };

struct Case {
    const char *name;
    std::string holder; // the item-size holder in front of the records
    std::string records;
    VORNMode mode;
    Operation operation;
    // The stream after the operation, item-size holder excluded (it stays).
    std::string recordsAfter;
    std::map<std::string, std::string> valuesAfter;
};

const std::string kHolder1 = std::string("\x00", 1);
const std::string kHolder4 = std::string("\x80\x80\x80\x00", 4);

const Case kCases[] = {
    {"the only key, key length in 2 bytes, first record inside the holder's 4 bytes: appended",
     kHolder1,
     kAlphaKeyOverlong,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaKeyOverlong + kAlphaThree,
     {{"alpha", "three"}}},
    {"the only key, key length in 2 bytes, first record after the holder: appended",
     kHolder4,
     kAlphaKeyOverlong,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaKeyOverlong + kAlphaThree,
     {{"alpha", "three"}}},
    {"the only key, key length in 5 bytes: appended",
     kHolder4,
     kAlphaKeyFiveBytes,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaKeyFiveBytes + kAlphaThree,
     {{"alpha", "three"}}},
    {"the only key, multi-process: appended",
     kHolder4,
     kAlphaKeyOverlong,
     VORN_MULTI_PROCESS,
     Operation::SetAlpha,
     kAlphaKeyOverlong + kAlphaThree,
     {{"alpha", "three"}}},
    {"two keys, key length in 2 bytes: appended",
     kHolder4,
     kAlphaKeyOverlong + kBetaKeyOverlong,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaKeyOverlong + kBetaKeyOverlong + kAlphaThree,
     {{"alpha", "three"}, {"beta", "two"}}},
    {"two keys, key length in 5 bytes: removed",
     kHolder4,
     kAlphaKeyFiveBytes + kBetaKeyOverlong,
     VORN_SINGLE_PROCESS,
     Operation::RemoveAlpha,
     kAlphaKeyFiveBytes + kBetaKeyOverlong + kAlphaRemoved,
     {{"beta", "two"}}},
    {"two keys, value length in 2 bytes (key length short): appended",
     kHolder4,
     kAlphaValueOverlong + kBetaKeyOverlong,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaValueOverlong + kBetaKeyOverlong + kAlphaThree,
     {{"alpha", "three"}, {"beta", "two"}}},
    {"the only key, value length in 2 bytes: appended",
     kHolder4,
     kAlphaValueOverlong,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaValueOverlong + kAlphaThree,
     {{"alpha", "three"}}},
    {"shortest form throughout (the reference): appended",
     kHolder4,
     kAlphaShort,
     VORN_SINGLE_PROCESS,
     Operation::SetAlpha,
     kAlphaShort + kAlphaThree,
     {{"alpha", "three"}}},
};

std::string le32(uint32_t number) {
    return std::string(reinterpret_cast<const char *>(&number), 4);
}

class OverlongLengths : public StoreTest {
protected:
    // The store's files as a writer would have left them: the stream after
    // the data file's 4-byte leading field, its size and CRC in a version-4
    // meta record whose last confirmed state is the same.
    void WriteStore(const std::string &id, const std::string &stream) {
        vorn::VORNMetaInfo info;
        info.m_version = vorn::MetaVersionFlags;
        info.m_sequence = 1;
        info.m_actualSize = static_cast<uint32_t>(stream.size());
        info.m_crcDigest = crcOf(stream);
        info.m_lastConfirmedMetaInfo.lastActualSize = info.m_actualSize;
        info.m_lastConfirmedMetaInfo.lastActualCRC = info.m_crcDigest;
        std::string meta(4096, '\0');
        info.write(meta.data());
        std::string data = le32(0) + stream;
        data.resize(4096, '\0');
        writeFile(dataPath(id), data);
        writeFile(metaPath(id), meta);
    }

    std::string Stream(const std::string &id) {
        const vorn::VORNMetaInfo info = metaFromBytes(readFile(metaPath(id)));
        return readFile(dataPath(id)).substr(4, info.m_actualSize);
    }

    void ExpectValues(VORN *store, const std::map<std::string, std::string> &values) {
        std::vector<std::string> keys;
        for (const auto &[key, value] : values) {
            keys.push_back(key);
            EXPECT_EQ(VORNTestPeer::get(store, key), std::optional<std::string>(value)) << key;
        }
        EXPECT_EQ(VORNTestPeer::keys(store), keys);
    }
};

TEST_F(OverlongLengths, WritesAndRemovalsLeaveAStreamThatDecodes) {
    int index = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string id = "overlong-" + std::to_string(index++);
        WriteStore(id, c.holder + c.records);
        StoreOptions options;
        options.mode = c.mode;

        VORN *store = open(id, options);
        ASSERT_NE(store, nullptr);
        m_log.clear();
        VORNTestPeer::load(store);
        EXPECT_EQ(m_log.countPrefix("check "), 0u) << m_log.dump();
        if (c.operation == Operation::SetAlpha) {
            ASSERT_TRUE(VORNTestPeer::set(store, "alpha", "three")) << m_log.dump();
        } else {
            ASSERT_TRUE(store->removeValueForKey("alpha")) << m_log.dump();
        }
        ExpectValues(store, c.valuesAfter);
        close(store);

        const std::string stream = Stream(id);
        EXPECT_EQ(hex(stream), hex(c.holder + c.recordsAfter));

        m_log.clear();
        store = open(id, options);
        ExpectValues(store, c.valuesAfter);
        EXPECT_EQ(m_log.countPrefix("check "), 0u) << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("[" + id + "] stream of "), 0u) << m_log.dump();
        EXPECT_EQ(m_log.crcAsked + m_log.lengthAsked, 0);
        close(store);
    }
}

} // namespace
