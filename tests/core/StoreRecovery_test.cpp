// Damaged stores: build a store, damage its files, reopen, check what survives
// and what the files hold afterwards.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedOutputData.h"
#include "platform/SystemCalls.h"

using namespace vorn_test;

namespace {

// Every record "key-<i>" -> "value-<i>" (i < 10) takes 15 bytes: 1 + 5 key
// bytes, 1 + 8 value bytes (data-holder form: 07 "value-i"). The stream starts
// with a 4-byte item-size holder, at data file offset 4.
constexpr size_t kRecordSize = 15;
constexpr size_t kStreamStart = 4;

size_t recordFileOffset(int index) {
    return kStreamStart + 4 + kRecordSize * static_cast<size_t>(index);
}

std::string le32(uint32_t value) {
    return std::string(reinterpret_cast<const char *>(&value), 4);
}

class Recovery : public StoreTest {
protected:
    // Writes key-<from> .. key-<to - 1>, then flushes and closes the store.
    // With compactFirst, the keys written so far are compacted first, so that
    // the last confirmed state covers them.
    void Build(const std::string &id, int from, int to, const StoreOptions &options = {}) {
        VORN *store = open(id, options);
        for (int i = from; i < to; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, key(i), value(i)));
        }
        store->sync();
        close(store);
    }
    void Compact(const std::string &id, const StoreOptions &options = {}) {
        VORN *store = open(id, options);
        VORNTestPeer::load(store);
        ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        store->sync();
        close(store);
    }

    void CorruptData(const std::string &id, size_t offset, const std::string &bytes) {
        patchFile(dataPath(id), offset, bytes);
    }
    // XOR one byte of the data file.
    void FlipData(const std::string &id, size_t offset, uint8_t mask) {
        std::string data = readFile(dataPath(id));
        ASSERT_LT(offset, data.size());
        CorruptData(id, offset, std::string(1, static_cast<char>(data[offset] ^ mask)));
    }
    void CorruptMeta(const std::string &id, size_t offset, uint32_t value) {
        patchFile(metaPath(id), offset, le32(value));
    }
    // Makes the last confirmed state unusable.
    void BreakLastConfirmedState(const std::string &id) {
        vorn::VORNMetaInfo info = meta(id);
        CorruptMeta(id, offsetof(vorn::VORNMetaInfo, m_lastConfirmedMetaInfo) + 4,
                    info.m_lastConfirmedMetaInfo.lastActualCRC ^ 0xA5A5A5A5u);
    }

    // Opens the store and returns its keys, checking every value.
    std::vector<std::string> Check(const std::string &id, const StoreOptions &options = {}) {
        VORN *store = open(id, options);
        VORNTestPeer::load(store);
        std::vector<std::string> keys = VORNTestPeer::keys(store);
        for (const auto &k : keys) {
            EXPECT_EQ(VORNTestPeer::get(store, k), std::optional<std::string>("value-" + k.substr(4))) << k;
        }
        m_lastStore = store;
        return keys;
    }

    vorn::VORNMetaInfo meta(const std::string &id) { return metaFromBytes(readFile(metaPath(id))); }
    static std::string key(int i) { return "key-" + std::to_string(i); }
    static std::string value(int i) { return "value-" + std::to_string(i); }
    static std::vector<std::string> keyRange(int from, int to) {
        std::vector<std::string> keys;
        for (int i = from; i < to; i++) {
            keys.push_back(key(i));
        }
        std::sort(keys.begin(), keys.end());
        return keys;
    }

    VORN *m_lastStore = nullptr;
};

TEST_F(Recovery, CRCFailureFallsBackToTheLastConfirmedState) {
    Build("fallback", 0, 5);
    Compact("fallback"); // last confirmed state: the five records
    Build("fallback", 5, 8);
    const uint32_t confirmedSize = meta("fallback").m_lastConfirmedMetaInfo.lastActualSize;
    ASSERT_EQ(confirmedSize, 4 + 5 * kRecordSize);
    FlipData("fallback", recordFileOffset(6) + 10, 0x01);

    EXPECT_EQ(Check("fallback"), keyRange(0, 5));
    EXPECT_EQ(m_log.crcAsked, 0) << "the handler is not asked when the fallback works";
    EXPECT_EQ(m_log.countPrefix("check crc [fallback] fail"), 2u) << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogWarning, "operator()", "oldStyleActualSize 0 not equal to meta actual size 124"));
    EXPECT_EQ(meta("fallback").m_actualSize, confirmedSize);

    // Later appends follow the confirmed size.
    ASSERT_TRUE(VORNTestPeer::set(m_lastStore, key(9), value(9)));
    EXPECT_EQ(VORNTestPeer::recordOffset(m_lastStore, key(9)), static_cast<long long>(confirmedSize));
    close(m_lastStore);
    m_log.clear();
    std::vector<std::string> expected = keyRange(0, 5);
    expected.push_back(key(9));
    EXPECT_EQ(Check("fallback"), expected);
    EXPECT_EQ(m_log.countPrefix("check crc"), 0u) << m_log.dump();
}

