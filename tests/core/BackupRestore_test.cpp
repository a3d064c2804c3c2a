// Backup and restore of one store and of a whole root: stores open in this
// process, stores that are not, and stores another process has open.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <cstring>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "core/VORNNaming.h"
#include "platform/VORNFileUtil.h"

using namespace vorn_test;
namespace fs = std::filesystem;

namespace {

// Every file and directory under `dir`, by relative path: file bytes, or
// "<dir>" for a directory.
std::map<std::string, std::string> snapshot(const std::string &dir) {
    std::map<std::string, std::string> entries;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const std::string relative = fs::relative(it->path(), dir).string();
        entries[relative] = it->is_directory() ? "<dir>" : readFile(it->path().string());
    }
    return entries;
}

class BackupRestore : public StoreTest {
protected:
    const std::string &backupDir() const { return m_backup.path(); }

    // The registry key of a store under this test's root.
    std::string keyOf(const std::string &id) const { return vorn::md5(storeRoot() + "/" + id); }

    // Every key and data-holder value of the store `id` under `dir`.
    std::map<std::string, std::string> contentsIn(const std::string &dir, const std::string &id,
                                                  const StoreOptions &options = {}) {
        const std::string saved = storeRoot();
        setStoreRoot(dir);
        VORN *store = open(id, options);
        std::map<std::string, std::string> contents;
        for (const std::string &key : VORNTestPeer::keys(store)) {
            contents[key] = VORNTestPeer::get(store, key).value_or("<not a string>");
        }
        close(store);
        setStoreRoot(saved);
        return contents;
    }

    // A store with values, left closed.
    void writeStore(const std::string &id, const StoreOptions &options = {}) {
        VORN *store = open(id, options);
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
        close(store);
    }

    using Contents = std::map<std::string, std::string>;

private:
    TempDir m_backup;
};

struct OpenCase {
    const char *name;
    const char *id;
    StoreOptions options;
};

const std::vector<OpenCase> &openCases() {
    static const std::vector<OpenCase> cases = {
        {"plain", "open-plain", {}},
        {"AES-128", "open-aes", encrypted("backup-key-16byt")},
        {"multi-process AES-256", "open-multi", encrypted("backup-key-of-thirty-two-bytes!!", true, multiProcess())},
    };
    return cases;
}

TEST_F(BackupRestore, BackupOfAnOpenStoreHoldsItsUnsyncedChanges) {
    const std::string &rootPath = root();
    for (const OpenCase &c : openCases()) {
        SCOPED_TRACE(c.name);
        VORN *store = open(c.id, c.options);
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
        ASSERT_TRUE(VORNTestPeer::set(store, "large", std::string(700, 'L')));
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "2"));

        m_log.clear();
        EXPECT_TRUE(VORN::backupOneToDirectory(c.id, backupDir(), &rootPath));
        const std::string key = VORNTestPeer::registryKey(store);
        EXPECT_TRUE(m_log.has(VORNLogInfo, "backupOneToDirectory",
                              "backup one cached vorn[" + key + "] from [" + dataPath(c.id) + "] to [" + backupDir() +
                                  "/" + c.id + "]"))
            << m_log.dump();
        EXPECT_TRUE(m_log.has(VORNLogInfo, "backupOneToDirectory", "finish backup one vorn[" + key + "], ret: 1"));
        EXPECT_EQ(readFile(backupDir() + "/" + c.id), readFile(dataPath(c.id)));
        EXPECT_EQ(readFile(backupDir() + "/" + c.id + ".crc"), readFile(metaPath(c.id)));
        EXPECT_EQ(contentsIn(backupDir(), c.id, c.options), (Contents{{"a", "2"}, {"large", std::string(700, 'L')}}));
    }
}

