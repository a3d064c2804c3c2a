#include "platform/InterProcessLock.h"

#include "PlatformTestSupport.h"
#include "platform/ScopedLock.h"
#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace vorn {
namespace {

using testing_support::ForkedPeer;
using testing_support::LogCapture;
using testing_support::PeerView;
using testing_support::TempDir;

// flock calls made through the platform layer while a counter is installed.
int g_flockCalls = 0;
int countingFlock(int fd, int operation) {
    g_flockCalls++;
    return realSystemCalls().flock(fd, operation);
}

// Every flock fails with g_flockError.
int g_flockError = ENOLCK;
int failingFlock(int, int) {
    g_flockCalls++;
    errno = g_flockError;
    return -1;
}

// A lock file in a fresh directory, a forked peer process that watches it,
// and this process's own descriptor of it, opened after the fork.
class FileLockWithPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.file("lockfile");
        testing_support::writeFile(m_path, "");
        m_peer = std::make_unique<ForkedPeer>(m_path);
        ASSERT_TRUE(m_peer->started());
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_fd, 0);
        m_calls->flock = countingFlock;
        g_flockCalls = 0;
    }

    void TearDown() override {
        m_peer.reset();
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }

    PeerView peerView() { return m_peer->view(); }

    TempDir m_dir;
    std::string m_path;
    std::unique_ptr<ForkedPeer> m_peer;
    int m_fd = -1;
    ScopedSystemCallsOverride m_calls;
};

enum class Op { Lock, TryLock, Unlock };

struct Step {
    Op op;
    LockType type;
    bool result;
    int flockCalls; // system calls this step makes
    uint64_t shared, exclusive;
    PeerView peerSees;
};

struct Script {
    const char *name;
    std::vector<Step> steps;
};

constexpr LockType S = LockType::Shared;
constexpr LockType X = LockType::Exclusive;

TEST_F(FileLockWithPeerTest, NestedMixedHoldsLeaveTheRightFlockForOtherProcesses) {
    const Script scripts[] = {
        {"shared twice, exclusive, release exclusive keeps shared",
         {
             {Op::Lock, S, true, 1, 1, 0, PeerView::Shared},
             {Op::Lock, S, true, 0, 2, 0, PeerView::Shared},
             {Op::Lock, X, true, 1, 2, 1, PeerView::Exclusive}, // converted in place
             {Op::Unlock, X, true, 1, 2, 0, PeerView::Shared},  // back down to shared
             {Op::Unlock, S, true, 0, 1, 0, PeerView::Shared},
             {Op::Unlock, S, true, 1, 0, 0, PeerView::None},
             {Op::Unlock, S, false, 0, 0, 0, PeerView::None}, // more releases than holds
         }},
        {"exclusive, shared inside it, release exclusive downgrades",
         {
             {Op::Lock, X, true, 1, 0, 1, PeerView::Exclusive},
             {Op::Lock, S, true, 0, 1, 1, PeerView::Exclusive},
             {Op::Unlock, X, true, 1, 1, 0, PeerView::Shared},
             {Op::Unlock, X, false, 0, 1, 0, PeerView::Shared},
             {Op::Unlock, S, true, 1, 0, 0, PeerView::None},
         }},
        {"nested exclusive is counted, shared inside costs no call",
         {
             {Op::TryLock, X, true, 1, 0, 1, PeerView::Exclusive},
             {Op::Lock, X, true, 0, 0, 2, PeerView::Exclusive},
             {Op::TryLock, S, true, 0, 1, 2, PeerView::Exclusive},
             {Op::Unlock, S, true, 0, 0, 2, PeerView::Exclusive},
             {Op::Unlock, X, true, 0, 0, 1, PeerView::Exclusive},
             {Op::Unlock, X, true, 1, 0, 0, PeerView::None},
             {Op::Unlock, X, false, 0, 0, 0, PeerView::None},
             {Op::Unlock, S, false, 0, 0, 0, PeerView::None},
         }},
    };
    for (const auto &script : scripts) {
        SCOPED_TRACE(script.name);
        FileLock lock(m_fd);
        int index = 0;
        for (const auto &step : script.steps) {
            SCOPED_TRACE("step " + std::to_string(index++));
            g_flockCalls = 0;
            bool result = false;
            switch (step.op) {
            case Op::Lock:
                result = lock.lock(step.type);
                break;
            case Op::TryLock:
                result = lock.try_lock(step.type);
                break;
            case Op::Unlock:
                result = lock.unlock(step.type);
                break;
            }
            EXPECT_EQ(result, step.result);
            EXPECT_EQ(g_flockCalls, step.flockCalls);
            EXPECT_EQ(lock.sharedLockCount(), step.shared);
            EXPECT_EQ(lock.exclusiveLockCount(), step.exclusive);
            EXPECT_STREQ(toString(peerView()), toString(step.peerSees));
        }
    }
}

