// The check block after the meta record (what it vouches for, what a load
// does when it disagrees or names another key), and the rule that an
// encrypted stream never carries two plaintexts at one key stream position
// under one vector.

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <string>

#include "StoreTestSupport.h"
#include "core/VORN.h"
#include "core/DataStream.h"
#include "core/MetaRecord.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

const std::string kKey = "check-block-key!";
const std::string kOtherKey = "not-the-same-key";

vorn::MetaCheckBlock blockFromBytes(const std::string &meta) {
    vorn::MetaCheckBlock block;
    if (meta.size() >= vorn::kMetaWithCheckBlockSize) {
        memcpy(&block, meta.data() + vorn::kCheckBlockOffset, sizeof(block));
    }
    return block;
}

// The stream of one version of an encrypted data file, decrypted with
// OpenSSL's own AES-CFB-128 from the vector its meta record names.
std::string decryptStream(const std::string &data, const std::string &meta, const std::string &key) {
    const vorn::VORNMetaInfo record = metaFromBytes(meta);
    const std::string cipherText = data.substr(4, record.m_actualSize);
    std::string plain(cipherText.size(), '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int length = 0;
    EXPECT_EQ(EVP_DecryptInit_ex(ctx, EVP_aes_128_cfb128(), nullptr,
                                 reinterpret_cast<const unsigned char *>(key.data()), record.m_vector),
              1);
    EXPECT_EQ(EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(&plain[0]), &length,
                                reinterpret_cast<const unsigned char *>(cipherText.data()),
                                static_cast<int>(cipherText.size())),
              1);
    EVP_CIPHER_CTX_free(ctx);
    return plain;
}

struct FileVersion {
    std::string data;
    std::string meta;
};

// Two versions of a store's files must never hold different plaintexts at
// one position of the stream under one vector: their XOR would be the XOR
// of the two plaintexts.
void expectNoKeyStreamReuse(const FileVersion &before, const FileVersion &after, const std::string &key) {
    const vorn::VORNMetaInfo a = metaFromBytes(before.meta);
    const vorn::VORNMetaInfo b = metaFromBytes(after.meta);
    if (memcmp(a.m_vector, b.m_vector, sizeof(a.m_vector)) != 0) {
        return; // different key streams
    }
    const std::string plainA = decryptStream(before.data, before.meta, key);
    const std::string plainB = decryptStream(after.data, after.meta, key);
    const size_t common = std::min(plainA.size(), plainB.size());
    for (size_t i = 0; i < common; i++) {
        ASSERT_EQ(plainA[i], plainB[i]) << "stream position " << i << " carries two plaintexts under one vector";
    }
}

class MetaCheckBlockTest : public StoreTest {
protected:
    FileVersion files(const std::string &id) { return {readFile(dataPath(id)), readFile(metaPath(id))}; }

    // `count` string values written one by one and synced; the store stays open.
    VORN *Build(const std::string &id, const StoreOptions &options, int count, const std::string &prefix = "key-") {
        VORN *store = open(id, options);
        for (int i = 0; i < count; i++) {
            const std::string key = prefix + std::to_string(i);
            m_values[key] = "value " + std::to_string(i) + " of " + id;
            EXPECT_TRUE(store->set(m_values[key], key));
        }
        store->sync();
        return store;
    }

    void ExpectValues(VORN *store) {
        EXPECT_EQ(store->count(), m_values.size());
        for (const auto &pair : m_values) {
            std::string value;
            EXPECT_TRUE(store->getString(pair.first, value)) << pair.first;
            EXPECT_EQ(value, pair.second) << pair.first;
        }
    }

    std::map<std::string, std::string> m_values;
};

// ---- What the block says ----

