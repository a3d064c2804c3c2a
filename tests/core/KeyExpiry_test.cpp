// Key expiry: expiry times at the end of values, hidden and deleted when they
// pass, dropped by write-backs; switching it on and off; options at open; and
// two processes that switch it under each other.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

class KeyExpiry : public ClockedStoreTest {
protected:
    // The stream after the store's holder, as the file holds it.
    std::string stream(VORN *store, const std::string &id) {
        return readFile(dataPath(id)).substr(4, store->actualSize());
    }
    uint32_t sequence(VORN *store) { return VORNTestPeer::metaInfo(store).m_sequence; }
    static std::vector<std::string> sorted(std::vector<std::string> keys) {
        std::sort(keys.begin(), keys.end());
        return keys;
    }
};

TEST_F(KeyExpiry, AValueExpiresAtItsSecondAndIsDeletedWhenRead) {
    VORN *store = open("due", expiring());
    ASSERT_TRUE(store->set(int32_t(42), "k", 10));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "k")), hex(std::string("\x2A") + le32(kStartTime + 10)));
    EXPECT_EQ(store->getExpireTimeForKey("k"), kStartTime + 10);

    setNow(kStartTime + 9);
    EXPECT_EQ(store->getInt32("k"), 42);
    const size_t size = store->actualSize();

    setNow(kStartTime + 10); // the due second itself
    m_log.clear();
    bool has = true;
    EXPECT_EQ(store->getInt32("k", -1, &has), -1);
    EXPECT_FALSE(has);
    EXPECT_TRUE(m_log.has(VORNLogInfo, "getDataWithoutMTimeForKey",
                          "deleting expired key [k] in vorn [due], due date " + std::to_string(kStartTime + 10)))
        << m_log.dump();
    // A deletion record was appended: key 01 6B, value length 00.
    EXPECT_EQ(store->actualSize(), size + 3);
    EXPECT_EQ(hex(stream(store, "due").substr(size)), hex(std::string("\x01k\x00", 3)));
    EXPECT_EQ(store->count(), 0u);

    // Read again: simply absent, nothing more written.
    m_log.clear();
    EXPECT_FALSE(store->containsKey("k"));
    EXPECT_EQ(store->actualSize(), size + 3);
    EXPECT_EQ(m_log.countPrefix("deleting expired key"), 0u);
    store = reopen(store, "due", expiring());
    EXPECT_EQ(store->count(), 0u);
}

TEST_F(KeyExpiry, EveryReadHidesAnExpiredValue) {
    struct Case {
        const char *name;
        std::function<bool(VORN *)> found;
    } cases[] = {
        {"getBool",
         [](VORN *s) {
             bool h = false;
             s->getBool("k", false, &h);
             return h;
         }},
        {"getString",
         [](VORN *s) {
             std::string out;
             return s->getString("k", out);
         }},
        {"getBytes", [](VORN *s) { return s->getBytes("k").size() != 0; }},
        {"getVector",
         [](VORN *s) {
             std::vector<std::string> out;
             return s->getVector("k", out);
         }},
        {"getValueSize", [](VORN *s) { return s->getValueSize("k", false) != 0; }},
        {"writeValueToBuffer",
         [](VORN *s) {
             char b[8];
             return s->writeValueToBuffer("k", b, 8) >= 0;
         }},
        {"containsKey", [](VORN *s) { return s->containsKey("k"); }},
    };
    VORN *store = open("hidden", expiring());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        setNow(kStartTime);
        ASSERT_TRUE(store->set(std::vector<std::string>{"x"}, "k", 5));
        EXPECT_TRUE(c.found(store));
        setNow(kStartTime + 5);
        EXPECT_FALSE(c.found(store));
        EXPECT_EQ(store->count(), 0u);
    }
}

TEST_F(KeyExpiry, DurationZeroNeverExpiresAndTheSuffixStaysInvisible) {
    VORN *store = open("forever", expiring(0));
    ASSERT_TRUE(store->set(std::string(300, 'x'), "long"));
    ASSERT_TRUE(store->set(std::string("short"), "short", 0));
    setNow(0xFFFFFFFEu);
    EXPECT_EQ(store->getExpireTimeForKey("long"), 0u);
    EXPECT_EQ(store->getExpireTimeForKey("short"), 0u);
    EXPECT_EQ(store->getValueSize("long", true), 300u);
    EXPECT_EQ(store->getValueSize("long", false), 302u);
    EXPECT_EQ(VORNTestPeer::getRaw(store, "long").size(), 306u);
    std::string out;
    EXPECT_TRUE(store->getString("short", out));
    EXPECT_EQ(out, "short");
    EXPECT_EQ(store->count(true), 2u);
}

