#include "platform/MemoryFile.h"

#include "PlatformTestSupport.h"
#include "platform/InterProcessLock.h"
#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vorn {
namespace {

using testing_support::diskSize;
using testing_support::errorText;
using testing_support::fileType;
using testing_support::LogCapture;
using testing_support::plant;
using testing_support::Planted;
using testing_support::plantedType;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::Watchdog;
using testing_support::writeFile;

// Bytes that are never all zero, so zero filling over them would show.
std::string pattern(size_t length, char seed) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i++) {
        bytes[i] = static_cast<char>(1 + (static_cast<size_t>(seed) + i * 7) % 250);
    }
    return bytes;
}

std::string mapped(const MemoryFile &file) {
    if (!file.getMemory()) {
        return "";
    }
    return std::string(static_cast<const char *>(file.getMemory()), file.getFileSize());
}

struct LineExpectation {
    VORNLogLevel level;
    std::string function;
    std::string message;
};

void expectProblems(const LogCapture &log, const std::vector<LineExpectation> &expected) {
    auto problems = log.problems();
    ASSERT_EQ(problems.size(), expected.size());
    for (size_t i = 0; i < expected.size(); i++) {
        SCOPED_TRACE("line " + std::to_string(i));
        EXPECT_EQ(problems[i].level, expected[i].level);
        EXPECT_EQ(problems[i].source, "MemoryFile");
        EXPECT_EQ(problems[i].function, expected[i].function);
        EXPECT_EQ(problems[i].message, expected[i].message);
    }
}

class MemoryFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_unit = initializeDefaultMmapSize();
        ASSERT_GT(m_unit, 0u);
        m_path = m_dir.file("data");
    }

    TempDir m_dir;
    std::string m_path;
    size_t m_unit = 0;
    LogCapture m_log;
    ScopedSystemCallsOverride m_calls;
};

TEST_F(MemoryFileTest, OpeningGrowsToWholeUnitsWithZerosAndNeverShrinks) {
    struct Case {
        const char *name;
        bool exists;
        size_t initialUnits, initialExtra; // initial length in units + bytes
        size_t capacityUnits, capacityExtra;
        size_t expectedUnits;
    } cases[] = {
        {"missing file, capacity 0", false, 0, 0, 0, 0, 1},
        {"empty file, capacity 0", true, 0, 0, 0, 0, 1},
        {"shorter than a unit", true, 0, 100, 0, 0, 1},
        {"length not a whole number of units", true, 1, 10, 0, 0, 2},
        {"whole units and long enough: unchanged", true, 2, 0, 0, 0, 2},
        {"one unit, capacity three units", true, 1, 0, 3, 0, 3},
        {"capacity one byte over two units", false, 0, 0, 2, 1, 3},
        {"longer than the capacity: kept", true, 3, 0, 1, 0, 3},
    };
    for (bool mayfly : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (mayfly ? " (mayfly)" : ""));
            ::unlink(m_path.c_str());
            std::string initial = pattern(c.initialUnits * m_unit + c.initialExtra, 'a');
            if (c.exists) {
                writeFile(m_path, initial);
            }
            const size_t expected = c.expectedUnits * m_unit;
            {
                MemoryFile file(m_path, c.capacityUnits * m_unit + c.capacityExtra, false, mayfly);
                ASSERT_TRUE(file.isFileValid());
                EXPECT_EQ(file.getFileSize(), expected);
                EXPECT_EQ(diskSize(m_path), static_cast<long long>(expected));
                EXPECT_EQ(file.hasOpenDescriptor(), !mayfly);
                EXPECT_EQ(mapped(file), initial + std::string(expected - initial.size(), '\0'));

                // The mapping is shared: a store into it reaches the file.
                static_cast<char *>(file.getMemory())[expected - 1] = 'Z';
                EXPECT_TRUE(file.msync(SyncFlag::Sync));
            }
            EXPECT_EQ(readFile(m_path).back(), 'Z');
        }
    }
    EXPECT_TRUE(m_log.problems().empty()) << m_log.problems()[0].message;
}