TEST_F(MetaCheckBlockTest, EveryRewriteAndFirstAppendLeaveACurrentBlock) {
    struct Case {
        const char *name;
        StoreOptions options;
        uint8_t keyState;
    };
    const Case cases[] = {
        {"plain", {}, vorn::CheckKeyPlain},
        {"AES-128", encrypted(kKey), vorn::CheckKeyEncrypted},
        {"AES-256", encrypted(kKey + kKey, true), vorn::CheckKeyEncrypted},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "current-" + std::to_string(n++);
        VORN *store = Build(id, c.options, 3);
        for (int step = 0; step < 2; step++) {
            const FileVersion now = files(id);
            const vorn::VORNMetaInfo record = metaFromBytes(now.meta);
            const vorn::MetaCheckBlock block = blockFromBytes(now.meta);
            EXPECT_EQ(block.magic, vorn::kCheckBlockMagic);
            EXPECT_EQ(block.sequence, record.m_sequence);
            EXPECT_EQ(memcmp(block.vector, record.m_vector, sizeof(block.vector)), 0);
            EXPECT_EQ(block.recordCRC, vorn::recordFieldsCRC(record));
            EXPECT_EQ(block.keyState, c.keyState);
            EXPECT_EQ(block.blockFlags, 0);
            EXPECT_EQ(block.blockCRC, crcOf(now.meta.substr(vorn::kCheckBlockOffset, 44)));
            // The record's 112 bytes are unchanged in layout: a reader that
            // copies only them sees the stream as before.
            EXPECT_EQ(record.m_actualSize, VORNTestPeer::actualSize(store));
            EXPECT_TRUE(store->inspect().keyMismatch == false);
            ASSERT_TRUE(VORNTestPeer::fullWriteback(store)); // new sequence (and vector), new block
            store->sync();
        }
    }
}

TEST_F(MetaCheckBlockTest, KeysThatDoNotOpenTheStoreLoadNothingAndWriteNothing) {
    struct Case {
        const char *name;
        StoreOptions writer;
        StoreOptions reader;
    };
    const Case cases[] = {
        {"wrong AES-128 key", encrypted(kKey), encrypted(kOtherKey)},
        {"AES-128 key read as AES-256", encrypted(kKey), encrypted(kKey, true)},
        {"encrypted store without a key", encrypted(kKey), {}},
        {"plain store with a key", {}, encrypted(kKey)},
        {"wrong key, multi-process", encrypted(kKey, false, multiProcess()), encrypted(kOtherKey, false, multiProcess())},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "key-" + std::to_string(n++);
        m_values.clear();
        close(Build(id, c.writer, 20));
        const FileVersion before = files(id);
        m_log.clear();

        VORN *store = open(id, c.reader);
        EXPECT_TRUE(store->inspect().keyMismatch);
        EXPECT_EQ(store->count(), 0u);
        EXPECT_FALSE(store->containsKey("key-1"));
        EXPECT_FALSE(store->set(std::string("overwritten"), "key-1"));
        EXPECT_FALSE(store->removeValueForKey("key-2"));
        EXPECT_FALSE(store->reKey("a-third-key-here"));
        store->trim();
        store->sync();
        EXPECT_EQ(m_log.countPrefix("[" + id + "] wrong or missing key"), 1u) << m_log.dump();
        close(store);
        EXPECT_TRUE(files(id).data == before.data) << "the data file changed";
        EXPECT_TRUE(files(id).meta == before.meta) << "the meta file changed";

        store = open(id, c.writer);
        EXPECT_FALSE(store->inspect().keyMismatch);
        ExpectValues(store);
        close(store);
    }
}

TEST_F(MetaCheckBlockTest, AKeyChangeMovesTheBlockAlong) {
    VORN *store = Build("rekeyed", encrypted(kKey), 10);
    ASSERT_TRUE(store->reKey(kOtherKey));
    close(store);
    store = open("rekeyed", encrypted(kKey));
    EXPECT_TRUE(store->inspect().keyMismatch);
    close(store);
    store = open("rekeyed", encrypted(kOtherKey));
    ExpectValues(store);
    ASSERT_TRUE(store->reKey(""));
    close(store);
    store = open("rekeyed", encrypted(kOtherKey));
    EXPECT_TRUE(store->inspect().keyMismatch);
    close(store);
    store = open("rekeyed");
    ExpectValues(store);
    EXPECT_EQ(blockFromBytes(readFile(metaPath("rekeyed"))).keyState, vorn::CheckKeyPlain);
}

