// The bytes of a store's two files, and the bookkeeping that keeps the meta
// record in step with the data file.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <zlib.h>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "encoding/LittleEndian.h"

using namespace vorn_test;

namespace {

class DataFileFormat : public StoreTest {};

TEST_F(DataFileFormat, WorkedExampleByteForByte) {
    const size_t page = vorn::mmapUnitSize();
    ASSERT_EQ(page, 4096u) << "the example assumes 4096-byte pages";

    VORN *store = open("example");
    VORNTestPeer::load(store);
    // The first load writes the leading 0 and an empty version-4 record.
    std::string meta = readFile(metaPath("example"));
    vorn::VORNMetaInfo info = metaFromBytes(meta);
    EXPECT_EQ(info.m_version, 4u);
    EXPECT_EQ(info.m_sequence, 0u);
    EXPECT_EQ(info.m_actualSize, 0u);
    EXPECT_EQ(m_log.count("loaded [example] with 0 key-values"), 1u);

    ASSERT_TRUE(VORNTestPeer::set(store, "k", "v"));
    ASSERT_TRUE(VORNTestPeer::set(store, "k2", "hello"));
    store->sync();

    std::string data = readFile(dataPath("example"));
    ASSERT_EQ(data.size(), 4096u);
    EXPECT_EQ(data.substr(0, 4), std::string(4, '\0'));
    const auto h = reinterpret_cast<const unsigned char *>(data.data()) + 4;
    EXPECT_TRUE((h[0] & 0x80) && (h[1] & 0x80) && (h[2] & 0x80)) << hex(data.substr(4, 4));
    EXPECT_TRUE(h[3] >= 0x01 && h[3] <= 0x7F) << hex(data.substr(4, 4));
    EXPECT_EQ(hex(data.substr(8, 15)), "01 6B 02 01 76 02 6B 32 06 05 68 65 6C 6C 6F ");
    EXPECT_EQ(data.substr(23), std::string(4096 - 23, '\0'));

    meta = readFile(metaPath("example"));
    ASSERT_EQ(meta.size(), 4096u);
    vorn::VORNMetaInfo expected;
    expected.m_crcDigest = crcOf(data.substr(4, 19));
    expected.m_version = 4;
    expected.m_sequence = 1;
    expected.m_actualSize = 19;
    expected.m_lastConfirmedMetaInfo.lastActualSize = 4;
    expected.m_lastConfirmedMetaInfo.lastActualCRC = crcOf(data.substr(4, 4));
    expected.m_flags = 0;
    std::string expectedMeta(4096, '\0');
    expected.write(&expectedMeta[0]);
    // The check block after the record, for a plain store: magic, sequence,
    // vector, CRC of the sequence, vector and flags (bytes 8-27, 104-111),
    // no key check, key state 0 (plain), no flags, its own CRC.
    std::string block = "VRNCHKC1";
    block += expectedMeta.substr(8, 4) + expectedMeta.substr(12, 16);
    const uint32_t fieldsCRC =
        crc32(crcOf(expectedMeta.substr(8, 20)), reinterpret_cast<const Bytef *>(&expectedMeta[104]), 8);
    block += std::string(reinterpret_cast<const char *>(&fieldsCRC), 4);
    block += std::string(8 + 1 + 1 + 2, '\0');
    const uint32_t blockCRC = crcOf(block);
    block += std::string(reinterpret_cast<const char *>(&blockCRC), 4);
    ASSERT_EQ(block.size(), 48u);
    expectedMeta.replace(vorn::kMetaInfoSize, block.size(), block);
    EXPECT_EQ(hex(meta.substr(0, vorn::kMetaInfoSize)), hex(expectedMeta.substr(0, vorn::kMetaInfoSize)));
    EXPECT_EQ(hex(meta.substr(vorn::kMetaInfoSize, 48)), hex(block));
    EXPECT_TRUE(meta == expectedMeta) << "bytes past the check block are zero";

    // Removing k2 appends its deletion record; the sequence stays.
    ASSERT_TRUE(VORNTestPeer::remove(store, "k2"));
    store->sync();
    data = readFile(dataPath("example"));
    EXPECT_EQ(hex(data.substr(23, 4)), "02 6B 32 00 ");
    info = metaFromBytes(readFile(metaPath("example")));
    EXPECT_EQ(info.m_actualSize, 23u);
    EXPECT_EQ(info.m_sequence, 1u);
    EXPECT_EQ(info.m_crcDigest, crcOf(data.substr(4, 23)));

    // And the files read back as the same store.
    store = reopen(store, "example");
    EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("v"));
    EXPECT_EQ(VORNTestPeer::get(store, "k2"), std::nullopt);
    EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"k"});
}

