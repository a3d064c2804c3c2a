// Writing: appends, the single-process rewrite from the start, removals, and
// the limits a write is checked against before any byte is written.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "encoding/PBUtility.h"
#include "platform/SystemCalls.h"

using namespace vorn_test;

namespace {

class StoreWrite : public StoreTest {
protected:
    // What a refused write must leave alone.
    struct Snapshot {
        size_t actualSize;
        std::string meta;
        std::string stream;
        std::vector<std::string> keys;
    };
    Snapshot snapshot(VORN *store, const std::string &id) {
        store->sync();
        const size_t size = VORNTestPeer::actualSize(store);
        return {size, readFile(metaPath(id)), readFile(dataPath(id)).substr(0, 4 + size), VORNTestPeer::keys(store)};
    }
    void expectUnchanged(VORN *store, const std::string &id, const Snapshot &before) {
        const Snapshot after = snapshot(store, id);
        EXPECT_EQ(after.actualSize, before.actualSize);
        EXPECT_EQ(after.meta, before.meta);
        EXPECT_EQ(after.stream, before.stream);
        EXPECT_EQ(after.keys, before.keys);
    }
};

TEST_F(StoreWrite, KeyLengthAndKeyPartLimits) {
    struct Case {
        const char *name;
        size_t keyLength;
        size_t valueLength; // data-holder form
        bool accepted;
        const char *message; // of a refusal
    } cases[] = {
        {"65531-byte key", 65531, 1, true, nullptr},
        {"65532-byte key", 65532, 1, false, "[limits] reject oversized key, keyLength=65532, limit=65531"},
        // key part: 3 + 65530 + 2 (value length 200 takes two varint bytes) = 65535
        {"key part of 65535 bytes", 65530, 198, true, nullptr},
        {"key part of 65536 bytes", 65531, 198, false, "[limits] reject record, key part 65536 bytes, limit=65535"},
    };
    VORN *store = open("limits");
    ASSERT_TRUE(VORNTestPeer::set(store, "first", "x"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string key(c.keyLength, static_cast<char>('a' + c.keyLength % 26));
        const std::string value(c.valueLength, 'v');
        const Snapshot before = snapshot(store, "limits");
        m_log.clear();
        EXPECT_EQ(VORNTestPeer::set(store, key, value), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(VORNTestPeer::get(store, key), std::optional<std::string>(value));
        } else {
            EXPECT_EQ(m_log.count(c.message), 1u) << m_log.dump();
            expectUnchanged(store, "limits", before);
        }
    }
    // What was accepted loads again.
    store = reopen(store, "limits");
    EXPECT_EQ(VORNTestPeer::keyCount(store), 3u);
    EXPECT_EQ(VORNTestPeer::get(store, std::string(65531, 'a' + 65531 % 26)), std::optional<std::string>("v"));
    EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
}

TEST_F(StoreWrite, ItemSizeLimitExactlyAtAndOneOver) {
    StoreOptions options;
    options.itemSizeLimit = 10;
    VORN *store = open("itemlimit", options);
    // key "k": 2 bytes; raw value of n bytes: 1 + n; record = 3 + n.
    EXPECT_TRUE(VORNTestPeer::setRaw(store, "k", std::string(7, 'x')));
    const Snapshot before = snapshot(store, "itemlimit");
    m_log.clear();
    EXPECT_FALSE(VORNTestPeer::setRaw(store, "k", std::string(8, 'y')));
    EXPECT_TRUE(m_log.has(VORNLogError, "checkSizeLimit",
                          "[itemlimit] itemSizeLimit 10: ignore value size 11 of key [k] too large"))
        << m_log.dump();
    expectUnchanged(store, "itemlimit", before);
    EXPECT_EQ(VORNTestPeer::getRaw(store, "k"), std::string(7, 'x'));
}

TEST_F(StoreWrite, ValuesOf2GiBAreRefusedBeforeAnyByteIsRead) {
    VORN *store = open("huge");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    const Snapshot before = snapshot(store, "huge");
    char small[8] = {};
    struct Case {
        const char *name;
        size_t size;
        bool isDataHolder;
        const char *message;
    } cases[] = {
        {"2^31 bytes", size_t(1) << 31, false,
         "[huge] reject oversized value, valueLength=2147483648, limit=2147483647"},
        {"2^31 - 1 bytes with a length in front", (size_t(1) << 31) - 1, true,
         "[huge] reject oversized value, valueLength=2147483652, limit=2147483647"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        // The buffer claims far more than it has: the refusal must come first.
        vorn::VornBuffer claimed(small, c.size, vorn::VornBufferNoCopy);
        EXPECT_FALSE(VORNTestPeer::setBuffer(store, "b", std::move(claimed), c.isDataHolder));
        EXPECT_EQ(m_log.count(c.message), 1u) << m_log.dump();
        expectUnchanged(store, "huge", before);
    }
}

int failingFtruncate(int, off_t) {
    errno = ENOSPC;
    return -1;
}

TEST_F(StoreWrite, AWriteThatCannotGrowTheFileChangesNothing) {
    for (const StoreOptions &options : {StoreOptions{}, encrypted("grow-fail-key-16")}) {
        SCOPED_TRACE(options.cryptKey.empty() ? "plain" : "encrypted");
        const std::string id = options.cryptKey.empty() ? "nogrow-plain" : "nogrow-crypt";
        VORN *store = open(id, options);
        ASSERT_TRUE(VORNTestPeer::set(store, "small", "value"));
        ASSERT_TRUE(VORNTestPeer::set(store, "other", "value"));
        const Snapshot before = snapshot(store, id);
        {
            vorn::ScopedSystemCallsOverride calls;
            calls->ftruncate = failingFtruncate;
            EXPECT_FALSE(VORNTestPeer::set(store, "big", std::string(6000, 'b')));
        }
        expectUnchanged(store, id, before);
        EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 4096u);
        EXPECT_EQ(VORNTestPeer::get(store, "small"), std::optional<std::string>("value"));
        // And it works once the disk does.
        EXPECT_TRUE(VORNTestPeer::set(store, "big", std::string(6000, 'b')));
        store = reopen(store, id, options);
        EXPECT_EQ(VORNTestPeer::get(store, "big"), std::optional<std::string>(std::string(6000, 'b')));
        EXPECT_EQ(VORNTestPeer::keyCount(store), 3u);
    }
}

// The meta file of "metaless" can never be mapped.
std::vector<int> g_metaFds;
int recordingOpen(const char *path, int flags, mode_t mode) {
    int fd = vorn::realSystemCalls().open(path, flags, mode);
    const std::string name = path;
    if (fd >= 0 && name.size() >= 13 && name.compare(name.size() - 13, 13, "/metaless.crc") == 0) {
        g_metaFds.push_back(fd);
    }
    return fd;
}
void *metaFailingMmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    if (std::find(g_metaFds.begin(), g_metaFds.end(), fd) != g_metaFds.end()) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return vorn::realSystemCalls().mmap(address, length, protection, flags, fd, offset);
}

TEST_F(StoreWrite, WritesAreRefusedWhileTheMetaFileIsNotMapped) {
    vorn::ScopedSystemCallsOverride calls;
    calls->open = recordingOpen;
    calls->mmap = metaFailingMmap;
    VORN *store = open("metaless");
    m_log.clear();
    EXPECT_FALSE(VORNTestPeer::set(store, "key", "value"));
    EXPECT_TRUE(m_log.has(VORNLogError, "ensureMemorySize", "file [" + metaPath("metaless") + "] not valid"))
        << m_log.dump();
    EXPECT_EQ(VORNTestPeer::get(store, "key"), std::nullopt);
    close(store);
    EXPECT_EQ(readFile(dataPath("metaless")), std::string(vorn::mmapUnitSize(), '\0'));
}

TEST_F(StoreWrite, EmptyValues) {
    VORN *store = open("empty");
    EXPECT_FALSE(VORNTestPeer::setRaw(store, "raw", ""));
    EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
    EXPECT_TRUE(VORNTestPeer::set(store, "holder", ""));
    EXPECT_EQ(VORNTestPeer::getRaw(store, "holder"), std::string("\0", 1));
    EXPECT_EQ(VORNTestPeer::get(store, "holder"), std::optional<std::string>(""));
    EXPECT_FALSE(VORNTestPeer::set(store, "", "no key"));
}

TEST_F(StoreWrite, CompareBeforeSetSkipsAnUnchangedValue) {
    VORN *store = open("compare");
    VORNTestPeer::setCompareBeforeSet(store, true);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "same"));
    ASSERT_TRUE(VORNTestPeer::set(store, "b", "other"));
    const size_t size = VORNTestPeer::actualSize(store);
    const uint32_t crc = VORNTestPeer::crcDigest(store);
    EXPECT_TRUE(VORNTestPeer::set(store, "a", "same"));
    EXPECT_EQ(VORNTestPeer::actualSize(store), size);
    EXPECT_EQ(VORNTestPeer::crcDigest(store), crc);
    EXPECT_TRUE(VORNTestPeer::set(store, "a", "changed"));
    EXPECT_GT(VORNTestPeer::actualSize(store), size);
}