TEST_F(FileLockWithPeerTest, SharedHolderElsewhereBlocksExclusiveTryLockAndFailedUpgradeKeepsShared) {
    LogCapture log;
    FileLock lock(m_fd);
    ASSERT_TRUE(m_peer->hold(LockType::Shared));

    bool tryAgain = false;
    EXPECT_FALSE(lock.try_lock(LockType::Exclusive, &tryAgain));
    EXPECT_TRUE(tryAgain);
    EXPECT_EQ(lock.exclusiveLockCount(), 0u);

    // Shared with shared is fine; the upgrade still is not.
    ASSERT_TRUE(lock.try_lock(LockType::Shared));
    tryAgain = false;
    EXPECT_FALSE(lock.try_lock(LockType::Exclusive, &tryAgain));
    EXPECT_TRUE(tryAgain);
    EXPECT_EQ(lock.sharedLockCount(), 1u);
    EXPECT_EQ(lock.exclusiveLockCount(), 0u);

    // The failed upgrade must have left this process holding shared again.
    ASSERT_TRUE(m_peer->release());
    EXPECT_EQ(peerView(), PeerView::Shared);
    EXPECT_TRUE(log.problems().empty()) << log.problems()[0].message;

    ASSERT_TRUE(lock.unlock(LockType::Shared));
    EXPECT_EQ(peerView(), PeerView::None);
}

TEST_F(FileLockWithPeerTest, ExclusiveHolderElsewhereBlocksBothKindsAndViceVersa) {
    FileLock lock(m_fd);
    ASSERT_TRUE(m_peer->hold(LockType::Exclusive));
    for (LockType type : {LockType::Shared, LockType::Exclusive}) {
        bool tryAgain = false;
        EXPECT_FALSE(lock.try_lock(type, &tryAgain));
        EXPECT_TRUE(tryAgain);
    }
    EXPECT_EQ(lock.sharedLockCount(), 0u);
    EXPECT_EQ(lock.exclusiveLockCount(), 0u);
    ASSERT_TRUE(m_peer->release());

    ASSERT_TRUE(lock.try_lock(LockType::Exclusive));
    EXPECT_FALSE(m_peer->hold(LockType::Shared));
    EXPECT_FALSE(m_peer->hold(LockType::Exclusive));
    ASSERT_TRUE(lock.unlock(LockType::Exclusive));

    ASSERT_TRUE(lock.lock(LockType::Shared));
    EXPECT_TRUE(m_peer->hold(LockType::Shared));
    ASSERT_TRUE(m_peer->release());
    EXPECT_FALSE(m_peer->hold(LockType::Exclusive));
    ASSERT_TRUE(lock.unlock(LockType::Shared));
}

TEST_F(FileLockWithPeerTest, DestroyAndUnLockReleasesAndDetaches) {
    {
        FileLock lock(m_fd);
        ASSERT_TRUE(lock.lock(LockType::Shared));
        ASSERT_TRUE(lock.lock(LockType::Exclusive));
        g_flockCalls = 0;
        lock.destroyAndUnLock();
        EXPECT_EQ(g_flockCalls, 1);
        EXPECT_EQ(peerView(), PeerView::None);
        EXPECT_EQ(lock.getFd(), -1);
        EXPECT_EQ(lock.sharedLockCount(), 0u);
        EXPECT_EQ(lock.exclusiveLockCount(), 0u);

        // Detached: everything fails quietly and without system calls.
        g_flockCalls = 0;
        EXPECT_FALSE(lock.lock(LockType::Shared));
        EXPECT_FALSE(lock.try_lock(LockType::Exclusive));
        EXPECT_FALSE(lock.unlock(LockType::Shared));
    }
    EXPECT_EQ(g_flockCalls, 0); // the destructor did nothing either
}

TEST_F(FileLockWithPeerTest, DestructorReleasesWhatIsStillHeld) {
    for (LockType type : {LockType::Shared, LockType::Exclusive}) {
        {
            FileLock lock(m_fd);
            ASSERT_TRUE(lock.lock(type));
            ASSERT_TRUE(lock.lock(type));
            EXPECT_NE(peerView(), PeerView::None);
        }
        EXPECT_EQ(peerView(), PeerView::None);
    }
}

