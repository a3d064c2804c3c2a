// Full write-back (compaction in place) and file growth.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"

using namespace vorn_test;

namespace {

class WriteBack : public StoreTest {
protected:
    // Writes a data file whose stream is `plain` (encrypted under key and
    // vector when a key is given) and a version-4 meta record for it.
    void WriteStore(const std::string &id, std::string stream, const std::string &cryptKey = "") {
        uint8_t vector[16];
        memset(vector, 0x42, sizeof(vector));
        if (!cryptKey.empty()) {
            vorn::AESCrypt cipher(cryptKey.data(), cryptKey.size(), vector, sizeof(vector));
            cipher.encrypt(&stream[0], &stream[0], stream.size());
        }
        std::string data(vorn::mmapUnitSize(), '\0');
        data.replace(4, stream.size(), stream);
        writeFile(dataPath(id), data);
        vorn::VORNMetaInfo info;
        info.m_version = 4;
        info.m_sequence = 5;
        memcpy(info.m_vector, vector, sizeof(vector));
        info.m_crcDigest = crcOf(stream);
        info.m_actualSize = static_cast<uint32_t>(stream.size());
        std::string page(vorn::mmapUnitSize(), '\0');
        info.write(&page[0]);
        writeFile(metaPath(id), page);
    }
    std::string stream(const std::string &id, VORN *store) {
        store->sync();
        return readFile(dataPath(id)).substr(4, VORNTestPeer::actualSize(store));
    }
};

TEST_F(WriteBack, FirstWriteLaysDownTheHolder) {
    VORN *store = open("first");
    ASSERT_TRUE(VORNTestPeer::set(store, "k", "v"));
    EXPECT_EQ(VORNTestPeer::actualSize(store), 4u + 5u);
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, 1u);
    EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 4096u);
    EXPECT_EQ(m_log.countPrefix("extending"), 0u);
}

TEST_F(WriteBack, PlainCompactionKeepsOneRecordPerKeyInOrder) {
    VORN *store = open("compact");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
    ASSERT_TRUE(VORNTestPeer::set(store, "c", "3"));
    ASSERT_TRUE(VORNTestPeer::set(store, "b", "22"));
    ASSERT_TRUE(VORNTestPeer::remove(store, "c"));
    ASSERT_TRUE(VORNTestPeer::set(store, "d", "4"));
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
    const std::string holder = stream("compact", store).substr(0, 4);

    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    const std::string after = stream("compact", store);
    // a, then b's newest record, then d: each at its new offset.
    EXPECT_EQ(hex(after.substr(4)), "01 61 02 01 31 01 62 03 02 32 32 01 64 02 01 34 ");
    EXPECT_EQ(VORNTestPeer::recordOffset(store, "a"), 4);
    EXPECT_EQ(VORNTestPeer::recordOffset(store, "b"), 9);
    EXPECT_EQ(VORNTestPeer::recordOffset(store, "d"), 15);
    EXPECT_NE(after.substr(0, 4), holder) << "a new item-size holder";
    const vorn::VORNMetaInfo info = VORNTestPeer::metaInfo(store);
    EXPECT_EQ(info.m_sequence, sequence + 1);
    EXPECT_EQ(info.m_lastConfirmedMetaInfo.lastActualSize, after.size());
    EXPECT_EQ(info.m_crcDigest, crcOf(after));
    EXPECT_EQ(VORNTestPeer::get(store, "b"), std::optional<std::string>("22"));

    // Nothing written since: the second call does nothing.
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence + 1);
    EXPECT_EQ(stream("compact", store), after);
}

// A stream written with a 1-byte item-size holder and a stray empty key
// between records: compaction moves the records toward the end, and must not
// overwrite one it has not moved yet.
TEST_F(WriteBack, PlainCompactionOfRecordsThatMoveTowardTheEnd) {
    const std::string records = std::string("\x00", 1) +
                                "\x01"
                                "a"
                                "\x01"
                                "A" +
                                std::string("\x00", 1) +
                                "\x01"
                                "b"
                                "\x01"
                                "B"
                                "\x01"
                                "c"
                                "\x01"
                                "C";
    WriteStore("forward", records);
    VORN *store = open("forward");
    EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b", "c"}));
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    EXPECT_EQ(hex(stream("forward", store).substr(4)), "01 61 01 41 01 62 01 42 01 63 01 43 ");
    store = reopen(store, "forward");
    EXPECT_EQ(VORNTestPeer::getRaw(store, "a"), "A");
    EXPECT_EQ(VORNTestPeer::getRaw(store, "b"), "B");
    EXPECT_EQ(VORNTestPeer::getRaw(store, "c"), "C");
}

