#include "core/NameSpace.h"
#include "core/VORN.h"
#include "core/StoreRegistry.h"
#include "log/VORNLog.h"
#include "core/VORNNaming.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "StoreTestSupport.h"

namespace fs = std::filesystem;
using vorn_test::StoreTest;

namespace {

TEST(RegistryFreshProcess, OpensAreRefusedBeforeInitialisation) {
    if (vorn_test::currentRole() != "uninitialised") {
        EXPECT_EQ(vorn_test::runSelf("RegistryFreshProcess.OpensAreRefusedBeforeInitialisation", "uninitialised"), 0);
        return;
    }
    vorn_test::TempDir dir;
    const std::string root = dir.path();
    EXPECT_EQ(VORN::vornWithID("id"), nullptr);
    EXPECT_EQ(VORN::vornWithID("id", VORN_SINGLE_PROCESS, nullptr, &root), nullptr);
    EXPECT_EQ(VORN::defaultVORN(), nullptr);
    EXPECT_EQ(vorn::registryLock(), nullptr);
    EXPECT_FALSE(fs::exists(dir.path() + "/id"));

    // Logging configuration before initialisation is ignored.
    VORN::setLogLevel(VORNLogError);
    EXPECT_EQ(g_currentLogLevel, VORNLogInfo);
}

TEST(RegistryFreshProcess, NamespaceWorksWithoutGlobalRootAndDefaultRootIsRefused) {
    if (vorn_test::currentRole() != "namespace-only") {
        EXPECT_EQ(
            vorn_test::runSelf("RegistryFreshProcess.NamespaceWorksWithoutGlobalRootAndDefaultRootIsRefused",
                               "namespace-only"),
            0);
        return;
    }
    vorn_test::TempDir dir;
    vorn::NameSpace space = VORN::nameSpace(dir.path());
    VORN *store = space.vornWithID("inspace");
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(fs::exists(dir.path() + "/inspace"));
    EXPECT_TRUE(fs::exists(dir.path() + "/inspace.crc"));
    store->close();

    // No global root: opens that need one are refused instead of landing in "/".
    EXPECT_EQ(VORN::vornWithID("nowhere"), nullptr);
    EXPECT_EQ(VORN::defaultNameSpace().vornWithID("nowhere"), nullptr);
    EXPECT_FALSE(fs::exists("/nowhere"));
}

TEST(RegistryFreshProcess, FirstRootWinsLaterCallsChangeLevelAndHandler) {
    if (vorn_test::currentRole() != "two-roots") {
        EXPECT_EQ(vorn_test::runSelf("RegistryFreshProcess.FirstRootWinsLaterCallsChangeLevelAndHandler", "two-roots"),
                  0);
        return;
    }
    vorn_test::TempDir first, second;
    VORN::initializeVORN(first.path(), VORNLogWarning, nullptr);
    VORN::initializeVORN(second.path(), VORNLogError, nullptr);
    EXPECT_EQ(VORN::getRootDir(), first.path());
    EXPECT_EQ(vorn::realGlobalRootDir(), first.path());
    EXPECT_EQ(g_currentLogLevel, VORNLogError);
    EXPECT_EQ(vorn::recordedMmapUnitSize(), static_cast<size_t>(sysconf(_SC_PAGESIZE)));

    VORN *store = VORN::defaultVORN();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->mmapID(), "vorn.default");
    EXPECT_EQ(VORNTestPeer::dataPath(store), first.path() + "/vorn.default");

    VORN::onExit();
    EXPECT_EQ(vorn::openStores(), nullptr);
    EXPECT_EQ(VORN::vornWithID("after-exit"), nullptr);
}