// Records msync calls, to see what a load flushes.
std::vector<std::pair<void *, int>> g_msyncCalls;
int recordingMsync(void *address, size_t length, int flags) {
    g_msyncCalls.push_back({address, flags});
    return vorn::realSystemCalls().msync(address, length, flags);
}

TEST_F(Recovery, CRCFailureWithoutFallbackOrHandlerDiscardsTheStream) {
    Build("discard", 0, 3);
    BreakLastConfirmedState("discard");
    FlipData("discard", recordFileOffset(1) + 9, 0x20);
    const uint32_t sequence = meta("discard").m_sequence;

    VORN::unRegisterHandler(); // no handler: the answer is discard
    vorn::ScopedSystemCallsOverride calls;
    g_msyncCalls.clear();
    calls->msync = recordingMsync;
    VORN *store = open("discard");
    VORNTestPeer::load(store);
    EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);

    const vorn::VORNMetaInfo info = meta("discard");
    EXPECT_EQ(info.m_sequence, sequence + 1);
    EXPECT_EQ(info.m_actualSize, 0u);
    EXPECT_EQ(info.m_crcDigest, 0u);
    EXPECT_EQ(info.m_lastConfirmedMetaInfo.lastActualSize, 0u);
    EXPECT_EQ(info.m_lastConfirmedMetaInfo.lastActualCRC, 0u);
    bool dataFlushed = false, metaFlushed = false;
    for (const auto &call : g_msyncCalls) {
        dataFlushed |= call.first == VORNTestPeer::dataMemory(store) && call.second == MS_SYNC;
        metaFlushed |= call.first == VORNTestPeer::metaMemory(store) && call.second == MS_SYNC;
    }
    EXPECT_TRUE(dataFlushed);
    EXPECT_TRUE(metaFlushed);

    // A discarded store is an empty, working store.
    ASSERT_TRUE(VORNTestPeer::set(store, key(7), value(7)));
    close(store);
    VORN::registerHandler(&m_log);
    EXPECT_EQ(Check("discard"), keyRange(7, 8));
}

TEST_F(Recovery, HandlerAnswerOnCRCFailure) {
    struct Case {
        const char *name;
        VORNRecoverStrategic answer;
        std::optional<VORNRecoverStrategic> configured;
        std::vector<std::string> survivors;
        int logged; // the "recover strategic" line's answer
    } cases[] = {
        {"handler recovers", OnErrorRecover, std::nullopt, keyRange(0, 4), 1},
        {"handler discards", OnErrorDiscard, std::nullopt, {}, 0},
        {"config overrides the handler", OnErrorRecover, OnErrorDiscard, {}, 0},
        {"config recovers", OnErrorDiscard, OnErrorRecover, keyRange(0, 4), 1},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "answer-" + std::to_string(n++);
        Build(id, 0, 6);
        BreakLastConfirmedState(id);
        // key-4's key length now runs past the stream: reading stops there.
        CorruptData(id, recordFileOffset(4), "\x7F");
        const uint32_t sequence = meta(id).m_sequence;

        m_log.clear();
        m_log.crcAnswer = c.answer;
        StoreOptions options;
        options.recover = c.configured;
        EXPECT_EQ(Check(id, options), c.survivors);
        EXPECT_EQ(m_log.crcAsked, 1) << "the handler is asked even when the config answers";
        EXPECT_TRUE(m_log.has(VORNLogInfo, "checkDataValid",
                              "recover strategic for [" + id + "] is " + std::to_string(c.logged)))
            << m_log.dump();
        // Recovered or discarded, the stream is rewritten with a new sequence.
        const vorn::VORNMetaInfo info = meta(id);
        EXPECT_EQ(info.m_sequence, sequence + 1);
        EXPECT_EQ(info.m_actualSize, c.survivors.empty() ? 0u : 4 + kRecordSize * c.survivors.size());
        close(m_lastStore);

        m_log.clear();
        EXPECT_EQ(Check(id, options), c.survivors);
        EXPECT_EQ(m_log.crcAsked, 0) << "the rewritten stream checks out";
        close(m_lastStore);
    }
}