TEST_F(BackupRestore, RestoreIntoAnOpenStoreIsSeenByTheSameInstance) {
    const std::string &rootPath = root();
    for (const OpenCase &c : openCases()) {
        for (const bool loaded : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (loaded ? ", loaded" : ", not loaded yet"));
            const std::string id = std::string(c.id) + (loaded ? "-loaded" : "-unloaded");
            VORN *store = open(id, c.options);
            ASSERT_TRUE(VORNTestPeer::set(store, "a", "1"));
            ASSERT_TRUE(VORNTestPeer::set(store, "b", "2"));
            ASSERT_TRUE(VORN::backupOneToDirectory(id, backupDir(), &rootPath));
            // Afterwards the store's file is longer than the backup's.
            ASSERT_TRUE(VORNTestPeer::set(store, "a", "10"));
            ASSERT_TRUE(VORNTestPeer::remove(store, "b"));
            ASSERT_TRUE(VORNTestPeer::set(store, "big", std::string(5000, 'x')));
            ASSERT_GT(fileSize(dataPath(id)), 4096);
            if (!loaded) {
                store = reopen(store, id, c.options);
                ASSERT_TRUE(VORNTestPeer::needsLoad(store));
            }
            const uint32_t sequence = metaFromBytes(readFile(metaPath(id))).m_sequence;

            m_log.clear();
            EXPECT_TRUE(VORN::restoreOneFromDirectory(id, backupDir(), &rootPath));
            const std::string key = VORNTestPeer::registryKey(store);
            EXPECT_TRUE(m_log.has(VORNLogInfo, "restoreOneFromDirectory",
                                  "restore one cached vorn[" + key + "] from [" + backupDir() + "/" + id + "] to [" +
                                      dataPath(id) + "]"))
                << m_log.dump();
            EXPECT_TRUE(
                m_log.has(VORNLogInfo, "restoreOneFromDirectory", "finish restore one vorn[" + key + "], ret: 1"));
            EXPECT_EQ(m_log.changed, (c.options.mode & VORN_MULTI_PROCESS) ? 1 : 0);

            EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b"}));
            EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("1"));
            EXPECT_EQ(VORNTestPeer::get(store, "b"), std::optional<std::string>("2"));
            EXPECT_EQ(fileSize(dataPath(id)), 4096);
            EXPECT_EQ(VORNTestPeer::mappedFileSize(store), 4096u);
            // The restore's own sequence step; an encrypted store then
            // rewrites the restored stream under a fresh vector (another
            // step), so that its appends never reuse key stream positions
            // the longer, newer stream had written under the backup's vector.
            const vorn::VORNMetaInfo restored = metaFromBytes(readFile(metaPath(id)));
            const vorn::VORNMetaInfo backup = metaFromBytes(readFile(backupDir() + "/" + id + ".crc"));
            const bool isEncrypted = !c.options.cryptKey.empty();
            EXPECT_EQ(restored.m_sequence, sequence + (isEncrypted ? 2 : 1));
            EXPECT_EQ(memcmp(restored.m_vector, backup.m_vector, sizeof(backup.m_vector)) != 0, isEncrypted);

            // Appends go on in the restored, shorter file.
            ASSERT_TRUE(VORNTestPeer::set(store, "big", std::string(8000, 'y')));
            store = reopen(store, id, c.options);
            EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b", "big"}));
            EXPECT_EQ(VORNTestPeer::get(store, "big"), std::string(8000, 'y'));
        }
    }
}