TEST_F(KeyExpiry, TheDefaultDurationAppliesToSettersGivenNone) {
    VORN *store = open("default", expiring(30));
    ASSERT_TRUE(store->set(1.5, "d"));
    ASSERT_TRUE(store->set("text", "s"));
    ASSERT_TRUE(store->set(std::vector<std::string>{"a"}, "l"));
    ASSERT_TRUE(store->set(true, "explicit", 5));
    for (const char *key : {"d", "s", "l"}) {
        EXPECT_EQ(store->getExpireTimeForKey(key), kStartTime + 30) << key;
    }
    EXPECT_EQ(store->getExpireTimeForKey("explicit"), kStartTime + 5);
    setNow(kStartTime + 5);
    EXPECT_EQ(sorted(store->allKeys(true)), (std::vector<std::string>{"d", "l", "s"}));
    setNow(kStartTime + 30);
    EXPECT_EQ(store->count(true), 0u);
}

TEST_F(KeyExpiry, SafeExpirationSaturates) {
    setNow(1000);
    EXPECT_EQ(VORN::getCurrentTimeInSecond(), 1000u);
    EXPECT_EQ(VORN::safeExpirationPlusCurrentTime(10), 1010u);
    EXPECT_EQ(VORN::safeExpirationPlusCurrentTime(0), 1000u);
    EXPECT_EQ(VORN::safeExpirationPlusCurrentTime(0xFFFFFFF0u), 0xFFFFFFFFu);
    EXPECT_EQ(VORN::safeExpirationPlusCurrentTime(0xFFFFFFFFu - 1000), 0xFFFFFFFFu);
    EXPECT_EQ(VORN::safeExpirationPlusCurrentTime(0xFFFFFFFFu - 1001), 0xFFFFFFFEu);
}

TEST_F(KeyExpiry, EnablingRewritesEveryValueWithOneTime) {
    VORN *store = open("enable");
    ASSERT_TRUE(store->set(int32_t(7), "i"));
    ASSERT_TRUE(store->set(std::string("abc"), "s"));
    ASSERT_TRUE(store->set(std::string(400, 'z'), "big"));
    const uint32_t before = sequence(store);

    m_log.clear();
    ASSERT_TRUE(store->enableAutoKeyExpire(60));
    const uint32_t due = kStartTime + 60;
    EXPECT_TRUE(m_log.has(VORNLogInfo, "enableAutoKeyExpire", "expiredInSeconds: 60")) << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogInfo, "enableAutoKeyExpire",
                          "turn on recording expire date for all keys inside [enable] from now " + std::to_string(due)))
        << m_log.dump();
    EXPECT_EQ(sequence(store), before + 1);
    EXPECT_TRUE(VORNTestPeer::metaInfo(store).hasFlag(vorn::MetaFlagKeyExpire));
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_version, 4u);
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "i")), hex("\x07" + le32(due)));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "s")), hex("\x03"
                                                         "abc" +
                                                         le32(due)));
    EXPECT_EQ(VORNTestPeer::getRaw(store, "big").size(), 402u + 4);
    EXPECT_EQ(store->getInt32("i"), 7);

    // Again, with the flag set: only the default duration changes.
    m_log.clear();
    setNow(kStartTime + 1);
    ASSERT_TRUE(store->enableAutoKeyExpire(120));
    EXPECT_TRUE(m_log.has(VORNLogInfo, "enableAutoKeyExpire", "expiredInSeconds: 120")) << m_log.dump();
    EXPECT_EQ(m_log.countPrefix("turn on recording"), 0u);
    EXPECT_EQ(sequence(store), before + 1);
    EXPECT_EQ(store->getExpireTimeForKey("i"), due);
    ASSERT_TRUE(store->set(false, "new"));
    EXPECT_EQ(store->getExpireTimeForKey("new"), kStartTime + 1 + 120);

    // The flag lives in the files: a plain reopen still has expiry on.
    store = reopen(store, "enable");
    EXPECT_EQ(store->getExpireTimeForKey("i"), due);
    setNow(due);
    EXPECT_EQ(sorted(store->allKeys(true)), std::vector<std::string>{"new"});
}

