// A local user who can write into a store's root can put something else at
// the names of its files before the store opens them: a symbolic link to a
// file of theirs choosing (here: another store's files), a FIFO, a directory.
// The store must never read or write through it: the target keeps its bytes,
// the open fails cleanly (the handle refuses writes, as for any file that
// cannot be opened), and the rewrite journal, made new at each compaction,
// replaces what sits at its name.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "PlantedFiles.h"
#include "platform/SystemCalls.h"

using namespace vorn_test;
namespace fs = std::filesystem;

namespace {

using vorn_planted::fileType;
using vorn_planted::plant;
using vorn_planted::Planted;
using vorn_planted::plantedType;
using vorn_planted::toString;

// Ends the process unless destroyed in time: an open that blocks on a FIFO
// fails the test at once instead of hanging the suite.
class Watchdog {
public:
    Watchdog() { ::alarm(60); }
    ~Watchdog() { ::alarm(0); }
};

std::string valueFor(int i, int round) {
    return "value " + std::to_string(i) + " round " + std::to_string(round) + std::string(150, 'v');
}

class PlantedFiles : public StoreTest {
protected:
    // The store "victim" with keys, closed: its files are what planted links
    // point to. Its bytes are kept to check that nothing wrote them.
    void MakeVictim() {
        VORN *victim = open("victim");
        ASSERT_TRUE(VORNTestPeer::set(victim, "victim-key", "victim value"));
        close(victim);
        m_victimData = readFile(dataPath("victim"));
        m_victimMeta = readFile(metaPath("victim"));
        ASSERT_FALSE(m_victimData.empty());
        ASSERT_FALSE(m_victimMeta.empty());
    }
    void ExpectVictimUntouched() {
        EXPECT_EQ(readFile(dataPath("victim")), m_victimData);
        EXPECT_EQ(readFile(metaPath("victim")), m_victimMeta);
        VORN *victim = open("victim");
        EXPECT_EQ(VORNTestPeer::get(victim, "victim-key"), std::optional<std::string>("victim value"));
        EXPECT_EQ(VORNTestPeer::keyCount(victim), 1u);
        close(victim);
    }
    // 30 keys, then 10 of them written again: a compaction has work to do.
    void Fill(VORN *store) {
        for (int i = 0; i < 30; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), valueFor(i, 0)));
        }
        for (int i = 0; i < 30; i += 3) {
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), valueFor(i, 1)));
        }
    }
    void ExpectFilled(VORN *store) {
        ASSERT_EQ(VORNTestPeer::keyCount(store), 30u);
        for (int i = 0; i < 30; i++) {
            EXPECT_EQ(VORNTestPeer::get(store, "key-" + std::to_string(i)), valueFor(i, i % 3 == 0 ? 1 : 0)) << i;
        }
    }
    std::string journalPath(const std::string &id) const { return dataPath(id) + ":rewrite"; }

    std::string m_victimData;
    std::string m_victimMeta;
};

