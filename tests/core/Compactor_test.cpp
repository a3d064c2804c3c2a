// Compactor on its own: a rewrite in its three steps (build, install,
// finish) over small plain and encrypted indexes, with what the journal,
// the data file, the meta page and the index hold after each step.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "PartFixtures.h"
#include "core/Compactor.h"
#include "core/DataStream.h"
#include "core/KeyIndex.h"
#include "core/MetaRecord.h"
#include "core/VORNRewriteJournal.h"
#include "crypt/AESCrypt.h"
#include "platform/SystemCalls.h"

using namespace parts;
using recordstream::StreamBuilder;
using vorn::Compactor;
using vorn::kDataFileHeaderSize;
using vorn::kRewriteJournalHeaderSize;
using vorn::VornBuffer;
using vorn_test::crcOf;
using vorn_test::hex;
using vorn_test::readFile;

namespace {

constexpr uint32_t kSequence = 7;

// Records of a plain stream where a = 1 is overwritten by a = 3, and what
// a rewrite keeps of them: b = 2 and a = 3, in their old order.
const Bytes kOverwritten = {0x01, 'a', 0x01, '1', 0x01, 'b', 0x01, '2', 0x01, 'a', 0x01, '3'};
const Bytes kLiveRecords = {0x01, 'b', 0x01, '2', 0x01, 'a', 0x01, '3'};
// A record c = x and its deletion.
const Bytes kDeletedC = {0x01, 'c', 0x01, 'x', 0x01, 'c', 0x00};

// While set, every write into the rewrite journal fails with this errno.
int g_journalWriteError = 0;
int g_journalFd = -1;

int openNotingJournal(const char *path, int flags, mode_t mode) {
    const int fd = vorn::realSystemCalls().open(path, flags, mode);
    const std::string name(path);
    const std::string suffix(vorn::kRewriteJournalSuffix);
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        g_journalFd = fd;
    }
    return fd;
}

ssize_t pwriteFailingJournal(int fd, const void *bytes, size_t count, off_t offset) {
    if (fd == g_journalFd && g_journalWriteError != 0) {
        errno = g_journalWriteError;
        return -1;
    }
    return vorn::realSystemCalls().pwrite(fd, bytes, count, offset);
}

VornBuffer borrowed(uint8_t *bytes, size_t length) {
    return VornBuffer(bytes, length, vorn::VornBufferNoCopy);
}

// The item-size holder a rewrite opens the stream with: a varint of
// exactly `width` bytes.
void expectHolderOfWidth(const std::string &stream, size_t width) {
    ASSERT_GE(stream.size(), width);
    for (size_t i = 0; i + 1 < width; i++) {
        EXPECT_NE(stream[i] & 0x80, 0) << "holder byte " << i;
    }
    EXPECT_EQ(stream[width - 1] & 0x80, 0) << "the holder ends at byte " << width - 1;
}

// A store's two files and its parts, opened over a data file holding
// `stream` (as stored: encrypted or not) and a meta record at kSequence.
class CompactorTest : public PartTest {
protected:
    void openStore(const Bytes &stored, const uint8_t *vector) {
        const size_t pages = (kDataFileHeaderSize + stored.size() + page - 1) / page;
        vorn_test::writeFile(dataPath(), dataFileBytes(0, stored, std::max<size_t>(1, pages) * page));
        m_stream = std::make_unique<vorn::DataStream>(dataPath(), 0, false);
        ASSERT_TRUE(m_stream->isMapped());
        m_stream->setSize(stored.size());
        m_stream->setCRC(crcOf(text(stored)));
        m_stream->resetWriter(stored.size());

        m_meta = std::make_unique<vorn::MetaRecord>(path("store.crc"), false, false);
        m_meta->file().reloadFromFile(0);
        ASSERT_TRUE(m_meta->holdsRecord());
        vorn::VORNMetaInfo &record = m_meta->record();
        record.m_version = vorn::MetaVersionFlags;
        record.m_sequence = kSequence;
        record.m_actualSize = static_cast<uint32_t>(stored.size());
        record.m_crcDigest = m_stream->crc();
        if (vector) {
            memcpy(record.m_vector, vector, sizeof(record.m_vector));
        }
        m_meta->storeRecord();
    }

