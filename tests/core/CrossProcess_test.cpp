// Two processes on one store: each test runs a second copy of the test binary
// (a process with its own library state and its own descriptors, so the flock
// locks really exclude the two) and steps through a script with it.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <filesystem>

#include <string>
#include <thread>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

class CrossProcess : public StoreTest {
protected:
    int startChild(const std::string &test) { return startSelf("CrossProcess." + test, "child", root()); }
};

TEST_F(CrossProcess, AnAppendIsAppliedThroughAPartialLoad) {
    if (isChild()) {
        VORN *store = open("append", multiProcess());
        EXPECT_EQ(VORNTestPeer::get(store, "first"), std::optional<std::string>("1"));
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-appended"));
        m_log.clear();
        EXPECT_EQ(VORNTestPeer::get(store, "second"), std::optional<std::string>("2"));
        EXPECT_EQ(m_log.changed, 1);
        EXPECT_EQ(m_log.loaded, 0);
        EXPECT_EQ(m_log.countPrefix("loading [append]"), 0u) << "a full reload:\n" << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("[append] oldSeq"), 0u);
        // Its running CRC now covers the whole stream.
        const std::string stream = readFile(dataPath("append")).substr(4, VORNTestPeer::actualSize(store));
        EXPECT_EQ(VORNTestPeer::crcDigest(store), crcOf(stream));
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"first", "second"}));
        return;
    }
    VORN *store = open("append", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "first", "1"));
    const int child = startChild("AnAppendIsAppliedThroughAPartialLoad");
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    ASSERT_TRUE(VORNTestPeer::set(store, "second", "2"));
    markStep(root(), "parent-appended");
    EXPECT_EQ(waitChild(child), 0);
}

// A file grown around its stream (no rewrite, no new sequence) is mapped
// again at its new length by the other process, which reads the appended
// records on top of the index it has: no full reload.
TEST_F(CrossProcess, AGrownFileIsRemappedWithoutAReload) {
    const std::string big(3 * 4096, 'g');
    if (isChild()) {
        VORN *store = open("grown", multiProcess());
        EXPECT_EQ(VORNTestPeer::get(store, "first"), std::optional<std::string>("1"));
        const size_t mappedBefore = VORNTestPeer::mappedFileSize(store);
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-grew"));
        m_log.clear();
        EXPECT_EQ(VORNTestPeer::get(store, "big"), std::optional<std::string>(big));
        EXPECT_GT(VORNTestPeer::mappedFileSize(store), mappedBefore);
        EXPECT_EQ(m_log.countPrefix("loading [grown]"), 0u) << "a full reload:\n" << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("[grown] oldSeq"), 0u);
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"big", "first"}));
        // And it appends into the longer file, where the parent reads it.
        ASSERT_TRUE(VORNTestPeer::set(store, "from-child", "2"));
        return;
    }
    VORN *store = open("grown", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "first", "1"));
    const int child = startChild("AGrownFileIsRemappedWithoutAReload");
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
    ASSERT_TRUE(VORNTestPeer::set(store, "big", big));
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence);
    markStep(root(), "parent-grew");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(VORNTestPeer::get(store, "from-child"), std::optional<std::string>("2"));
}

TEST_F(CrossProcess, ACompactionMakesTheOtherProcessReload) {
    if (isChild()) {
        VORN *store = open("compaction", multiProcess());
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b", "c"}));
        const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-compacted"));
        m_log.clear();
        EXPECT_EQ(VORNTestPeer::get(store, "b"), std::nullopt);
        EXPECT_TRUE(
            m_log.has(VORNLogInfo, "checkLoadData",
                      "[compaction] oldSeq " + std::to_string(sequence) + ", newSeq " + std::to_string(sequence + 1)))
            << m_log.dump();
        EXPECT_EQ(m_log.changed, 1);
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "c"}));
        EXPECT_EQ(VORNTestPeer::get(store, "c"), std::optional<std::string>("3"));
        // And it writes on from the compacted stream.
        ASSERT_TRUE(VORNTestPeer::set(store, "d", "4"));
        return;
    }
    VORN *store = open("compaction", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
    ASSERT_TRUE(VORNTestPeer::set(store, "c", "3"));
    const int child = startChild("ACompactionMakesTheOtherProcessReload");
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    ASSERT_TRUE(VORNTestPeer::remove(store, "b"));
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    markStep(root(), "parent-compacted");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "c", "d"}));
}