TEST_F(MemoryFileTest, TruncateSetsWholeUnitsKeepsThePrefixAndZeroesTheRest) {
    struct Case {
        const char *name;
        size_t requestUnits, requestExtra;
        size_t expectedUnits;
    } cases[] = {
        {"one byte gives one unit", 0, 1, 1}, {"zero gives one unit", 0, 0, 1},
        {"shrink to one unit", 1, 0, 1},      {"grow to a non-multiple rounds up", 3, 5, 4},
        {"grow to whole units", 3, 0, 3},
    };
    for (bool mayfly : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (mayfly ? " (mayfly)" : ""));
            const std::string initial = pattern(2 * m_unit, 'b');
            writeFile(m_path, initial);
            MemoryFile file(m_path, 0, false, mayfly);
            ASSERT_EQ(file.getFileSize(), 2 * m_unit);

            ASSERT_TRUE(file.truncate(c.requestUnits * m_unit + c.requestExtra));
            const size_t expected = c.expectedUnits * m_unit;
            EXPECT_TRUE(file.isFileValid());
            EXPECT_EQ(file.getFileSize(), expected);
            EXPECT_EQ(diskSize(m_path), static_cast<long long>(expected));
            EXPECT_EQ(file.hasOpenDescriptor(), !mayfly);
            std::string want = initial.substr(0, std::min(expected, initial.size()));
            want.resize(expected, '\0');
            EXPECT_EQ(mapped(file), want);
        }
    }
}

TEST_F(MemoryFileTest, TruncateToTheCurrentSizeDoesNothing) {
    MemoryFile file(m_path, 2 * m_unit);
    void *before = file.getMemory();
    m_log.clear();
    EXPECT_TRUE(file.truncate(2 * m_unit));
    EXPECT_EQ(file.getMemory(), before);
    EXPECT_TRUE(m_log.lines.empty()); // no remap
}

TEST_F(MemoryFileTest, ReadOnlyFileIsMappedAtItsLengthAndRefusesChanges) {
    writeFile(m_path, "ten bytes!");
    MemoryFile file(m_path, 0, true, false);
    ASSERT_TRUE(file.isFileValid());
    EXPECT_TRUE(file.isReadOnly());
    EXPECT_EQ(mapped(file), "ten bytes!");
    EXPECT_TRUE(file.truncate(10)); // same size
    EXPECT_FALSE(file.truncate(m_unit));
    EXPECT_TRUE(file.msync(SyncFlag::Sync));
    EXPECT_EQ(file.getFileSize(), 10u);
    EXPECT_EQ(diskSize(m_path), 10);
}

TEST_F(MemoryFileTest, FileThatCannotBeOpenedIsInvalidAndSaysWhy) {
    const std::string missing = m_dir.file("no-such-dir/data");
    MemoryFile file(missing);
    EXPECT_FALSE(file.isFileValid());
    EXPECT_EQ(file.getMemory(), nullptr);
    EXPECT_EQ(file.getFileSize(), 0u);
    EXPECT_FALSE(file.msync(SyncFlag::Async));
    EXPECT_FALSE(file.truncate(m_unit));
    // Once from the File's own open, once from reloadFromFile's retry.
    const LineExpectation failedOpen{VORNLogError, "open",
                                     "fail to open [" + missing + "], flag 0x7, " + std::to_string(ENOENT) + "(" +
                                         errorText(ENOENT) + ")"};
    expectProblems(m_log, {failedOpen, failedOpen});
}

// Fails every call of one kind with `g_failError`.
int g_failError = ENOSPC;
ssize_t failingWrite(int, const void *, size_t) {
    errno = g_failError;
    return -1;
}
int failingFtruncate(int, off_t) {
    errno = g_failError;
    return -1;
}
int failingReserve(int, off_t, off_t) {
    return g_failError;
}
int unsupportedReserve(int, off_t, off_t) {
    return EOPNOTSUPP;
}

