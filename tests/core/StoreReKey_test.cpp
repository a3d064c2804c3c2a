// Changing a store's key (reKey), following another process's change
// (checkReSetCryptKey), and reading the key back (cryptKey).

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "platform/VORNFileUtil.h"

using namespace vorn_test;

namespace {

// 32 bytes: AES-128 uses the first 16, AES-256 all of them.
const std::string kKey = "0123456789abcdef0123456789ABCDEF";
// Every value holds it, so any plaintext left in the data file shows.
const std::string kMarker = "SECRET";

class ReKey : public StoreTest {
protected:
    // Values of every kind an encrypted index keeps (small ones in memory, a
    // large one by position), plus stale plaintext: an older value of a key
    // and a deleted key.
    void fill(VORN *store) {
        model.clear();
        for (int i = 0; i < 6; i++) {
            model["small-" + std::to_string(i)] = kMarker + "-small-" + std::to_string(i);
        }
        model["large"] = kMarker + std::string(600, 'L');
        ASSERT_TRUE(VORNTestPeer::set(store, "small-0", kMarker + "-older-value"));
        ASSERT_TRUE(VORNTestPeer::set(store, "gone", kMarker + "-deleted"));
        for (const auto &pair : model) {
            ASSERT_TRUE(VORNTestPeer::set(store, pair.first, pair.second));
        }
        ASSERT_TRUE(VORNTestPeer::remove(store, "gone"));
    }
    void expectModel(VORN *store) {
        EXPECT_EQ(VORNTestPeer::keyCount(store), model.size());
        for (const auto &pair : model) {
            EXPECT_EQ(VORNTestPeer::get(store, pair.first), std::optional<std::string>(pair.second)) << pair.first;
        }
    }
    std::string stream(const std::string &id, VORN *store) {
        store->sync();
        return readFile(dataPath(id)).substr(4, VORNTestPeer::actualSize(store));
    }
    static std::string vectorOf(const vorn::VORNMetaInfo &info) {
        return std::string(reinterpret_cast<const char *>(info.m_vector), sizeof(info.m_vector));
    }

    std::map<std::string, std::string> model;
};

TEST_F(ReKey, PlainToAES128ToAES256ToPlainKeepsEveryValueAndNoPlaintextWhileEncrypted) {
    struct Step {
        const char *name;
        std::string key;
        bool aes256;
    };
    // The same key string for AES-128 and AES-256: only the key size changes.
    const std::vector<Step> steps = {{"AES-128", kKey, false}, {"AES-256", kKey, true}, {"plain", "", false}};

    VORN *store = open("chain");
    fill(store);
    ASSERT_NE(readFile(dataPath("chain")).find(kMarker), std::string::npos) << "the plain file shows its values";

    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        const vorn::VORNMetaInfo before = VORNTestPeer::metaInfo(store);
        ASSERT_TRUE(store->reKey(step.key, step.aes256));
        const vorn::VORNMetaInfo after = metaFromBytes(readFile(metaPath("chain")));
        EXPECT_EQ(after.m_sequence, before.m_sequence + 1);
        expectModel(store);

        StoreOptions options;
        if (!step.key.empty()) {
            ASSERT_TRUE(VORNTestPeer::isEncrypted(store));
            EXPECT_EQ(VORNTestPeer::crypter(store)->isAES256(), step.aes256);
            EXPECT_EQ(store->cryptKey(), kKey.substr(0, step.aes256 ? 32 : 16));
            EXPECT_NE(vectorOf(after), vectorOf(before));
            store->sync();
            EXPECT_EQ(readFile(dataPath("chain")).find(kMarker), std::string::npos) << "plaintext left in the file";
            options = encrypted(step.key, step.aes256);
        } else {
            ASSERT_TRUE(VORNTestPeer::isPlain(store));
            EXPECT_EQ(store->cryptKey(), "");
            // The clear stream is what the CRC covers.
            const std::string bytes = stream("chain", store);
            EXPECT_EQ(after.m_crcDigest, crcOf(bytes));
            EXPECT_NE(bytes.find(kMarker + "-small-3"), std::string::npos);
        }
        // Written for good: a new open with the new key reads the same, and writes on.
        store = reopen(store, "chain", options);
        expectModel(store);
        const std::string extra = std::string("extra-") + step.name;
        model[extra] = kMarker + "-" + extra;
        ASSERT_TRUE(VORNTestPeer::set(store, extra, model[extra]));
    }
    store = reopen(store, "chain");
    expectModel(store);
}