TEST_F(CrossProcess, AnAppendWhoseCRCDoesNotMatchMakesAFullReload) {
    if (isChild()) {
        VORN *store = open("badappend", multiProcess());
        EXPECT_EQ(VORNTestPeer::get(store, "first"), std::optional<std::string>("1"));
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-appended"));
        m_log.clear();
        VORNTestPeer::load(store);
        EXPECT_EQ(m_log.countPrefix("m_crcDigest["), 1u) << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("loading [badappend] with"), 2u) << "a full reload";
        return;
    }
    VORN *store = open("badappend", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "first", "1"));
    const int child = startChild("AnAppendWhoseCRCDoesNotMatchMakesAFullReload");
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    ASSERT_TRUE(VORNTestPeer::set(store, "second", "2"));
    // The recorded CRC no longer matches the appended bytes.
    const uint32_t wrong = VORNTestPeer::metaInfo(store).m_crcDigest ^ 1;
    patchFile(metaPath("badappend"), 0, std::string(reinterpret_cast<const char *>(&wrong), 4));
    markStep(root(), "parent-appended");
    EXPECT_EQ(waitChild(child), 0);
}

TEST_F(CrossProcess, LockHoldsOffTheOtherProcessUntilUnlock) {
    if (isChild()) {
        VORN *store = open("locked", multiProcess());
        VORNTestPeer::load(store);
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-locked"));
        EXPECT_FALSE(store->try_lock());
        markStep(storeRoot(), "child-writing");
        EXPECT_TRUE(VORNTestPeer::set(store, "child", "c")); // waits for unlock()
        markStep(storeRoot(), "child-wrote");
        EXPECT_TRUE(store->try_lock());
        store->unlock();
        return;
    }
    VORN *store = open("locked", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "base", "b"));
    const int child = startChild("LockHoldsOffTheOtherProcessUntilUnlock");
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    store->lock();
    markStep(root(), "parent-locked");
    ASSERT_TRUE(waitStep(root(), "child-writing"));
    // Give the child every chance to get in; it must not.
    usleep(300 * 1000);
    EXPECT_EQ(fileSize(root() + "/step-child-wrote"), -1);
    ASSERT_TRUE(VORNTestPeer::set(store, "parent", "p"));
    store->unlock();
    EXPECT_EQ(waitChild(child), 0);
    // The child's record follows the parent's, written while it held the lock.
    EXPECT_LT(VORNTestPeer::recordOffset(store, "parent"), VORNTestPeer::recordOffset(store, "child"));
    EXPECT_EQ(VORNTestPeer::get(store, "child"), std::optional<std::string>("c"));
}

// No other process may open a store while a single-process instance has it
// (see OpenModes_test.cpp), so such an instance never looks at the meta
// record again: a record changed behind its back is not noticed.
TEST_F(CrossProcess, ASingleProcessStoreNeverSeesAnotherProcessesChanges) {
    VORN *store = open("single");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    ASSERT_TRUE(VORNTestPeer::set(store, "a2", "1"));
    vorn::VORNMetaInfo info = VORNTestPeer::metaInfo(store);
    const uint32_t sequence = info.m_sequence + 1;
    patchFile(metaPath("single"), offsetof(vorn::VORNMetaInfo, m_sequence),
              std::string(reinterpret_cast<const char *>(&sequence), sizeof(sequence)));
    m_log.clear();
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
    EXPECT_EQ(m_log.changed, 0);
    EXPECT_EQ(m_log.loaded, 0);
}

// A compaction by a caller that did not look at the meta record first (it held
// only the shared lock): it must still include what another process appended.
TEST_F(CrossProcess, ACompactionLooksForOtherProcessesAppendsFirst) {
    if (isChild()) {
        VORN *store = open("recheck", multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "child", "c"));
        return;
    }
    VORN *store = open("recheck", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "parent", "p"));
    ASSERT_EQ(runSelf("CrossProcess.ACompactionLooksForOtherProcessesAppendsFirst", "child", root()), 0);
    ASSERT_TRUE(VORNTestPeer::fullWritebackAsIs(store));
    EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"child", "parent"}));
    store = reopen(store, "recheck", multiProcess());
    EXPECT_EQ(VORNTestPeer::get(store, "child"), std::optional<std::string>("c"));
    EXPECT_EQ(VORNTestPeer::get(store, "parent"), std::optional<std::string>("p"));
}

TEST_F(CrossProcess, GrowthByOneProcessIsMappedByTheOther) {
    if (isChild()) {
        VORN *store = open("growth", multiProcess());
        for (int i = 0; i < 8; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, "big-" + std::to_string(i), std::string(3000, 'a' + i)));
        }
        return;
    }
    VORN *store = open("growth", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "small", "s"));
    EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 4096u);
    ASSERT_EQ(runSelf("CrossProcess.GrowthByOneProcessIsMappedByTheOther", "child", root()), 0);
    EXPECT_EQ(VORNTestPeer::get(store, "big-7"), std::optional<std::string>(std::string(3000, 'a' + 7)));
    EXPECT_GT(VORNTestPeer::mappedFileSize(store), 4096u);
    EXPECT_EQ(VORNTestPeer::mappedFileSize(store), static_cast<size_t>(fileSize(dataPath("growth"))));
    EXPECT_EQ(VORNTestPeer::keyCount(store), 9u);
}