    std::string dataPath() const { return path("store"); }
    std::string journalPath() const { return vorn::rewriteJournalPath(dataPath()); }
    std::string streamOnDisk(size_t length) const { return readFile(dataPath()).substr(kDataFileHeaderSize, length); }

    // The journal between build and install: complete (a load would finish
    // the rewrite from it), naming `expected` as its record, holding the new
    // stream, which is returned.
    std::string expectCompleteJournal(const vorn::VORNMetaInfo &expected) {
        vorn::RewriteJournalReader reader(dataPath());
        EXPECT_TRUE(reader.open());
        EXPECT_EQ(memcmp(&reader.record(), &expected, sizeof(expected)), 0) << "the journal names the new record";
        const std::string journal = readFile(journalPath());
        EXPECT_EQ(journal.size(), kRewriteJournalHeaderSize + expected.m_actualSize);
        return journal.substr(kRewriteJournalHeaderSize);
    }

    // The new record: one sequence on, the new stream's length and CRC, and
    // these as the last confirmed state.
    void expectNewRecord(const Compactor &compactor, size_t size, uint32_t crc) {
        const vorn::VORNMetaInfo &record = compactor.newRecord();
        EXPECT_EQ(record.m_sequence, kSequence + 1);
        EXPECT_EQ(record.m_actualSize, size);
        EXPECT_EQ(record.m_crcDigest, crc);
        EXPECT_EQ(compactor.newCRC(), crc);
        EXPECT_EQ(record.m_lastConfirmedMetaInfo.lastActualSize, size);
        EXPECT_EQ(record.m_lastConfirmedMetaInfo.lastActualCRC, crc);
        EXPECT_EQ(record.m_version, static_cast<uint32_t>(vorn::MetaVersionFlags));
    }

    std::unique_ptr<vorn::DataStream> m_stream;
    std::unique_ptr<vorn::MetaRecord> m_meta;
};

TEST_F(CompactorTest, PlainRewriteKeepsExactlyTheLiveRecords) {
    const Bytes old = StreamBuilder(4).raw(kOverwritten).raw(kDeletedC).bytes();
    openStore(old, nullptr);
    vorn::KeyIndex index(false);
    ASSERT_TRUE(index.decode(borrowed(m_stream->bytes(), old.size()), nullptr, false));

    const std::string records = text(kLiveRecords);
    const size_t newSize = 4 + records.size();
    const vorn::PreparedStream prepared = vorn::prepareStream(index);
    EXPECT_EQ(prepared.totalSize, newSize);
    EXPECT_EQ(prepared.records.size(), 0u) << "every live record is in the file";

    const std::string dataBefore = readFile(dataPath());
    const std::string metaBefore = readFile(path("store.crc"));
    Compactor compactor(dataPath(), index, *m_stream, nullptr, nullptr);
    ASSERT_EQ(compactor.build(prepared, m_meta->record()), Compactor::Status::Ok);
    EXPECT_FALSE(compactor.builtInMemory());
    EXPECT_EQ(compactor.builtSize(), newSize);
    EXPECT_EQ(compactor.newIV(), nullptr);
    EXPECT_TRUE(readFile(dataPath()) == dataBefore) << "build leaves the data file alone";
    EXPECT_TRUE(readFile(path("store.crc")) == metaBefore) << "build leaves the meta file alone";

    const std::string newStream = expectCompleteJournal(compactor.newRecord());
    expectHolderOfWidth(newStream, 4);
    EXPECT_EQ(hex(newStream.substr(4)), hex(records));
    expectNewRecord(compactor, newSize, crcOf(newStream));

    ASSERT_EQ(compactor.install(*m_meta), Compactor::Status::Ok);
    std::string metaExpected = metaBefore;
    metaExpected.replace(8, 4, vorn_test::le32(kSequence + 1));
    EXPECT_TRUE(readFile(path("store.crc")) == metaExpected) << "install publishes the sequence alone";
    EXPECT_EQ(hex(streamOnDisk(newSize)), hex(newStream));
    ASSERT_TRUE(index.contains("a") && index.contains("b"));
    EXPECT_EQ(index.plain().find("b")->second.offset, 4u);
    EXPECT_EQ(index.plain().find("a")->second.offset, 8u);
    EXPECT_EQ(contentsOf(index, m_stream->bytes(), nullptr), (Contents{{"a", "3"}, {"b", "2"}}));
    EXPECT_GE(vorn_test::fileSize(journalPath()), 0) << "the journal stays until finish";

    vorn::KeyIndex reread(false);
    ASSERT_TRUE(reread.decode(borrowed(m_stream->bytes(), newSize), nullptr, false));
    EXPECT_EQ(contentsOf(reread, m_stream->bytes(), nullptr), (Contents{{"a", "3"}, {"b", "2"}}));

    compactor.finish();
    EXPECT_EQ(vorn_test::fileSize(journalPath()), -1) << "finish removes the journal";
}