TEST_F(PlantedFiles, StoreFilesAreNeverOpenedThroughWhatIsPlantedAtTheirNames) {
    MakeVictim();
    enum class Which { Data, Meta };
    struct Case {
        Which which;
        Planted kind;
        bool existing; // the store had files of its own; one of them is replaced
        StoreOptions options;
    } cases[] = {
        {Which::Data, Planted::LinkToVictim, false, {}},
        {Which::Data, Planted::LinkToVictim, true, multiProcess()},
        {Which::Data, Planted::LinkToVictim, true, readOnly()},
        {Which::Data, Planted::DanglingLink, false, {}},
        {Which::Data, Planted::Fifo, false, multiProcess()},
        {Which::Data, Planted::Directory, false, {}},
        {Which::Meta, Planted::LinkToVictim, false, multiProcess()},
        {Which::Meta, Planted::LinkToVictim, true, {}},
        {Which::Meta, Planted::DanglingLink, false, multiProcess()},
        {Which::Meta, Planted::Fifo, false, {}},
        {Which::Meta, Planted::Directory, false, multiProcess()},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string id = "planted-" + std::to_string(n++);
        SCOPED_TRACE(id + ": " + (c.which == Which::Data ? "data file, " : "meta file, ") + toString(c.kind) +
                     (c.existing ? ", existing store" : ", new store") +
                     (c.options.mode & VORN_MULTI_PROCESS ? ", multi-process" : "") +
                     (c.options.mode & VORN_READ_ONLY ? ", read-only" : ""));
        const std::string planted = c.which == Which::Data ? dataPath(id) : metaPath(id);
        const std::string victim = c.which == Which::Data ? dataPath("victim") : metaPath("victim");
        if (c.existing) {
            VORN *store = open(id);
            ASSERT_TRUE(VORNTestPeer::set(store, "own-key", "own value"));
            close(store);
            ASSERT_EQ(::unlink(planted.c_str()), 0);
        }
        // A dangling link points where the victim's file is not (yet).
        plant(c.kind, planted, c.kind == Planted::DanglingLink ? victim + ".new" : victim);

        m_log.clear();
        VORN *store = nullptr;
        {
            Watchdog watchdog;
            store = open(id, c.options);
            ASSERT_NE(store, nullptr); // a handle, as for any file that cannot be opened
            // Nothing of the link's target is loaded, and every write is refused.
            EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
            EXPECT_EQ(VORNTestPeer::get(store, "victim-key"), std::nullopt);
            EXPECT_FALSE(VORNTestPeer::set(store, "new-key", "must not land anywhere"));
            EXPECT_EQ(VORNTestPeer::get(store, "new-key"), std::nullopt);
            // The maintenance calls find nothing to work on either.
            store->trim();
            store->clearAll();
            EXPECT_FALSE(store->reKey("some-other-key16"));
            EXPECT_EQ(store->count(), 0u);
            store->sync();
            close(store);
        }
        EXPECT_EQ(fileType(planted), plantedType(c.kind));
        EXPECT_EQ(fileType(victim + ".new"), 0u);
        // Said once per open attempt: refused, or (a directory opened for
        // writing) the open's own error.
        const bool openError = c.kind == Planted::Directory && !(c.options.mode & VORN_READ_ONLY);
        EXPECT_GE(m_log.countPrefix((openError ? "fail to open [" : "refuse to open [") + planted + "]"), 1u)
            << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("refuse to open [" + victim), 0u) << m_log.dump();
    }
    ExpectVictimUntouched();
}

// A data file name swapped for a link while the store is open: the store
// keeps its mapping of the file it opened, and every reopen by name (the data
// descriptor is reopened for each growth) is refused, so growth and any reload
// fail cleanly instead of writing into the link's target.
TEST_F(PlantedFiles, ADataFileSwappedForALinkWhileOpenIsNotReopenedThroughIt) {
    MakeVictim();
    VORN *store = open("swapped");
    ASSERT_TRUE(VORNTestPeer::set(store, "before", "kept"));
    ASSERT_EQ(::rename(dataPath("swapped").c_str(), (dataPath("swapped") + ".moved").c_str()), 0);
    plant(Planted::LinkToVictim, dataPath("swapped"), dataPath("victim"));
    m_log.clear();
    // Past the first page: needs growth.
    EXPECT_FALSE(VORNTestPeer::set(store, "large", std::string(3 * vorn::mmapUnitSize(), 'L')));
    EXPECT_GE(m_log.countPrefix("refuse to open [" + dataPath("swapped") + "]"), 1u) << m_log.dump();
    close(store);
    EXPECT_EQ(fileType(dataPath("swapped")), static_cast<unsigned>(S_IFLNK));
    ExpectVictimUntouched();
}

// What sits at "<data file>:rewrite" when a compaction starts is removed
// (unlinking a link removes the link) and the journal made new in its place;
// a directory there cannot be removed, so the rewrite goes through memory.
// Either way the compaction succeeds and nothing is written through.
int g_journalFd = -1;
unsigned g_journalTypeWhileWritten = 0;
std::string g_journalPath;

