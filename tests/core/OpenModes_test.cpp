// Open modes across processes: every open holds a lock on the data file for
// the instance's life (shared for multi-process and read-only opens,
// exclusive for single-process writers) and an open that cannot get it is
// refused; opens never wait for another process's lock on the store; restore
// and removal keep working beside open instances here and elsewhere.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNNaming.h"

using namespace vorn_test;

namespace {

// Ends the process when the guarded block has not finished in time: a test
// that hangs because something waited where it must not fails instead.
class Watchdog {
public:
    Watchdog(int seconds, std::string what) : m_what(std::move(what)) {
        m_thread = std::thread([this, seconds]() {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this]() { return m_finished; })) {
                fprintf(stderr, "watchdog: %s did not finish\n", m_what.c_str());
                _exit(3);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::string m_what;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

constexpr VORNMode kReadOnly = static_cast<VORNMode>(VORN_READ_ONLY | VORN_MULTI_PROCESS);

// Stores these tests open with openStore() are closed by the tests
// themselves: some opens are meant to be refused, and some instances go
// with the store's removal.
class OpenModes : public StoreTest {
protected:
    // Creates store `id` with one value and closes it.
    void createStore(const std::string &id) {
        VORN *store = open(id, multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "k", "v"));
        close(store);
    }
};

struct ModeCase {
    const char *id;
    VORNMode holder; // the mode this process keeps the store open in
    VORNMode opener; // the mode the other process then asks for
    const char *refusal; // the log line's mode, or null when the open works
};

const ModeCase kModeCases[] = {
    {"single-single", VORN_SINGLE_PROCESS, VORN_SINGLE_PROCESS, "single-process"},
    {"single-multi", VORN_SINGLE_PROCESS, VORN_MULTI_PROCESS, "single-process"},
    {"single-readonly", VORN_SINGLE_PROCESS, kReadOnly, "single-process"},
    {"multi-single", VORN_MULTI_PROCESS, VORN_SINGLE_PROCESS, "multi-process or read-only"},
    {"readonly-single", VORN_READ_ONLY, VORN_SINGLE_PROCESS, "multi-process or read-only"},
    {"multi-multi", VORN_MULTI_PROCESS, VORN_MULTI_PROCESS, nullptr},
    {"multi-readonly", VORN_MULTI_PROCESS, kReadOnly, nullptr},
    {"readonly-multi", kReadOnly, VORN_MULTI_PROCESS, nullptr},
};

TEST_F(OpenModes, ConflictingModesAcrossProcessesAreRefused) {
#ifdef __APPLE__
    GTEST_SKIP() << "open modes are not detected on Apple platforms";
#endif
    const size_t page = vorn::mmapUnitSize();
    if (isChild()) {
        for (const ModeCase &c : kModeCases) {
            SCOPED_TRACE(c.id);
            m_log.clear();
            // A larger capacity than the file has: a refused open must not grow it.
            StoreOptions options = inMode(c.opener);
            options.capacity = 3 * page;
            VORN *store = openStore(storeRoot(), c.id, options);
            if (c.refusal) {
                EXPECT_EQ(store, nullptr);
                EXPECT_EQ(m_log.count("[" + std::string(c.id) + "] is open in another process in " + c.refusal +
                                      " mode"),
                          1u)
                    << m_log.dump();
                EXPECT_EQ(fileSize(dataPath(c.id)), static_cast<long long>(page));
            } else {
                ASSERT_NE(store, nullptr);
                EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("v"));
                store->close();
            }
        }
        markStep(storeRoot(), "child-checked");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-closed"));
        // Once the holder is gone every mode is free again.
        for (const ModeCase &c : kModeCases) {
            SCOPED_TRACE(c.id);
            VORN *store = openStore(storeRoot(), c.id, inMode(c.opener));
            ASSERT_NE(store, nullptr);
            EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("v"));
            store->close();
        }
        return;
    }
    std::vector<VORN *> held;
    for (const ModeCase &c : kModeCases) {
        createStore(c.id);
        VORN *store = openStore(storeRoot(), c.id, inMode(c.holder));
        ASSERT_NE(store, nullptr) << c.id;
        held.push_back(store);
    }
    const int child = startSelf("OpenModes.ConflictingModesAcrossProcessesAreRefused", "child", root());
    ASSERT_TRUE(waitStep(root(), "child-checked"));
    for (VORN *store : held) {
        EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("v"));
        store->close();
    }
    markStep(root(), "parent-closed");
    EXPECT_EQ(waitChild(child), 0);
}