TEST_F(BackupRestore, RestoreOfAStoreThatIsNotOpenRewritesItsFiles) {
    const std::string &rootPath = root();
    writeStore("closed");
    ASSERT_TRUE(VORN::backupOneToDirectory("closed", backupDir(), &rootPath));
    VORN *store = open("closed");
    ASSERT_TRUE(VORNTestPeer::set(store, "a", "changed"));
    ASSERT_TRUE(VORNTestPeer::set(store, "big", std::string(5000, 'x')));
    close(store);
    const uint32_t sequence = metaFromBytes(readFile(metaPath("closed"))).m_sequence;

    m_log.clear();
    EXPECT_TRUE(VORN::restoreOneFromDirectory("closed", backupDir(), &rootPath));
    const std::string key = keyOf("closed");
    EXPECT_TRUE(
        m_log.has(VORNLogInfo, "restoreOneFromDirectoryByFilePath",
                  "restore one vorn[" + key + "] from [" + backupDir() + "/closed] to [" + dataPath("closed") + "]"))
        << m_log.dump();
    EXPECT_TRUE(m_log.has(VORNLogInfo, "restoreOneFromDirectoryByFilePath", "finish restore one vorn[" + key + "]"));
    EXPECT_EQ(readFile(dataPath("closed")), readFile(backupDir() + "/closed"));
    EXPECT_EQ(metaFromBytes(readFile(metaPath("closed"))).m_sequence, sequence + 1);
    EXPECT_EQ(contentsIn(root(), "closed"), (Contents{{"a", "1"}, {"b", "2"}}));

    // Into a root where the store does not exist yet: both files are created.
    TempDir fresh;
    const std::string &freshRoot = fresh.path();
    EXPECT_TRUE(VORN::restoreOneFromDirectory("closed", backupDir(), &freshRoot));
    EXPECT_EQ(contentsIn(freshRoot, "closed"), (Contents{{"a", "1"}, {"b", "2"}}));
}

TEST_F(BackupRestore, RestoreIntoAStoreOpenReadOnlyIsRefused) {
    const std::string &rootPath = root();
    writeStore("readonly");
    ASSERT_TRUE(VORN::backupOneToDirectory("readonly", backupDir(), &rootPath));
    VORN *writer = open("readonly");
    ASSERT_TRUE(VORNTestPeer::set(writer, "a", "changed"));
    close(writer);
    const std::string data = readFile(dataPath("readonly"));
    const std::string meta = readFile(metaPath("readonly"));

    VORN *store = open("readonly", readOnly());
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("changed"));
    m_log.clear();
    EXPECT_FALSE(VORN::restoreOneFromDirectory("readonly", backupDir(), &rootPath));
    EXPECT_TRUE(m_log.has(VORNLogWarning, "restoreOneFromDirectory", "[readonly] file readonly")) << m_log.dump();
    EXPECT_EQ(readFile(dataPath("readonly")), data);
    EXPECT_EQ(readFile(metaPath("readonly")), meta);
    EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("changed"));
}

// A damaged or incomplete backup is refused before the store's files are
// touched, and the backup directory is only ever read.
TEST_F(BackupRestore, ADamagedBackupIsRefusedBeforeTheStoreIsTouched) {
    enum class Damage { NoMeta, ShortMeta, SpeciousVersion, LengthPastData, NoData };
    struct Case {
        const char *name;
        Damage damage;
    };
    const std::vector<Case> cases = {
        {"no meta file", Damage::NoMeta},
        {"meta file of 50 bytes", Damage::ShortMeta},
        {"meta record of version 9", Damage::SpeciousVersion},
        {"stream length past the data file", Damage::LengthPastData},
        {"no data file", Damage::NoData},
    };
    const std::string &rootPath = root();
    for (const bool storeOpen : {true, false}) {
        for (size_t i = 0; i < cases.size(); i++) {
            SCOPED_TRACE(std::string(cases[i].name) + (storeOpen ? ", store open" : ", store closed"));
            const std::string id = "damaged-" + std::to_string(i) + (storeOpen ? "-open" : "-closed");
            const std::string dir = backupDir() + "/" + id;
            writeStore(id);
            ASSERT_TRUE(VORN::backupOneToDirectory(id, dir, &rootPath));
            const std::string backupData = dir + "/" + id;
            const std::string backupMeta = backupData + ".crc";
            vorn::VORNMetaInfo info = metaFromBytes(readFile(backupMeta));
            std::string page(4096, '\0');
            switch (cases[i].damage) {
            case Damage::NoMeta:
                ASSERT_EQ(unlink(backupMeta.c_str()), 0);
                break;
            case Damage::ShortMeta:
                writeFile(backupMeta, readFile(backupMeta).substr(0, 50));
                break;
            case Damage::SpeciousVersion:
                info.m_version = 9;
                info.write(&page[0]);
                writeFile(backupMeta, page);
                break;
            case Damage::LengthPastData:
                info.m_actualSize = 4093;
                info.write(&page[0]);
                writeFile(backupMeta, page);
                break;
            case Damage::NoData:
                ASSERT_EQ(unlink(backupData.c_str()), 0);
                break;
            }
            VORN *store = open(id);
            ASSERT_TRUE(VORNTestPeer::set(store, "a", "changed"));
            store->sync();
            if (!storeOpen) {
                close(store);
            }
            const auto storeFiles = std::make_pair(readFile(dataPath(id)), readFile(metaPath(id)));
            const auto backupFiles = snapshot(dir);

            EXPECT_FALSE(VORN::restoreOneFromDirectory(id, dir, &rootPath));
            EXPECT_EQ(std::make_pair(readFile(dataPath(id)), readFile(metaPath(id))), storeFiles);
            EXPECT_EQ(snapshot(dir), backupFiles);
            if (storeOpen) {
                EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("changed"));
            } else {
                EXPECT_EQ(contentsIn(root(), id), (Contents{{"a", "changed"}, {"b", "2"}}));
            }
        }
    }

    // An id with special characters whose backup is missing: nothing appears
    // in the backup directory, not even its "specialCharacter" directory.
    const std::string empty = backupDir() + "/empty";
    ASSERT_TRUE(vorn::mkPath(empty));
    EXPECT_FALSE(VORN::restoreOneFromDirectory("x/y", empty, &rootPath));
    EXPECT_TRUE(snapshot(empty).empty());
}