// Which bytes of the meta page an update touches.
TEST_F(DataFileFormat, AnAppendChangesOnlyTheCRCAndSizeFields) {
    VORN *store = open("fields");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    store->sync();
    const std::string before = readFile(metaPath("fields"));
    ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
    store->sync();
    const std::string after = readFile(metaPath("fields"));
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 0; i < after.size(); i++) {
        const bool crcOrSize = i < 4 || (i >= 28 && i < 32);
        if (!crcOrSize) {
            ASSERT_EQ(before[i], after[i]) << "byte " << i << " changed";
        }
    }
    EXPECT_NE(before.substr(0, 4), after.substr(0, 4));
    EXPECT_NE(before.substr(28, 4), after.substr(28, 4));

    // The CRC extended over the new record equals the CRC of the whole stream.
    const vorn::VORNMetaInfo info = metaFromBytes(after);
    const std::string data = readFile(dataPath("fields"));
    EXPECT_EQ(info.m_crcDigest, crcOf(data.substr(4, info.m_actualSize)));
}

TEST_F(DataFileFormat, WriteActualSizeRaisesOldRecordsAndStepsTheSequence) {
    VORN *store = open("versions");
    VORNTestPeer::load(store);
    const std::string path = metaPath("versions");

    struct Case {
        const char *name;
        uint32_t versionBefore;
        bool withIV;
        bool increaseSequence;
        bool wholeRecord; // else only bytes 0-3 and 28-31 may change
    } cases[] = {
        {"version 4, new size and CRC", 4, false, false, false},
        {"version 4, sequence step", 4, false, true, true},
        {"version 1, new vector", 1, true, false, true},
        {"version 0", 0, false, false, true},
        {"version 3", 3, false, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vorn::VORNMetaInfo seeded;
        seeded.m_version = c.versionBefore;
        seeded.m_sequence = 7;
        seeded.m_flags = 1;
        seeded.m_lastConfirmedMetaInfo.lastActualSize = 11;
        memset(seeded.m_reserved, 0x33, sizeof(seeded.m_reserved));
        VORNTestPeer::seedMeta(store, seeded);
        store->sync();
        const std::string before = readFile(path);

        uint8_t iv[16];
        memset(iv, 0x5A, sizeof(iv));
        ASSERT_TRUE(VORNTestPeer::writeActualSize(store, 0, 0x12345678, c.withIV ? iv : nullptr, c.increaseSequence));
        store->sync();
        const std::string after = readFile(path);
        const vorn::VORNMetaInfo info = metaFromBytes(after);
        EXPECT_EQ(info.m_version, 4u);
        EXPECT_EQ(info.m_crcDigest, 0x12345678u);
        EXPECT_EQ(info.m_sequence, c.increaseSequence ? 8u : 7u);
        EXPECT_EQ(info.m_lastConfirmedMetaInfo.lastActualSize, c.increaseSequence ? 0u : 11u);
        EXPECT_EQ(memcmp(info.m_vector, iv, sizeof(iv)) == 0, c.withIV);
        EXPECT_EQ(info.m_flags, c.versionBefore < 4 ? 0u : 1u) << "a record below version 4 has no valid flags";
        EXPECT_EQ(info.m_reserved[0], 0x33) << "reserved bytes are carried over";
        // After the record only the check block: written with the whole
        // record, untouched by an append's two fields.
        EXPECT_EQ(after.substr(vorn::kMetaWithCheckBlockSize),
                  std::string(after.size() - vorn::kMetaWithCheckBlockSize, '\0'));
        const std::string block = after.substr(vorn::kCheckBlockOffset, vorn::kCheckBlockSize);
        if (c.wholeRecord) {
            EXPECT_EQ(block.substr(0, 8), "VRNCHKC1");
            EXPECT_EQ(vorn::decodeFixed32(block.data() + 8), info.m_sequence);
        } else {
            EXPECT_EQ(block, before.substr(vorn::kCheckBlockOffset, vorn::kCheckBlockSize));
        }
        if (!c.wholeRecord) {
            for (size_t i = 0; i < vorn::kMetaInfoSize; i++) {
                if (i >= 4 && (i < 28 || i >= 32)) {
                    ASSERT_EQ(before[i], after[i]) << "byte " << i;
                }
            }
        }
    }
}

TEST_F(DataFileFormat, ReadActualSizeFollowsTheVersion) {
    VORN *store = open("sizes");
    ASSERT_TRUE(VORNTestPeer::set(store, "key", "value"));
    store->sync();
    close(store);

    // A version-2 record: the data file's leading field is the size.
    std::string data = readFile(dataPath("sizes"));
    vorn::VORNMetaInfo info = metaFromBytes(readFile(metaPath("sizes")));
    const uint32_t streamSize = info.m_actualSize;
    const std::string leading(reinterpret_cast<const char *>(&streamSize), 4);
    patchFile(dataPath("sizes"), 0, leading);
    info.m_version = 2;
    info.m_actualSize = 999; // not used at version 2
    std::string page(vorn::mmapUnitSize(), '\0');
    info.write(&page[0]);
    writeFile(metaPath("sizes"), page);

    store = open("sizes", readOnly());
    VORNTestPeer::load(store);
    EXPECT_EQ(VORNTestPeer::readActualSize(store), streamSize);
    EXPECT_EQ(VORNTestPeer::get(store, "key"), std::optional<std::string>("value"));
    close(store);

    // Version 3: the record's size wins over the leading field.
    info.m_version = 3;
    info.m_actualSize = streamSize;
    patchFile(dataPath("sizes"), 0, std::string("\x07\x00\x00\x00", 4));
    info.write(&page[0]);
    writeFile(metaPath("sizes"), page);
    store = open("sizes", readOnly());
    VORNTestPeer::load(store);
    EXPECT_EQ(VORNTestPeer::readActualSize(store), streamSize);
    EXPECT_EQ(VORNTestPeer::get(store, "key"), std::optional<std::string>("value"));
}

TEST_F(DataFileFormat, ReadOnlyStoreWritesNothing) {
    VORN *store = open("frozen");
    ASSERT_TRUE(VORNTestPeer::set(store, "only", "one"));
    store->sync();
    close(store);
    const std::string data = readFile(dataPath("frozen"));
    const std::string meta = readFile(metaPath("frozen"));

    store = open("frozen", readOnly());
    VORNTestPeer::load(store);
    EXPECT_FALSE(VORNTestPeer::writeActualSize(store, 0, 0, nullptr, true));
    m_log.clear();
    // Also the single-key case, which would otherwise rewrite from the start.
    EXPECT_FALSE(VORNTestPeer::set(store, "only", "two"));
    EXPECT_FALSE(VORNTestPeer::set(store, "other", "x"));
    EXPECT_FALSE(VORNTestPeer::remove(store, "only"));
    EXPECT_EQ(m_log.count("[frozen] file readonly"), 3u) << m_log.dump();
    EXPECT_EQ(VORNTestPeer::get(store, "only"), std::optional<std::string>("one"));
    close(store);
    EXPECT_EQ(readFile(dataPath("frozen")), data);
    EXPECT_EQ(readFile(metaPath("frozen")), meta);
}

} // namespace