// A rewrite that cannot go through the journal: a failing disk abandons it,
// a full one (or a quota) builds the new stream in memory instead; a build
// whose records do not add up to the prepared length is refused. Whatever
// is abandoned leaves both files as they were and no journal behind.
// Enough live records for the offset order to come from the radix sort
// (offsets of three bytes: three passes), in an index whose own order is
// unrelated to the stream's: the new stream keeps the old stream's order,
// and every entry names its record's new place.
TEST_F(CompactorTest, PlainRewriteOfManyRecordsKeepsTheStreamOrder) {
    constexpr int kKeys = 3000;
    StreamBuilder builder(4);
    auto keyOf = [](int i) { return "key-" + std::to_string(i * 7919 % kKeys); };
    auto valueOf = [](int i, char round) { return std::string(40, round) + std::to_string(i); };
    for (int i = 0; i < kKeys; i++) {
        builder.add(keyOf(i), valueOf(i, 'a'));
    }
    std::vector<std::string> expected; // live keys in old stream order
    for (int i = 0; i < kKeys; i++) {
        if (i % 3 != 0) {
            expected.push_back(keyOf(i));
        }
    }
    for (int i = 0; i < kKeys; i += 3) {
        builder.add(keyOf(i), valueOf(i, 'b')); // moves the key to the end
        expected.push_back(keyOf(i));
    }
    const Bytes old = builder.bytes();
    ASSERT_GT(old.size(), size_t(1) << 16) << "offsets need three bytes";
    openStore(old, nullptr);
    vorn::KeyIndex index(false);
    ASSERT_TRUE(index.decode(borrowed(m_stream->bytes(), old.size()), nullptr, false));
    const Contents before = contentsOf(index, m_stream->bytes(), nullptr);

    const vorn::PreparedStream prepared = vorn::prepareStream(index);
    Compactor compactor(dataPath(), index, *m_stream, nullptr, nullptr);
    ASSERT_EQ(compactor.build(prepared, m_meta->record()), Compactor::Status::Ok);
    ASSERT_EQ(compactor.install(*m_meta), Compactor::Status::Ok);
    compactor.finish();

    // Walk the new stream record by record.
    const std::string stream = streamOnDisk(prepared.totalSize);
    std::vector<std::string> order;
    for (size_t at = 4; at < stream.size();) {
        const size_t keyLength = static_cast<uint8_t>(stream[at]);
        const std::string key = stream.substr(at + 1, keyLength);
        EXPECT_EQ(index.plain().find(key)->second.offset, at) << key;
        order.push_back(key);
        at += 1 + keyLength;
        at += 1 + static_cast<uint8_t>(stream[at]);
    }
    EXPECT_EQ(order, expected);
    EXPECT_EQ(contentsOf(index, m_stream->bytes(), nullptr), before);
}

