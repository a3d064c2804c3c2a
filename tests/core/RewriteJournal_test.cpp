// A rewrite of the stream (compaction, growth) goes through a journal beside
// the data file: these tests stop it at each step with failing reads and
// writes of the journal, and put journals from other moments next to sound
// stores, then check what the store holds and what is left on disk.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"
#include "platform/SystemCalls.h"

using namespace vorn_test;

namespace {

constexpr const char *kJournalSuffix = ":rewrite";
constexpr off_t kJournalHeaderSize = 128;

enum class Fault {
    None,
    StreamWrite,  // the first write of the new stream into the journal fails
    HeaderWrite,  // the journal's closing header cannot be written
    EveryWrite,   // no write into the journal succeeds
    Fsync,        // the journal cannot be flushed to the disk
    CopyHalfway,  // half the new stream reaches the data file, then reads fail
    FailingReads, // (set by CopyHalfway once it has let half through)
};

Fault g_fault = Fault::None;
// What a failing journal write reports: EIO, a failing disk (the rewrite is
// abandoned), or ENOSPC, a full one (the rewrite goes through memory).
int g_writeError = EIO;
int g_journalFd = -1;

bool isJournal(const char *path) {
    const size_t length = strlen(path), suffix = strlen(kJournalSuffix);
    return length > suffix && strcmp(path + length - suffix, kJournalSuffix) == 0;
}

int trackingOpen(const char *path, int flags, mode_t mode) {
    const int fd = vorn::realSystemCalls().open(path, flags, mode);
    if (isJournal(path)) {
        g_journalFd = fd;
    }
    return fd;
}

int trackingClose(int fd) {
    if (fd == g_journalFd) {
        g_journalFd = -1; // the number may be reused for another file
    }
    return vorn::realSystemCalls().close(fd);
}

ssize_t faultyPwrite(int fd, const void *buffer, size_t count, off_t offset) {
    if (fd == g_journalFd &&
        (g_fault == Fault::EveryWrite ||
         (offset == 0 && ((g_fault == Fault::StreamWrite && count > static_cast<size_t>(kJournalHeaderSize)) ||
                          (g_fault == Fault::HeaderWrite && count == static_cast<size_t>(kJournalHeaderSize)))))) {
        errno = g_writeError;
        return -1;
    }
    return vorn::realSystemCalls().pwrite(fd, buffer, count, offset);
}

// What reached the journal, in order: 'W' a write of the new stream, 'H' the
// closing header, 'S' an fsync.
std::string g_journalEvents;

int faultyFsync(int fd) {
    if (fd == g_journalFd) {
        g_journalEvents += 'S';
        if (g_fault == Fault::Fsync) {
            errno = EIO;
            return -1;
        }
    }
    return vorn::realSystemCalls().fsync(fd);
}

ssize_t recordingPwrite(int fd, const void *buffer, size_t count, off_t offset) {
    if (fd == g_journalFd) {
        g_journalEvents += (offset == 0 && count == static_cast<size_t>(kJournalHeaderSize)) ? 'H' : 'W';
    }
    return vorn::realSystemCalls().pwrite(fd, buffer, count, offset);
}

ssize_t faultyPread(int fd, void *buffer, size_t count, off_t offset) {
    if (fd == g_journalFd && g_fault == Fault::CopyHalfway && offset == kJournalHeaderSize) {
        g_fault = Fault::FailingReads;
        return vorn::realSystemCalls().pread(fd, buffer, count / 2, offset);
    }
    if (fd == g_journalFd && g_fault == Fault::FailingReads) {
        errno = EIO;
        return -1;
    }
    return vorn::realSystemCalls().pread(fd, buffer, count, offset);
}

std::string valueFor(int i, int round) {
    return "value " + std::to_string(i) + " round " + std::to_string(round) + std::string(150, 'v');
}

class RewriteJournal : public StoreTest {
protected:
    // 30 keys, then 10 of them written again: a compaction moves records.
    void Fill(VORN *store) {
        for (int i = 0; i < 30; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), valueFor(i, 0)));
        }
        for (int i = 0; i < 30; i += 3) {
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), valueFor(i, 1)));
        }
    }
    void ExpectFilled(VORN *store, size_t otherKeys = 0) {
        ASSERT_EQ(VORNTestPeer::keyCount(store), 30u + otherKeys);
        for (int i = 0; i < 30; i++) {
            EXPECT_EQ(VORNTestPeer::get(store, "key-" + std::to_string(i)), valueFor(i, i % 3 == 0 ? 1 : 0)) << i;
        }
    }
    std::string journalPath(const std::string &id) const { return dataPath(id) + kJournalSuffix; }
    // A filled store whose compaction stopped halfway through its copy from
    // the journal: the journal is complete and waits for the next load.
    VORN *OpenWithInterruptedRewrite(const std::string &id) {
        VORN *store = open(id);
        Fill(store);
        vorn::ScopedSystemCallsOverride calls;
        calls->open = trackingOpen;
        calls->pread = faultyPread;
        g_fault = Fault::CopyHalfway;
        EXPECT_FALSE(VORNTestPeer::fullWriteback(store));
        g_fault = Fault::None;
        return store;
    }
};