TEST_F(BackupRestore, SpecialCharacterIdsSurviveARoundTripOfAWholeRoot) {
    const std::string &rootPath = root();
    const std::string special = "user:1/settings?";
    VORN *plain = open("plain-id");
    VORN *odd = open(special, encrypted("special-key-16by"));
    ASSERT_TRUE(VORNTestPeer::set(plain, "k", "plain-before"));
    ASSERT_TRUE(VORNTestPeer::set(odd, "k", "odd-before"));

    m_log.clear();
    EXPECT_EQ(VORN::backupAllToDirectory(backupDir(), &rootPath), 2u) << m_log.dump();
    const std::string digest = vorn::md5(special);
    EXPECT_EQ(readFile(backupDir() + "/specialCharacter/" + digest), readFile(VORNTestPeer::dataPath(odd)));
    EXPECT_EQ(readFile(backupDir() + "/specialCharacter/" + digest + ".crc"), readFile(VORNTestPeer::metaPath(odd)));
    EXPECT_EQ(readFile(backupDir() + "/plain-id"), readFile(dataPath("plain-id")));

    ASSERT_TRUE(VORNTestPeer::set(plain, "k", "plain-after"));
    ASSERT_TRUE(VORNTestPeer::set(odd, "k", "odd-after"));
    ASSERT_TRUE(VORNTestPeer::set(odd, "extra", "x"));

    m_log.clear();
    EXPECT_EQ(VORN::restoreAllFromDirectory(backupDir(), &rootPath), 2u) << m_log.dump();
    // The digest-named store was found open by its file and reloaded in place.
    EXPECT_TRUE(m_log.has(VORNLogInfo, "restoreOneFromDirectory", "finish restore one vorn[" + digest + "], ret: 1"))
        << m_log.dump();
    EXPECT_EQ(VORNTestPeer::get(plain, "k"), std::optional<std::string>("plain-before"));
    EXPECT_EQ(VORNTestPeer::get(odd, "k"), std::optional<std::string>("odd-before"));
    EXPECT_EQ(VORNTestPeer::keys(odd), std::vector<std::string>{"k"});

    // And into a root where neither store exists.
    TempDir fresh;
    const std::string &freshRoot = fresh.path();
    EXPECT_EQ(VORN::restoreAllFromDirectory(backupDir(), &freshRoot), 2u);
    EXPECT_EQ(contentsIn(freshRoot, "plain-id"), (Contents{{"k", "plain-before"}}));
    EXPECT_EQ(contentsIn(freshRoot, special, encrypted("special-key-16by")), (Contents{{"k", "odd-before"}}));
}