// A meta file without a block (written before blocks existed, or by a writer
// that does not know them) and a stale block both load as before; the first
// append or rewrite here writes a current block.
TEST_F(MetaCheckBlockTest, MissingOrStaleBlocksAreIgnoredThenReplaced) {
    struct Case {
        const char *name;
        bool stale; // else the block bytes are zeroed
    };
    const Case cases[] = {{"no block", false}, {"stale block", true}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "old-" + std::to_string(n++);
        m_values.clear();
        close(Build(id, encrypted(kKey), 10));
        std::string meta = readFile(metaPath(id));
        if (c.stale) {
            // An older writer's rewrite: new sequence, new vector and stream;
            // stood in for by a record with the sequence moved on and the
            // same stream, which that writer could have written.
            vorn::VORNMetaInfo record = metaFromBytes(meta);
            record.m_sequence += 1;
            record.write(&meta[0]);
        } else {
            std::fill(meta.begin() + vorn::kCheckBlockOffset, meta.begin() + vorn::kMetaWithCheckBlockSize, '\0');
        }
        writeFile(metaPath(id), meta);

        VORN *store = open(id, encrypted(kKey));
        EXPECT_FALSE(store->inspect().keyMismatch);
        ExpectValues(store);
        EXPECT_EQ(m_log.countPrefix("[" + id + "] meta record does not match"), 0u) << m_log.dump();
        m_values["appended"] = "after the load";
        EXPECT_TRUE(store->set(m_values["appended"], "appended"));
        store->sync();
        const std::string after = readFile(metaPath(id));
        const vorn::MetaCheckBlock block = blockFromBytes(after);
        EXPECT_EQ(block.magic, vorn::kCheckBlockMagic);
        EXPECT_EQ(block.sequence, metaFromBytes(after).m_sequence);
        EXPECT_EQ(block.keyState, vorn::CheckKeyEncrypted);
        close(store);

        store = open(id, encrypted(kOtherKey));
        EXPECT_TRUE(store->inspect().keyMismatch);
        close(store);
    }
}

// A flipped vector byte used to load garbage silently. The block catches it
// and the host's answer decides: discard, or recover (the vector is
// restored from the block, every value reads back).
TEST_F(MetaCheckBlockTest, DamagedVectorIsCaught) {
    struct Case {
        const char *name;
        VORNRecoverStrategic answer;
    };
    const Case cases[] = {{"discard", OnErrorDiscard}, {"recover", OnErrorRecover}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "vector-" + std::to_string(n++);
        m_values.clear();
        close(Build(id, encrypted(kKey), 12));
        std::string meta = readFile(metaPath(id));
        meta[offsetof(vorn::VORNMetaInfo, m_vector) + 5] ^= 0x10;
        writeFile(metaPath(id), meta);

        m_log.clear();
        m_log.crcAnswer = c.answer;
        VORN *store = open(id, encrypted(kKey));
        EXPECT_FALSE(store->inspect().keyMismatch);
        if (c.answer == OnErrorRecover) {
            ExpectValues(store);
            EXPECT_EQ(m_log.countPrefix("[" + id + "] meta record's vector restored"), 1u) << m_log.dump();
        } else {
            EXPECT_EQ(store->count(), 0u);
            EXPECT_TRUE(store->set(std::string("fresh"), "after-discard"));
        }
        EXPECT_EQ(m_log.crcAsked, 1) << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("[" + id + "] meta record does not match its check block"), 1u) << m_log.dump();
        close(store);
        // Whatever was chosen, the files now agree with their block.
        m_log.clear();
        store = open(id, encrypted(kKey));
        EXPECT_EQ(store->count(), c.answer == OnErrorRecover ? m_values.size() : 1u);
        EXPECT_EQ(m_log.crcAsked, 0) << m_log.dump();
        close(store);
        m_log.crcAnswer = OnErrorDiscard;
    }
}

// ---- Key stream positions ----