// A store of one key is never rewritten in place outside a journaled
// compaction (a process dying in such a rewrite would lose the key): its
// updates append, and the compaction that follows when the file is full keeps
// the file at its size.
TEST_F(StoreWrite, SingleProcessStoreWithOneKeyAppendsAndStaysBounded) {
    struct Case {
        const char *name;
        StoreOptions options;
    } cases[] = {
        {"plain", StoreOptions{}},
        {"AES-128", encrypted("override-key-16b")},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "one-key-" + std::to_string(n++);
        VORN *store = open(id, c.options);
        ASSERT_TRUE(VORNTestPeer::set(store, "only", "first"));
        const size_t fileSize = VORNTestPeer::mappedFileSize(store);
        const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
        size_t size = VORNTestPeer::actualSize(store);
        size_t lastRecord = size - 4;
        int compactions = 0;
        for (int i = 0; i < 500; i++) {
            const std::string value = "value number " + std::to_string(i);
            ASSERT_TRUE(VORNTestPeer::set(store, "only", value));
            const size_t record = 5 + 2 + value.size(); // key 1 + 4, value 1 + (1 + length)
            if (VORNTestPeer::actualSize(store) != size + record) {
                // Compacted to the holder and the key's last record, then appended.
                compactions++;
                EXPECT_EQ(VORNTestPeer::actualSize(store), 4 + lastRecord + record);
            }
            EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence + compactions);
            size = VORNTestPeer::actualSize(store);
            lastRecord = record;
        }
        EXPECT_GT(compactions, 0);
        EXPECT_EQ(VORNTestPeer::mappedFileSize(store), fileSize);
        store = reopen(store, id, c.options);
        EXPECT_EQ(VORNTestPeer::get(store, "only"), std::optional<std::string>("value number 499"));
        EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
    }
}