TEST_F(MemoryFileTest, FailedGrowthKeepsTheOldLengthAndMapping) {
    struct Case {
        const char *name;
        std::function<void(SystemCalls *)> inject;
        int error;
        std::function<std::vector<LineExpectation>(const std::string &path, int fd, size_t unit)> lines;
    } cases[] = {
        {"no room to reserve: cut back", [](SystemCalls *calls) { calls->reserve = failingReserve; }, ENOSPC,
         [](const std::string &path, int fd, size_t unit) {
             return std::vector<LineExpectation>{
                 {VORNLogError, "reserveFileRange",
                  "fail to reserve fd[" + std::to_string(fd) + "], error:" + errorText(ENOSPC)},
                 {VORNLogError, "truncate",
                  "fail to zeroFile [" + path + "] to size " + std::to_string(3 * unit) + ", " + errorText(ENOSPC)},
                 {VORNLogError, "truncate", "success to truncate [" + path + "] back to size " + std::to_string(unit)},
                 {VORNLogError, "truncate", "after truncate, file size = " + std::to_string(unit)},
             };
         }},
        {"no reservation on this file system, zero fill fails: cut back",
         [](SystemCalls *calls) {
             calls->reserve = unsupportedReserve;
             calls->write = failingWrite;
         },
         ENOSPC,
         [](const std::string &path, int fd, size_t unit) {
             return std::vector<LineExpectation>{
                 {VORNLogError, "zeroFillFile",
                  "fail to write fd[" + std::to_string(fd) + "], error:" + errorText(ENOSPC)},
                 {VORNLogError, "truncate",
                  "fail to zeroFile [" + path + "] to size " + std::to_string(3 * unit) + ", " + errorText(ENOSPC)},
                 {VORNLogError, "truncate", "success to truncate [" + path + "] back to size " + std::to_string(unit)},
                 {VORNLogError, "truncate", "after truncate, file size = " + std::to_string(unit)},
             };
         }},
        {"length cannot be set", [](SystemCalls *calls) { calls->ftruncate = failingFtruncate; }, EFBIG,
         [](const std::string &path, int, size_t unit) {
             return std::vector<LineExpectation>{
                 {VORNLogError, "truncate",
                  "fail to truncate [" + path + "] to size " + std::to_string(3 * unit) + ", " + errorText(EFBIG)},
             };
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(m_path.c_str());
        MemoryFile file(m_path);
        ASSERT_TRUE(file.isFileValid());
        memcpy(file.getMemory(), "keep", 4);
        void *before = file.getMemory();

        g_failError = c.error;
        c.inject(m_calls.operator->());
        m_log.clear();
        EXPECT_FALSE(file.truncate(3 * m_unit));
        m_calls->write = realSystemCalls().write;
        m_calls->ftruncate = realSystemCalls().ftruncate;
        m_calls->reserve = realSystemCalls().reserve;

        expectProblems(m_log, c.lines(m_path, file.getFd(), m_unit));
        EXPECT_TRUE(file.isFileValid());
        EXPECT_EQ(file.getMemory(), before);
        EXPECT_EQ(file.getFileSize(), m_unit);
        EXPECT_EQ(diskSize(m_path), static_cast<long long>(m_unit));
        EXPECT_EQ(std::string(static_cast<char *>(file.getMemory()), 4), "keep");
        EXPECT_TRUE(file.msync(SyncFlag::Sync));
    }
}

TEST_F(MemoryFileTest, RemapsAfterAnotherDescriptorGrewTheFile) {
    for (bool mayfly : {false, true}) {
        SCOPED_TRACE(mayfly ? "mayfly" : "kept descriptor");
        ::unlink(m_path.c_str());
        MemoryFile mine(m_path, 0, false, mayfly);
        ASSERT_EQ(mine.getFileSize(), m_unit);
        memcpy(mine.getMemory(), "mine", 4);

        MemoryFile other(m_path, 3 * m_unit, false, true);
        ASSERT_EQ(other.getFileSize(), 3 * m_unit);
        memcpy(static_cast<char *>(other.getMemory()) + 2 * m_unit + 1, "other", 5);
        // The part the other descriptor zero-filled did not touch our bytes.
        EXPECT_EQ(std::string(static_cast<char *>(other.getMemory()), 4), "mine");

        EXPECT_EQ(mine.getActualFileSize(), 3 * m_unit);
        EXPECT_EQ(mine.getFileSize(), m_unit);
        mine.reloadFromFile(0);
        ASSERT_TRUE(mine.isFileValid());
        EXPECT_EQ(mine.getFileSize(), 3 * m_unit);
        std::string expected = "mine" + std::string(2 * m_unit - 3, '\0') + "other";
        expected.resize(3 * m_unit, '\0');
        EXPECT_EQ(mapped(mine), expected);
        EXPECT_EQ(mine.hasOpenDescriptor(), !mayfly);
        // Reloading a valid file is worth a warning, nothing worse.
        expectProblems(m_log, {{VORNLogWarning, "reloadFromFile",
                                "calling reloadFromFile while the cache [" + m_path + "] is still valid"}});
        m_log.clear();
    }
}

// Simulates a second process that opens the same new file while this one
// waits for its exclusive lock: the in-place upgrade is made to fail as if
// the peer held the file, and the peer runs right before this process's
// blocking exclusive flock.
struct GrowthRace {
    int stage = 0;
    std::function<void()> peer;
} g_race;

int racingFlock(int fd, int operation) {
    if (g_race.stage == 0 && operation == (LOCK_EX | LOCK_NB)) {
        g_race.stage = 1;
        errno = EWOULDBLOCK;
        return -1;
    }
    if (g_race.stage == 1 && operation == LOCK_EX) {
        g_race.stage = 2; // the peer's own flocks pass straight through
        g_race.peer();
        g_race.stage = 3;
    }
    return realSystemCalls().flock(fd, operation);
}

TEST_F(MemoryFileTest, GrowthRacingAnotherOpenerNeitherShrinksNorZeroesItsData) {
    struct Case {
        const char *name;
        size_t myCapacityUnits;
        size_t peerCapacityUnits;
        size_t expectedUnits;
    } cases[] = {
        {"peer grew further than needed", 1, 3, 3},
        {"peer grew to exactly what is needed", 1, 1, 1},
        {"peer grew less than needed", 3, 1, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(m_path.c_str());
        std::unique_ptr<MemoryFile> peer;
        const size_t peerSize = c.peerCapacityUnits * m_unit;
        g_race = GrowthRace();
        g_race.peer = [&]() {
            peer = std::make_unique<MemoryFile>(m_path, peerSize, false, true);
            ASSERT_EQ(peer->getFileSize(), peerSize);
            char *bytes = static_cast<char *>(peer->getMemory());
            memcpy(bytes, "head", 4);
            memcpy(bytes + peerSize - 4, "tail", 4);
        };
        m_calls->flock = racingFlock;
        MemoryFile mine(m_path, c.myCapacityUnits * m_unit, false, true);
        m_calls->flock = realSystemCalls().flock;
        ASSERT_EQ(g_race.stage, 3) << "the race was not staged";

        ASSERT_TRUE(mine.isFileValid());
        const size_t expected = c.expectedUnits * m_unit;
        EXPECT_EQ(mine.getFileSize(), expected);
        EXPECT_EQ(diskSize(m_path), static_cast<long long>(expected));
        std::string want(expected, '\0');
        memcpy(&want[0], "head", 4);
        memcpy(&want[peerSize - 4], "tail", 4);
        EXPECT_EQ(mapped(mine), want);
    }
}

// A growth allocates the new blocks at once (a full disk fails the growth,
// never a later store into the mapping), and the new part reads as zeros.
TEST_F(MemoryFileTest, GrowthReservesTheNewBlocks) {
    MemoryFile file(m_path);
    ASSERT_TRUE(file.isFileValid());
    memcpy(file.getMemory(), "keep", 4);
    ASSERT_TRUE(file.truncate(8 * m_unit));
    struct stat info {};
    ASSERT_EQ(::stat(m_path.c_str(), &info), 0);
    EXPECT_GE(static_cast<size_t>(info.st_blocks) * 512, 8 * m_unit);
    const auto bytes = static_cast<const uint8_t *>(file.getMemory());
    EXPECT_EQ(memcmp(bytes, "keep", 4), 0);
    EXPECT_EQ(std::count(bytes + m_unit, bytes + 8 * m_unit, 0), static_cast<long>(7 * m_unit));
}

int g_munmaps = 0;
int countingMunmap(void *address, size_t length) {
    g_munmaps++;
    return realSystemCalls().munmap(address, length);
}

// A growth moves the mapping (its resident pages stay) instead of unmapping
// the file and mapping it again, as long as the descriptor is still the
// mapped file; a file replaced at the path is mapped anew.
TEST_F(MemoryFileTest, GrowthMovesTheMappingUnlessTheFileWasReplaced) {
    for (bool mayfly : {false, true}) {
        SCOPED_TRACE(mayfly ? "mayfly" : "kept descriptor");
        ::unlink(m_path.c_str());
        MemoryFile file(m_path, 0, false, mayfly);
        ASSERT_TRUE(file.isFileValid());
        memcpy(file.getMemory(), "kept", 4);
        m_calls->munmap = countingMunmap;
        g_munmaps = 0;
        ASSERT_TRUE(file.truncate(64 * m_unit));
#ifdef __linux__
        EXPECT_EQ(g_munmaps, 0) << "the mapping was torn down";
#endif
        ASSERT_EQ(file.getFileSize(), 64 * m_unit);
        auto bytes = static_cast<uint8_t *>(file.getMemory());
        EXPECT_EQ(memcmp(bytes, "kept", 4), 0);
        bytes[64 * m_unit - 1] = 7; // the whole new length is mapped
        EXPECT_EQ(file.hasOpenDescriptor(), !mayfly);

        // Another file takes the path: the growth maps what the path names.
        const std::string other = m_path + ".other";
        writeFile(other, std::string("new!") + std::string(m_unit - 4, '\0'));
        ASSERT_EQ(::rename(other.c_str(), m_path.c_str()), 0);
        g_munmaps = 0;
        ASSERT_TRUE(file.truncate(128 * m_unit));
        if (mayfly) {
            // Opened again by path: the new file, mapped anew.
            EXPECT_EQ(g_munmaps, 1);
            EXPECT_EQ(memcmp(file.getMemory(), "new!", 4), 0) << "still the replaced file's pages";
        } else {
            // The kept descriptor is still the mapped file.
            EXPECT_EQ(memcmp(file.getMemory(), "kept", 4), 0);
        }
        m_calls->munmap = realSystemCalls().munmap;
    }
}

TEST_F(MemoryFileTest, WorksBeforeTheUnitIsInitialised) {
    forgetMmapUnitSize();
    {
        MemoryFile file(m_path, 1);
        EXPECT_TRUE(file.isFileValid());
        EXPECT_EQ(file.getFileSize(), getPageSize());
        EXPECT_TRUE(file.truncate(getPageSize() + 1));
        EXPECT_EQ(file.getFileSize(), 2 * getPageSize());
    }
    EXPECT_EQ(recordedMmapUnitSize(), 0u);
    EXPECT_EQ(mmapUnitSize(), getPageSize());
    EXPECT_EQ(initializeDefaultMmapSize(), getPageSize());
    EXPECT_EQ(recordedMmapUnitSize(), getPageSize());
}

void *failingMmap(void *, size_t, int, int, int, off_t) {
    errno = ENOMEM;
    return MAP_FAILED;
}

TEST_F(MemoryFileTest, FailedMappingLeavesAnUnmappedFileAndNoLock) {
    for (bool mayfly : {false, true}) {
        SCOPED_TRACE(mayfly ? "mayfly" : "kept descriptor");
        ::unlink(m_path.c_str());
        m_calls->mmap = failingMmap;
        MemoryFile file(m_path, 0, false, mayfly);
        m_calls->mmap = realSystemCalls().mmap;

        EXPECT_FALSE(file.isFileValid());
        EXPECT_EQ(file.getMemory(), nullptr);
        EXPECT_EQ(file.getFileSize(), 0u);
        EXPECT_FALSE(file.hasOpenDescriptor());
        expectProblems(
            m_log, {{VORNLogError, "mmapOrCleanup", "fail to mmap [" + m_path + "], mode 0x3, " + errorText(ENOMEM)}});
        m_log.clear();

        // No flock was left behind on the file.
        int fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);

        file.reloadFromFile(0);
        EXPECT_TRUE(file.isFileValid());
        EXPECT_EQ(file.getFileSize(), m_unit);
    }
}

// pread stand-in: records the descriptor, fails with g_probeError.
int g_probeError = 0;
int g_probeFd = -1;
ssize_t failingPread(int fd, void *, size_t, off_t) {
    g_probeFd = fd;
    errno = g_probeError;
    return -1;
}

TEST_F(MemoryFileTest, DiskProbeDeletesOnlyFilesWithFatalReadErrors) {
    struct Case {
        const char *name;
        bool emptyFile; // the file was cut to 0 bytes behind the mapping
        int readError;  // 0: the real read
        bool corrupted;
        bool report;
    } cases[] = {
        {"readable file", false, 0, false, false},
        {"empty file is healthy, whatever errno said before", true, 0, false, false},
        {"EIO", false, EIO, true, true},
        {"ENXIO", false, ENXIO, true, true},
        {"EINVAL", false, EINVAL, true, true},
        {"EILSEQ", false, EILSEQ, true, true},
        {"EAGAIN: report but keep", false, EAGAIN, false, true},
    };
    for (bool mayfly : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (mayfly ? " (mayfly)" : ""));
            ::unlink(m_path.c_str());
            MemoryFile file(m_path, 0, false, mayfly);
            ASSERT_TRUE(file.isFileValid());
            if (c.emptyFile) {
                ASSERT_EQ(::truncate(m_path.c_str(), 0), 0);
            }
            if (c.readError != 0) {
                g_probeError = c.readError;
                m_calls->pread = failingPread;
            }
            m_log.clear();
            bool report = false;
            errno = EIO; // stale value from some earlier call
            EXPECT_EQ(isDiskOfMMAPFileCorrupted(&file, report), c.corrupted);
            m_calls->pread = realSystemCalls().pread;
            EXPECT_EQ(report, c.report);

            std::vector<LineExpectation> lines;
            if (c.report) {
                lines.push_back({VORNLogError, "isDiskOfMMAPFileCorrupted",
                                 "fail to read [" + m_path + "] from fd [" + std::to_string(g_probeFd) +
                                     "], errno: " + std::to_string(c.readError) + " (" + errorText(c.readError) + ")"});
            }
            if (c.corrupted) {
                lines.push_back({VORNLogWarning, "isDiskOfMMAPFileCorrupted",
                                 "file fail to read, consider it illegal, delete now: [" + m_path + "]"});
            }
            expectProblems(m_log, lines);
            // A corrupted file keeps its descriptor for the caller; otherwise
            // a mayfly descriptor is closed again.
            EXPECT_EQ(file.hasOpenDescriptor(), !mayfly || c.corrupted);
        }
    }
}