TEST_F(WriteBack, EncryptedCompactionKeepsANarrowHolderOnlyWhereTheFirstRecordStays) {
    const std::string cryptKey = "width-test-key16";
    const std::string big = "\x03"
                            "big"
                            "\xAC\x02" +
                            std::string(300, 'B');
    struct Case {
        const char *name;
        std::string stream;
        long long offsetBefore;
        long long offsetAfter;
    } cases[] = {
        {"record at 2 stays", std::string("\x80\x01", 2) + big, 2, 2},
        {"record at 9 moves to 4",
         std::string("\x80\x80\x80\x01", 4) +
             "\x01"
             "s"
             "\x02"
             "xy" +
             big,
         9, 4},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "width-" + std::to_string(n++);
        WriteStore(id, c.stream, cryptKey);
        VORN *store = open(id, encrypted(cryptKey));
        EXPECT_EQ(VORNTestPeer::recordOffset(store, "big"), c.offsetBefore);
        ASSERT_TRUE(VORNTestPeer::setRaw(store, "t", "small"));
        const vorn::VORNMetaInfo before = VORNTestPeer::metaInfo(store);

        ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        EXPECT_EQ(VORNTestPeer::recordOffset(store, "big"), c.offsetAfter);
        const vorn::VORNMetaInfo after = VORNTestPeer::metaInfo(store);
        EXPECT_EQ(after.m_sequence, before.m_sequence + 1);
        EXPECT_NE(memcmp(after.m_vector, before.m_vector, 16), 0) << "a new vector";
        EXPECT_EQ(VORNTestPeer::getRaw(store, "big"), std::string(300, 'B'));
        EXPECT_EQ(VORNTestPeer::getRaw(store, "t"), "small");
        // Appends go on under the new keystream.
        ASSERT_TRUE(VORNTestPeer::setRaw(store, "u", std::string(400, 'U')));

        store = reopen(store, id, encrypted(cryptKey));
        EXPECT_EQ(VORNTestPeer::recordOffset(store, "big"), c.offsetAfter);
        EXPECT_EQ(VORNTestPeer::getRaw(store, "big"), std::string(300, 'B'));
        EXPECT_EQ(VORNTestPeer::getRaw(store, "t"), "small");
        EXPECT_EQ(VORNTestPeer::getRaw(store, "u"), std::string(400, 'U'));
        if (c.offsetAfter == 4) {
            EXPECT_EQ(VORNTestPeer::getRaw(store, "s"), "xy");
        }
        EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
    }
}

TEST_F(WriteBack, EnsureMemorySizeComparesStrictly) {
    VORN *store = open("strict");
    ASSERT_TRUE(VORNTestPeer::set(store, "k", "v"));
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
    const size_t fileBefore = VORNTestPeer::mappedFileSize(store);
    const size_t left = VORNTestPeer::spaceLeft(store);
    ASSERT_TRUE(VORNTestPeer::ensureMemorySize(store, left - 1));
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence);
    EXPECT_EQ(VORNTestPeer::mappedFileSize(store), fileBefore);
    // Room is made at `left`: by growing the file, since nothing is dead.
    ASSERT_TRUE(VORNTestPeer::ensureMemorySize(store, left));
    EXPECT_GT(VORNTestPeer::mappedFileSize(store), fileBefore);
    EXPECT_GT(VORNTestPeer::spaceLeft(store), left);
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence);
}