TEST_F(CompactorTest, BuildThatCannotUseTheJournal) {
    struct Case {
        const char *name;
        int writeError;
        size_t sizeError; // added to the prepared length
        Compactor::Status status;
        bool inMemory;
    };
    const Case cases[] = {
        {"failing disk", EIO, 0, Compactor::Status::JournalFailed, false},
        {"full disk", ENOSPC, 0, Compactor::Status::Ok, true},
        {"quota", EDQUOT, 0, Compactor::Status::Ok, true},
        {"prepared length one byte long", 0, 1, Compactor::Status::WrongSize, false},
    };
    const Bytes old = StreamBuilder(4).raw(kOverwritten).bytes();
    const std::string records = text(kLiveRecords);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        openStore(old, nullptr);
        vorn::KeyIndex index(false);
        ASSERT_TRUE(index.decode(borrowed(m_stream->bytes(), old.size()), nullptr, false));
        vorn::PreparedStream prepared = vorn::prepareStream(index);
        prepared.totalSize += c.sizeError;
        const std::string dataBefore = readFile(dataPath());
        const std::string metaBefore = readFile(path("store.crc"));
        {
            Compactor compactor(dataPath(), index, *m_stream, nullptr, nullptr);
            {
                vorn::ScopedSystemCallsOverride calls;
                calls->open = openNotingJournal;
                calls->pwrite = pwriteFailingJournal;
                g_journalFd = -1;
                g_journalWriteError = c.writeError;
                EXPECT_EQ(compactor.build(prepared, m_meta->record()), c.status);
                g_journalWriteError = 0;
            }
            EXPECT_EQ(compactor.builtInMemory(), c.inMemory);
            EXPECT_TRUE(readFile(dataPath()) == dataBefore);
            EXPECT_TRUE(readFile(path("store.crc")) == metaBefore);
            if (c.inMemory) {
                EXPECT_EQ(vorn_test::fileSize(journalPath()), -1) << "the partial journal gives its room back";
                expectNewRecord(compactor, prepared.totalSize, compactor.newCRC());
                ASSERT_EQ(compactor.install(*m_meta), Compactor::Status::Ok);
                const std::string newStream = streamOnDisk(prepared.totalSize);
                EXPECT_EQ(compactor.newCRC(), crcOf(newStream));
                expectHolderOfWidth(newStream, 4);
                EXPECT_EQ(hex(newStream.substr(4)), hex(records));
                EXPECT_EQ(contentsOf(index, m_stream->bytes(), nullptr), (Contents{{"a", "3"}, {"b", "2"}}));
                compactor.finish();
            }
        }
        EXPECT_EQ(vorn_test::fileSize(journalPath()), -1) << "no journal is left behind";
    }
}

// A store's contents replaced by given pairs: the new stream holds exactly
// them, encoded from memory.
TEST_F(CompactorTest, RewriteFromPairs) {
    const Bytes old = StreamBuilder().add("gone", "old value").bytes();
    openStore(old, nullptr);
    vorn::KeyIndex index(false);
    ASSERT_TRUE(index.decode(borrowed(m_stream->bytes(), old.size()), nullptr, false));

    std::vector<std::pair<std::string, VornBuffer>> pairs;
    for (const auto &[key, value] : {std::pair<std::string, std::string>{"x", "1"}, {"yy", "22"}}) {
        pairs.emplace_back(key, VornBuffer(const_cast<char *>(value.data()), value.size(), vorn::VornBufferCopy));
    }
    const std::string records = text({0x01, 'x', 0x01, '1', 0x02, 'y', 'y', 0x02, '2', '2'});
    vorn::PreparedStream prepared = vorn::prepareStream(std::move(pairs));
    ASSERT_EQ(prepared.totalSize, 4 + records.size());
    index.clear(); // as the caller does

    Compactor compactor(dataPath(), index, *m_stream, nullptr, nullptr);
    ASSERT_EQ(compactor.build(prepared, m_meta->record()), Compactor::Status::Ok);
    const std::string newStream = expectCompleteJournal(compactor.newRecord());
    expectHolderOfWidth(newStream, 4);
    EXPECT_EQ(hex(newStream.substr(4)), hex(records));
    expectNewRecord(compactor, prepared.totalSize, crcOf(newStream));
    ASSERT_EQ(compactor.install(*m_meta), Compactor::Status::Ok);
    EXPECT_EQ(hex(streamOnDisk(prepared.totalSize)), hex(newStream));
    compactor.finish();
    EXPECT_EQ(vorn_test::fileSize(journalPath()), -1);
}