TEST_F(BackupRestore, ADataFileWithoutItsCrcIsSkipped) {
    const std::string &rootPath = root();
    writeStore("kept");
    writeFile(root() + "/orphan", std::string(4096, 'o'));

    m_log.clear();
    EXPECT_EQ(VORN::backupAllToDirectory(backupDir(), &rootPath), 1u);
    EXPECT_TRUE(m_log.has(VORNLogWarning, "backupAllToDirectory", "crc not exist [" + root() + "/orphan.crc]"))
        << m_log.dump();
    EXPECT_EQ(fileSize(backupDir() + "/orphan"), -1);
    EXPECT_EQ(contentsIn(backupDir(), "kept"), (Contents{{"a", "1"}, {"b", "2"}}));

    writeFile(backupDir() + "/lost", std::string(4096, 'l'));
    m_log.clear();
    EXPECT_EQ(VORN::restoreAllFromDirectory(backupDir(), &rootPath), 1u);
    EXPECT_TRUE(m_log.has(VORNLogWarning, "restoreAllFromDirectory", "crc not exist [" + backupDir() + "/lost.crc]"))
        << m_log.dump();
    EXPECT_EQ(fileSize(root() + "/lost"), -1);

    // A directory without data files: nothing, and no target directory.
    TempDir emptyRoot;
    const std::string &emptyPath = emptyRoot.path();
    EXPECT_EQ(VORN::backupAllToDirectory(backupDir() + "/never", &emptyPath), 0u);
    EXPECT_FALSE(fs::exists(backupDir() + "/never"));
}

// Source and target the same directory, or the same files, in any spelling:
// success, and not one byte changes (a copy onto itself would empty the file).
TEST_F(BackupRestore, TheSameDirectoryOrFilesInAnySpellingAreLeftAlone) {
    writeStore("same");
    writeStore("same/special");
    const std::string &rootPath = root();
    const auto before = snapshot(root());

    fs::create_directory_symlink(root(), backupDir() + "/link");
    const std::string hardLinks = backupDir() + "/hard";
    ASSERT_TRUE(vorn::mkPath(hardLinks));
    fs::create_hard_link(dataPath("same"), hardLinks + "/same");
    fs::create_hard_link(metaPath("same"), hardLinks + "/same.crc");

    const std::vector<std::string> spellings = {
        root() + "/", root() + "/.", root() + "//", fs::relative(root()).string(), backupDir() + "/link",
    };
    for (const std::string &spelling : spellings) {
        SCOPED_TRACE(spelling);
        EXPECT_TRUE(VORN::backupOneToDirectory("same", spelling, &rootPath));
        EXPECT_TRUE(VORN::restoreOneFromDirectory("same", spelling, &rootPath));
        EXPECT_EQ(VORN::backupAllToDirectory(spelling, &rootPath), 1u);
        EXPECT_EQ(VORN::restoreAllFromDirectory(spelling, &rootPath), 1u);
        // The other way round: the root spelled differently.
        EXPECT_TRUE(VORN::backupOneToDirectory("same", rootPath, &spelling));
        EXPECT_TRUE(VORN::restoreOneFromDirectory("same", rootPath, &spelling));
        EXPECT_EQ(snapshot(root()), before);
    }

    SCOPED_TRACE("hard links");
    EXPECT_TRUE(VORN::restoreOneFromDirectory("same", hardLinks, &rootPath));
    EXPECT_TRUE(VORN::backupOneToDirectory("same", hardLinks, &rootPath));
    EXPECT_EQ(VORN::restoreAllFromDirectory(hardLinks, &rootPath), 1u);
    EXPECT_EQ(snapshot(root()), before);
    EXPECT_EQ(contentsIn(root(), "same"), (Contents{{"a", "1"}, {"b", "2"}}));
}