int trackingOpen(const char *path, int flags, mode_t mode) {
    const int fd = vorn::realSystemCalls().open(path, flags, mode);
    if (fd >= 0 && g_journalPath == path) {
        g_journalFd = fd;
    }
    return fd;
}

ssize_t observingPwrite(int fd, const void *buffer, size_t count, off_t offset) {
    if (fd == g_journalFd && g_journalTypeWhileWritten == 0) {
        g_journalTypeWhileWritten = fileType(g_journalPath);
    }
    return vorn::realSystemCalls().pwrite(fd, buffer, count, offset);
}

TEST_F(PlantedFiles, ACompactionReplacesWhatIsPlantedAtTheJournalName) {
    MakeVictim();
    struct Case {
        Planted kind;
        bool encrypted;
    } cases[] = {
        {Planted::LinkToVictim, false}, {Planted::LinkToVictim, true}, {Planted::DanglingLink, false},
        {Planted::Fifo, false},         {Planted::Directory, false},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string id = "journal-" + std::to_string(n++);
        SCOPED_TRACE(id + ": " + toString(c.kind) + (c.encrypted ? ", AES" : ""));
        const StoreOptions options = c.encrypted ? encrypted("planted-key-16by") : StoreOptions{};
        VORN *store = open(id, options);
        Fill(store);
        const std::string victim = c.kind == Planted::DanglingLink ? dataPath("victim") + ".new" : dataPath("victim");
        plant(c.kind, journalPath(id), victim);

        m_log.clear();
        g_journalPath = journalPath(id);
        g_journalFd = -1;
        g_journalTypeWhileWritten = 0;
        {
            Watchdog watchdog;
            vorn::ScopedSystemCallsOverride calls;
            calls->open = trackingOpen;
            calls->pwrite = observingPwrite;
            EXPECT_TRUE(VORNTestPeer::fullWriteback(store));
        }
        if (c.kind == Planted::Directory) {
            EXPECT_EQ(g_journalFd, -1);
            EXPECT_EQ(fileType(journalPath(id)), static_cast<unsigned>(S_IFDIR));
            EXPECT_EQ(m_log.countPrefix("no rewrite journal [" + journalPath(id) + "]"), 1u) << m_log.dump();
        } else {
            // Written as a regular file of its own, and removed once done.
            EXPECT_GE(g_journalFd, 0);
            EXPECT_EQ(g_journalTypeWhileWritten, static_cast<unsigned>(S_IFREG));
            EXPECT_EQ(fileType(journalPath(id)), 0u);
            EXPECT_EQ(m_log.countPrefix("no rewrite journal"), 0u) << m_log.dump();
        }
        EXPECT_EQ(fileType(dataPath("victim") + ".new"), 0u);
        ExpectFilled(store);
        store = reopen(store, id, options);
        ExpectFilled(store);
        ASSERT_TRUE(VORNTestPeer::set(store, "after", "works"));
        close(store);
        fs::remove_all(journalPath(id));
    }
    ExpectVictimUntouched();
}

// A store whose meta record does not check out looks for a journal to finish
// the rewrite from. What is planted at the journal name is refused there
// without being read (a FIFO would block the load for good); the store then
// recovers as it would without a journal, and its rewrite replaces the entry.
TEST_F(PlantedFiles, ALoadLookingForAJournalRefusesWhatIsPlantedThere) {
    MakeVictim();
    StoreOptions options;
    options.recover = OnErrorRecover;
    for (Planted kind : {Planted::LinkToVictim, Planted::Fifo, Planted::Directory}) {
        SCOPED_TRACE(toString(kind));
        const std::string id = "damaged-" + std::to_string(static_cast<int>(kind));
        VORN *store = open(id, options);
        Fill(store);
        close(store);
        // Neither the record's CRC nor the last confirmed one matches now.
        patchFile(metaPath(id), 0, "\xde\xad\xbe\xef");
        patchFile(metaPath(id), 36, "\xde\xad\xbe\xef");
        plant(kind, journalPath(id), dataPath("victim"));
        m_log.clear();
        {
            Watchdog watchdog;
            store = open(id, options);
            ExpectFilled(store);
        }
        EXPECT_GE(m_log.countPrefix("refuse to open [" + journalPath(id) + "]"), 1u) << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("[" + id + "] finished an interrupted rewrite"), 0u);
        EXPECT_EQ(fileType(journalPath(id)), kind == Planted::Directory ? static_cast<unsigned>(S_IFDIR) : 0u);
        close(store);
        // Opens again without any repair.
        m_log.clear();
        store = open(id, options);
        ExpectFilled(store);
        EXPECT_EQ(m_log.countPrefix("recover strategic"), 0u) << m_log.dump();
        close(store);
    }
    ExpectVictimUntouched();
}