// While fewer bytes are dead than live, a record that does not fit grows the
// file around the stream: no rewrite, no new sequence, and another process
// maps the longer file and reads on. Once as many bytes are dead as live, the
// same record is written by a compaction.
TEST_F(WriteBack, GrowthWithoutRewriteUntilDeadBytesCatchUp) {
    VORN *store = open("grow-in-place");
    const std::string value(100, 'v');
    for (int i = 0; i < 30; i++) {
        ASSERT_TRUE(store->set(value, "k" + std::to_string(i)));
    }
    const vorn::VORNMetaInfo before = VORNTestPeer::metaInfo(store);
    const size_t fileBefore = VORNTestPeer::mappedFileSize(store);
    const std::string streamBefore = readFile(dataPath("grow-in-place")).substr(4, before.m_actualSize);
    // Distinct keys: nothing is dead, the file grows.
    ASSERT_TRUE(store->set(std::string(VORNTestPeer::spaceLeft(store), 'g'), "grown"));
    const vorn::VORNMetaInfo grown = VORNTestPeer::metaInfo(store);
    EXPECT_EQ(grown.m_sequence, before.m_sequence);
    EXPECT_GT(VORNTestPeer::mappedFileSize(store), fileBefore);
    // The stream at the growth is the new last confirmed state: a damaged
    // record falls back no further than this.
    EXPECT_EQ(grown.m_lastConfirmedMetaInfo.lastActualSize, before.m_actualSize);
    EXPECT_EQ(grown.m_lastConfirmedMetaInfo.lastActualCRC, before.m_crcDigest);
    // The stream did not move: its old bytes are where they were.
    EXPECT_EQ(readFile(dataPath("grow-in-place")).substr(4, before.m_actualSize), streamBefore);

    // Updates make the old values dead; once they outweigh the live ones, a
    // record that does not fit is written by a compaction.
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 30; i++) {
            ASSERT_TRUE(store->set(value, "k" + std::to_string(i)));
        }
    }
    ASSERT_TRUE(store->set(std::string(VORNTestPeer::spaceLeft(store), 'c'), "grown"));
    EXPECT_GT(VORNTestPeer::metaInfo(store).m_sequence, grown.m_sequence);
    store = reopen(store, "grow-in-place");
    EXPECT_EQ(store->count(), 31u);
    std::string out;
    ASSERT_TRUE(store->getString("k7", out));
    EXPECT_EQ(out, value);
}

TEST_F(WriteBack, GrowthDoublesUntilTheFutureUsageFits) {
    VORN *store = open("grow");
    VORNTestPeer::load(store);
    ASSERT_TRUE(VORNTestPeer::ensureMemorySize(store, 5000));
    EXPECT_TRUE(m_log.has(VORNLogInfo, "expandAndWriteBack",
                          "extending [grow] file size from 4096 to 65536, incoming size:5000, future usage:40064"))
        << m_log.dump();
    EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 65536u);
    EXPECT_EQ(fileSize(dataPath("grow")), 65536);
}

TEST_F(WriteBack, AStoreWithNoLiveKeyIsClearedInstead) {
    for (const StoreOptions &options : {StoreOptions{}, encrypted("clearing-key-16b")}) {
        SCOPED_TRACE(options.cryptKey.empty() ? "plain" : "encrypted");
        const std::string id = options.cryptKey.empty() ? "clear-plain" : "clear-crypt";
        VORN *store = open(id, options);
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        ASSERT_TRUE(VORNTestPeer::remove(store, "a"));
        const vorn::VORNMetaInfo before = VORNTestPeer::metaInfo(store);
        ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        const vorn::VORNMetaInfo after = VORNTestPeer::metaInfo(store);
        EXPECT_EQ(after.m_actualSize, 0u);
        EXPECT_EQ(after.m_crcDigest, 0u);
        EXPECT_EQ(after.m_sequence, before.m_sequence + 1);
        EXPECT_NE(memcmp(after.m_vector, before.m_vector, 16), 0);
        ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
        store = reopen(store, id, options);
        EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"b"});
    }
}

TEST_F(WriteBack, PairListRewritesTheWholeStream) {
    for (const StoreOptions &options : {StoreOptions{}, encrypted("pair-list-key-16")}) {
        SCOPED_TRACE(options.cryptKey.empty() ? "plain" : "encrypted");
        const std::string id = options.cryptKey.empty() ? "pairs-plain" : "pairs-crypt";
        VORN *store = open(id, options);
        ASSERT_TRUE(VORNTestPeer::set(store, "old", "gone"));
        const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
        ASSERT_TRUE(VORNTestPeer::writeBackPairs(store, {{"x", "\x01X"}, {"y", std::string(3000, 'y')}}));
        EXPECT_TRUE(VORNTestPeer::needsLoad(store));
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"x", "y"}));
        EXPECT_EQ(VORNTestPeer::getRaw(store, "y"), std::string(3000, 'y'));
        EXPECT_EQ(VORNTestPeer::get(store, "x"), std::optional<std::string>("X"));
        EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence + 1);
    }
}

} // namespace