TEST_F(KeyExpiry, EnablingOnANewStoreWritesOnlyTheMetaRecord) {
    VORN *store = open("fresh");
    EXPECT_EQ(store->count(), 0u); // loaded
    const std::string data = readFile(dataPath("fresh"));
    const uint32_t before = sequence(store);
    m_log.clear();
    ASSERT_TRUE(store->enableAutoKeyExpire(0));
    EXPECT_TRUE(m_log.has(VORNLogInfo, "enableAutoKeyExpire",
                          "file is new, don't need a full writeback [fresh], just update meta file"))
        << m_log.dump();
    EXPECT_EQ(readFile(dataPath("fresh")), data);
    const vorn::VORNMetaInfo meta = metaFromBytes(readFile(metaPath("fresh")));
    EXPECT_TRUE(meta.hasFlag(vorn::MetaFlagKeyExpire));
    EXPECT_EQ(meta.m_sequence, before + 1);
    EXPECT_EQ(meta.m_actualSize, 0u);

    m_log.clear();
    ASSERT_TRUE(store->disableAutoKeyExpire());
    EXPECT_TRUE(m_log.has(VORNLogInfo, "disableAutoKeyExpire",
                          "file is new, don't need a full write-back [fresh], just update meta file"))
        << m_log.dump();
    EXPECT_EQ(readFile(dataPath("fresh")), data);
    const vorn::VORNMetaInfo after = metaFromBytes(readFile(metaPath("fresh")));
    EXPECT_FALSE(after.hasFlag(vorn::MetaFlagKeyExpire));
    EXPECT_EQ(after.m_sequence, before + 2);
}

TEST_F(KeyExpiry, DisablingStripsTimesAndDropsExpiredAndDamagedValues) {
    VORN *store = open("disable", expiring());
    ASSERT_TRUE(store->set(int32_t(1), "keep"));
    ASSERT_TRUE(store->set(std::string("text"), "text", 100));
    ASSERT_TRUE(store->set(int32_t(3), "gone", 10));
    ASSERT_TRUE(VORNTestPeer::setRaw(store, "short", "ab")); // too short to carry a time
    const uint32_t before = sequence(store);
    setNow(kStartTime + 10);

    m_log.clear();
    ASSERT_TRUE(store->disableAutoKeyExpire());
    EXPECT_TRUE(m_log.has(VORNLogInfo, "disableAutoKeyExpire",
                          "erase previous recorded expire date for all keys inside [disable]"))
        << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogWarning, "operator()", "key [short] has invalid value size 2")) << m_log.dump();
    EXPECT_EQ(sequence(store), before + 1);
    EXPECT_FALSE(VORNTestPeer::metaInfo(store).hasFlag(vorn::MetaFlagKeyExpire));
    EXPECT_EQ(sorted(store->allKeys()), (std::vector<std::string>{"keep", "text"}));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "keep")), hex("\x01"));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "text")), hex("\x04"
                                                            "text"));
    EXPECT_EQ(store->getExpireTimeForKey("text"), 0u);

    // Values written now carry no time, and never expire.
    ASSERT_TRUE(store->set(int32_t(5), "later", 1));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "later")), hex("\x05"));
    setNow(0xFFFFFFF0u);
    store = reopen(store, "disable");
    EXPECT_EQ(store->getInt32("later"), 5);
    EXPECT_EQ(store->count(true), 3u);
}

TEST_F(KeyExpiry, OptionsAtOpenSwitchExpiry) {
    VORN *store = open("atopen");
    ASSERT_TRUE(store->set(int32_t(9), "k"));
    store = reopen(store, "atopen", expiring(50));
    EXPECT_EQ(store->getExpireTimeForKey("k"), kStartTime + 50);
    ASSERT_TRUE(store->set(int32_t(10), "k2"));
    EXPECT_EQ(store->getExpireTimeForKey("k2"), kStartTime + 50);

    // Already on: a new default only.
    store = reopen(store, "atopen", expiring(70));
    ASSERT_TRUE(store->set(int32_t(11), "k3"));
    EXPECT_EQ(store->getExpireTimeForKey("k3"), kStartTime + 70);
    EXPECT_EQ(store->getExpireTimeForKey("k"), kStartTime + 50);

    StoreOptions off;
    off.enableKeyExpire = false;
    store = reopen(store, "atopen", off);
    EXPECT_FALSE(VORNTestPeer::metaInfo(store).hasFlag(vorn::MetaFlagKeyExpire));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "k")), hex("\x09"));
    EXPECT_EQ(store->getInt32("k3"), 11);
}

