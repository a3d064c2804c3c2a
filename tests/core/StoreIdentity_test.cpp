// What a store is: two opens share an instance exactly when they name the
// same data file, and no id reaches a file or directory that is not its own.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNNaming.h"
#include "platform/VORNFileUtil.h"

using namespace vorn_test;
namespace fs = std::filesystem;

namespace {

using StoreIdentity = StoreTest;

TEST_F(StoreIdentity, OpensShareAnInstanceExactlyWhenTheyNameOneDataFile) {
    const std::string nested = root() + "/a";
    fs::create_directories(nested);
    fs::create_directory_symlink(nested, root() + "/link");
    const std::string key = "key-A-16-bytes!!";
    struct Case {
        const char *name;
        std::string idA, rootA, idB, rootB;
        bool same;
    } cases[] = {
        {"id with a slash vs nested root", "x", nested, "a/x", root(), false},
        {"parent root", "x", nested, "x", root(), false},
        {"trailing slash", "x", nested, "x", nested + "/", true},
        {"dot-dot spelling", "x", nested, "x", nested + "/../a", true},
        {"symbolic link to the root", "x", nested, "x", root() + "/link", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VORN *first = openStore(c.rootA, c.idA, encrypted(key));
        ASSERT_NE(first, nullptr);
        ASSERT_TRUE(VORNTestPeer::set(first, "k", "first"));
        VORN *second = openStore(c.rootB, c.idB);
        ASSERT_NE(second, nullptr);
        if (c.same) {
            EXPECT_EQ(second, first);
        } else {
            EXPECT_NE(second, first);
            // Its own settings and its own files: no key, nothing of the first.
            EXPECT_TRUE(VORNTestPeer::isPlain(second));
            EXPECT_NE(VORNTestPeer::dataPath(second), VORNTestPeer::dataPath(first));
            EXPECT_EQ(VORNTestPeer::get(second, "k"), std::nullopt);
            ASSERT_TRUE(VORNTestPeer::set(second, "k", "second"));
            EXPECT_EQ(VORNTestPeer::get(first, "k"), std::optional<std::string>("first"));
            first->sync();
            EXPECT_EQ(readFile(VORNTestPeer::dataPath(first)).find("second"), std::string::npos)
                << "the second store wrote its plaintext into the first one's file";
            second->close();
        }
        first->close();
        VORN::removeStorage(c.idA, &c.rootA);
        VORN::removeStorage(c.idB, &c.rootB);
    }
}

// Each id either names its own file in the root, or (when that file name
// would be another store's file, a directory, or too long for the journal's
// suffix) is stored as specialCharacter/<md5(id)>. Every operation by id
// (existence, validity, backup, removal, restore, whole-root copies) finds
// the same files.
TEST_F(StoreIdentity, HostileIdsGetNamesOfTheirOwn) {
    const std::string victimKey = "victim-key-16byt";
    VORN *victim = open("victim", encrypted(victimKey));
    ASSERT_TRUE(VORNTestPeer::set(victim, "secret", "kept"));
    close(victim);
    const std::string victimData = readFile(dataPath("victim"));
    const std::string victimMeta = readFile(metaPath("victim"));

    const size_t longest = vorn::maxFileNameLength() - std::string(":rewrite").size();
    struct Case {
        std::string id;
        bool hashed;
    } cases[] = {
        {".", true},
        {"..", true},
        {"specialCharacter", true},
        {"SPECIALCHARACTER", true},
        {"victim.crc", true},
        {"victim.CRC", true},
        {"victim:rewrite", true},
        {std::string(longest + 1, 'h'), true},
        {std::string(longest, 'n'), false},
        {"victim.crc.x", false},
        {"..x", false},
    };
    TempDir backup;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id.substr(0, 20));
        const std::string expected =
            root() + "/" + (c.hashed ? std::string("specialCharacter/") + vorn::md5(c.id) : c.id);
        VORN *store = open(c.id);
        ASSERT_NE(store, nullptr);
        EXPECT_EQ(VORNTestPeer::dataPath(store), expected);
        ASSERT_TRUE(VORNTestPeer::set(store, "k", "v"));
        close(store);
        EXPECT_TRUE(fs::is_regular_file(expected));
        EXPECT_TRUE(fs::is_regular_file(expected + ".crc"));

        EXPECT_TRUE(VORN::checkExist(c.id, &root()));
        EXPECT_TRUE(VORN::isFileValid(c.id, &root()));
        ASSERT_TRUE(VORN::backupOneToDirectory(c.id, backup.path(), &root()));
        EXPECT_TRUE(VORN::removeStorage(c.id, &root()));
        EXPECT_FALSE(fs::exists(expected));
        EXPECT_FALSE(VORN::checkExist(c.id, &root()));
        ASSERT_TRUE(VORN::restoreOneFromDirectory(c.id, backup.path(), &root()));
        store = open(c.id);
        EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("v"));
        close(store);
    }

    // Nothing of the victim was touched.
    EXPECT_EQ(readFile(dataPath("victim")), victimData);
    EXPECT_EQ(readFile(metaPath("victim")), victimMeta);
    victim = open("victim", encrypted(victimKey));
    EXPECT_EQ(VORNTestPeer::get(victim, "secret"), std::optional<std::string>("kept"));
    close(victim);

    // The root holds the plain-named stores and the special-character directory only.
    std::set<std::string> entries;
    for (const auto &entry : fs::directory_iterator(root())) {
        entries.insert(entry.path().filename().string());
    }
    std::set<std::string> wanted = {"victim", "victim.crc", "specialCharacter"};
    for (const Case &c : cases) {
        if (!c.hashed) {
            wanted.insert(c.id);
            wanted.insert(c.id + ".crc");
        }
    }
    EXPECT_EQ(entries, wanted);

    // A whole-root backup restored elsewhere: every id finds its store there.
    TempDir whole;
    TempDir elsewhere;
    const size_t stores = sizeof(cases) / sizeof(cases[0]) + 1;
    EXPECT_EQ(VORN::backupAllToDirectory(whole.path(), &root()), stores);
    EXPECT_EQ(VORN::restoreAllFromDirectory(whole.path(), &elsewhere.path()), stores);
    setStoreRoot(elsewhere.path());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id.substr(0, 20));
        VORN *store = open(c.id);
        EXPECT_EQ(VORNTestPeer::get(store, "k"), std::optional<std::string>("v"));
        close(store);
    }
}