TEST_F(MemoryFileTest, ZeroFillWritesEveryByteOfTheRangeDespiteShortWrites) {
    // Short writes of at most 1000 bytes: the range must still be complete.
    m_calls->write = [](int fd, const void *buffer, size_t count) -> ssize_t {
        return realSystemCalls().write(fd, buffer, std::min<size_t>(count, 1000));
    };
    writeFile(m_path, pattern(3 * 4096, 'c'));
    int fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(zeroFillFile(fd, 100, 2 * 4096 + 5));
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 100 + 2 * 4096 + 5);
    ::close(fd);
    std::string want = pattern(3 * 4096, 'c');
    memset(&want[100], 0, 2 * 4096 + 5);
    EXPECT_EQ(readFile(m_path), want);
    EXPECT_FALSE(zeroFillFile(-1, 0, 1));
}

TEST_F(MemoryFileTest, FileOpenFlagsMapToOpenModes) {
    struct Case {
        const char *name;
        bool exists;
        OpenFlag flag;
        int error; // 0: opens
        int accessMode;
        long long sizeAfter;
    } cases[] = {
        {"read-only, missing", false, OpenFlag::ReadOnly, ENOENT, 0, -1},
        {"read-only", true, OpenFlag::ReadOnly, 0, O_RDONLY, 3},
        {"no access bit means read-only", false, OpenFlag::Create, 0, O_RDONLY, 0},
        {"read-write create", false, OpenFlag::ReadWrite | OpenFlag::Create, 0, O_RDWR, 0},
        {"exclusive create of an existing file", true, OpenFlag::ReadWrite | OpenFlag::Create | OpenFlag::Exclusive,
         EEXIST, 0, 3},
        {"write-only truncate", true, OpenFlag::WriteOnly | OpenFlag::Create | OpenFlag::Truncate, 0, O_WRONLY, 0},
    };
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(m_path.c_str());
        if (c.exists) {
            writeFile(m_path, "abc");
        }
        m_log.clear();
        File file(m_path, c.flag);
        const std::string flagText = std::to_string(static_cast<uint32_t>(c.flag));
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%x", static_cast<uint32_t>(c.flag));
        ASSERT_EQ(m_log.lines.size(), 1u);
        if (c.error != 0) {
            EXPECT_FALSE(file.isFileValid());
            EXPECT_EQ(m_log.lines[0].message, "fail to open [" + m_path + "], flag " + hex + ", " +
                                                  std::to_string(c.error) + "(" + errorText(c.error) + ")");
        } else {
            ASSERT_TRUE(file.isFileValid());
            EXPECT_EQ(m_log.lines[0].message,
                      "open fd[" + std::to_string(file.getFd()) + "], flag " + hex + ", " + m_path);
            EXPECT_EQ(fcntl(file.getFd(), F_GETFL) & O_ACCMODE, c.accessMode);
            EXPECT_TRUE(fcntl(file.getFd(), F_GETFD) & FD_CLOEXEC);
            // Set only for the open itself (a FIFO must not block it).
            EXPECT_EQ(fcntl(file.getFd(), F_GETFL) & O_NONBLOCK, 0);
            EXPECT_EQ(static_cast<long long>(file.getActualFileSize()), c.sizeAfter);
            if (!c.exists) {
                struct stat info = {};
                ASSERT_EQ(::stat(m_path.c_str(), &info), 0);
                EXPECT_EQ(info.st_mode & 0777, 0700 & ~mask);
            }
            const int fd = file.getFd();
            m_log.clear();
            file.close();
            EXPECT_FALSE(file.isFileValid());
            EXPECT_EQ(m_log.messagesOf("close"),
                      std::vector<std::string>{"closing fd[" + std::to_string(fd) + "], " + m_path});
        }
        // Closed or never opened: the size comes from the path.
        EXPECT_EQ(static_cast<long long>(file.getActualFileSize()), std::max(0LL, c.sizeAfter));
    }
}