// Within one process the registry hands out one instance per store, so modes
// never meet there; a read-only open of a store that does not exist has no
// file to lock and leaves nothing behind.
TEST_F(OpenModes, OneProcessSharesTheInstanceAndAMissingStoreTakesNoLock) {
    VORN *single = openStore(storeRoot(), "shared");
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(openStore(storeRoot(), "shared", multiProcess()), single);
    single->close();

    VORN *missing = openStore(storeRoot(), "missing", inMode(kReadOnly));
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(VORNTestPeer::get(missing, "k"), std::nullopt);
    missing->close();
    EXPECT_EQ(fileSize(dataPath("missing")), -1);
    VORN *writer = openStore(storeRoot(), "missing");
    ASSERT_NE(writer, nullptr);
    writer->close();
}

// Restore and removal take flock locks on the store's files while the
// open-mode lock is held on the data file: neither may wait for the other.
TEST_F(OpenModes, RestoreAndRemovalBesideOpenInstancesHereAndElsewhere) {
#ifdef __APPLE__
    GTEST_SKIP() << "open modes are not detected on Apple platforms";
#endif
    if (isChild()) {
        VORN *multi = openStore(storeRoot(), "there-multi", multiProcess());
        VORN *single = openStore(storeRoot(), "there-single");
        VORN *removed = openStore(storeRoot(), "there-removed", multiProcess());
        ASSERT_TRUE(multi && single && removed);
        EXPECT_EQ(VORNTestPeer::get(multi, "k"), std::optional<std::string>("new"));
        EXPECT_EQ(VORNTestPeer::get(single, "k"), std::optional<std::string>("new"));
        markStep(storeRoot(), "child-open");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-done"));
        // The restore reached this process's multi-process instance; the
        // single-process one was left alone.
        EXPECT_EQ(VORNTestPeer::get(multi, "k"), std::optional<std::string>("old"));
        EXPECT_EQ(VORNTestPeer::get(single, "k"), std::optional<std::string>("new"));
        return;
    }
    vorn_test::TempDir backup;
    const std::vector<std::string> ids = {"here-single", "here-multi", "there-multi", "there-single",
                                          "there-removed"};
    for (const std::string &id : ids) {
        VORN *store = open(id, multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "k", "old"));
        close(store);
        ASSERT_TRUE(VORN::backupOneToDirectory(id, backup.path(), &root()));
        store = open(id, multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "k", "new"));
        close(store);
    }
    Watchdog watchdog(120, "restore and removal beside open stores");

    // Open here, in either mode.
    for (VORNMode mode : {VORN_SINGLE_PROCESS, VORN_MULTI_PROCESS}) {
        const std::string id = mode == VORN_SINGLE_PROCESS ? "here-single" : "here-multi";
        SCOPED_TRACE(id);
        VORN *store = openStore(storeRoot(), id, inMode(mode));
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(VORN::restoreOneFromDirectory(id, backup.path(), &root()));
        EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("old"));
        EXPECT_TRUE(VORN::removeStorage(id, &root()));
        EXPECT_FALSE(VORN::checkExist(id, &root()));
        VORN *again = openStore(storeRoot(), id);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(VORNTestPeer::get(again, "k"), std::nullopt);
        again->close();
    }

    // Open in another process.
    const int child = startSelf("OpenModes.RestoreAndRemovalBesideOpenInstancesHereAndElsewhere", "child", root());
    ASSERT_TRUE(waitStep(root(), "child-open"));
    EXPECT_TRUE(VORN::restoreOneFromDirectory("there-multi", backup.path(), &root()));
    m_log.clear();
    const std::string singleData = readFile(dataPath("there-single"));
    EXPECT_FALSE(VORN::restoreOneFromDirectory("there-single", backup.path(), &root()));
    EXPECT_EQ(m_log.count("[" + dataPath("there-single") + "] is open in another process in single-process mode"),
              1u)
        << m_log.dump();
    EXPECT_EQ(readFile(dataPath("there-single")), singleData);
    EXPECT_TRUE(VORN::removeStorage("there-removed", &root()));
    EXPECT_FALSE(VORN::checkExist("there-removed", &root()));
    // A new store under the removed one's name is a new file: the other
    // process's lock stays with the unlinked one.
    VORN *fresh = openStore(storeRoot(), "there-removed");
    ASSERT_NE(fresh, nullptr);
    fresh->close();
    markStep(root(), "parent-done");
    EXPECT_EQ(waitChild(child), 0);
}