TEST_F(RewriteJournal, InterruptedRewriteLeavesOneWholeStream) {
    struct Case {
        const char *name;
        Fault fault;
        bool encrypted;
        // The data file was partly overwritten and the journal finishes the
        // rewrite at the next load; otherwise the data file was never touched.
        bool dataTouched;
        const char *failure;
    } cases[] = {
        {"stream write fails, plain", Fault::StreamWrite, false, false, "rewrite abandoned"},
        {"stream write fails, AES", Fault::StreamWrite, true, false, "rewrite abandoned"},
        {"header write fails, plain", Fault::HeaderWrite, false, false, "rewrite abandoned"},
        {"header write fails, AES", Fault::HeaderWrite, true, false, "rewrite abandoned"},
        {"journal cannot be flushed to the disk, plain", Fault::Fsync, false, false, "rewrite abandoned"},
        {"journal cannot be flushed to the disk, AES", Fault::Fsync, true, false, "rewrite abandoned"},
        {"copy stops halfway, plain", Fault::CopyHalfway, false, true, "rewrite interrupted"},
        {"copy stops halfway, AES", Fault::CopyHalfway, true, true, "rewrite interrupted"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "journal-" + std::to_string(n++);
        const StoreOptions options = c.encrypted ? encrypted("journal-key-16by") : StoreOptions{};
        VORN *store = open(id, options);
        Fill(store);
        const std::string dataBefore = readFile(dataPath(id));
        const vorn::VORNMetaInfo metaBefore = VORNTestPeer::metaInfo(store);
        m_log.clear();
        {
            vorn::ScopedSystemCallsOverride calls;
            calls->open = trackingOpen;
            calls->pwrite = faultyPwrite;
            calls->pread = faultyPread;
            calls->fsync = faultyFsync;
            g_fault = c.fault;
            g_journalFd = -1;
            EXPECT_FALSE(VORNTestPeer::fullWriteback(store));
            g_fault = Fault::None;
        }
        EXPECT_EQ(m_log.countPrefix("[" + id + "] " + c.failure), 1u) << m_log.dump();
        const vorn::VORNMetaInfo metaAfter = metaFromBytes(readFile(metaPath(id)));
        if (c.dataTouched) {
            EXPECT_NE(readFile(dataPath(id)), dataBefore);
            // Other processes are told to reload before anything is overwritten.
            EXPECT_EQ(metaAfter.m_sequence, metaBefore.m_sequence + 1);
            EXPECT_TRUE(std::filesystem::exists(journalPath(id)));
        } else {
            EXPECT_EQ(readFile(dataPath(id)), dataBefore);
            EXPECT_EQ(metaAfter.m_sequence, metaBefore.m_sequence);
            EXPECT_FALSE(std::filesystem::exists(journalPath(id)));
        }

        // The same instance reads everything again, and so does a new one.
        m_log.clear();
        ExpectFilled(store);
        EXPECT_EQ(m_log.countPrefix("[" + id + "] finished an interrupted rewrite"), c.dataTouched ? 1u : 0u)
            << m_log.dump();
        EXPECT_FALSE(std::filesystem::exists(journalPath(id)));
        store = reopen(store, id, options);
        ExpectFilled(store);
        // And the store compacts and takes writes as usual.
        ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        ASSERT_TRUE(VORNTestPeer::set(store, "after", "works"));
        store = reopen(store, id, options);
        ExpectFilled(store, 1);
        EXPECT_EQ(VORNTestPeer::get(store, "after"), std::optional<std::string>("works"));
        EXPECT_EQ(m_log.countPrefix("recover strategic"), 0u) << m_log.dump();
    }
}

// Power loss: the new stream is on the disk before the header that makes the
// journal complete, and the header before the data file is overwritten (the
// copy into place reads the journal back only after the second fsync).
TEST_F(RewriteJournal, TheJournalReachesTheDiskBeforeTheDataFileIsOverwritten) {
    for (const bool aes : {false, true}) {
        SCOPED_TRACE(aes ? "AES" : "plain");
        const std::string id = aes ? "journal-order-aes" : "journal-order";
        const StoreOptions options = aes ? encrypted("journal-key-16by") : StoreOptions{};
        VORN *store = open(id, options);
        Fill(store);
        {
            vorn::ScopedSystemCallsOverride calls;
            calls->open = trackingOpen;
            calls->close = trackingClose;
            calls->pwrite = recordingPwrite;
            calls->fsync = faultyFsync;
            g_journalFd = -1;
            g_journalEvents.clear();
            ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        }
        ASSERT_FALSE(g_journalEvents.empty());
        const size_t header = g_journalEvents.find('H');
        ASSERT_NE(header, std::string::npos) << g_journalEvents;
        EXPECT_EQ(g_journalEvents.substr(header - 1), "SHS") << g_journalEvents;
        EXPECT_EQ(g_journalEvents.substr(0, header - 1).find_first_not_of('W'), std::string::npos)
            << g_journalEvents;
        ExpectFilled(store);
        close(store);
    }
}

int refusingJournalOpen(const char *path, int flags, mode_t mode) {
    if (isJournal(path)) {
        errno = EACCES;
        return -1;
    }
    return vorn::realSystemCalls().open(path, flags, mode);
}

// A full disk: the journal's writes fail with ENOSPC, but a compaction needs
// no new room (it stays inside the data file), so it goes through memory and
// writes keep working whenever the data file has room, growth included.
TEST_F(RewriteJournal, AFullDiskRewritesThroughMemory) {
    struct Case {
        const char *name;
        Fault fault;
        bool encrypted;
    } cases[] = {
        {"every journal write fails, plain", Fault::EveryWrite, false},
        {"every journal write fails, AES", Fault::EveryWrite, true},
        {"only the header write fails, plain", Fault::HeaderWrite, false},
        {"only the header write fails, AES", Fault::HeaderWrite, true},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "full-disk-" + std::to_string(n++);
        const StoreOptions options = c.encrypted ? encrypted("journal-key-16by") : StoreOptions{};
        VORN *store = open(id, options);
        const vorn::VORNMetaInfo metaBefore = VORNTestPeer::metaInfo(store);
        std::string big;
        m_log.clear();
        {
            vorn::ScopedSystemCallsOverride calls;
            calls->open = trackingOpen;
            calls->close = trackingClose;
            calls->pwrite = faultyPwrite;
            g_fault = c.fault;
            g_writeError = ENOSPC;
            g_journalFd = -1;
            Fill(store); // the first record of an empty store is written by a rewrite
            ExpectFilled(store);
            // A compaction asked for, and one forced by a record that does
            // not fit once as many bytes are dead as live (every value is
            // written twice more).
            ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
            Fill(store);
            Fill(store);
            big = std::string(VORNTestPeer::spaceLeft(store) + 1, 'b');
            ASSERT_TRUE(VORNTestPeer::set(store, "big", big));
            g_fault = Fault::None;
            g_writeError = EIO;
        }
        const size_t fallbacks = m_log.countPrefix("[" + id + "] no room for the rewrite journal");
        EXPECT_GE(fallbacks, 3u) << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("[" + id + "] rewrite abandoned"), 0u) << m_log.dump();
        EXPECT_FALSE(std::filesystem::exists(journalPath(id)));
        EXPECT_GT(VORNTestPeer::metaInfo(store).m_sequence, metaBefore.m_sequence + 2);
        ExpectFilled(store, 1);
        EXPECT_EQ(VORNTestPeer::get(store, "big"), std::optional<std::string>(big));

        // The files hold it all: a new instance loads it without complaint.
        store = reopen(store, id, options);
        ExpectFilled(store, 1);
        EXPECT_EQ(VORNTestPeer::get(store, "big"), std::optional<std::string>(big));
        EXPECT_EQ(m_log.countPrefix("check crc"), 0u) << m_log.dump();
        // Room again: the next rewrite goes through the journal as before.
        m_log.clear();
        ASSERT_TRUE(VORNTestPeer::set(store, "after", "works"));
        ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        EXPECT_EQ(m_log.countPrefix("[" + id + "] no room for the rewrite journal"), 0u);
        store = reopen(store, id, options);
        ExpectFilled(store, 2);
        EXPECT_EQ(VORNTestPeer::get(store, "after"), std::optional<std::string>("works"));
    }
}