TEST_F(ReKey, TheSameKeyAsTheCipherUsesItRewritesNothing) {
    struct Case {
        const char *name;
        StoreOptions options;
        std::string key;
        bool aes256;
    };
    const std::vector<Case> cases = {
        {"same AES-128 key", encrypted(kKey.substr(0, 16)), kKey.substr(0, 16), false},
        {"longer key, same first 16 bytes", encrypted(kKey.substr(0, 16)), kKey + "-more", false},
        {"same AES-256 key", encrypted(kKey, true), kKey, true},
        {"plain store, no key", {}, "", false},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        const std::string id = "same-" + std::to_string(i);
        VORN *store = open(id, cases[i].options);
        fill(store);
        store->sync();
        const std::string data = readFile(dataPath(id));
        const std::string meta = readFile(metaPath(id));
        EXPECT_TRUE(store->reKey(cases[i].key, cases[i].aes256));
        store->sync();
        EXPECT_EQ(readFile(dataPath(id)), data);
        EXPECT_EQ(readFile(metaPath(id)), meta);
        expectModel(store);
    }
}

TEST_F(ReKey, RefusedReKeyChangesNothing) {
    // A plain open of an encrypted store: the stream does not decode.
    VORN *store = open("refused", encrypted(kKey));
    fill(store);
    store = reopen(store, "refused");
    ASSERT_EQ(VORNTestPeer::keyCount(store), 0u);
    ASSERT_TRUE(VORNTestPeer::streamUndecodable(store));
    const std::string data = readFile(dataPath("refused"));
    EXPECT_FALSE(store->reKey("another-key", false));
    EXPECT_EQ(readFile(dataPath("refused")), data);

    store = reopen(store, "refused", readOnly(encrypted(kKey)));
    m_log.clear();
    EXPECT_FALSE(store->reKey("", false));
    EXPECT_TRUE(m_log.has(VORNLogWarning, "reKey", "[refused] file readonly")) << m_log.dump();
    expectModel(store);
}

TEST_F(ReKey, CryptKeyIsTheKeyAsTheCipherHoldsIt) {
    struct Case {
        const char *name;
        std::string key;
        bool aes256;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"plain", "", false, ""},
        {"short", "abc", false, "abc"},
        {"cut to 16", kKey, false, kKey.substr(0, 16)},
        {"cut to 32", kKey + "tail", true, kKey},
        {"up to a zero byte", std::string("ab\0cd", 5), false, "ab"},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        VORN *store = open("cryptkey-" + std::to_string(i),
                           cases[i].key.empty() ? StoreOptions{} : encrypted(cases[i].key, cases[i].aes256));
        EXPECT_EQ(store->cryptKey(), cases[i].expected);
    }
}

// A store loaded under one key learns another without a new sequence: the
// loaded contents belong to the old key and must be read again.
TEST_F(ReKey, CheckReSetCryptKeyReloadsWhenTheKeyChanges) {
    struct Case {
        const char *name;
        StoreOptions opened; // how this process opened the store
    };
    const std::vector<Case> cases = {
        {"opened without a key", {}},
        {"opened with a wrong key", encrypted("wrong-key-16byte")},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        const std::string id = "follow-" + std::to_string(i);
        VORN *store = open(id, encrypted(kKey));
        fill(store);
        store = reopen(store, id, cases[i].opened);
        ASSERT_EQ(VORNTestPeer::keyCount(store), 0u);

        m_log.clear();
        store->checkReSetCryptKey(&kKey, false);
        EXPECT_EQ(m_log.count("setting new aes key"), 1u) << m_log.dump();
        expectModel(store);
        // Appends continue the stream's keystream.
        model["new"] = kMarker + "-new";
        ASSERT_TRUE(VORNTestPeer::set(store, "new", model["new"]));
        store = reopen(store, id, encrypted(kKey));
        expectModel(store);
    }
}

