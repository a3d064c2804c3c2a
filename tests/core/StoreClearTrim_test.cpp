// Emptying a store (clearAll) and giving disk space back (trim), within one
// process and while a second process maps the longer file.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "platform/VORNFileUtil.h"

using namespace vorn_test;

namespace {

struct StoreCase {
    const char *name;
    const char *id;
    StoreOptions options;
};

const std::vector<StoreCase> &storeCases() {
    static const std::vector<StoreCase> cases = {
        {"plain", "clear-plain", {}},
        {"AES-128", "clear-128", encrypted("clear-key-16byte")},
        {"AES-256 multi-process", "clear-256", encrypted("clear-key-of-thirty-two-bytes-ok", true, multiProcess())},
    };
    return cases;
}

class ClearTrim : public StoreTest {
protected:
    // Grows a new store's data file to 65536 bytes with one 5000-byte value
    // (the growth rule's first step for it), then leaves it deleted.
    void growThenDelete(VORN *store) {
        ASSERT_TRUE(VORNTestPeer::set(store, "big", std::string(5000, 'b')));
        ASSERT_EQ(VORNTestPeer::mappedFileSize(store), 65536u);
        ASSERT_TRUE(VORNTestPeer::remove(store, "big"));
    }
    static std::string vectorOf(const vorn::VORNMetaInfo &info) {
        return std::string(reinterpret_cast<const char *>(info.m_vector), sizeof(info.m_vector));
    }
};

TEST_F(ClearTrim, ClearAllGoesBackToTheOpeningSizeUnderANewSequenceAndVector) {
    for (const StoreCase &c : storeCases()) {
        SCOPED_TRACE(c.name);
        const std::string id = c.id;
        VORN *store = open(id, c.options);
        growThenDelete(store);
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
        const vorn::VORNMetaInfo before = VORNTestPeer::metaInfo(store);

        m_log.clear();
        store->clearAll();
        EXPECT_TRUE(m_log.has(VORNLogInfo, "clearAll", "cleaning all key-values from [" + id + "]")) << m_log.dump();
        EXPECT_EQ(fileSize(dataPath(id)), 4096);
        EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 4096u);
        EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
        const vorn::VORNMetaInfo after = metaFromBytes(readFile(metaPath(id)));
        EXPECT_EQ(after.m_sequence, before.m_sequence + 1);
        EXPECT_NE(vectorOf(after), vectorOf(before));
        EXPECT_EQ(after.m_actualSize, 0u);
        EXPECT_EQ(after.m_crcDigest, 0u);
        EXPECT_EQ(after.m_lastConfirmedMetaInfo.lastActualSize, 0u);
        EXPECT_EQ(after.m_lastConfirmedMetaInfo.lastActualCRC, 0u);

        m_log.clear();
        store->clearAll();
        EXPECT_TRUE(m_log.has(VORNLogInfo, "clearAll", "nothing to clear for [" + id + "]")) << m_log.dump();
        EXPECT_EQ(metaFromBytes(readFile(metaPath(id))).m_sequence, after.m_sequence);

        // The store goes on from the empty stream, and so does a later open.
        ASSERT_TRUE(VORNTestPeer::set(store, "after", "3"));
        store = reopen(store, id, c.options);
        EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"after"});
        EXPECT_EQ(VORNTestPeer::get(store, "after"), std::optional<std::string>("3"));
    }
}

TEST_F(ClearTrim, ClearAllKeepingSpaceEmptiesTheStoreInAFileOfTheSameSize) {
    VORN *store = open("keep");
    growThenDelete(store);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;

    store->clearAll(true);
    EXPECT_EQ(fileSize(dataPath("keep")), 65536);
    EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
    EXPECT_EQ(metaFromBytes(readFile(metaPath("keep"))).m_sequence, sequence + 1);
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::nullopt);

    ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
    store = reopen(store, "keep");
    EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"b"});
    EXPECT_EQ(fileSize(dataPath("keep")), 65536);
}

TEST_F(ClearTrim, ClearAllOfAReadOnlyStoreIsRefused) {
    VORN *writer = open("ro-clear");
    ASSERT_TRUE(VORNTestPeer::set(writer, "a", "1"));
    close(writer);
    VORN *store = open("ro-clear", readOnly());
    m_log.clear();
    store->clearAll();
    EXPECT_TRUE(m_log.has(VORNLogWarning, "clearAll", "[ro-clear] file readonly")) << m_log.dump();
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
}

