// The operations on a store's files by id and root: validity (isFileValid),
// existence (checkExist) and removal (removeStorage).

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "core/VORNNaming.h"
#include "platform/VORNFileUtil.h"

using namespace vorn_test;

namespace {

class StoreFiles : public StoreTest {
protected:
    // A closed store with a few records, as an earlier run left it.
    void writeStore(const std::string &id) {
        VORN *store = open(id);
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "alpha"));
        ASSERT_TRUE(VORNTestPeer::set(store, "b", std::string(100, 'b')));
        store->sync();
        close(store);
    }
    std::string specialData(const std::string &id) const { return root() + "/specialCharacter/" + vorn::md5(id); }
};

TEST_F(StoreFiles, ValidityExistenceAndRemovalOfStoresOnDisk) {
    enum class Files { None, NoMeta, Intact, FlippedStreamByte, ShortMeta, LengthPastData };
    struct Case {
        const char *name;
        std::string id;
        Files files;
        bool valid;
        bool exists;
        bool removed;
    };
    const std::vector<Case> cases = {
        {"missing store", "missing", Files::None, true, false, false},
        {"missing meta file", "no-meta", Files::NoMeta, false, false, true},
        {"intact", "intact", Files::Intact, true, true, true},
        {"one stream byte flipped", "flipped", Files::FlippedStreamByte, false, true, true},
        {"meta file of 2 bytes", "short-meta", Files::ShortMeta, false, true, true},
        {"recorded length past the data file", "long-meta", Files::LengthPastData, false, true, true},
        {"special-character id", "a/b:c", Files::Intact, true, true, true},
    };
    const std::string &rootPath = root();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.files != Files::None) {
            writeStore(c.id);
        }
        const std::string data = dataPath(c.id);
        const std::string meta = metaPath(c.id);
        switch (c.files) {
        case Files::NoMeta:
            ASSERT_EQ(unlink(meta.c_str()), 0);
            break;
        case Files::FlippedStreamByte:
            patchFile(data, 10, std::string(1, static_cast<char>(readFile(data)[10] ^ 0x01)));
            break;
        case Files::ShortMeta:
            writeFile(meta, "\x01\x02");
            break;
        case Files::LengthPastData: {
            vorn::VORNMetaInfo info = metaFromBytes(readFile(meta));
            info.m_actualSize = 5000;
            std::string page(4096, '\0');
            info.write(&page[0]);
            writeFile(meta, page);
            break;
        }
        default:
            break;
        }
        EXPECT_EQ(VORN::isFileValid(c.id, &rootPath), c.valid);
        EXPECT_EQ(VORN::checkExist(c.id, &rootPath), c.exists);
        EXPECT_EQ(VORN::removeStorage(c.id, &rootPath), c.removed);
        const bool special = c.id.find('/') != std::string::npos;
        const std::string dataFile = special ? specialData(c.id) : dataPath(c.id);
        EXPECT_EQ(fileSize(dataFile), -1);
        EXPECT_EQ(fileSize(dataFile + ".crc"), -1);
        EXPECT_FALSE(VORN::checkExist(c.id, &rootPath));
    }
}

TEST_F(StoreFiles, RemovingAnOpenStoreClosesItAndLeavesNoFile) {
    const std::string &rootPath = root();
    // Not the fixture's open(): the removal closes the instance.
    VORN *store = openStore(rootPath, "open", multiProcess());
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    m_log.clear();
    EXPECT_TRUE(VORN::removeStorage("open", &rootPath));
    EXPECT_TRUE(m_log.has(VORNLogInfo, "removeStorage", "remove storage [open]")) << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogInfo, "close", "close [open]")) << m_log.dump();
    EXPECT_EQ(fileSize(dataPath("open")), -1);
    EXPECT_EQ(fileSize(metaPath("open")), -1);

    // A later open starts a new, empty store.
    VORN *again = openStore(rootPath, "open", multiProcess());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(VORNTestPeer::keyCount(again), 0u);
    again->close();
}