// removeStorage in one process while another keeps the store open: the other
// never writes on into the unlinked files. A writable instance finds no key at
// its next operation and writes into new files at the path; a read-only one
// sees no store until a writer makes a new one, and then sees that.
TEST_F(CrossProcess, ARemovedStoreIsSeenAsRemovedByTheOtherProcess) {
    const auto optionsFor = [](const std::string &role) {
        if (role == "reader") {
            return readOnly(multiProcess());
        }
        return role == "aes" ? encrypted("removal-key-16by", false, multiProcess()) : multiProcess();
    };
    if (isChild()) {
        const bool reader = currentRole() == "reader";
        VORN *store = open("removed", optionsFor(currentRole()));
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b"}));
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-removed"));
        EXPECT_EQ(VORNTestPeer::get(store, "a"), std::nullopt);
        EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{});
        if (reader) {
            EXPECT_FALSE(VORNTestPeer::set(store, "c", "3"));
            EXPECT_EQ(fileSize(dataPath("removed")), -1) << "a read-only store creates nothing";
            markStep(storeRoot(), "child-saw-nothing");
            ASSERT_TRUE(waitStep(storeRoot(), "parent-recreated"));
            EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"new"});
            EXPECT_EQ(VORNTestPeer::get(store, "new"), std::optional<std::string>("n"));
        } else {
            ASSERT_TRUE(VORNTestPeer::set(store, "c", "3"));
            EXPECT_EQ(VORNTestPeer::keys(store), std::vector<std::string>{"c"});
        }
        return;
    }
    for (const std::string role : {"child", "reader", "aes"}) {
        SCOPED_TRACE(role);
        std::filesystem::remove(root() + "/step-child-loaded");
        std::filesystem::remove(root() + "/step-parent-removed");
        // Not the fixture's open(): the removal below closes this instance.
        const StoreOptions options =
            role == "aes" ? encrypted("removal-key-16by", false, multiProcess()) : multiProcess();
        VORN *store = openStore(root(), "removed", options);
        ASSERT_NE(store, nullptr);
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
        const int child = startSelf("CrossProcess.ARemovedStoreIsSeenAsRemovedByTheOtherProcess", role, root());
        ASSERT_TRUE(waitStep(root(), "child-loaded"));
        ASSERT_TRUE(VORN::removeStorage("removed", &root())); // closes this process's instance
        EXPECT_EQ(fileSize(dataPath("removed")), -1);
        EXPECT_EQ(fileSize(metaPath("removed")), -1);
        markStep(root(), "parent-removed");
        if (role == "reader") {
            ASSERT_TRUE(waitStep(root(), "child-saw-nothing"));
            VORN *fresh = open("removed", multiProcess());
            ASSERT_TRUE(VORNTestPeer::set(fresh, "new", "n"));
            markStep(root(), "parent-recreated");
            EXPECT_EQ(waitChild(child), 0);
            close(fresh);
        } else {
            EXPECT_EQ(waitChild(child), 0);
            // The child's write is in the files at the path.
            VORN *fresh = open("removed", optionsFor(role));
            EXPECT_EQ(VORNTestPeer::keys(fresh), std::vector<std::string>{"c"});
            EXPECT_EQ(VORNTestPeer::get(fresh, "c"), std::optional<std::string>("3"));
            close(fresh);
        }
        ASSERT_TRUE(VORN::removeStorage("removed", &root()));
    }
}

// The static validity check reads both files under the shared lock, so a
// writer in another process appending and compacting all the while never
// makes a sound store look damaged.
TEST_F(CrossProcess, TheStaticCheckNeverSeesAWriterHalfway) {
    if (isChild()) {
        VORN *store = open("verified", multiProcess());
        for (int i = 0; i < 1000000; i++) {
            const std::string value(10 + (i * 37) % 900, static_cast<char>('a' + i % 26));
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i % 40), value));
            if (i % 97 == 0) {
                ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
            }
            if (i == 100) {
                markStep(storeRoot(), "child-writing");
            }
            if (i > 100 && fileSize(storeRoot() + "/step-parent-done") >= 0) {
                return;
            }
        }
        ADD_FAILURE() << "the parent never finished";
        return;
    }
    VORN *store = open("verified", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "first", "1"));
    close(store);
    const int child = startChild("TheStaticCheckNeverSeesAWriterHalfway");
    ASSERT_TRUE(waitStep(root(), "child-writing"));
    const std::string metaBefore = readFile(metaPath("verified")).substr(0, vorn::kMetaInfoSize);
    int damaged = 0;
    constexpr int kChecks = 1000;
    for (int i = 0; i < kChecks; i++) {
        if (!VORN::isFileValid("verified", &root())) {
            damaged++;
        }
    }
    const std::string metaAfter = readFile(metaPath("verified")).substr(0, vorn::kMetaInfoSize);
    markStep(root(), "parent-done");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(damaged, 0) << "of " << kChecks << " checks";
    EXPECT_NE(metaAfter, metaBefore) << "the writer was not writing during the checks";
    EXPECT_TRUE(VORN::isFileValid("verified", &root()));
}