TEST_F(FileLockWithPeerTest, InterProcessLockViewsShareOneFileLockAndDisabledDoNothing) {
    FileLock fileLock(m_fd);
    InterProcessLock shared(&fileLock, LockType::Shared);
    InterProcessLock exclusive(&fileLock, LockType::Exclusive);
    {
        ScopedLock<InterProcessLock> outer(&shared);
        EXPECT_EQ(peerView(), PeerView::Shared);
        {
            ScopedLock<InterProcessLock> inner(&exclusive);
            EXPECT_EQ(peerView(), PeerView::Exclusive);
        }
        EXPECT_EQ(peerView(), PeerView::Shared);
    }
    EXPECT_EQ(peerView(), PeerView::None);

    shared.setEnable(false);
    exclusive.setEnable(false);
    g_flockCalls = 0;
    {
        ScopedLock<InterProcessLock> a(&shared);
        ScopedLock<InterProcessLock> b(&exclusive);
        ScopedLock<InterProcessLock> none(nullptr);
        EXPECT_FALSE(exclusive.try_lock());
        EXPECT_EQ(peerView(), PeerView::None);
    }
    EXPECT_EQ(g_flockCalls, 0);
    EXPECT_EQ(fileLock.sharedLockCount(), 0u);
    EXPECT_EQ(fileLock.exclusiveLockCount(), 0u);
}

// Without a peer: negative descriptors and injected flock failures.
class FileLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.file("lockfile");
        m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(m_fd, 0);
        m_calls->flock = countingFlock;
        g_flockCalls = 0;
    }
    void TearDown() override { ::close(m_fd); }

    std::string lockMessage(const char *what, int error) {
        return std::string(what) + " fd=" + std::to_string(m_fd) +
               ", ret=-1, error:" + testing_support::errorText(error);
    }
    std::string unlockMessage(int error) {
        return "fail to unlock fd=" + std::to_string(m_fd) + ", error:" + std::to_string(error) + "(" +
               testing_support::errorText(error) + ")";
    }

    TempDir m_dir;
    std::string m_path;
    int m_fd = -1;
    ScopedSystemCallsOverride m_calls;
};

TEST_F(FileLockTest, NegativeDescriptorFailsWithoutSystemCalls) {
    LogCapture log;
    {
        FileLock lock(-1);
        for (LockType type : {LockType::Shared, LockType::Exclusive}) {
            bool tryAgain = true;
            EXPECT_FALSE(lock.lock(type));
            EXPECT_FALSE(lock.try_lock(type, &tryAgain));
            EXPECT_FALSE(lock.unlock(type));
            EXPECT_TRUE(tryAgain); // untouched: nothing was attempted
        }
    }
    EXPECT_EQ(g_flockCalls, 0);
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(FileLockTest, FailedSystemCallsAreLoggedAndLeaveCountsAlone) {
    LogCapture log;
    g_flockError = ENOLCK;
    FileLock lock(m_fd);

    // Blocking lock: logged.
    m_calls->flock = failingFlock;
    EXPECT_FALSE(lock.lock(LockType::Exclusive));
    // Non-blocking: silent, and tryAgain tells it is not contention.
    bool tryAgain = true;
    EXPECT_FALSE(lock.try_lock(LockType::Shared, &tryAgain));
    EXPECT_FALSE(tryAgain);
    EXPECT_EQ(lock.sharedLockCount(), 0u);
    EXPECT_EQ(lock.exclusiveLockCount(), 0u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].level, VORNLogError);
    EXPECT_EQ(log.lines[0].source, "InterProcessLock");
    EXPECT_EQ(log.lines[0].function, "platformLock");
    EXPECT_EQ(log.lines[0].message, lockMessage("fail to lock", ENOLCK));

    // An upgrade where every step fails: release-first, wait and recovery are
    // each reported, and the shared hold is still counted.
    m_calls->flock = countingFlock;
    ASSERT_TRUE(lock.lock(LockType::Shared));
    m_calls->flock = failingFlock;
    log.clear();
    EXPECT_FALSE(lock.lock(LockType::Exclusive));
    EXPECT_EQ(lock.sharedLockCount(), 1u);
    EXPECT_EQ(lock.exclusiveLockCount(), 0u);
    std::vector<std::string> expected = {
        lockMessage("fail to try unlock first", ENOLCK),
        lockMessage("fail to lock", ENOLCK),
        lockMessage("fail to recover shared-lock", ENOLCK),
    };
    EXPECT_EQ(log.messagesOf("platformLock"), expected);

    // Releases: the shared count stays when its unlock fails.
    log.clear();
    EXPECT_FALSE(lock.unlock(LockType::Shared));
    EXPECT_EQ(lock.sharedLockCount(), 1u);
    EXPECT_EQ(log.messagesOf("platformUnLock"), std::vector<std::string>{unlockMessage(ENOLCK)});

    // destroyAndUnLock and the destructor report under the same name.
    log.clear();
    lock.destroyAndUnLock();
    EXPECT_EQ(lock.sharedLockCount(), 0u);
    EXPECT_EQ(lock.getFd(), -1);
    {
        m_calls->flock = countingFlock;
        FileLock other(m_fd);
        ASSERT_TRUE(other.lock(LockType::Exclusive));
        m_calls->flock = failingFlock;
    }
    EXPECT_EQ(log.messagesOf("platformUnLock"),
              (std::vector<std::string>{unlockMessage(ENOLCK), unlockMessage(ENOLCK)}));
}

} // namespace
} // namespace vorn