TEST_F(MemoryFileTest, FailedCloseStillGivesUpTheDescriptorNumber) {
    File file(m_path, OpenFlag::ReadWrite | OpenFlag::Create);
    ASSERT_TRUE(file.isFileValid());
    const int fd = file.getFd();
    m_calls->close = [](int) {
        errno = EIO;
        return -1;
    };
    m_log.clear();
    file.close();
    m_calls->close = realSystemCalls().close;
    EXPECT_EQ(file.getFd(), -1);
    expectProblems(m_log, {{VORNLogError, "close",
                            "fail to close [" + m_path + "], " + std::to_string(EIO) + "(" + errorText(EIO) + ")"}});
    ::close(fd); // the stand-in did not close it
}

// Whether the mapped file is still the one at its path, for a mayfly file
// (no descriptor kept) and one that keeps its descriptor, read-only or not.
TEST_F(MemoryFileTest, NoticesWhenThePathNoLongerNamesTheMappedFile) {
    enum class Change { None, Removed, RemovedAndMadeAgain, RenamedOver, LinkToItself, Unmapped };
    struct Case {
        const char *name;
        Change change;
        bool replaced;
    } cases[] = {
        {"untouched", Change::None, false},
        {"removed", Change::Removed, true},
        {"removed and made again", Change::RemovedAndMadeAgain, true},
        {"another file renamed over it", Change::RenamedOver, true},
        {"a link to the mapped file in its place", Change::LinkToItself, true},
        {"nothing mapped", Change::Unmapped, false},
    };
    for (const Case &c : cases) {
        for (bool mayfly : {false, true}) {
            for (bool readOnly : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + (mayfly ? ", mayfly" : "") + (readOnly ? ", read-only" : ""));
                const std::string path = m_dir.file("identity");
                const std::string aside = m_dir.file("identity-aside");
                writeFile(path, pattern(m_unit, 'i'));
                MemoryFile file(path, 0, readOnly, mayfly);
                ASSERT_TRUE(file.isFileValid());
                switch (c.change) {
                case Change::Removed:
                    ASSERT_EQ(::unlink(path.c_str()), 0);
                    break;
                case Change::RemovedAndMadeAgain:
                    ASSERT_EQ(::unlink(path.c_str()), 0);
                    writeFile(path, pattern(m_unit, 'i'));
                    break;
                case Change::RenamedOver:
                    writeFile(aside, pattern(m_unit, 'i'));
                    ASSERT_EQ(::rename(aside.c_str(), path.c_str()), 0);
                    break;
                case Change::LinkToItself:
                    ASSERT_EQ(::rename(path.c_str(), aside.c_str()), 0);
                    ASSERT_EQ(::symlink(aside.c_str(), path.c_str()), 0);
                    break;
                case Change::Unmapped:
                    file.doCleanMemoryCache();
                    break;
                case Change::None:
                    break;
                }
                EXPECT_EQ(file.isReplacedAtPath(), c.replaced);
                file.doCleanMemoryCache();
                ::unlink(path.c_str());
                ::unlink(aside.c_str());
            }
        }
    }
}