// A store whose files record expiry, opened without any option: the first
// operation, a write, must already add the time; the first read must not
// return it.
TEST_F(KeyExpiry, TheFirstOperationAfterOpenKnowsAboutExpiry) {
    VORN *store = open("first", expiring());
    ASSERT_TRUE(store->set(std::string("before"), "s"));
    close(store);

    store = open("first");
    ASSERT_TRUE(store->set(int32_t(3), "i"));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "i")), hex("\x03" + le32(0)));
    close(store);

    store = open("first");
    std::string out;
    EXPECT_TRUE(store->getString("s", out));
    EXPECT_EQ(out, "before");
    close(store);

    store = open("first");
    EXPECT_EQ(store->getValueSize("s", false), 7u);
    EXPECT_EQ(store->getInt32("i"), 3);
}

TEST_F(KeyExpiry, WriteBacksDropExpiredKeys) {
    VORN *store = open("filter", expiring());
    ASSERT_TRUE(store->set(int32_t(1), "a", 10));
    ASSERT_TRUE(store->set(int32_t(2), "b"));
    ASSERT_TRUE(store->set(int32_t(3), "c", 20));
    const uint32_t before = sequence(store);

    setNow(kStartTime + 15);
    EXPECT_EQ(store->count(false), 3u); // nothing filtered yet
    m_log.clear();
    EXPECT_EQ(store->count(true), 2u);
    EXPECT_TRUE(m_log.has(VORNLogInfo, "filterExpiredKeys",
                          "deleting expired key [a], due date " + std::to_string(kStartTime + 10)))
        << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogInfo, "filterExpiredKeys", "deleted 1 expired keys inside [filter]")) << m_log.dump();
    EXPECT_EQ(sequence(store), before + 1);

    // Nothing more expired: no rewrite.
    EXPECT_EQ(store->count(true), 2u);
    EXPECT_EQ(sequence(store), before + 1);

    // Time passes after that write-back: the next purge still finds c.
    setNow(kStartTime + 20);
    EXPECT_EQ(store->allKeys(true), std::vector<std::string>{"b"});
    EXPECT_EQ(sequence(store), before + 2);
    store = reopen(store, "filter");
    EXPECT_EQ(store->allKeys(false), std::vector<std::string>{"b"});

    // Expiring the last key empties the store.
    ASSERT_TRUE(store->set(int32_t(4), "d", 1));
    ASSERT_TRUE(store->removeValueForKey("b"));
    setNow(kStartTime + 21);
    EXPECT_EQ(store->count(true), 0u);
    store = reopen(store, "filter");
    EXPECT_EQ(store->count(), 0u);
}

TEST_F(KeyExpiry, ACompactionDropsExpiredKeysBeforeItMovesRecords) {
    VORN *store = open("compact", expiring());
    const std::string value(200, 'v');
    ASSERT_TRUE(store->set(value, "short-lived", 5));
    // Fill the page with updates of one key (dead bytes, which a compaction
    // reclaims) until the next record forces a compaction.
    while (VORNTestPeer::spaceLeft(store) > 2 * (value.size() + 16)) {
        ASSERT_TRUE(store->set(value, "filler"));
    }
    const uint32_t before = sequence(store);
    setNow(kStartTime + 5);
    m_log.clear();
    // A record that cannot fit into what is left.
    ASSERT_TRUE(store->set(std::string(VORNTestPeer::spaceLeft(store), 'w'), "big"));
    EXPECT_TRUE(m_log.has(VORNLogInfo, "filterExpiredKeys", "deleted 1 expired keys inside [compact]")) << m_log.dump();
    EXPECT_EQ(sequence(store), before + 1);
    store = reopen(store, "compact");
    EXPECT_EQ(store->count(), 2u);
    EXPECT_TRUE(store->containsKey("filler"));
    EXPECT_FALSE(store->containsKey("short-lived"));
}