TEST_F(StoreTest, SameStoreGivesSameInstanceWhateverTheSecondConfig) {
    const std::string key = "secret-key-16byt";
    VORN *first = VORN::vornWithID("shared", VORN_SINGLE_PROCESS, nullptr, &root());
    ASSERT_NE(first, nullptr);
    VORN *second = VORN::vornWithID("shared", VORN_MULTI_PROCESS, &key, &root(), 1 << 20, true);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(VORNTestPeer::isPlain(second));

    // Another spelling of the same root is the same store.
    const std::string spelled = root() + "/";
    EXPECT_EQ(VORN::vornWithID("shared", VORN_SINGLE_PROCESS, nullptr, &spelled), first);
    EXPECT_EQ(VORN::nameSpace(root()).vornWithID("shared"), first);

    // After close a new instance is built.
    first->close();
    VORN *reopened = VORN::vornWithID("shared", VORN_SINGLE_PROCESS, &key, &root());
    ASSERT_NE(reopened, nullptr);
    EXPECT_TRUE(VORNTestPeer::isEncrypted(reopened));
    reopened->close();
}

TEST_F(StoreTest, EmptyIdAndEmptyKey) {
    EXPECT_EQ(VORN::vornWithID("", VORN_SINGLE_PROCESS, nullptr, &root()), nullptr);
    const std::string empty;
    VORN *store = VORN::vornWithID("empty-key", VORN_SINGLE_PROCESS, &empty, &root());
    ASSERT_NE(store, nullptr);
    EXPECT_TRUE(VORNTestPeer::isPlain(store));
    store->close();
}

TEST_F(StoreTest, ExpectedCapacityIsRoundedToWholePages) {
    const size_t page = vorn::mmapUnitSize();
    struct Case {
        const char *id;
        size_t asked;
        size_t mapped;
    } cases[] = {
        {"cap-zero", 0, page},
        {"cap-one", 1, page},
        {"cap-page", page, page},
        {"cap-page-plus-one", page + 1, 2 * page},
        {"cap-three", 3 * page - 7, 3 * page},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        VORN *store = VORN::vornWithID(c.id, VORN_SINGLE_PROCESS, nullptr, &root(), c.asked);
        ASSERT_NE(store, nullptr);
        EXPECT_EQ(VORNTestPeer::expectedCapacity(store), c.mapped);
        EXPECT_EQ(vorn_test::fileSize(VORNTestPeer::dataPath(store)), static_cast<long long>(c.mapped));
        // The meta file is created at open and gets its page at the first operation.
        EXPECT_EQ(vorn_test::fileSize(VORNTestPeer::metaPath(store)), 0);
        VORNTestPeer::load(store);
        EXPECT_EQ(vorn_test::fileSize(VORNTestPeer::metaPath(store)), static_cast<long long>(page));
        store->close();
    }
}

TEST_F(StoreTest, SpecialCharacterDirectoryOnlyForWritableOpensOfCustomRoots) {
    vorn_test::TempDir readOnlyRoot;
    const std::string readOnlyPath = readOnlyRoot.path();
    VORN *readOnly = VORN::vornWithID("plain", VORN_READ_ONLY, nullptr, &readOnlyPath);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_FALSE(fs::exists(readOnlyPath + "/specialCharacter"));
    readOnly->close();

    VORN *writable = VORN::vornWithID("plain", VORN_SINGLE_PROCESS, nullptr, &root());
    ASSERT_NE(writable, nullptr);
    EXPECT_TRUE(fs::is_directory(root() + "/specialCharacter"));
    writable->close();

    const std::string id("x/y\0z", 5);
    VORN *special = VORN::vornWithID(id, VORN_SINGLE_PROCESS, nullptr, &root());
    ASSERT_NE(special, nullptr);
    EXPECT_EQ(VORNTestPeer::dataPath(special), root() + "/specialCharacter/" + vorn::md5(id));
    EXPECT_TRUE(fs::exists(root() + "/specialCharacter/" + vorn::md5(id) + ".crc"));
    EXPECT_EQ(VORNTestPeer::registryKey(special), vorn::storeRegistryKey(VORNTestPeer::dataPath(special)));
    special->close();
}

} // namespace
