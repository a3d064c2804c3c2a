// MetaRecord on its own: which bytes of the meta page each writer touches,
// and what the check block says of a record and a key (a match, a wrong,
// missing or superfluous key, a damaged vector repaired or reported, a
// block left by another sequence).

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PartFixtures.h"
#include "core/MetaRecord.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"

using namespace parts;
using vorn::MetaRecord;
using vorn::VORNMetaInfo;
using vorn_test::hex;
using vorn_test::readFile;

namespace {

const std::string kKeyA = "meta-record-keyA";
const std::string kKeyB = "meta-record-keyB";

std::unique_ptr<vorn::AESCrypt> cipherFor(const std::string &key) {
    if (key.empty()) {
        return nullptr;
    }
    return std::make_unique<vorn::AESCrypt>(key.data(), key.size());
}

// A record whose every field has a distinct value.
VORNMetaInfo sampleRecord() {
    VORNMetaInfo record;
    record.m_crcDigest = 0x11223344;
    record.m_version = vorn::MetaVersionFlags;
    record.m_sequence = 5;
    for (size_t i = 0; i < sizeof(record.m_vector); i++) {
        record.m_vector[i] = static_cast<uint8_t>(0xA0 + i);
    }
    record.m_actualSize = 0x0102;
    record.m_lastConfirmedMetaInfo = {0x30, 0x40};
    record.m_flags = vorn::MetaFlagKeyExpire;
    return record;
}

class MetaRecordTest : public PartTest {
protected:
    // The meta file opened and mapped, as a store's load does.
    std::unique_ptr<MetaRecord> openMeta(bool readOnly = false) {
        auto meta = std::make_unique<MetaRecord>(path("meta"), readOnly, false);
        meta->file().reloadFromFile(0);
        EXPECT_TRUE(meta->holdsRecord());
        return meta;
    }