TEST_F(Recovery, SizeFieldBeyondTheFile) {
    struct Case {
        const char *name;
        VORNRecoverStrategic answer;
        std::vector<std::string> survivors;
    } cases[] = {
        {"discard", OnErrorDiscard, {}},
        {"recover reads up to the end of the file", OnErrorRecover, keyRange(0, 3)},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "length-" + std::to_string(n++);
        Build(id, 0, 3);
        CorruptMeta(id, offsetof(vorn::VORNMetaInfo, m_actualSize), 5000);
        CorruptMeta(id, offsetof(vorn::VORNMetaInfo, m_lastConfirmedMetaInfo), 5000);

        m_log.clear();
        m_log.lengthAnswer = c.answer;
        EXPECT_EQ(Check(id), c.survivors);
        EXPECT_EQ(m_log.lengthAsked, 1);
        EXPECT_EQ(m_log.crcAsked, 0);
        EXPECT_TRUE(m_log.has(VORNLogError, "checkDataValid",
                              "check [" + id + "] error: 5000 size in total, file size is 4096"))
            << m_log.dump();
        EXPECT_TRUE(
            m_log.has(VORNLogError, "operator()", "check [" + id + "] error: lastActualSize 5000, file size is 4096"));
        EXPECT_EQ(meta(id).m_actualSize, c.survivors.empty() ? 0u : 4 + 3 * kRecordSize);
        close(m_lastStore);
    }
}

TEST_F(Recovery, SpeciousMetaVersionIsReset) {
    Build("specious", 0, 2);
    CorruptMeta("specious", offsetof(vorn::VORNMetaInfo, m_version), 9);
    patchFile(metaPath("specious"), offsetof(vorn::VORNMetaInfo, m_flags), std::string("\x05\0\0\0\0\0\0\0", 8));

    EXPECT_EQ(Check("specious"), keyRange(0, 2));
    EXPECT_TRUE(m_log.has(VORNLogWarning, "loadMetaInfoAndCheck",
                          "meta file [specious] in specious state, version 9, flags 0x5"))
        << m_log.dump();
    vorn::VORNMetaInfo info = meta("specious");
    EXPECT_EQ(info.m_version, 3u);
    EXPECT_EQ(info.m_flags, 0u);

    // The next update raises it to 4.
    ASSERT_TRUE(VORNTestPeer::set(m_lastStore, key(2), value(2)));
    EXPECT_EQ(meta("specious").m_version, 4u);
}

TEST_F(Recovery, OldStylePlainStoreOfVersion2) {
    Build("v2", 0, 3);
    // Rewrite the meta record the way a version-2 writer left it: the size in
    // the data file's leading field, no size in the record.
    const vorn::VORNMetaInfo current = meta("v2");
    const uint32_t size = current.m_actualSize;
    patchFile(dataPath("v2"), 0, le32(size));
    vorn::VORNMetaInfo old;
    old.m_crcDigest = current.m_crcDigest;
    old.m_version = 2;
    std::string page(vorn::mmapUnitSize(), '\0');
    old.write(&page[0]);
    writeFile(metaPath("v2"), page);

    EXPECT_EQ(Check("v2"), keyRange(0, 3));
    EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
    ASSERT_TRUE(VORNTestPeer::set(m_lastStore, key(3), value(3)));
    const vorn::VORNMetaInfo info = meta("v2");
    EXPECT_EQ(info.m_version, 4u);
    EXPECT_EQ(info.m_actualSize, size + kRecordSize);
    // The first update of a version-2 record still keeps the leading field.
    EXPECT_EQ(readFile(dataPath("v2")).substr(0, 4), le32(size + kRecordSize));
    close(m_lastStore);
    EXPECT_EQ(Check("v2"), keyRange(0, 4));
}