// Looking for a store (existence, validity, removal, a read-only open) leaves the root as it
// is, also for an id whose files would live under "specialCharacter".
TEST_F(StoreIdentity, LookingForAStoreCreatesNothing) {
    const std::string fresh = root() + "/fresh";
    fs::create_directories(fresh);
    for (const char *id : {"a/b", "x.crc", "..", "plain"}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(VORN::checkExist(id, &fresh));
        EXPECT_TRUE(VORN::isFileValid(id, &fresh)) << "no data file: nothing to find wrong";
        EXPECT_FALSE(VORN::removeStorage(id, &fresh));
        // A read-only open of a store that is not there creates nothing either.
        VORN *reader = openStore(fresh, id, inMode(VORN_READ_ONLY));
        if (reader) {
            EXPECT_EQ(reader->count(), 0u);
            reader->close();
        }
        EXPECT_TRUE(fs::is_empty(fresh));
    }
}

// Ids that opened before keep their file names.
TEST(StoreNaming, OnlyIdsThatReachOtherFilesAreHashed) {
    for (const char *id : {"a", "a.b", "a b", ".hidden", "x.crcx", "crc", "specialCharacters", "vorn.default"}) {
        EXPECT_FALSE(vorn::needsHashedName(id)) << id;
    }
    for (const char *id : {".", "..", "specialCharacter", "a.crc", "a.Crc", ".crc", "a/b", "a:rewrite"}) {
        EXPECT_TRUE(vorn::needsHashedName(id)) << id;
    }
}

} // namespace