// The static check waits for another process's lock() on the store (it takes
// the shared lock), but not while holding the registry: opens of other stores
// in this process go on meanwhile.
TEST_F(CrossProcess, TheStaticCheckWaitsForLockButOpensDoNot) {
    if (isChild()) {
        VORN *store = open("held-elsewhere", multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        store->lock();
        markStep(storeRoot(), "child-locked");
        EXPECT_TRUE(waitStep(storeRoot(), "parent-opened-other"));
        store->unlock();
        return;
    }
    const int child = startChild("TheStaticCheckWaitsForLockButOpensDoNot");
    ASSERT_TRUE(waitStep(root(), "child-locked"));
    std::atomic<bool> checked{false};
    bool valid = false;
    std::thread checker([&]() {
        valid = VORN::isFileValid("held-elsewhere", &root());
        checked = true;
    });
    usleep(200 * 1000); // lets the checker reach the lock
    VORN *other = open("other", multiProcess());
    EXPECT_TRUE(VORNTestPeer::set(other, "x", "1"));
    EXPECT_FALSE(checked) << "the check did not wait for the other process's lock()";
    markStep(root(), "parent-opened-other");
    checker.join();
    EXPECT_TRUE(valid);
    EXPECT_EQ(waitChild(child), 0);
}

using Locks = StoreTest;

TEST_F(Locks, ASingleProcessStoreHasNoInterProcessLock) {
    VORN *store = open("single-locks");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    EXPECT_FALSE(store->try_lock());
    store->lock();
    store->unlock();
    EXPECT_EQ(VORNTestPeer::fileLock(store)->exclusiveLockCount(), 0u);
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
}

TEST_F(Locks, LockIsHeldAcrossCallsAndTakenAgainByOperations) {
    VORN *store = open("mp-locks", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    vorn::FileLock *fileLock = VORNTestPeer::fileLock(store);
    store->lock();
    EXPECT_EQ(fileLock->exclusiveLockCount(), 1u);
    ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
    EXPECT_EQ(VORNTestPeer::get(store, "b"), std::optional<std::string>("2"));
    EXPECT_EQ(fileLock->exclusiveLockCount(), 1u) << "operations release what they take";
    EXPECT_TRUE(store->try_lock());
    EXPECT_EQ(fileLock->exclusiveLockCount(), 2u);
    store->unlock();
    store->unlock();
    EXPECT_EQ(fileLock->exclusiveLockCount(), 0u);
    EXPECT_EQ(fileLock->sharedLockCount(), 0u);

    EXPECT_TRUE(store->try_lock_thread());
    store->unlock_thread();
}

// A load may discard or rewrite the stream; it keeps other processes out from
// its first read to its last write, so that it never acts on what it read
// before another process got in.
TEST_F(Locks, ALoadOfAWritableStoreKeepsOtherProcessesOut) {
    VORN *writer = open("load-lock", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(writer, "a", "1"));
    close(writer);
    struct Case {
        const char *name;
        StoreOptions options;
        bool othersKeptOut;
    } cases[] = {
        {"writable", multiProcess(), true},
        {"read-only", readOnly(multiProcess()), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        int keptOut = -1;
        m_log.whileLoading = [&]() {
            int fd = ::open(metaPath("load-lock").c_str(), O_RDONLY);
            keptOut = (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) ? 1 : 0;
            ::close(fd);
        };
        VORN *store = open("load-lock", c.options);
        VORNTestPeer::load(store);
        m_log.whileLoading = nullptr;
        EXPECT_EQ(keptOut, c.othersKeptOut ? 1 : 0);
        EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
        close(store);
    }
}

TEST_F(Locks, CheckContentChangedPerformsTheFirstLoad) {
    VORN *store = open("first-load", multiProcess());
    EXPECT_TRUE(VORNTestPeer::needsLoad(store));
    store->checkContentChanged();
    EXPECT_FALSE(VORNTestPeer::needsLoad(store));
    EXPECT_EQ(m_log.loaded, 1);
    EXPECT_EQ(m_log.changed, 0);
    store->checkContentChanged();
    EXPECT_EQ(m_log.loaded, 1) << "nothing changed";
}

} // namespace