// An encrypted store rewritten under its own key: a fresh vector, nothing in
// clear in the journal or the data file, the cipher left at the new stream's
// end, and the entries kept by position moved to their new places. A live
// record kept by position right behind a holder of 1, 2, 3 or 5 bytes keeps
// that holder width; otherwise the holder is 4 bytes.
TEST_F(CompactorTest, EncryptedRewriteUnderAFreshVector) {
    const std::string longValue = text(recordstream::patternBytes(400, 11));
    const std::string longValue2 = text(recordstream::patternBytes(300, 12));
    const std::string firstValue = text(recordstream::patternBytes(280, 13));
    struct Case {
        size_t holderWidth;
        bool liveFirst; // the first record is live and kept by position
        size_t newWidth;
    };
    const Case cases[] = {{4, false, 4}, {1, false, 4}, {1, true, 1}, {2, true, 2},
                          {3, true, 3},  {4, true, 4},  {5, true, 5}};
    for (const Case &c : cases) {
        SCOPED_TRACE("holder of " + std::to_string(c.holderWidth) + (c.liveFirst ? ", live first record" : ""));
        StreamBuilder builder(c.holderWidth);
        Contents live = {{"short", "s2"}, {"long", longValue}, {"long2", longValue2}};
        if (c.liveFirst) {
            builder.add("first", firstValue);
            live["first"] = firstValue;
        }
        const Bytes old = builder.add("short", "s1")
                              .add("long", longValue + "-old")
                              .add("gone", "g")
                              .add("long2", longValue2)
                              .add("long", longValue)
                              .add("gone", "")
                              .add("short", "s2")
                              .bytes();
        openStore(recordstream::encrypted(old).bytes(), recordstream::kIV);
        vorn::AESCrypt cipher = recordstream::makeCipher();
        vorn::KeyIndex index(true);
        ASSERT_TRUE(index.decode(borrowed(m_stream->bytes(), old.size()), &cipher, false));
        ASSERT_EQ(contentsOf(index, m_stream->bytes(), &cipher), live);

        const vorn::PreparedStream prepared = vorn::prepareStream(index);
        Compactor compactor(dataPath(), index, *m_stream, &cipher, &cipher);
        ASSERT_EQ(compactor.build(prepared, m_meta->record()), Compactor::Status::Ok);
        ASSERT_NE(compactor.newIV(), nullptr);
        EXPECT_NE(memcmp(compactor.newIV(), recordstream::kIV, sizeof(recordstream::kIV)), 0);
        EXPECT_EQ(memcmp(compactor.newRecord().m_vector, compactor.newIV(), vorn::kMetaVectorSize), 0);

        const std::string newStream = expectCompleteJournal(compactor.newRecord());
        ASSERT_EQ(newStream.size(), prepared.totalSize);
        expectNewRecord(compactor, prepared.totalSize, crcOf(newStream));
        for (const std::string &file : {readFile(journalPath()), readFile(dataPath())}) {
            for (const std::string *value : {&longValue, &longValue2, &firstValue}) {
                EXPECT_EQ(file.find(value->substr(0, 32)), std::string::npos) << "a value in clear";
            }
        }

        // Decrypted from the new vector, the new stream is a holder and the
        // live records; the store's cipher stands at its end, ready to append.
        vorn::AESCrypt fresh(recordstream::kKey16, sizeof(recordstream::kKey16), compactor.newIV(),
                             vorn::kAESBlockSize);
        Bytes plain(newStream.size());
        fresh.decrypt(newStream.data(), plain.data(), plain.size());
        EXPECT_EQ(recordstream::statusOf(cipher), recordstream::statusOf(fresh));
        expectHolderOfWidth(text(plain), c.newWidth);
        vorn::KeyIndex plainView(false);
        ASSERT_TRUE(plainView.decode(borrowed(plain.data(), plain.size()), nullptr, false));
        EXPECT_EQ(contentsOf(plainView, plain.data(), nullptr), live);

        ASSERT_EQ(compactor.install(*m_meta), Compactor::Status::Ok);
        EXPECT_EQ(hex(streamOnDisk(newStream.size())), hex(newStream));
        EXPECT_EQ(contentsOf(index, m_stream->bytes(), &cipher), live) << "moved entries read from their new places";

        vorn::AESCrypt reader(recordstream::kKey16, sizeof(recordstream::kKey16), compactor.newIV(),
                              vorn::kAESBlockSize);
        vorn::KeyIndex reread(true);
        ASSERT_TRUE(reread.decode(borrowed(m_stream->bytes(), newStream.size()), &reader, false));
        EXPECT_EQ(contentsOf(reread, m_stream->bytes(), &cipher), live);

        compactor.finish();
        EXPECT_EQ(vorn_test::fileSize(journalPath()), -1);
    }
}

