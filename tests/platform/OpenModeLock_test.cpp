#include "platform/OpenModeLock.h"

#include "PlatformTestSupport.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using vorn::OpenModeLock;
using vorn::testing_support::LogCapture;
using vorn::testing_support::TempDir;
using Result = OpenModeLock::Result;

#ifndef __APPLE__

// Two locks in one process behave as two processes would: each holds its own
// open file description.
TEST(OpenModeLock, SharedHoldersExcludeAnExclusiveOneAndTheReverse) {
    TempDir dir;
    const std::string path = dir.file("store");
    struct Case {
        const char *name;
        bool firstExclusive;
        bool secondExclusive;
        Result second;
    } cases[] = {
        {"shared, shared", false, false, Result::Held},
        {"shared, exclusive", false, true, Result::Conflict},
        {"exclusive, shared", true, false, Result::Conflict},
        {"exclusive, exclusive", true, true, Result::Conflict},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OpenModeLock first;
        ASSERT_EQ(first.acquire(path, c.firstExclusive, true), Result::Held);
        OpenModeLock second;
        EXPECT_EQ(second.acquire(path, c.secondExclusive, false), c.second);
        EXPECT_EQ(second.isHeld(), c.second == Result::Held);
        first.release();
        EXPECT_EQ(second.acquire(path, c.secondExclusive, false), Result::Held) << "released with its holder";
    }
}

// Whole-file flock locks on other descriptors of the file (backup, restore,
// file growth) neither wait for the lock nor make it fail.
TEST(OpenModeLock, FlockOnTheSameFileIsIndependent) {
    TempDir dir;
    const std::string path = dir.file("store");
    OpenModeLock held;
    ASSERT_EQ(held.acquire(path, true, true), Result::Held);
    const int fd = ::open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    OpenModeLock other;
    EXPECT_EQ(other.acquire(path, false, false), Result::Conflict) << "the flock did not replace the lock";
    held.release();
    EXPECT_EQ(other.acquire(path, true, false), Result::Held) << "the flock does not hold the lock either";
    ::close(fd);
}

TEST(OpenModeLock, MissingFilesLinksAndOtherKindsTakeNoLock) {
    LogCapture log;
    TempDir dir;
    OpenModeLock lock;
    EXPECT_EQ(lock.acquire(dir.file("missing"), false, false), Result::NoFile);
    EXPECT_FALSE(lock.isHeld());
    EXPECT_EQ(access(dir.file("missing").c_str(), F_OK), -1) << "created by a lock that was not to create";

    ASSERT_EQ(lock.acquire(dir.file("target"), true, true), Result::Held);
    lock.release();
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(lock.acquire(dir.file("link"), true, false), Result::Failed);
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(lock.acquire(dir.file("fifo"), false, false), Result::Failed) << "and the open did not block";
    EXPECT_FALSE(lock.isHeld());
    EXPECT_EQ(log.problems().size(), 2u);
}

#endif

} // namespace