TEST_F(ReKey, CheckReSetCryptKeyWithTheEffectiveKeyKeepsTheLoadedContents) {
    VORN *store = open("effective", encrypted(kKey.substr(0, 16)));
    fill(store);
    const std::string longer = kKey; // the same first 16 bytes
    m_log.clear();
    store->checkReSetCryptKey(&longer, false);
    EXPECT_EQ(m_log.count("setting new aes key"), 0u) << m_log.dump();
    EXPECT_EQ(m_log.loaded, 0);
    EXPECT_FALSE(VORNTestPeer::needsLoad(store));
    model["after"] = "x";
    ASSERT_TRUE(VORNTestPeer::set(store, "after", "x"));
    store = reopen(store, "effective", encrypted(kKey.substr(0, 16)));
    expectModel(store);

    // Null or empty makes the store plain; a plain store without a key stays as it is.
    m_log.clear();
    store->checkReSetCryptKey(nullptr, false);
    EXPECT_EQ(m_log.count("reset aes key"), 1u);
    EXPECT_TRUE(VORNTestPeer::isPlain(store));
    EXPECT_EQ(VORNTestPeer::keyCount(store), 0u) << "an encrypted stream read as plain";
    m_log.clear();
    const std::string empty;
    store->checkReSetCryptKey(&empty, false);
    EXPECT_EQ(m_log.lines.size(), 0u) << m_log.dump();
}

// One process re-keys a multi-process store step by step; the other follows
// each step with checkReSetCryptKey and writes under the new key.
class ReKeyAcrossProcesses : public StoreTest {
protected:
    std::string steps() const { return storeRoot() + "/steps"; }
};

struct KeyStep {
    std::string key;
    bool aes256;
};

const std::vector<KeyStep> &keySteps() {
    static const std::vector<KeyStep> steps = {{kKey, false}, {"second-key-of-32-bytes-for-aes!!", true}, {"", false}};
    return steps;
}

TEST_F(ReKeyAcrossProcesses, TheOtherProcessFollowsEveryKeyChange) {
    if (isChild()) {
        VORN *store = open("shared", multiProcess());
        EXPECT_EQ(VORNTestPeer::get(store, "base"), std::optional<std::string>("0"));
        markStep(steps(), "child-loaded");
        for (size_t i = 0; i < keySteps().size(); i++) {
            SCOPED_TRACE(i);
            const KeyStep &step = keySteps()[i];
            ASSERT_TRUE(waitStep(steps(), "parent-" + std::to_string(i)));
            store->checkReSetCryptKey(step.key.empty() ? nullptr : &step.key, step.aes256);
            EXPECT_EQ(VORNTestPeer::isEncrypted(store), !step.key.empty());
            EXPECT_EQ(VORNTestPeer::get(store, "base"), std::optional<std::string>("0"));
            EXPECT_EQ(VORNTestPeer::get(store, "parent-" + std::to_string(i)), std::optional<std::string>("p"));
            for (size_t j = 0; j < i; j++) {
                EXPECT_EQ(VORNTestPeer::get(store, "child-" + std::to_string(j)), std::optional<std::string>("c"));
            }
            ASSERT_TRUE(VORNTestPeer::set(store, "child-" + std::to_string(i), "c"));
            markStep(steps(), "child-" + std::to_string(i));
        }
        return;
    }
    ASSERT_TRUE(vorn::mkPath(steps()));
    VORN *store = open("shared", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "base", "0"));
    const int child = startSelf("ReKeyAcrossProcesses.TheOtherProcessFollowsEveryKeyChange", "child", root());
    ASSERT_TRUE(waitStep(steps(), "child-loaded"));
    for (size_t i = 0; i < keySteps().size(); i++) {
        SCOPED_TRACE(i);
        const KeyStep &step = keySteps()[i];
        ASSERT_TRUE(store->reKey(step.key, step.aes256));
        ASSERT_TRUE(VORNTestPeer::set(store, "parent-" + std::to_string(i), "p"));
        markStep(steps(), "parent-" + std::to_string(i));
        ASSERT_TRUE(waitStep(steps(), "child-" + std::to_string(i)));
        EXPECT_EQ(VORNTestPeer::get(store, "child-" + std::to_string(i)), std::optional<std::string>("c"));
    }
    EXPECT_EQ(waitChild(child), 0);
    store = reopen(store, "shared", multiProcess());
    EXPECT_EQ(VORNTestPeer::keyCount(store), 1u + 2 * keySteps().size());
}

} // namespace