// Two processes: one has the store open (multi-process), the other restores it.
class BackupAcrossProcesses : public BackupRestore {
protected:
    std::string steps() const { return storeRoot() + "/steps"; }
};

TEST_F(BackupAcrossProcesses, AProcessThatHasTheStoreOpenSeesTheRestoredContents) {
    const std::vector<std::string> cases = {"restored through the open instance", "restored by file"};
    if (isChild()) {
        VORN *store = open("shared", multiProcess());
        EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("new"));
        markStep(steps(), "child-loaded");
        ASSERT_TRUE(waitStep(steps(), "parent-restored"));
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("old"));
        EXPECT_EQ(VORNTestPeer::mappedFileSize(store), static_cast<size_t>(fileSize(dataPath("shared"))));
        ASSERT_TRUE(VORNTestPeer::set(store, "child", std::string(8000, 'c')));
        return;
    }
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i]);
        TempDir dir;
        setStoreRoot(dir.path());
        const std::string &rootPath = dir.path();
        ASSERT_TRUE(vorn::mkPath(steps()));
        VORN *store = open("shared", multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "old"));
        ASSERT_TRUE(VORNTestPeer::set(store, "b", "b"));
        const std::string backup = backupDir() + "/" + std::to_string(i);
        ASSERT_TRUE(VORN::backupOneToDirectory("shared", backup, &rootPath));
        ASSERT_TRUE(VORNTestPeer::set(store, "a", "new"));
        ASSERT_TRUE(VORNTestPeer::remove(store, "b"));
        ASSERT_TRUE(VORNTestPeer::set(store, "big", std::string(5000, 'x')));
        const bool openHere = i == 0;
        if (!openHere) {
            close(store);
        }
        const int child =
            startSelf("BackupAcrossProcesses.AProcessThatHasTheStoreOpenSeesTheRestoredContents", "child", dir.path());
        ASSERT_TRUE(waitStep(steps(), "child-loaded"));
        EXPECT_TRUE(VORN::restoreOneFromDirectory("shared", backup, &rootPath));
        markStep(steps(), "parent-restored");
        EXPECT_EQ(waitChild(child), 0);
        if (!openHere) {
            store = open("shared", multiProcess());
        }
        EXPECT_EQ(VORNTestPeer::keys(store), (std::vector<std::string>{"a", "b", "child"}));
        EXPECT_EQ(VORNTestPeer::get(store, "a"), std::optional<std::string>("old"));
        close(store);
    }
}

// A store open in another process only: the backup takes the meta file's
// shared lock, so it waits while that process writes under its exclusive one.
TEST_F(BackupAcrossProcesses, ABackupWaitsForAWriterInAnotherProcess) {
    if (isChild()) {
        VORN *store = open("written", multiProcess());
        ASSERT_TRUE(VORNTestPeer::set(store, "x", "before"));
        store->lock();
        markStep(steps(), "child-locked");
        ASSERT_TRUE(waitStep(steps(), "parent-backing-up"));
        usleep(300 * 1000); // every chance for the backup to get in; it must not
        ASSERT_TRUE(VORNTestPeer::set(store, "x", "after"));
        ASSERT_TRUE(VORNTestPeer::set(store, "y", "after"));
        store->unlock();
        return;
    }
    const std::string &rootPath = root();
    ASSERT_TRUE(vorn::mkPath(steps()));
    const int child = startSelf("BackupAcrossProcesses.ABackupWaitsForAWriterInAnotherProcess", "child", root());
    ASSERT_TRUE(waitStep(steps(), "child-locked"));
    markStep(steps(), "parent-backing-up");
    EXPECT_TRUE(VORN::backupOneToDirectory("written", backupDir(), &rootPath));
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(contentsIn(backupDir(), "written"), (Contents{{"x", "after"}, {"y", "after"}}));
}

} // namespace
