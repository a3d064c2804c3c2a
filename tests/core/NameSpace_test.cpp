// Namespaces: a resolved root and the store operations forwarded with it.
// Each test runs in a fresh process (no global root, its own current
// directory and its own table of resolved roots).

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/NameSpace.h"
#include "core/VORN.h"

using namespace vorn_test;
namespace fs = std::filesystem;

namespace {

TEST(NameSpaceFreshProcess, ANamespaceWorksBeforeInitializeAndTheDefaultOneRefusesEverything) {
    if (currentRole() != "namespace-first") {
        EXPECT_EQ(runSelf("NameSpaceFreshProcess.ANamespaceWorksBeforeInitializeAndTheDefaultOneRefusesEverything",
                          "namespace-first"),
                  0);
        return;
    }
    TempDir dir;
    TempDir backups;
    vorn::NameSpace space = VORN::nameSpace(dir.path());
    RecordingHandler log;
    VORN::registerHandler(&log);
    VORN::setLogLevel(VORNLogInfo);

    VORN *store = space.vornWithID("inspace");
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
    EXPECT_TRUE(space.checkExist("inspace"));
    EXPECT_TRUE(space.isFileValid("inspace"));
    EXPECT_TRUE(space.backupOneToDirectory("inspace", backups.path()));
    EXPECT_EQ(space.backupAllToDirectory(backups.path() + "/all"), 1u);
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "2"));
    EXPECT_TRUE(space.restoreOneFromDirectory("inspace", backups.path()));
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "3"));
    EXPECT_EQ(space.restoreAllFromDirectory(backups.path() + "/all"), 1u);
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
    EXPECT_TRUE(space.removeStorage("inspace"));
    EXPECT_FALSE(space.checkExist("inspace"));
    EXPECT_FALSE(fs::exists(dir.path() + "/inspace"));

    // No global root: the default namespace warns, and every operation through
    // it, or through VORN without a root, is refused instead of working on "/"
    // or the current directory. The backups above are there to be restored.
    log.clear();
    vorn::NameSpace fallback = VORN::defaultNameSpace();
    EXPECT_TRUE(
        log.has(VORNLogWarning, "defaultNameSpace", "VORN has not been initialized, there's no default NameSpace."))
        << log.dump();
    const std::string probe = "vorn-namespace-probe-" + std::to_string(getpid());
    EXPECT_EQ(fallback.vornWithID(probe), nullptr);
    EXPECT_FALSE(fallback.checkExist(probe));
    EXPECT_FALSE(fallback.isFileValid(probe));
    EXPECT_FALSE(fallback.removeStorage(probe));
    EXPECT_FALSE(fallback.backupOneToDirectory(probe, backups.path() + "/default"));
    EXPECT_EQ(fallback.backupAllToDirectory(backups.path() + "/default"), 0u);
    EXPECT_FALSE(fallback.restoreOneFromDirectory("inspace", backups.path()));
    EXPECT_EQ(fallback.restoreAllFromDirectory(backups.path()), 0u);
    EXPECT_FALSE(VORN::checkExist(probe));
    EXPECT_FALSE(VORN::isFileValid(probe));
    EXPECT_FALSE(VORN::removeStorage(probe));
    EXPECT_FALSE(VORN::restoreOneFromDirectory("inspace", backups.path()));
    EXPECT_EQ(VORN::restoreAllFromDirectory(backups.path()), 0u);
    EXPECT_EQ(VORN::backupAllToDirectory(backups.path() + "/default"), 0u);
    EXPECT_FALSE(fs::exists(backups.path() + "/default"));
    for (const fs::path &place : {fs::path("/"), fs::current_path()}) {
        EXPECT_FALSE(fs::exists(place / "inspace")) << place;
        EXPECT_FALSE(fs::exists(place / (probe + ".crc"))) << place;
    }
    VORN::unRegisterHandler();
}

TEST(NameSpaceFreshProcess, SpellingsOfOneDirectoryGiveOneInstance) {
    if (currentRole() != "spellings") {
        EXPECT_EQ(runSelf("NameSpaceFreshProcess.SpellingsOfOneDirectoryGiveOneInstance", "spellings"), 0);
        return;
    }
    TempDir dir;
    TempDir other;
    ASSERT_EQ(chdir(fs::path(dir.path()).parent_path().c_str()), 0);
    const std::string name = fs::path(dir.path()).filename().string();
    const std::vector<vorn::NameSpace> spaces = {VORN::nameSpace(name), VORN::nameSpace(name + "/"),
                                                 VORN::nameSpace("./" + name), VORN::nameSpace(dir.path())};
    VORN::setLogLevel(VORNLogWarning);
    VORN *first = vorn::NameSpace(spaces[0]).vornWithID("same");
    ASSERT_NE(first, nullptr);
    for (vorn::NameSpace space : spaces) {
        SCOPED_TRACE(space.getRootDir());
        EXPECT_EQ(space.getRootDir(), dir.path());
        EXPECT_EQ(space.vornWithID("same"), first);
    }
    EXPECT_EQ(VORN::vornWithID("same", VORN_SINGLE_PROCESS, nullptr, &dir.path()), first);

    // A config naming another root is overridden by the namespace's.
    VORNConfig config;
    config.rootPath = &other.path();
    EXPECT_EQ(vorn::NameSpace(spaces[1]).vornWithID("same", config), first);
    EXPECT_FALSE(fs::exists(other.path() + "/same"));

    // The forwarded operations find that same open instance.
    ASSERT_TRUE(VORNTestPeer::set(first, "a", "1"));
    EXPECT_TRUE(vorn::NameSpace(spaces[2]).checkExist("same"));
    EXPECT_TRUE(vorn::NameSpace(spaces[0]).removeStorage("same"));
    EXPECT_FALSE(fs::exists(dir.path() + "/same"));
    VORN *again = vorn::NameSpace(spaces[3]).vornWithID("same");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(VORNTestPeer::keyCount(again), 0u);
    again->close();
}

} // namespace