// Restore writes into a store's root, backup into a directory of the host's
// choosing: neither writes through a link planted at a target name.
TEST_F(PlantedFiles, BackupAndRestoreNeverWriteThroughAPlantedTarget) {
    MakeVictim();
    TempDir backupDir;
    const std::string rootPath = storeRoot();
    VORN *store = open("source");
    Fill(store);
    close(store);
    ASSERT_TRUE(VORN::backupOneToDirectory("source", backupDir.path(), &rootPath));

    // Restore into a store that is not open: its data or meta name is a link.
    for (const std::string &suffix : {std::string(), std::string(".crc")}) {
        SCOPED_TRACE("restore, link at the " + std::string(suffix.empty() ? "data" : "meta") + " file");
        fs::remove(dataPath("source"));
        fs::remove(metaPath("source"));
        plant(Planted::LinkToVictim, dataPath("source") + suffix, dataPath("victim") + suffix);
        m_log.clear();
        EXPECT_FALSE(VORN::restoreOneFromDirectory("source", backupDir.path(), &rootPath));
        EXPECT_GE(m_log.countPrefix("refuse to open [" + dataPath("source") + suffix + "]"), 1u) << m_log.dump();
        EXPECT_EQ(fileType(dataPath("source") + suffix), static_cast<unsigned>(S_IFLNK));
    }
    ExpectVictimUntouched();

    // Restore into an open store whose data file name was swapped for a
    // link: the restore reopens the data file by name, and is refused.
    fs::remove(dataPath("source"));
    fs::remove(metaPath("source"));
    store = open("source");
    ASSERT_TRUE(VORNTestPeer::set(store, "own", "value"));
    ASSERT_EQ(::rename(dataPath("source").c_str(), (dataPath("source") + ".moved").c_str()), 0);
    plant(Planted::LinkToVictim, dataPath("source"), dataPath("victim"));
    m_log.clear();
    EXPECT_FALSE(VORN::restoreOneFromDirectory("source", backupDir.path(), &rootPath));
    EXPECT_GE(m_log.countPrefix("refuse to open [" + dataPath("source") + "]"), 1u) << m_log.dump();
    EXPECT_FALSE(VORNTestPeer::set(store, "after", "refused"));
    close(store);
    ExpectVictimUntouched();

    // Backup: links at both target names are replaced by the store's files.
    TempDir target;
    plant(Planted::LinkToVictim, target.path() + "/victim", dataPath("victim"));
    plant(Planted::LinkToVictim, target.path() + "/victim.crc", metaPath("victim"));
    // The victim's own backup would copy it onto itself; back up another
    // store under the victim's name instead.
    const std::string otherRoot = rootPath + "/other";
    setStoreRoot(otherRoot);
    store = open("victim");
    ASSERT_TRUE(VORNTestPeer::set(store, "other", "store"));
    close(store);
    setStoreRoot(rootPath);
    m_log.clear();
    EXPECT_TRUE(VORN::backupOneToDirectory("victim", target.path(), &otherRoot)) << m_log.dump();
    EXPECT_EQ(fileType(target.path() + "/victim"), static_cast<unsigned>(S_IFREG));
    EXPECT_EQ(fileType(target.path() + "/victim.crc"), static_cast<unsigned>(S_IFREG));
    EXPECT_EQ(readFile(target.path() + "/victim"), readFile(otherRoot + "/victim"));
    ExpectVictimUntouched();
}

} // namespace