// Another process holds lock() on S: an open of S returns at once, and so
// does an open with a config switch that needs the store's lock (it waits
// for the first operation); the first read waits for unlock(); an open and
// writes of another store on another thread go on while that read waits
// (the other process unlocks only after they are done).
TEST_F(OpenModes, AnOpenDoesNotWaitForAnotherProcessesLock) {
    if (isChild()) {
        VORN *store = openStore(storeRoot(), "held", multiProcess());
        ASSERT_NE(store, nullptr);
        store->lock();
        markStep(storeRoot(), "child-locked");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-reading"));
        ASSERT_TRUE(waitStep(storeRoot(), "unrelated-done"));
        // Give the parent's read every chance to go ahead; it must not.
        usleep(300 * 1000);
        EXPECT_TRUE(VORNTestPeer::set(store, "late", "written under lock()"));
        store->unlock();
        return;
    }
    createStore("held");
    const int child = startSelf("OpenModes.AnOpenDoesNotWaitForAnotherProcessesLock", "child", root());
    ASSERT_TRUE(waitStep(root(), "child-locked"));

    VORN *switched = nullptr;
    {
        Watchdog watchdog(60, "an open of a store another process holds locked");
        VORN *plain = openStore(storeRoot(), "held", multiProcess());
        ASSERT_NE(plain, nullptr);
        plain->close();
        switched = openStore(root(), "held", multiProcess(expiring()));
        ASSERT_NE(switched, nullptr);
    }

    Watchdog watchdog(120, "the first read of a store another process holds locked");
    // The recording handler is for one thread at a time.
    VORN::unRegisterHandler();
    std::thread other([this]() {
        VORN *unrelated = openStore(root(), "unrelated", multiProcess());
        EXPECT_NE(unrelated, nullptr);
        if (unrelated) {
            EXPECT_TRUE(VORNTestPeer::set(unrelated, "k", "v"));
            EXPECT_EQ(VORNTestPeer::get(unrelated, "k"), std::optional<std::string>("v"));
            unrelated->close();
        }
        markStep(root(), "unrelated-done");
    });
    markStep(root(), "parent-reading");
    EXPECT_EQ(VORNTestPeer::get(switched, "late"), std::optional<std::string>("written under lock()"));
    other.join();
    VORN::registerHandler(&m_log);
    // The config's switch was applied by that first operation.
    EXPECT_TRUE(switched->inspect().keyExpire);
    std::string value;
    EXPECT_TRUE(switched->getString("k", value));
    EXPECT_EQ(value, "v");
    switched->close();
    EXPECT_EQ(waitChild(child), 0);
}

} // namespace