TEST_F(StoreWrite, MultiProcessStoreNeverRewritesFromTheStart) {
    VORN *store = open("mp-append", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "only", "first"));
    const size_t size = VORNTestPeer::actualSize(store);
    ASSERT_TRUE(VORNTestPeer::set(store, "only", "second"));
    EXPECT_EQ(VORNTestPeer::actualSize(store), size + 5 + 8);
    EXPECT_EQ(VORNTestPeer::recordOffset(store, "only"), static_cast<long long>(size));
}

// The key bytes of a record at the stream's start overlap the new item-size
// holder; the rewrite must keep the key intact.
TEST_F(StoreWrite, CompactionOfARecordThatStartsInsideTheHolderKeepsItsKey) {
    // A stream with a 1-byte item-size holder: its record starts at offset 1.
    std::string stream = std::string("\x00", 1) + "\x03"
                                                  "abc"
                                                  "\x02"
                                                  "\x01"
                                                  "z";
    std::string data(vorn::mmapUnitSize(), '\0');
    data.replace(4, stream.size(), stream);
    writeFile(dataPath("narrow"), data);
    vorn::VORNMetaInfo info;
    info.m_version = 4;
    info.m_crcDigest = crcOf(stream);
    info.m_actualSize = static_cast<uint32_t>(stream.size());
    std::string page(vorn::mmapUnitSize(), '\0');
    info.write(&page[0]);
    writeFile(metaPath("narrow"), page);

    VORN *store = open("narrow");
    EXPECT_EQ(VORNTestPeer::get(store, "abc"), std::optional<std::string>("z"));
    ASSERT_TRUE(VORNTestPeer::set(store, "abc", "new"));
    EXPECT_EQ(VORNTestPeer::recordOffset(store, "abc"), 8);
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    EXPECT_EQ(VORNTestPeer::recordOffset(store, "abc"), 4);
    EXPECT_EQ(VORNTestPeer::actualSize(store), 4u + 9u);
    store = reopen(store, "narrow");
    EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"abc"});
    EXPECT_EQ(VORNTestPeer::get(store, "abc"), std::optional<std::string>("new"));
}

