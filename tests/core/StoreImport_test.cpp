// Copying every key of one store into another (importFrom).

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "StoreTestSupport.h"
#include "platform/VORNFileUtil.h"

using namespace vorn_test;
using Peer = VORNMaintenanceTestPeer;

namespace {

class Import : public StoreTest {
protected:
    // Source keys and the value bytes each one is stored with: a string in
    // the data-holder form, a raw scalar, and a value big enough for an
    // encrypted index to keep it by position. A deleted key is not copied.
    void fillSource(VORN *src) {
        ASSERT_TRUE(VORNTestPeer::set(src, "string", "text"));
        ASSERT_TRUE(VORNTestPeer::setRaw(src, "scalar", "\x96\x01"));
        ASSERT_TRUE(VORNTestPeer::set(src, "large", std::string(700, 'L')));
        ASSERT_TRUE(VORNTestPeer::set(src, "shared", "from-src"));
        ASSERT_TRUE(VORNTestPeer::set(src, "deleted", "x"));
        ASSERT_TRUE(VORNTestPeer::remove(src, "deleted"));
    }
    const std::vector<std::string> sourceKeys = {"large", "scalar", "shared", "string"};
};

TEST_F(Import, CopiesEveryValueAsStored) {
    struct Case {
        const char *name;
        StoreOptions src;
        StoreOptions dst;
    };
    const std::vector<Case> cases = {
        {"plain to plain", {}, {}},
        {"AES-128 to plain", encrypted("import-src-key-1"), {}},
        {"plain to AES-256", {}, encrypted("import-destination-key-32-bytes!", true)},
        {"AES-128 to AES-256", encrypted("import-src-key-1"), encrypted("import-destination-key-32-bytes!", true)},
        {"multi-process both", multiProcess(), multiProcess()},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        VORN *src = open("src-" + std::to_string(i), cases[i].src);
        VORN *dst = open("dst-" + std::to_string(i), cases[i].dst);
        fillSource(src);
        ASSERT_TRUE(VORNTestPeer::set(dst, "kept", "mine"));
        ASSERT_TRUE(VORNTestPeer::set(dst, "shared", "from-dst"));

        m_log.clear();
        EXPECT_EQ(dst->importFrom(src), sourceKeys.size());
        EXPECT_TRUE(
            m_log.has(VORNLogInfo, "importFrom", "imported 4 from [" + src->mmapID() + "] to [" + dst->mmapID() + "]"))
            << m_log.dump();
        for (const std::string &key : sourceKeys) {
            EXPECT_EQ(VORNTestPeer::getRaw(dst, key), VORNTestPeer::getRaw(src, key)) << key;
        }
        EXPECT_EQ(VORNTestPeer::get(dst, "kept"), std::optional<std::string>("mine"));
        EXPECT_EQ(VORNTestPeer::get(dst, "deleted"), std::nullopt);
        // Written to the file, not only to the index.
        dst = reopen(dst, "dst-" + std::to_string(i), cases[i].dst);
        EXPECT_EQ(VORNTestPeer::keyCount(dst), sourceKeys.size() + 1);
        EXPECT_EQ(VORNTestPeer::get(dst, "large"), std::string(700, 'L'));
    }
}

TEST_F(Import, TheSourcesExpiryTimeIsDroppedAndTheTargetsAdded) {
    struct Case {
        const char *name;
        bool srcExpiry;
        bool dstExpiry;
        uint32_t dstSeconds; // the target's default duration
    };
    const std::vector<Case> cases = {
        {"expiring source, plain target", true, false, 0},
        {"plain source, expiring target", false, true, 600},
        {"expiring source and target", true, true, 0},
    };
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        VORN *src = open("exp-src-" + std::to_string(i));
        VORN *dst = open("exp-dst-" + std::to_string(i));
        if (cases[i].srcExpiry) {
            Peer::enableExpiry(src, 0);
        }
        if (cases[i].dstExpiry) {
            Peer::enableExpiry(dst, cases[i].dstSeconds);
        }
        ASSERT_TRUE(Peer::setWithExpire(src, "a", "alpha", 1000));
        ASSERT_TRUE(Peer::setWithExpire(src, "b", "beta", 0));

        const uint32_t before = static_cast<uint32_t>(time(nullptr));
        EXPECT_EQ(dst->importFrom(src), 2u);
        const uint32_t after = static_cast<uint32_t>(time(nullptr));

        const std::vector<std::pair<std::string, std::string>> values = {{"a", "alpha"}, {"b", "beta"}};
        for (const auto &pair : values) {
            SCOPED_TRACE(pair.first);
            const std::string stored = std::string(1, static_cast<char>(pair.second.size())) + pair.second;
            const std::string raw = VORNTestPeer::getRaw(dst, pair.first);
            if (!cases[i].dstExpiry) {
                EXPECT_EQ(hex(raw), hex(stored)) << "no expiry time of the source";
                continue;
            }
            ASSERT_EQ(raw.size(), stored.size() + 4);
            EXPECT_EQ(hex(raw.substr(0, stored.size())), hex(stored));
            const uint32_t time = Peer::trailingTime(raw);
            if (cases[i].dstSeconds == 0) {
                EXPECT_EQ(time, 0u);
            } else {
                EXPECT_GE(time, before + cases[i].dstSeconds);
                EXPECT_LE(time, after + cases[i].dstSeconds);
            }
            EXPECT_EQ(VORNTestPeer::get(dst, pair.first), std::optional<std::string>(pair.second));
        }
    }
}