// The caller holds the store's inter-process lock across calls: a second
// descriptor's exclusive flock would wait for that hold forever.
TEST_F(StoreFiles, RemovingAStoreThisThreadHoldsLockedDoesNotWaitForItself) {
    const std::string &rootPath = root();
    VORN *store = openStore(rootPath, "held", multiProcess()); // closed by the removal
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    store->lock();
    EXPECT_TRUE(VORN::removeStorage("held", &rootPath));
    EXPECT_EQ(fileSize(dataPath("held")), -1);
    EXPECT_EQ(fileSize(metaPath("held")), -1);
}

// The static check of a store this thread holds locked across calls goes
// through the instance's own lock: a second descriptor's shared flock would
// wait for that hold forever. It still reads what is on disk.
TEST_F(StoreFiles, TheStaticCheckOfAStoreThisThreadHoldsLockedDoesNotWaitForItself) {
    const std::string &rootPath = root();
    VORN *store = open("checked", multiProcess());
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "alpha"));
    store->lock();
    EXPECT_TRUE(VORN::isFileValid("checked", &rootPath));
    const std::string data = readFile(dataPath("checked"));
    patchFile(dataPath("checked"), 6, std::string(1, static_cast<char>(data[6] ^ 0x01)));
    EXPECT_FALSE(VORN::isFileValid("checked", &rootPath));
    patchFile(dataPath("checked"), 6, std::string(1, data[6]));
    EXPECT_TRUE(VORN::isFileValid("checked", &rootPath));
    store->unlock();
    EXPECT_EQ(VORNTestPeer::fileLock(store)->exclusiveLockCount(), 0u);
    EXPECT_EQ(VORNTestPeer::fileLock(store)->sharedLockCount(), 0u);
}

TEST_F(StoreFiles, RemovalWaitsForAnotherProcessInsideAnOperation) {
    if (isChild()) {
        VORN *store = open("busy", multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        store->lock();
        markStep(storeRoot() + "/steps", "child-locked");
        ASSERT_TRUE(waitStep(storeRoot() + "/steps", "parent-removing"));
        usleep(300 * 1000); // every chance for the removal to get in; it must not
        EXPECT_EQ(fileSize(dataPath("busy")), 4096);
        ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
        store->unlock();
        return;
    }
    ASSERT_TRUE(vorn::mkPath(root() + "/steps"));
    const int child = startSelf("StoreFiles.RemovalWaitsForAnotherProcessInsideAnOperation", "child", root());
    ASSERT_TRUE(waitStep(root() + "/steps", "child-locked"));
    markStep(root() + "/steps", "parent-removing");
    const std::string &rootPath = root();
    EXPECT_TRUE(VORN::removeStorage("busy", &rootPath));
    EXPECT_EQ(fileSize(dataPath("busy")), -1);
    EXPECT_EQ(waitChild(child), 0);
}

// An open maps the meta file only at the first operation (opens never wait
// for another process's lock), so a store opened and closed without one has
// an empty meta file: it is a sound, empty store, not a damaged one.
TEST_F(StoreFiles, AStoreOpenedButNeverUsedIsSoundAndEmpty) {
    for (const StoreOptions &options : {StoreOptions{}, multiProcess()}) {
        const std::string id = options.mode == VORN_MULTI_PROCESS ? "unused-multi" : "unused";
        close(open(id, options));
        ASSERT_EQ(fileSize(metaPath(id)), 0) << "the open itself no longer fills in the meta file";
        EXPECT_TRUE(VORN::isFileValid(id, &root()));
        VORN *reader = open(id, readOnly(multiProcess()));
        EXPECT_EQ(reader->count(), 0u);
        close(reader);
        VORN *store = open(id, options);
        EXPECT_EQ(store->count(), 0u);
        EXPECT_TRUE(store->set(int32_t(7), "k"));
        close(store);
        EXPECT_TRUE(VORN::isFileValid(id, &root()));
        store = open(id, options);
        EXPECT_EQ(store->getInt32("k"), 7);
    }
}

TEST_F(StoreFiles, AnEmptyIdIsRefused) {
    const std::string &rootPath = root();
    EXPECT_FALSE(VORN::isFileValid("", &rootPath));
    EXPECT_FALSE(VORN::checkExist("", &rootPath));
    EXPECT_FALSE(VORN::removeStorage("", &rootPath));
    EXPECT_TRUE(std::filesystem::is_directory(rootPath)) << "the root directory itself is left alone";
}

} // namespace