TEST_F(Recovery, OldStyleEncryptedStoreWithoutVectorIsRewrittenUnderANewOne) {
    const std::string cryptKey = "0123456789abcdef";
    // A version-1 stream: encrypted from the key-derived vector.
    std::string stream(4 + 3 * kRecordSize, '\0');
    vorn::CodedOutputData output(&stream[0], stream.size());
    output.writeUInt32(0x200000); // 4-byte item-size holder
    for (int i = 0; i < 3; i++) {
        std::string wrapped = "\x07" + value(i);
        output.writeString(key(i));
        output.writeString(wrapped);
    }
    ASSERT_EQ(output.spaceLeft(), 0u);
    vorn::AESCrypt cipher(cryptKey.data(), cryptKey.size());
    cipher.encrypt(&stream[0], &stream[0], stream.size());

    std::string data(vorn::mmapUnitSize(), '\0');
    const std::string leading = le32(static_cast<uint32_t>(stream.size()));
    data.replace(0, 4, leading);
    data.replace(4, stream.size(), stream);
    writeFile(dataPath("v1"), data);
    vorn::VORNMetaInfo old;
    old.m_crcDigest = crcOf(stream);
    old.m_version = 1;
    std::string page(vorn::mmapUnitSize(), '\0');
    old.write(&page[0]);
    writeFile(metaPath("v1"), page);

    EXPECT_EQ(Check("v1", encrypted(cryptKey)), keyRange(0, 3));
    const vorn::VORNMetaInfo info = meta("v1");
    EXPECT_EQ(info.m_version, 4u);
    EXPECT_EQ(info.m_sequence, 1u);
    EXPECT_NE(std::string(reinterpret_cast<const char *>(info.m_vector), 16), std::string(16, '\0'));
    EXPECT_NE(readFile(dataPath("v1")).substr(4, stream.size()), stream);
    close(m_lastStore);
    m_log.clear();
    EXPECT_EQ(Check("v1", encrypted(cryptKey)), keyRange(0, 3));
    EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
}

TEST_F(Recovery, DowngradedAndUpgradedAgainUsesTheLeadingSizeField) {
    Build("downgrade", 0, 3);
    // An older writer appended nothing but kept its own size and CRC of the
    // first two records.
    const std::string data = readFile(dataPath("downgrade"));
    const uint32_t twoRecords = 4 + 2 * kRecordSize;
    patchFile(dataPath("downgrade"), 0, le32(twoRecords));
    CorruptMeta("downgrade", offsetof(vorn::VORNMetaInfo, m_crcDigest), crcOf(data.substr(4, twoRecords)));

    EXPECT_EQ(Check("downgrade"), keyRange(0, 2));
    EXPECT_TRUE(m_log.has(VORNLogInfo, "operator()", "looks like [downgrade] been downgrade & upgrade again"))
        << m_log.dump();
    EXPECT_EQ(meta("downgrade").m_actualSize, twoRecords);
    EXPECT_EQ(m_log.crcAsked, 0);
}

TEST_F(Recovery, ReadOnlyStoreWithDamageWritesNothing) {
    struct Case {
        const char *name;
        VORNRecoverStrategic answer;
        std::vector<std::string> survivors;
    } cases[] = {
        {"recover: greedy, no rewrite", OnErrorRecover, keyRange(0, 4)},
        {"discard: empty, no rewrite", OnErrorDiscard, {}},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "ro-" + std::to_string(n++);
        Build(id, 0, 6);
        BreakLastConfirmedState(id);
        CorruptData(id, recordFileOffset(4), "\x7F");
        const std::string data = readFile(dataPath(id));
        const std::string metaBytes = readFile(metaPath(id));

        m_log.clear();
        m_log.crcAnswer = c.answer;
        EXPECT_EQ(Check(id, readOnly()), c.survivors);
        EXPECT_EQ(m_log.crcAsked, 1);
        EXPECT_FALSE(VORNTestPeer::set(m_lastStore, key(8), value(8)));
        close(m_lastStore);
        EXPECT_EQ(readFile(dataPath(id)), data);
        EXPECT_EQ(readFile(metaPath(id)), metaBytes);
    }
}

