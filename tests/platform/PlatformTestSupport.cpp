#include "PlatformTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vorn {
namespace testing_support {

namespace {

// Upper bound of any wait for the peer process, in milliseconds. Replies come
// within microseconds; this only keeps a broken peer from hanging the suite.
constexpr int kPeerTimeoutMs = 10000;

// Commands understood by the peer, and its replies.
constexpr char kProbeShared = 's';
constexpr char kProbeExclusive = 'e';
constexpr char kHoldShared = 'S';
constexpr char kHoldExclusive = 'E';
constexpr char kRelease = 'u';
constexpr char kQuit = 'q';
constexpr char kYes = '1';
constexpr char kBlocked = '0';
constexpr char kError = 'x';

bool waitReadable(int fd, int timeoutMs) {
    struct pollfd poller = {fd, POLLIN, 0};
    int ret;
    do {
        ret = poll(&poller, 1, timeoutMs);
    } while (ret < 0 && errno == EINTR);
    return ret > 0;
}

} // namespace

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorn-platform-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
        return;
    }
    m_path = name.data();
}

TempDir::~TempDir() {
    if (!m_path.empty()) {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
}

LogCapture::LogCapture() : m_previous(g_handler), m_previousLevel(g_currentLogLevel) {
    g_handler = this;
    g_currentLogLevel = VORNLogInfo;
}

LogCapture::~LogCapture() {
    g_handler = m_previous;
    g_currentLogLevel = m_previousLevel;
}

void LogCapture::logMessage(VORNLogLevel level, const char *file, int, const char *function,
                            const std::string &message) {
    lines.push_back({level, file, function, message});
}

std::vector<LoggedLine> LogCapture::problems() const {
    std::vector<LoggedLine> result;
    for (const auto &line : lines) {
        if (line.level >= VORNLogWarning) {
            result.push_back(line);
        }
    }
    return result;
}

std::vector<std::string> LogCapture::messagesOf(const std::string &function) const {
    std::vector<std::string> result;
    for (const auto &line : lines) {
        if (line.function == function) {
            result.push_back(line.message);
        }
    }
    return result;
}

std::string errorText(int error) {
    return strerror(error);
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

long long diskSize(const std::string &path) {
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0) {
        return -1;
    }
    return static_cast<long long>(info.st_size);
}

Watchdog::Watchdog(unsigned seconds) {
    ::signal(SIGALRM, SIG_DFL);
    ::alarm(seconds);
}

Watchdog::~Watchdog() {
    ::alarm(0);
}

const char *toString(PeerView view) {
    switch (view) {
    case PeerView::None:
        return "none";
    case PeerView::Shared:
        return "shared";
    case PeerView::Exclusive:
        return "exclusive";
    default:
        return "unknown";
    }
}

ForkedPeer::ForkedPeer(const std::string &path) {
    int commands[2];
    int replies[2];
    if (pipe(commands) != 0 || pipe(replies) != 0) {
        ADD_FAILURE() << "pipe failed: " << strerror(errno);
        return;
    }
    fflush(stdout);
    fflush(stderr);
    m_pid = fork();
    if (m_pid < 0) {
        ADD_FAILURE() << "fork failed: " << strerror(errno);
        return;
    }
    if (m_pid == 0) {
        ::close(commands[1]);
        ::close(replies[0]);
        childMain(path, commands[0], replies[1]);
    }
    ::close(commands[0]);
    ::close(replies[1]);
    m_commandFd = commands[1];
    m_replyFd = replies[0];
}

ForkedPeer::~ForkedPeer() {
    if (m_pid <= 0) {
        return;
    }
    bool quit = ask(kQuit) == kYes;
    ::close(m_commandFd);
    ::close(m_replyFd);
    if (!quit) {
        kill(m_pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}

char ForkedPeer::ask(char command) {
    if (m_pid <= 0) {
        return 0;
    }
    if (::write(m_commandFd, &command, 1) != 1) {
        return 0;
    }
    if (!waitReadable(m_replyFd, kPeerTimeoutMs)) {
        ADD_FAILURE() << "peer did not answer '" << command << "' in time";
        return 0;
    }
    char reply = 0;
    if (::read(m_replyFd, &reply, 1) != 1) {
        return 0;
    }
    return reply;
}

bool ForkedPeer::hold(LockType type) {
    return ask(type == LockType::Shared ? kHoldShared : kHoldExclusive) == kYes;
}

bool ForkedPeer::release() {
    return ask(kRelease) == kYes;
}

PeerView ForkedPeer::view() {
    char exclusive = ask(kProbeExclusive);
    if (exclusive == kYes) {
        return PeerView::None;
    }
    char shared = ask(kProbeShared);
    if (exclusive == kBlocked && shared == kYes) {
        return PeerView::Shared;
    }
    if (exclusive == kBlocked && shared == kBlocked) {
        return PeerView::Exclusive;
    }
    return PeerView::Unknown;
}

void ForkedPeer::childMain(const std::string &path, int commandFd, int replyFd) {
    // Only plain system calls from here on: this is a copy of the test
    // process and must never run its teardown.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    auto tryFlock = [fd](int operation) -> char {
        if (fd < 0) {
            return kError;
        }
        if (::flock(fd, operation | LOCK_NB) == 0) {
            return kYes;
        }
        return errno == EWOULDBLOCK ? kBlocked : kError;
    };
    while (waitReadable(commandFd, kPeerTimeoutMs)) {
        char command = 0;
        if (::read(commandFd, &command, 1) != 1) {
            break; // the test process went away
        }
        char reply = kError;
        switch (command) {
        case kProbeShared:
        case kProbeExclusive:
            reply = tryFlock(command == kProbeShared ? LOCK_SH : LOCK_EX);
            if (reply == kYes) {
                ::flock(fd, LOCK_UN);
            }
            break;
        case kHoldShared:
            reply = tryFlock(LOCK_SH);
            break;
        case kHoldExclusive:
            reply = tryFlock(LOCK_EX);
            break;
        case kRelease:
            reply = ::flock(fd, LOCK_UN) == 0 ? kYes : kError;
            break;
        case kQuit:
            reply = kYes;
            break;
        default:
            break;
        }
        if (::write(replyFd, &reply, 1) != 1 || command == kQuit) {
            break;
        }
    }
    _exit(0);
}

} // namespace testing_support
} // namespace vorn