// Where no journal can be created (a directory the process may not write),
// compaction and growth still work, through memory, and say so.
TEST_F(RewriteJournal, WithoutAJournalTheRewriteGoesThroughMemory) {
    for (bool aes : {false, true}) {
        SCOPED_TRACE(aes ? "AES" : "plain");
        const std::string id = aes ? "no-journal-aes" : "no-journal";
        const StoreOptions options = aes ? encrypted("journal-key-16by") : StoreOptions{};
        VORN *store = open(id, options);
        m_log.clear();
        {
            vorn::ScopedSystemCallsOverride calls;
            calls->open = refusingJournalOpen;
            Fill(store); // grows the file several times
            ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        }
        EXPECT_GE(m_log.countPrefix("no rewrite journal [" + journalPath(id) + "]"), 2u) << m_log.dump();
        EXPECT_EQ(m_log.countPrefix("fail to create [" + journalPath(id) + "]"),
                  m_log.countPrefix("no rewrite journal ["));
        ExpectFilled(store);
        store = reopen(store, id, options);
        ExpectFilled(store);
        EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
    }
}

// Journals that must not be replayed: one that was never completed, and one
// whose rewrite finished before more was appended (the meta record checks
// out against the stream, so the stream is newer than the journal).
TEST_F(RewriteJournal, LeftoverJournalNextToASoundStoreIsDropped) {
    // A complete journal of an interrupted rewrite, kept aside.
    VORN *store = OpenWithInterruptedRewrite("source");
    const std::string completeJournal = readFile(journalPath("source"));
    ASSERT_GT(completeJournal.size(), static_cast<size_t>(kJournalHeaderSize));
    ExpectFilled(store); // finishes the rewrite
    ASSERT_TRUE(VORNTestPeer::set(store, "key-1", "newer than the journal"));
    store->sync();
    close(store);

    struct Case {
        const char *name;
        std::string journal;
    } cases[] = {
        {"garbage", std::string(300, 'g')},
        {"header only", completeJournal.substr(0, kJournalHeaderSize)},
        {"cut short", completeJournal.substr(0, completeJournal.size() - 1)},
        {"finished rewrite", completeJournal},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(journalPath("source"), c.journal);
        m_log.clear();
        store = open("source");
        EXPECT_EQ(VORNTestPeer::get(store, "key-1"), std::optional<std::string>("newer than the journal"));
        EXPECT_EQ(VORNTestPeer::keyCount(store), 30u);
        EXPECT_FALSE(std::filesystem::exists(journalPath("source")));
        EXPECT_EQ(m_log.countPrefix("[source] finished an interrupted rewrite"), 0u);
        EXPECT_EQ(m_log.countPrefix("check crc"), 0u);
        close(store);
    }
}