TEST_F(Recovery, ReadOnlyFallbackUsesTheConfirmedSizeInMemory) {
    Build("ro-fallback", 0, 4);
    Compact("ro-fallback");
    Build("ro-fallback", 4, 6);
    const uint32_t confirmedSize = meta("ro-fallback").m_lastConfirmedMetaInfo.lastActualSize;
    // A size far beyond the file: never to be decoded, though nothing is written.
    CorruptMeta("ro-fallback", offsetof(vorn::VORNMetaInfo, m_actualSize), 900000);
    const std::string metaBytes = readFile(metaPath("ro-fallback"));

    EXPECT_EQ(Check("ro-fallback", readOnly()), keyRange(0, 4));
    EXPECT_EQ(VORNTestPeer::actualSize(m_lastStore), confirmedSize);
    EXPECT_EQ(m_log.lengthAsked, 0);
    close(m_lastStore);
    EXPECT_EQ(readFile(metaPath("ro-fallback")), metaBytes);
}

// An encrypted stream opened with another key checks out (the CRC covers the
// ciphertext) but does not decode. Its bytes must survive that open.
TEST_F(Recovery, StreamThatChecksOutButDoesNotDecodeIsNeverOverwritten) {
    struct Case {
        const char *name;
        StoreOptions writer;
        StoreOptions reader;
    } cases[] = {
        {"wrong key", encrypted("right-key-16byte"), encrypted("wrong-key-16byte")},
        {"key on a plain store", StoreOptions{}, encrypted("some-key-16bytes")},
        {"AES-256 key read as AES-128", encrypted("a-32-byte-key-for-aes-256-store!", true),
         encrypted("a-32-byte-key-for-aes-256-store!", false)},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "undecodable-" + std::to_string(n++);
        // Long enough that random bytes never decode by chance.
        VORN *store = open(id, c.writer);
        for (int i = 0; i < 40; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), std::string(60, 'a' + i % 26)));
        }
        store->sync();
        close(store);
        const std::string data = readFile(dataPath(id));
        const std::string metaBytes = readFile(metaPath(id));

        m_log.clear();
        store = open(id, c.reader);
        VORNTestPeer::load(store);
        EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
        EXPECT_TRUE(VORNTestPeer::streamUndecodable(store));
        EXPECT_EQ(m_log.crcAsked, 0);
        EXPECT_FALSE(VORNTestPeer::set(store, "new", "value"));
        EXPECT_FALSE(VORNTestPeer::fullWriteback(store));
        EXPECT_TRUE(m_log.has(VORNLogError, "setDataForKey",
                              "[" + id + "] refusing to write over a stream that does not decode"))
            << m_log.dump();
        close(store);
        EXPECT_EQ(readFile(dataPath(id)), data);
        EXPECT_EQ(readFile(metaPath(id)), metaBytes);

        // With the right key everything is there.
        store = open(id, c.writer);
        EXPECT_EQ(VORNTestPeer::get(store, "key-39"), std::optional<std::string>(std::string(60, 'a' + 39 % 26)));
        EXPECT_EQ(VORNTestPeer::keyCount(store), 40u);
        close(store);
    }
}

// A salvage on a reload (not the first load: another process changed the
// sequence): the rewrite runs too, so that the CRC covers exactly the salvaged
// stream and an encrypted store's cipher stands at its end for the next append.
TEST_F(Recovery, SalvageOnReloadLeavesAStreamThatAppendsContinue) {
    struct Case {
        const char *name;
        StoreOptions options;
    } cases[] = {
        {"plain", multiProcess()},
        {"AES-128", encrypted("reload-salvage-k", false, multiProcess())},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "reload-" + std::to_string(n++);
        m_log.crcAnswer = OnErrorRecover;
        VORN *store = open(id, c.options);
        for (int i = 0; i < 6; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, key(i), value(i)));
        }
        // Damage behind the store's back, with a new sequence as another
        // process's rewrite leaves it.
        BreakLastConfirmedState(id);
        FlipData(id, recordFileOffset(4), 0x05 ^ 0x7F); // key-4's key length 5 -> 127
        CorruptMeta(id, offsetof(vorn::VORNMetaInfo, m_sequence), meta(id).m_sequence + 1);
        m_log.clear();
        EXPECT_EQ(VORNTestPeer::get(store, key(1)), std::optional<std::string>(value(1)));
        EXPECT_EQ(m_log.crcAsked, 1);
        EXPECT_EQ(m_log.countPrefix("[" + id + "] oldSeq "), 1u);
        EXPECT_EQ(VORNTestPeer::keys(store), keyRange(0, 4));

        ASSERT_TRUE(VORNTestPeer::set(store, key(9), value(9)));
        EXPECT_EQ(VORNTestPeer::get(store, key(9)), std::optional<std::string>(value(9)));
        store->sync();
        close(store);

        m_log.clear();
        std::vector<std::string> expected = keyRange(0, 4);
        expected.push_back(key(9));
        EXPECT_EQ(Check(id, c.options), expected);
        EXPECT_EQ(m_log.countPrefix("check crc"), 0u) << m_log.dump();
        EXPECT_EQ(m_log.crcAsked, 0);
        close(m_lastStore);
    }
}