TEST_F(KeyExpiry, EncryptedValuesOfEverySizeExpire) {
    const StoreOptions options = encrypted("0123456789abcdef", false, expiring());
    VORN *store = open("crypt", options);
    ASSERT_TRUE(store->set(std::string(10, 's'), "small", 10));
    ASSERT_TRUE(store->set(std::string(600, 'L'), "large", 10)); // kept by position
    ASSERT_TRUE(store->set(std::string(600, 'K'), "kept"));
    EXPECT_TRUE(VORNTestPeer::heldByPosition(store, "large"));
    EXPECT_EQ(store->getExpireTimeForKey("large"), kStartTime + 10);
    setNow(kStartTime + 10);
    EXPECT_EQ(store->allKeys(true), std::vector<std::string>{"kept"});
    store = reopen(store, "crypt", options);
    std::string out;
    EXPECT_TRUE(store->getString("kept", out));
    EXPECT_EQ(out, std::string(600, 'K'));
    EXPECT_EQ(store->count(), 1u);
}

TEST_F(KeyExpiry, ExpiryTimesOfValuesTooShortToCarryOne) {
    VORN *store = open("short", expiring());
    ASSERT_TRUE(VORNTestPeer::setRaw(store, "s", "ab"));
    m_log.clear();
    EXPECT_EQ(store->getExpireTimeForKey("s"), 0u);
    EXPECT_TRUE(m_log.has(VORNLogWarning, "getExpireTimeForKey", "key [s] has invalid value size 2")) << m_log.dump();
    m_log.clear();
    // Returned whole, never cut.
    EXPECT_EQ(store->getValueSize("s", false), 2u);
    EXPECT_TRUE(m_log.has(VORNLogWarning, "getDataWithoutMTimeForKey", "key [s] has invalid value size 2"))
        << m_log.dump();
    m_log.clear();
    EXPECT_EQ(store->count(true), 1u);
    EXPECT_TRUE(m_log.has(VORNLogWarning, "filterExpiredKeys", "key [s] has invalid value size 2")) << m_log.dump();
    EXPECT_EQ(store->getExpireTimeForKey(""), 0u);
    EXPECT_EQ(store->getExpireTimeForKey("missing"), 0u);
}

TEST_F(KeyExpiry, ReadOnlyStoresHonourTheFlagWithoutWriting) {
    VORN *store = open("ro", expiring());
    ASSERT_TRUE(store->set(std::string("soon"), "soon", 10));
    ASSERT_TRUE(store->set(std::string("never"), "never"));
    close(store);
    const std::string data = readFile(dataPath("ro"));
    const std::string meta = readFile(metaPath("ro"));

    store = open("ro", inMode(VORN_READ_ONLY));
    std::string out;
    EXPECT_TRUE(store->getString("soon", out));
    EXPECT_EQ(out, "soon");
    EXPECT_EQ(store->getValueSize("never", false), 6u);
    EXPECT_EQ(store->getExpireTimeForKey("soon"), kStartTime + 10);
    setNow(kStartTime + 10);
    EXPECT_FALSE(store->getString("soon", out));
    EXPECT_FALSE(store->containsKey("soon"));
    EXPECT_EQ(store->allKeys(true), std::vector<std::string>{"never"});
    m_log.clear();
    EXPECT_FALSE(store->enableAutoKeyExpire(5));
    EXPECT_FALSE(store->disableAutoKeyExpire());
    EXPECT_EQ(m_log.count("[ro] file readonly"), 2u) << m_log.dump();
    EXPECT_EQ(readFile(dataPath("ro")), data);
    EXPECT_EQ(readFile(metaPath("ro")), meta);
}