TEST_F(StoreWrite, EncryptedValuesUpTo256BytesAreHeldDecrypted) {
    for (bool aes256 : {false, true}) {
        SCOPED_TRACE(aes256 ? "AES-256" : "AES-128");
        const std::string id = aes256 ? "held-256" : "held-128";
        const StoreOptions options =
            encrypted(aes256 ? "a-32-byte-key-for-the-aes256-tst" : "a-16-byte-key-ok", aes256, multiProcess());
        VORN *store = open(id, options);
        const std::string v256(256, 'x'), v257(257, 'y');
        ASSERT_TRUE(VORNTestPeer::setRaw(store, "v256", v256));
        ASSERT_TRUE(VORNTestPeer::setRaw(store, "v257", v257));
        // Data-holder form: 254 bytes plus their length prefix are 256.
        ASSERT_TRUE(VORNTestPeer::set(store, "h254", std::string(254, 'h')));
        ASSERT_TRUE(VORNTestPeer::set(store, "h255", std::string(255, 'i')));
        for (int pass = 0; pass < 2; pass++) {
            SCOPED_TRACE(pass == 0 ? "as written" : "as loaded");
            EXPECT_FALSE(VORNTestPeer::heldByPosition(store, "v256"));
            EXPECT_TRUE(VORNTestPeer::heldByPosition(store, "v257"));
            EXPECT_FALSE(VORNTestPeer::heldByPosition(store, "h254"));
            EXPECT_TRUE(VORNTestPeer::heldByPosition(store, "h255"));
            EXPECT_EQ(VORNTestPeer::getRaw(store, "v256"), v256);
            EXPECT_EQ(VORNTestPeer::getRaw(store, "v257"), v257);
            EXPECT_EQ(VORNTestPeer::get(store, "h254"), std::optional<std::string>(std::string(254, 'h')));
            EXPECT_EQ(VORNTestPeer::get(store, "h255"), std::optional<std::string>(std::string(255, 'i')));
            store = reopen(store, id, options);
        }
    }
}

TEST_F(StoreWrite, RemovalAppendsADeletionRecord) {
    for (const StoreOptions &options : {StoreOptions{}, encrypted("removal-key-16by")}) {
        SCOPED_TRACE(options.cryptKey.empty() ? "plain" : "encrypted");
        const std::string id = options.cryptKey.empty() ? "remove-plain" : "remove-crypt";
        VORN *store = open(id, options);
        ASSERT_TRUE(VORNTestPeer::set(store, "kept", "1"));
        ASSERT_TRUE(VORNTestPeer::set(store, "gone", "2"));
        const size_t size = VORNTestPeer::actualSize(store);
        EXPECT_FALSE(VORNTestPeer::remove(store, "absent"));
        EXPECT_EQ(VORNTestPeer::actualSize(store), size);
        EXPECT_TRUE(VORNTestPeer::remove(store, "gone"));
        EXPECT_EQ(VORNTestPeer::actualSize(store), size + 1 + 4 + 1);
        if (options.cryptKey.empty()) {
            store->sync();
            EXPECT_EQ(hex(readFile(dataPath(id)).substr(4 + size, 6)), "04 67 6F 6E 65 00 ");
        }
        EXPECT_EQ(VORNTestPeer::get(store, "gone"), std::nullopt);
        store = reopen(store, id, options);
        EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"kept"});
    }
}

} // namespace