// A rewrite that changes the stream's kind: a plain store given a key (the
// new stream encrypted under a fresh vector) and an encrypted store losing
// its key (the new stream in clear). The caller discards the index after
// either; what counts is the new stream's contents.
TEST_F(CompactorTest, RewriteChangingTheKind) {
    const std::string longValue = text(recordstream::patternBytes(300, 21));
    const Bytes old = StreamBuilder().add("a", "1").add("long", longValue).add("a", "2").add("b", "3").bytes();
    const Contents live = {{"a", "2"}, {"long", longValue}, {"b", "3"}};
    const uint8_t otherKey[16] = {'a', 'n', 'o', 't', 'h', 'e', 'r', ' ', 'k', 'e', 'y', ' ', '1', '2', '3', '4'};
    for (bool wasEncrypted : {false, true}) {
        SCOPED_TRACE(wasEncrypted ? "key removed" : "key given");
        openStore(wasEncrypted ? recordstream::encrypted(old).bytes() : old,
                  wasEncrypted ? recordstream::kIV : nullptr);
        vorn::AESCrypt storeCipher = recordstream::makeCipher();
        vorn::AESCrypt newCipher(otherKey, sizeof(otherKey));
        vorn::AESCrypt *decrypter = wasEncrypted ? &storeCipher : nullptr;
        vorn::AESCrypt *encrypter = wasEncrypted ? nullptr : &newCipher;
        vorn::KeyIndex index(wasEncrypted);
        ASSERT_TRUE(index.decode(borrowed(m_stream->bytes(), old.size()), decrypter, false));

        const vorn::PreparedStream prepared = vorn::prepareStream(index);
        Compactor compactor(dataPath(), index, *m_stream, decrypter, encrypter);
        ASSERT_EQ(compactor.build(prepared, m_meta->record()), Compactor::Status::Ok);
        EXPECT_EQ(compactor.newIV() != nullptr, !wasEncrypted);
        ASSERT_EQ(compactor.install(*m_meta), Compactor::Status::Ok);
        std::string newStream = streamOnDisk(prepared.totalSize);
        EXPECT_EQ(compactor.newCRC(), crcOf(newStream));
        EXPECT_EQ(newStream.find(longValue.substr(0, 32)) == std::string::npos, !wasEncrypted)
            << "the new stream is in clear exactly when the key is removed";
        if (!wasEncrypted) {
            vorn::AESCrypt reader(otherKey, sizeof(otherKey), compactor.newIV(), vorn::kAESBlockSize);
            reader.decrypt(newStream.data(), &newStream[0], newStream.size());
        }
        Bytes plain = bytesOf(newStream);
        vorn::KeyIndex reread(false);
        ASSERT_TRUE(reread.decode(borrowed(plain.data(), plain.size()), nullptr, false));
        EXPECT_EQ(contentsOf(reread, plain.data(), nullptr), live);
        compactor.finish();
    }
}

} // namespace