std::string refusedLink(const std::string &path) {
    return "refuse to open [" + path + "]: a symbolic link";
}
std::string refusedKind(const std::string &path) {
    struct stat info = {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0);
    char mode[16];
    snprintf(mode, sizeof(mode), "0%o", static_cast<unsigned>(info.st_mode));
    return "refuse to open [" + path + "]: not a regular file, mode " + mode;
}

// Something planted at a store file's name is never opened through: a link's
// target keeps its bytes (a dangling one's is never created), a FIFO does not
// block the open, and the planted entry itself is left as it was.
TEST_F(MemoryFileTest, FileRefusesLinksAndFilesThatAreNotRegular) {
    const std::string victim = m_dir.file("victim");
    const std::string victimBytes = pattern(300, 'v');
    const OpenFlag readOnly = OpenFlag::ReadOnly;
    const OpenFlag readWrite = OpenFlag::ReadWrite | OpenFlag::Create;
    const OpenFlag truncating = OpenFlag::WriteOnly | OpenFlag::Create | OpenFlag::Truncate;
    struct Case {
        Planted kind;
        OpenFlag flag;
        int error; // 0: the refusal line; else the open's own error
    } cases[] = {
        {Planted::LinkToVictim, readOnly, 0},
        {Planted::LinkToVictim, readWrite, 0},
        {Planted::LinkToVictim, truncating, 0},
        {Planted::DanglingLink, readOnly, 0},
        {Planted::DanglingLink, readWrite, 0},
        {Planted::DanglingLink, truncating, 0},
        {Planted::Fifo, readOnly, 0},
        {Planted::Fifo, readWrite, 0},
        {Planted::Fifo, truncating, ENXIO}, // no reader: a non-blocking write-only open fails
        {Planted::Directory, readOnly, 0},
        {Planted::Directory, readWrite, EISDIR},
        {Planted::Directory, truncating, EISDIR},
    };
    for (const auto &c : cases) {
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%x", static_cast<uint32_t>(c.flag));
        SCOPED_TRACE(std::string(toString(c.kind)) + ", flag " + hex);
        std::filesystem::remove_all(m_path);
        ::unlink(victim.c_str());
        if (c.kind != Planted::DanglingLink) {
            writeFile(victim, victimBytes);
        }
        plant(c.kind, m_path, victim);
        m_log.clear();
        {
            Watchdog watchdog(30);
            File file(m_path, c.flag);
            EXPECT_FALSE(file.isFileValid());
            EXPECT_EQ(file.getFd(), -1);
        }
        if (c.kind == Planted::DanglingLink) {
            EXPECT_EQ(fileType(victim), 0u);
        } else {
            EXPECT_EQ(readFile(victim), victimBytes);
        }
        EXPECT_EQ(fileType(m_path), plantedType(c.kind));
        if (c.error == 0) {
            const bool link = c.kind == Planted::LinkToVictim || c.kind == Planted::DanglingLink;
            expectProblems(m_log,
                           {{VORNLogError, "openRegularFile", link ? refusedLink(m_path) : refusedKind(m_path)}});
        } else {
            expectProblems(m_log, {{VORNLogError, "open",
                                    "fail to open [" + m_path + "], flag " + hex + ", " + std::to_string(c.error) +
                                        "(" + errorText(c.error) + ")"}});
        }
    }
}