// 65536 bytes holding about 1000 bytes of stream, opening size 4096: halved
// to 1024 (the first size at most 2 * stream + 8), then raised to 4096.
TEST_F(ClearTrim, TrimHalvesTheFileDownToTheOpeningSize) {
    VORN *store = open("trim");
    growThenDelete(store);
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), std::string(88, 'a' + i)));
    }
    m_log.clear();
    store->trim();
    const size_t actual = VORNTestPeer::actualSize(store);
    ASSERT_GT(actual, 900u);
    ASSERT_LT(actual, 1100u);
    const std::string prefix = "trimming trim from 65536 to 4096, actualSize " + std::to_string(actual);
    EXPECT_TRUE(m_log.has(VORNLogInfo, "trim", "prepare to trim trim")) << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogInfo, "trim", prefix)) << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogInfo, "trim", "finish trim trim from 65536 to 4096")) << m_log.dump();
    EXPECT_EQ(fileSize(dataPath("trim")), 4096);
    EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 4096u);

    // Appends go on inside the shorter file, and everything survives a reopen.
    ASSERT_TRUE(VORNTestPeer::set(store, "after", "x"));
    store = reopen(store, "trim");
    EXPECT_EQ(VORNTestPeer::keyCount(store), 11u);
    for (int i = 0; i < 10; i++) {
        EXPECT_EQ(VORNTestPeer::get(store, "key-" + std::to_string(i)), std::string(88, 'a' + i));
    }
    EXPECT_EQ(VORNTestPeer::get(store, "after"), std::optional<std::string>("x"));
}

TEST_F(ClearTrim, TrimAtTheOpeningSizeDoesNothing) {
    VORN *store = open("small");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    const std::string dataBefore = readFile(dataPath("small"));
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
    m_log.clear();
    store->trim();
    ASSERT_EQ(m_log.lines.size(), 1u) << m_log.dump();
    EXPECT_EQ(m_log.lines[0].message, "prepare to trim small");
    EXPECT_EQ(readFile(dataPath("small")), dataBefore);
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence);
}

// A file that no longer needs its size but whose stream is already compact:
// the write-back has nothing to do, yet the shrink must still be announced.
TEST_F(ClearTrim, TrimOfAnAlreadyCompactedStoreStillStartsANewSequence) {
    VORN *store = open("compacted");
    growThenDelete(store);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
    store->trim();
    EXPECT_EQ(fileSize(dataPath("compacted")), 4096);
    const vorn::VORNMetaInfo info = metaFromBytes(readFile(metaPath("compacted")));
    EXPECT_EQ(info.m_sequence, sequence + 1);
    EXPECT_EQ(info.m_lastConfirmedMetaInfo.lastActualSize, info.m_actualSize);
    EXPECT_EQ(info.m_lastConfirmedMetaInfo.lastActualCRC, info.m_crcDigest);
}

// A second process maps the 65536-byte file, then the first one shrinks it.
// The second one's next append is bigger than the new file: written through
// its old mapping it would land past the end of the file (SIGBUS). The
// child's role is the operation the parent shrinks the file with.
using ShrinkAcrossProcesses = StoreTest;

TEST_F(ShrinkAcrossProcesses, TheOtherProcessRemapsBeforeItAppends) {
    const std::vector<std::string> operations = {"trim", "clearAll"};
    if (isChild()) {
        const std::string operation = currentRole();
        VORN *store = open("shrink", multiProcess());
        EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
        EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 65536u);
        markStep(storeRoot() + "/steps", "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot() + "/steps", "parent-shrank"));
        ASSERT_TRUE(VORNTestPeer::set(store, "child", std::string(8000, 'c')));
        EXPECT_EQ(VORNTestPeer::mappedFileSize(store), static_cast<size_t>(fileSize(dataPath("shrink"))));
        EXPECT_EQ(VORNTestPeer::get(store, "a"),
                  operation == "trim" ? std::optional<std::string>("1") : std::optional<std::string>());
        return;
    }
    for (size_t i = 0; i < operations.size(); i++) {
        SCOPED_TRACE(operations[i]);
        TempDir dir;
        setStoreRoot(dir.path());
        ASSERT_TRUE(vorn::mkPath(dir.path() + "/steps"));
        VORN *store = open("shrink", multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "big", std::string(5000, 'b')));
        ASSERT_EQ(VORNTestPeer::mappedFileSize(store), 65536u);
        ASSERT_TRUE(VORNTestPeer::remove(store, "big"));
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        ASSERT_TRUE(VORNTestPeer::fullWriteback(store)); // compact already: trim's own write-back does nothing
        const int child =
            startSelf("ShrinkAcrossProcesses.TheOtherProcessRemapsBeforeItAppends", operations[i], dir.path());
        ASSERT_TRUE(waitStep(dir.path() + "/steps", "child-loaded"));
        if (operations[i] == "trim") {
            store->trim();
        } else {
            store->clearAll();
        }
        ASSERT_EQ(fileSize(dataPath("shrink")), 4096);
        markStep(dir.path() + "/steps", "parent-shrank");
        EXPECT_EQ(waitChild(child), 0);
        EXPECT_EQ(VORNTestPeer::get(store, "child"), std::string(8000, 'c'));
        close(store);
    }
}

} // namespace