// A backup taken while a dead process's journal waits carries the journal, so
// the restored store finishes that rewrite; a restore over a store drops a
// journal the backup does not have.
TEST_F(RewriteJournal, JournalTravelsWithBackupAndRestore) {
    const std::string backupDir = root() + "/backup";
    VORN *store = OpenWithInterruptedRewrite("travel");
    // As if the process had died here: the files stay as they are.
    const std::string data = readFile(dataPath("travel"));
    const std::string meta = readFile(metaPath("travel"));
    const std::string journal = readFile(journalPath("travel"));
    close(store);
    writeFile(dataPath("travel"), data);
    writeFile(metaPath("travel"), meta);
    writeFile(journalPath("travel"), journal);

    ASSERT_TRUE(VORN::backupOneToDirectory("travel", backupDir, &storeRoot()));
    EXPECT_EQ(readFile(backupDir + "/travel" + kJournalSuffix), journal);

    // Restored over a healthy store of the same name in another root.
    const std::string otherRoot = root() + "/other";
    std::filesystem::create_directory(otherRoot);
    setStoreRoot(otherRoot);
    store = open("travel");
    ASSERT_TRUE(VORNTestPeer::set(store, "old", "contents"));
    close(store);
    ASSERT_TRUE(VORN::restoreOneFromDirectory("travel", backupDir, &otherRoot));
    store = open("travel");
    ExpectFilled(store);
    EXPECT_FALSE(std::filesystem::exists(otherRoot + "/travel" + kJournalSuffix));
    close(store);

    // A backup without a journal, restored over a store that has one.
    std::filesystem::remove(backupDir + "/travel" + kJournalSuffix);
    writeFile(backupDir + "/travel", readFile(otherRoot + "/travel"));
    writeFile(backupDir + "/travel.crc", readFile(otherRoot + "/travel.crc"));
    writeFile(otherRoot + "/travel" + kJournalSuffix, journal);
    ASSERT_TRUE(VORN::restoreOneFromDirectory("travel", backupDir, &otherRoot));
    EXPECT_FALSE(std::filesystem::exists(otherRoot + "/travel" + kJournalSuffix));
    store = open("travel");
    ExpectFilled(store);
}

} // namespace