TEST_F(Import, NothingIsImportedFromNullItselfOrIntoAReadOnlyStore) {
    VORN *store = open("self");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    ASSERT_TRUE(VORNTestPeer::set(store, "b", std::string(300, 'b')));
    store->sync();
    const std::string data = readFile(dataPath("self"));
    EXPECT_EQ(store->importFrom(nullptr), 0u);
    EXPECT_EQ(store->importFrom(store), 0u);
    store->sync();
    EXPECT_EQ(readFile(dataPath("self")), data);
    EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b"}));

    VORN *writer = open("ro-target");
    ASSERT_TRUE(VORNTestPeer::set(writer, "x", "1"));
    close(writer);
    VORN *target = open("ro-target", readOnly());
    m_log.clear();
    EXPECT_EQ(target->importFrom(store), 0u);
    EXPECT_TRUE(m_log.has(VORNLogWarning, "importFrom", "[ro-target] file readonly")) << m_log.dump();
    EXPECT_EQ(VORNTestPeer::keys(target), std::vector<std::string>{"x"});
}

TEST_F(Import, OnlyWritesThatSucceededAreCounted) {
    VORN *src = open("limit-src");
    fillSource(src);
    StoreOptions limited;
    limited.itemSizeLimit = 100;
    VORN *dst = open("limit-dst", limited);
    EXPECT_EQ(dst->importFrom(src), sourceKeys.size() - 1);
    EXPECT_EQ(VORNTestPeer::keys(dst), (std::vector<std::string>{"scalar", "shared", "string"}));
}

// Two imports in opposite directions at once. Locking the target first would
// let each hold one store and wait for the other.
TEST_F(Import, OppositeImportsInTwoThreadsBothFinish) {
    VORN::setLogLevel(VORNLogError); // the recording handler is not shared between threads
    VORN *a = open("thread-a");
    VORN *b = open("thread-b");
    ASSERT_TRUE(VORNTestPeer::set(a, "from-a", "1"));
    ASSERT_TRUE(VORNTestPeer::set(b, "from-b", "2"));
    size_t intoA = 0;
    size_t intoB = 0;
    std::atomic<int> ready{0};
    auto importMany = [&ready](VORN *target, VORN *source, size_t &count) {
        ready++;
        while (ready.load() < 2) {
        }
        for (int i = 0; i < 3000; i++) {
            count += target->importFrom(source);
        }
    };
    std::thread first(importMany, a, b, std::ref(intoA));
    std::thread second(importMany, b, a, std::ref(intoB));
    first.join();
    second.join();
    EXPECT_GE(intoA, 3000u);
    EXPECT_GE(intoB, 3000u);
    EXPECT_EQ(VORNTestPeer::keys(a), (std::vector<std::string>{"from-a", "from-b"}));
    EXPECT_EQ(VORNTestPeer::keys(b), (std::vector<std::string>{"from-a", "from-b"}));
}

// The same across processes: the inter-process locks of the two stores must
// be taken in one order by every process.
TEST_F(Import, OppositeImportsInTwoProcessesBothFinish) {
    const bool child = isChild();
    const std::string steps = storeRoot() + "/steps";
    if (!child) {
        ASSERT_TRUE(vorn::mkPath(steps));
    }
    VORN *a = open("process-a", multiProcess());
    VORN *b = open("process-b", multiProcess());
    if (!child) {
        ASSERT_TRUE(VORNTestPeer::set(a, "from-a", "1"));
        ASSERT_TRUE(VORNTestPeer::set(b, "from-b", "2"));
    }
    VORN *target = child ? b : a;
    VORN *source = child ? a : b;
    int pid = -1;
    if (child) {
        markStep(steps, "child-ready");
        ASSERT_TRUE(waitStep(steps, "go"));
    } else {
        pid = startSelf("Import.OppositeImportsInTwoProcessesBothFinish", "child", root());
        ASSERT_TRUE(waitStep(steps, "child-ready"));
        markStep(steps, "go");
    }
    size_t count = 0;
    for (int i = 0; i < 2000; i++) {
        count += target->importFrom(source);
    }
    EXPECT_GE(count, 2000u);
    if (!child) {
        EXPECT_EQ(waitChild(pid), 0);
        EXPECT_EQ(VORNTestPeer::keys(a), (std::vector<std::string>{"from-a", "from-b"}));
        EXPECT_EQ(VORNTestPeer::keys(b), (std::vector<std::string>{"from-a", "from-b"}));
    }
}

} // namespace