// mmap fails for the grown file: the store must not keep an index over a
// mapping that is gone.
bool g_failGrownMmap = false;
void *failingMmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (g_failGrownMmap && length > 4096) {
        g_failGrownMmap = false;
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return vorn::realSystemCalls().mmap(address, length, protection, flags, fd, offset);
}

TEST_F(Recovery, FailedRemapLeavesTheStoreUnloaded) {
    VORN *store = open("remap");
    ASSERT_TRUE(VORNTestPeer::set(store, "kept", "value"));
    {
        vorn::ScopedSystemCallsOverride calls;
        calls->mmap = failingMmap;
        // The path every system has: unmap, then map the grown file anew.
        calls->remap = [](void *, size_t, size_t) -> void * {
            errno = ENOSYS;
            return MAP_FAILED;
        };
        g_failGrownMmap = true; // the growth for a 5000-byte value
        EXPECT_FALSE(VORNTestPeer::set(store, "big", std::string(5000, 'b')));
        EXPECT_FALSE(g_failGrownMmap) << "the growth was not attempted";
        EXPECT_TRUE(VORNTestPeer::needsLoad(store));
        EXPECT_FALSE(VORNTestPeer::dataFileValid(store));
    }
    // The next access loads the store again, over the grown file.
    EXPECT_EQ(VORNTestPeer::get(store, "kept"), std::optional<std::string>("value"));
    EXPECT_TRUE(VORNTestPeer::set(store, "big", std::string(5000, 'b')));
    store = reopen(store, "remap");
    EXPECT_EQ(VORNTestPeer::get(store, "big"), std::optional<std::string>(std::string(5000, 'b')));
    EXPECT_EQ(VORNTestPeer::get(store, "kept"), std::optional<std::string>("value"));
}

// The meta file cannot be read from disk: it is replaced, and the flock of a
// multi-process store moves to the new file's descriptor.
int g_failPreadFd = -1;
ssize_t failingPread(int fd, void *buffer, size_t count, off_t offset) {
    if (fd == g_failPreadFd) {
        g_failPreadFd = -1;
        errno = EIO;
        return -1;
    }
    return vorn::realSystemCalls().pread(fd, buffer, count, offset);
}

TEST_F(Recovery, UnreadableMetaFileIsReplacedAndTheLockFollowsIt) {
    Build("diskerror", 0, 2, multiProcess());
    VORN *store = open("diskerror", multiProcess());
    // Inside the load (which writes the new meta record) the store holds the
    // exclusive lock on the new meta file.
    int lockedOut = -1;
    m_log.whileLoading = [&]() {
        int fd = ::open(metaPath("diskerror").c_str(), O_RDONLY);
        lockedOut = (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ? 1 : 0;
        ::close(fd);
    };
    {
        vorn::ScopedSystemCallsOverride calls;
        calls->pread = failingPread;
        g_failPreadFd = VORNTestPeer::metaFd(store);
        VORNTestPeer::load(store);
        EXPECT_EQ(g_failPreadFd, -1) << "the meta file was not probed";
    }
    m_log.whileLoading = nullptr;
    EXPECT_EQ(lockedOut, 1);
    // A new, empty meta file: the stream no longer checks out and is dropped.
    EXPECT_EQ(VORNTestPeer::fileLock(store)->getFd(), VORNTestPeer::metaFd(store));
    EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);

    // The lock works on the new meta file.
    int other = ::open(metaPath("diskerror").c_str(), O_RDONLY);
    ASSERT_GE(other, 0);
    store->lock();
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    store->unlock();
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    flock(other, LOCK_UN);
    ::close(other);

    ASSERT_TRUE(VORNTestPeer::set(store, key(5), value(5)));
    close(store);
    EXPECT_EQ(Check("diskerror", multiProcess()), keyRange(5, 6));
}

} // namespace