// A mapped file whose name is swapped for a link afterwards: the mapping
// stays on the file it was made from, and every later open by name (a mayfly
// descriptor reopens for each growth) is refused.
TEST_F(MemoryFileTest, NameSwappedForALinkIsNeverReopenedThroughIt) {
    const std::string victim = m_dir.file("victim");
    const std::string victimBytes = pattern(300, 'v');
    writeFile(victim, victimBytes);

    for (bool mayfly : {false, true}) {
        SCOPED_TRACE(mayfly ? "mayfly" : "kept descriptor");
        std::filesystem::remove_all(m_path);
        std::filesystem::remove_all(m_path + ".moved");
        MemoryFile file(m_path, 0, false, mayfly);
        ASSERT_TRUE(file.isFileValid());
        ASSERT_EQ(::rename(m_path.c_str(), (m_path + ".moved").c_str()), 0);
        plant(Planted::LinkToVictim, m_path, victim);
        m_log.clear();
        if (mayfly) {
            // Growth needs the descriptor back.
            EXPECT_FALSE(file.truncate(2 * m_unit));
            EXPECT_EQ(file.getFileSize(), m_unit);
            expectProblems(m_log, {{VORNLogError, "openRegularFile", refusedLink(m_path)}});
        } else {
            // The descriptor open from before still names the moved file.
            EXPECT_TRUE(file.truncate(2 * m_unit));
            EXPECT_EQ(diskSize(m_path + ".moved"), static_cast<long long>(2 * m_unit));
        }
        // Reloading opens by name again.
        m_log.clear();
        file.clearMemoryCache();
        file.reloadFromFile(0);
        EXPECT_FALSE(file.isFileValid());
        expectProblems(m_log, {{VORNLogError, "openRegularFile", refusedLink(m_path)}});
        EXPECT_EQ(readFile(victim), victimBytes);
    }

    // A new mapping of a linked name, writable or read-only, is refused too.
    for (bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "new read-only" : "new writable");
        m_log.clear();
        MemoryFile file(m_path, 0, readOnly, false);
        EXPECT_FALSE(file.isFileValid());
        EXPECT_EQ(file.getMemory(), nullptr);
        // Once from the File's own open, once from reloadFromFile's retry.
        expectProblems(m_log, {{VORNLogError, "openRegularFile", refusedLink(m_path)},
                               {VORNLogError, "openRegularFile", refusedLink(m_path)}});
        EXPECT_EQ(readFile(victim), victimBytes);
    }
}

} // namespace
} // namespace vorn