TEST_F(KeyExpiry, CompareBeforeSetSkipsUnchangedWritesOnPlainStoresOnly) {
    StoreOptions options;
    options.enableCompareBeforeSet = true;
    VORN *store = open("cbs", options);
    ASSERT_TRUE(store->set(std::string("same"), "s"));
    ASSERT_TRUE(store->set(int32_t(5), "i"));
    const size_t size = store->actualSize();
    const uint32_t crc = VORNTestPeer::crcDigest(store);
    EXPECT_TRUE(store->set(std::string("same"), "s"));
    EXPECT_TRUE(store->set(int32_t(5), "i"));
    EXPECT_EQ(store->actualSize(), size);
    EXPECT_EQ(VORNTestPeer::crcDigest(store), crc);
    EXPECT_TRUE(store->set(int32_t(6), "i"));
    EXPECT_GT(store->actualSize(), size);

    m_log.clear();
    EXPECT_TRUE(store->disableCompareBeforeSet());
    EXPECT_TRUE(m_log.has(VORNLogInfo, "disableCompareBeforeSet", "disableCompareBeforeSet for [cbs]")) << m_log.dump();
    const size_t before = store->actualSize();
    EXPECT_TRUE(store->set(std::string("same"), "s"));
    EXPECT_GT(store->actualSize(), before);

    // Switching expiry on switches it off for good.
    EXPECT_TRUE(store->enableCompareBeforeSet());
    m_log.clear();
    ASSERT_TRUE(store->enableAutoKeyExpire(0));
    EXPECT_TRUE(
        m_log.has(VORNLogError, "enableAutoKeyExpire", "enableCompareBeforeSet will be invalid when Expiration is on"))
        << m_log.dump();
    m_log.clear();
    EXPECT_FALSE(store->enableCompareBeforeSet());
    EXPECT_TRUE(m_log.has(VORNLogInfo, "enableCompareBeforeSet", "enableCompareBeforeSet for [cbs]")) << m_log.dump();
    const size_t expiring = store->actualSize();
    EXPECT_TRUE(store->set(std::string("same"), "s"));
    EXPECT_GT(store->actualSize(), expiring);

    VORN *crypt = open("cbs-crypt", encrypted("0123456789abcdef"));
    EXPECT_FALSE(crypt->enableCompareBeforeSet());
    EXPECT_FALSE(crypt->disableCompareBeforeSet());
}

// Another process switches expiry on, then off, between this process's
// operations: every value this process writes follows the files' state,
// and no value it reads loses or gains 4 bytes.
TEST_F(KeyExpiry, AnotherProcessSwitchingExpiry) {
    const StoreOptions multi = multiProcess();
    if (isChild()) {
        VORN *store = open("switch", multi);
        EXPECT_EQ(store->count(), 1u);
        ASSERT_TRUE(store->enableAutoKeyExpire(0));
        markStep(storeRoot(), "child-enabled");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-wrote"));
        EXPECT_EQ(store->getInt32("during"), 8);
        EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "during")), hex("\x08" + le32(0)));
        ASSERT_TRUE(store->disableAutoKeyExpire());
        markStep(storeRoot(), "child-disabled");
        return;
    }
    VORN *store = open("switch", multi);
    ASSERT_TRUE(store->set(std::string("text"), "before"));
    const int child = startSelf("KeyExpiry.AnotherProcessSwitchingExpiry", "child", root());
    ASSERT_TRUE(waitStep(root(), "child-enabled"));
    ASSERT_TRUE(store->set(int32_t(8), "during"));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "during")), hex("\x08" + le32(0)));
    std::string out;
    EXPECT_TRUE(store->getString("before", out));
    EXPECT_EQ(out, "text");
    markStep(root(), "parent-wrote");
    ASSERT_TRUE(waitStep(root(), "child-disabled"));
    // This process still believes expiry is on until it looks at the files.
    EXPECT_EQ(store->getValueSize("before", false), 5u);
    EXPECT_TRUE(store->getString("before", out));
    EXPECT_EQ(out, "text");
    EXPECT_EQ(store->getInt32("during"), 8);
    ASSERT_TRUE(store->set(int32_t(9), "after"));
    EXPECT_EQ(hex(VORNTestPeer::getRaw(store, "after")), hex("\x09"));
    EXPECT_EQ(waitChild(child), 0);
}

// An expired key read in one process is deleted for the other one too.
TEST_F(KeyExpiry, ADeletionOfAnExpiredKeyReachesTheOtherProcess) {
    const StoreOptions multi = multiProcess(expiring(0));
    if (isChild()) {
        VORN *store = open("shared-expiry", multi);
        EXPECT_EQ(store->count(), 2u);
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-deleted"));
        m_log.clear();
        EXPECT_EQ(store->count(), 1u); // applied from the appended deletion record
        EXPECT_EQ(m_log.changed, 1);
        EXPECT_FALSE(store->containsKey("short"));
        return;
    }
    VORN *store = open("shared-expiry", multi);
    ASSERT_TRUE(store->set(int32_t(1), "short", 3));
    ASSERT_TRUE(store->set(int32_t(2), "long"));
    const int child = startSelf("KeyExpiry.ADeletionOfAnExpiredKeyReachesTheOtherProcess", "child", root());
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    setNow(kStartTime + 3);
    EXPECT_FALSE(store->containsKey("short"));
    markStep(root(), "parent-deleted");
    EXPECT_EQ(waitChild(child), 0);
}

} // namespace