    std::string pageBytes() { return readFile(path("meta")); }
};

// Each writer changes only its own fields of the page; everything else
// (including bytes a newer writer may keep there) is left as it was.
TEST_F(MetaRecordTest, WritersTouchOnlyTheirFields) {
    struct Case {
        const char *name;
        std::function<void(MetaRecord &)> write;
        std::vector<std::pair<size_t, size_t>> ranges; // [begin, end) that take the record's bytes
        std::optional<uint32_t> sequence;              // the sequence written instead of the record's
    };
    const std::vector<Case> cases = {
        {"storeCRCAndSize", [](MetaRecord &meta) { meta.storeCRCAndSize(); }, {{0, 4}, {28, 32}}, std::nullopt},
        {"publishSequence", [](MetaRecord &meta) { meta.publishSequence(0x0A0B0C0D); }, {{8, 12}}, 0x0A0B0C0D},
        {"storeRecord", [](MetaRecord &meta) { meta.storeRecord(); }, {{0, vorn::kMetaInfoSize}}, std::nullopt},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto meta = openMeta();
        memset(meta->page(), 0x5A, meta->pageSize());
        const std::string before = pageBytes();
        meta->record() = sampleRecord();
        c.write(*meta);
        const std::string after = pageBytes();
        ASSERT_EQ(after.size(), before.size());

        std::string expected = before;
        std::string recordBytes(vorn::kMetaInfoSize, '\0');
        sampleRecord().write(&recordBytes[0]);
        if (c.sequence) {
            recordBytes.replace(8, 4, vorn_test::le32(*c.sequence));
        }
        for (const auto &range : c.ranges) {
            expected.replace(range.first, range.second - range.first,
                             recordBytes.substr(range.first, range.second - range.first));
        }
        EXPECT_EQ(hex(after.substr(0, 200)), hex(expected.substr(0, 200)));
        EXPECT_TRUE(after == expected) << "a byte past the first 200 changed";
    }
}

TEST_F(MetaRecordTest, SharedFieldsAreReadFromThePage) {
    auto meta = openMeta();
    meta->record() = sampleRecord();
    meta->storeRecord();
    VORNMetaInfo other; // another process's newer state, written behind our back
    other.m_crcDigest = 0xCAFEF00D;
    other.m_sequence = 9;
    other.m_actualSize = 77;
    vorn_test::patchFile(path("meta"), 0, vorn_test::le32(other.m_crcDigest));
    vorn_test::patchFile(path("meta"), 8, vorn_test::le32(other.m_sequence));
    vorn_test::patchFile(path("meta"), 28, vorn_test::le32(other.m_actualSize));
    const MetaRecord::SharedFields shared = meta->sharedFields();
    EXPECT_EQ(shared.sequence, 9u);
    EXPECT_EQ(shared.crcDigest, 0xCAFEF00Du);
    EXPECT_EQ(shared.actualSize, 77u);
    EXPECT_EQ(meta->record().m_sequence, 5u) << "this process's copy is not reloaded";
}

// A read-only meta file shorter than a record is mapped at its length: the
// fields it does not have read as zeros, never from past the mapping.
TEST_F(MetaRecordTest, ShortReadOnlyPageReadsMissingFieldsAsZeros) {
    std::string bytes(12, '\0');
    bytes.replace(0, 4, vorn_test::le32(0x11223344));  // CRC
    bytes.replace(8, 4, vorn_test::le32(7));           // sequence
    vorn_test::writeFile(path("meta"), bytes);
    MetaRecord meta(path("meta"), true, false);
    meta.file().reloadFromFile(0);
    ASSERT_TRUE(meta.isMapped());
    ASSERT_EQ(meta.pageSize(), 12u);
    EXPECT_FALSE(meta.holdsRecord());
    const MetaRecord::SharedFields shared = meta.sharedFields();
    EXPECT_EQ(shared.sequence, 7u);
    EXPECT_EQ(shared.crcDigest, 0x11223344u);
    EXPECT_EQ(shared.actualSize, 0u);
    meta.record() = sampleRecord();
    meta.loadRecord();
    EXPECT_EQ(meta.record().m_crcDigest, 0x11223344u);
    EXPECT_EQ(meta.record().m_sequence, 7u);
    EXPECT_EQ(meta.record().m_actualSize, 0u);
    EXPECT_EQ(meta.record().m_flags, 0u);
    EXPECT_EQ(readFile(path("meta")), bytes) << "a read-only page is never written";
}

// A block written under one key, read back by a later load (a second
// MetaRecord over the same file) under another choice of key.
TEST_F(MetaRecordTest, CheckBlockJudgesTheKey) {
    struct Case {
        const char *name;
        std::string writerKey; // "" for a plain store
        std::string readerKey;
        bool mismatch;
    };
    const Case cases[] = {
        {"same key", kKeyA, kKeyA, false},
        {"another key", kKeyA, kKeyB, true},
        {"no key for an encrypted store", kKeyA, "", true},
        {"a key for a plain store", "", kKeyA, true},
        {"plain store, no key", "", "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        {
            auto writer = openMeta();
            writer->record() = sampleRecord();
            writer->storeRecord();
            auto cipher = cipherFor(c.writerKey);
            writer->writeCheckBlock(cipher.get(), 0);
            EXPECT_TRUE(writer->blockCurrent());
        }
        const std::string written = pageBytes();
        auto reader = openMeta();
        reader->loadRecord();
        auto cipher = cipherFor(c.readerKey);
        const MetaRecord::Verdict verdict = reader->evaluateCheckBlock("id", cipher.get(), std::nullopt);
        EXPECT_EQ(verdict.keyMismatch, c.mismatch);
        EXPECT_FALSE(verdict.metaDamaged);
        EXPECT_FALSE(verdict.needFreshVector);
        EXPECT_TRUE(reader->blockCurrent());
        EXPECT_TRUE(pageBytes() == written) << "judging the key writes nothing";
    }
}

TEST_F(MetaRecordTest, FreshVectorFlagConcernsOnlyEncryptedStores) {
    for (const std::string &key : {kKeyA, std::string()}) {
        SCOPED_TRACE(key.empty() ? "plain" : "encrypted");
        auto cipher = cipherFor(key);
        {
            auto writer = openMeta();
            writer->record() = sampleRecord();
            writer->storeRecord();
            writer->writeCheckBlock(cipher.get(), vorn::CheckBlockFreshVectorNeeded);
        }
        auto reader = openMeta();
        reader->loadRecord();
        EXPECT_EQ(reader->evaluateCheckBlock("id", cipher.get(), std::nullopt).needFreshVector, !key.empty());
    }
}

// A record damaged after its block was written. A damaged vector is put back
// from the block when the host answers recover; other damage drops the block
// (it vouches for nothing any more); a discard reports the record damaged and
// writes nothing.
TEST_F(MetaRecordTest, RecordDisagreeingWithItsBlock) {
    struct Case {
        const char *name;
        size_t damagedByte; // in the page
        VORNRecoverStrategic answer;
        bool metaDamaged;
        bool vectorRestored;
        bool blockDropped;
    };
    const Case cases[] = {
        {"vector byte, recover", 12 + 3, OnErrorRecover, false, true, false},
        {"last vector byte, recover", 27, OnErrorRecover, false, true, false},
        {"vector byte, discard", 12 + 3, OnErrorDiscard, true, false, false},
        {"flags byte, recover", 104, OnErrorRecover, false, false, true},
        {"flags byte, discard", 104, OnErrorDiscard, true, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto cipher = cipherFor(kKeyA);
        {
            auto writer = openMeta();
            writer->record() = sampleRecord();
            writer->storeRecord();
            writer->writeCheckBlock(cipher.get(), 0);
        }
        const std::string sound = pageBytes();
        std::string damaged = sound;
        damaged[c.damagedByte] = static_cast<char>(damaged[c.damagedByte] ^ 0x40);
        vorn_test::patchFile(path("meta"), c.damagedByte, damaged.substr(c.damagedByte, 1));

        auto reader = openMeta();
        reader->loadRecord();
        const MetaRecord::Verdict verdict = reader->evaluateCheckBlock("id", cipher.get(), c.answer);
        EXPECT_EQ(verdict.metaDamaged, c.metaDamaged);
        EXPECT_FALSE(verdict.keyMismatch);
        const std::string after = pageBytes();
        if (c.vectorRestored) {
            EXPECT_TRUE(after == sound) << "the vector is written back exactly";
            EXPECT_EQ(memcmp(reader->record().m_vector, sampleRecord().m_vector, vorn::kMetaVectorSize), 0);
            EXPECT_TRUE(reader->blockCurrent());
        } else if (c.blockDropped) {
            EXPECT_EQ(hex(after.substr(0, vorn::kMetaInfoSize)), hex(damaged.substr(0, vorn::kMetaInfoSize)));
            EXPECT_EQ(after.substr(vorn::kCheckBlockOffset, vorn::kCheckBlockSize),
                      std::string(vorn::kCheckBlockSize, '\0'));
            EXPECT_FALSE(reader->blockCurrent());
        } else {
            EXPECT_TRUE(after == damaged) << "a discard writes nothing";
        }
    }
}

// A repair of the record's fields (flags cleared, as a load does for a
// specious version) followed by a reseal: the block follows the record and
// still names the key it named. Nothing changes for a block of another
// sequence or a read-only store.
TEST_F(MetaRecordTest, ResealFollowsARepairedRecord) {
    struct Case {
        const char *name;
        bool readOnly;
        bool otherSequence;
        bool follows;
    };
    const Case cases[] = {
        {"writable, same sequence", false, false, true},
        {"block of another sequence", false, true, false},
        {"read-only", true, false, false},
    };
    auto keyA = cipherFor(kKeyA), keyB = cipherFor(kKeyB);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VORNMetaInfo repaired = sampleRecord();
        repaired.m_flags = 0;
        if (c.otherSequence) {
            repaired.m_sequence++;
        }
        {
            auto writer = openMeta();
            writer->record() = sampleRecord();
            writer->storeRecord();
            writer->writeCheckBlock(keyA.get(), 0);
            // The repaired record in the page, as the repairing load writes it.
            writer->record() = repaired;
            writer->storeRecord();
        }
        const std::string before = pageBytes();
        {
            auto repairer = openMeta(c.readOnly);
            repairer->loadRecord();
            repairer->resealCheckBlock();
        }
        const std::string after = pageBytes();
        EXPECT_EQ(after.substr(0, vorn::kMetaInfoSize), before.substr(0, vorn::kMetaInfoSize));
        if (!c.follows) {
            EXPECT_TRUE(after == before) << "the block is left alone";
            continue;
        }
        vorn::MetaCheckBlock block;
        ASSERT_TRUE(vorn::readCheckBlock(after.data(), after.size(), block));
        EXPECT_EQ(block.recordCRC, vorn::recordFieldsCRC(repaired));
        for (auto *cipher : {keyA.get(), keyB.get()}) {
            auto reader = openMeta();
            reader->loadRecord();
            const MetaRecord::Verdict verdict = reader->evaluateCheckBlock("id", cipher, OnErrorDiscard);
            EXPECT_FALSE(verdict.metaDamaged) << "the repaired record agrees with its block";
            EXPECT_EQ(verdict.keyMismatch, cipher == keyB.get()) << "the block still names key A";
        }
    }
}

// advanceMetaRecord: the in-memory record after a stream is recorded.
TEST_F(MetaRecordTest, AdvanceRecord) {
    const uint8_t iv[vorn::kMetaVectorSize] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    struct Case {
        const char *name;
        uint32_t version;
        uint64_t flags;
        bool withIV;
        bool increaseSequence;
        uint64_t expectedFlags; // an older version's flags field means nothing
    };
    const Case cases[] = {
        {"new file, append", vorn::MetaVersionDefault, 0, false, false, 0},
        {"version 1 with stray flags, new vector", vorn::MetaVersionCRC, 0xFF, true, false, 0},
        {"version 3, rewrite", vorn::MetaVersionActualSize, 0xFF, false, true, 0},
        {"version 4 keeps its flags, rewrite under a new vector", vorn::MetaVersionFlags, vorn::MetaFlagKeyExpire, true,
         true, vorn::MetaFlagKeyExpire},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VORNMetaInfo record = sampleRecord();
        record.m_version = c.version;
        record.m_flags = c.flags;
        const VORNMetaInfo before = record;
        vorn::advanceMetaRecord(record, 0x1234, 0xABCD, c.withIV ? iv : nullptr, c.increaseSequence);
        EXPECT_EQ(record.m_actualSize, 0x1234u);
        EXPECT_EQ(record.m_crcDigest, 0xABCDu);
        EXPECT_EQ(record.m_version, static_cast<uint32_t>(vorn::MetaVersionFlags));
        EXPECT_EQ(record.m_flags, c.expectedFlags);
        EXPECT_EQ(memcmp(record.m_vector, c.withIV ? iv : before.m_vector, sizeof(iv)), 0);
        EXPECT_EQ(record.m_sequence, before.m_sequence + (c.increaseSequence ? 1 : 0));
        const VORNMetaInfo::LastConfirmedMetaInfo confirmed =
            c.increaseSequence ? VORNMetaInfo::LastConfirmedMetaInfo{0x1234, 0xABCD} : before.m_lastConfirmedMetaInfo;
        EXPECT_EQ(record.m_lastConfirmedMetaInfo.lastActualSize, confirmed.lastActualSize);
        EXPECT_EQ(record.m_lastConfirmedMetaInfo.lastActualCRC, confirmed.lastActualCRC);
        EXPECT_EQ(memcmp(record.m_reserved, before.m_reserved, sizeof(record.m_reserved)), 0);
    }
}

// A block naming another sequence was left behind by a writer that does not
// know it; it says nothing, not even of a key that does not match.
TEST_F(MetaRecordTest, StaleBlockIsIgnored) {
    auto keyA = cipherFor(kKeyA), keyB = cipherFor(kKeyB);
    {
        auto writer = openMeta();
        writer->record() = sampleRecord();
        writer->storeRecord();
        writer->writeCheckBlock(keyA.get(), vorn::CheckBlockFreshVectorNeeded);
        writer->publishSequence(sampleRecord().m_sequence + 1);
        writer->page()[12] ^= 0x01; // and a vector the block does not name
    }
    const std::string before = pageBytes();
    auto reader = openMeta();
    reader->loadRecord();
    const MetaRecord::Verdict verdict = reader->evaluateCheckBlock("id", keyB.get(), OnErrorDiscard);
    EXPECT_FALSE(verdict.keyMismatch);
    EXPECT_FALSE(verdict.metaDamaged);
    EXPECT_FALSE(verdict.needFreshVector);
    EXPECT_FALSE(reader->blockCurrent());
    EXPECT_TRUE(pageBytes() == before);
}

// readCheckBlock finds a block only with its magic and its own CRC intact,
// in a page long enough to hold it.
TEST_F(MetaRecordTest, ReadCheckBlockRefusesDamagedBlocks) {
    const VORNMetaInfo record = sampleRecord();
    const vorn::MetaCheckBlock block = vorn::makeCheckBlock(record, nullptr, 0);
    std::string page(4096, '\0');
    record.write(&page[0]);
    memcpy(&page[vorn::kCheckBlockOffset], &block, sizeof(block));
    struct Case {
        const char *name;
        size_t flipped; // page byte flipped, or 0 for none
        size_t pageSize;
        bool found;
    };
    const Case cases[] = {
        {"sound", 0, page.size(), true},
        {"sound, page just long enough", 0, vorn::kMetaWithCheckBlockSize, true},
        {"page one byte short", 0, vorn::kMetaWithCheckBlockSize - 1, false},
        {"magic", vorn::kCheckBlockOffset, page.size(), false},
        {"sequence", vorn::kCheckBlockOffset + 8, page.size(), false},
        {"key state", vorn::kCheckBlockOffset + 40, page.size(), false},
        {"block CRC", vorn::kCheckBlockOffset + 44, page.size(), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = page;
        if (c.flipped) {
            bytes[c.flipped] = static_cast<char>(bytes[c.flipped] ^ 0x01);
        }
        vorn::MetaCheckBlock read;
        EXPECT_EQ(vorn::readCheckBlock(bytes.data(), c.pageSize, read), c.found);
        if (c.found) {
            EXPECT_EQ(memcmp(&read, &block, sizeof(block)), 0);
            EXPECT_EQ(read.sequence, record.m_sequence);
            EXPECT_EQ(read.recordCRC, vorn::recordFieldsCRC(record));
        }
    }
}

} // namespace