TEST_F(MetaCheckBlockTest, RestoreThenWriteUsesAFreshVector) {
    struct Case {
        const char *name;
        bool openWhileRestoring;
    };
    const Case cases[] = {{"store open in this process", true}, {"store closed", false}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "restore-" + std::to_string(n++);
        const std::string backupDir = root() + "/backup-" + std::to_string(n);
        m_values.clear();
        VORN *store = Build(id, encrypted(kKey), 5);
        ASSERT_TRUE(VORN::backupOneToDirectory(id, backupDir, &storeRoot()));
        const auto atBackup = m_values;
        // Appends after the backup, under the same vector.
        for (int i = 0; i < 8; i++) {
            ASSERT_TRUE(store->set(std::string("later secret number ") + std::to_string(i), "later-" + std::to_string(i)));
        }
        store->sync();
        const FileVersion beforeRestore = files(id);
        if (!c.openWhileRestoring) {
            close(store);
        }
        ASSERT_TRUE(VORN::restoreOneFromDirectory(id, backupDir, &storeRoot()));
        if (!c.openWhileRestoring) {
            store = open(id, encrypted(kKey));
        }
        m_values = atBackup;
        ExpectValues(store);
        for (int i = 0; i < 8; i++) {
            m_values["other-" + std::to_string(i)] = "different plaintext " + std::to_string(i);
            ASSERT_TRUE(store->set(m_values["other-" + std::to_string(i)], "other-" + std::to_string(i)));
        }
        store->sync();
        expectNoKeyStreamReuse(beforeRestore, files(id), kKey);
        close(store);
        store = open(id, encrypted(kKey));
        ExpectValues(store);
        close(store);
    }
}

TEST_F(MetaCheckBlockTest, FallbackThenWriteUsesAFreshVector) {
    VORN *store = Build("fallback", encrypted(kKey), 6);
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store)); // the last confirmed state: these 6 keys
    const auto confirmed = m_values;
    for (int i = 0; i < 6; i++) {
        ASSERT_TRUE(store->set(std::string("unconfirmed secret ") + std::to_string(i), "late-" + std::to_string(i)));
    }
    store->sync();
    close(store);
    const FileVersion beforeDamage = files("fallback");
    std::string meta = beforeDamage.meta;
    meta[offsetof(vorn::VORNMetaInfo, m_crcDigest)] ^= 0x01; // the appended records no longer check out
    writeFile(metaPath("fallback"), meta);

    store = open("fallback", encrypted(kKey));
    m_values = confirmed;
    ExpectValues(store);
    for (int i = 0; i < 6; i++) {
        m_values["new-" + std::to_string(i)] = "another plaintext " + std::to_string(i);
        ASSERT_TRUE(store->set(m_values["new-" + std::to_string(i)], "new-" + std::to_string(i)));
    }
    store->sync();
    expectNoKeyStreamReuse(beforeDamage, files("fallback"), kKey);
    close(store);
    store = open("fallback", encrypted(kKey));
    ExpectValues(store);
}

// The damage answer "discard" restarts an encrypted stream at 0: under a new
// vector, or its first records would sit where the discarded ones were.
TEST_F(MetaCheckBlockTest, DiscardThenWriteUsesAFreshVector) {
    close(Build("discarded", encrypted(kKey), 6));
    const FileVersion beforeDamage = files("discarded");
    std::string data = beforeDamage.data;
    data[5] ^= 0x40; // inside the item-size holder: the last confirmed state fails too
    m_log.clear();
    writeFile(dataPath("discarded"), data);
    m_log.crcAnswer = OnErrorDiscard;
    VORN *store = open("discarded", encrypted(kKey));
    EXPECT_EQ(store->count(), 0u);
    EXPECT_EQ(m_log.crcAsked, 1) << m_log.dump();
    ASSERT_TRUE(store->set(std::string("after the discard"), "again"));
    store->sync();
    FileVersion damaged{data, beforeDamage.meta};
    expectNoKeyStreamReuse(damaged, files("discarded"), kKey);
}

} // namespace
