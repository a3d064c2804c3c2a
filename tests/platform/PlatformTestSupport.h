#pragma once

#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"

#include <sys/types.h>

#include <string>
#include <vector>

#include "PlantedFiles.h"

namespace vorn {
namespace testing_support {

// A fresh directory under the system temp directory, removed with all its
// contents when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }

    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

private:
    std::string m_path;
};

struct LoggedLine {
    VORNLogLevel level;
    std::string source;
    std::string function;
    std::string message;
};

// Registers itself as the log handler for its lifetime and keeps every line.
class LogCapture : public VORNHandler {
public:
    LogCapture();
    ~LogCapture() override;

    // Lines at error or warning level only (info lines are chatty).
    std::vector<LoggedLine> problems() const;
    // Messages (any level) logged under `function`.
    std::vector<std::string> messagesOf(const std::string &function) const;
    void clear() { lines.clear(); }

    std::vector<LoggedLine> lines;

    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override;
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return OnErrorDiscard; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return OnErrorDiscard; }
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}

private:
    VORNHandler *m_previous;
    int m_previousLevel;
};

// strerror(error) as a std::string.
std::string errorText(int error);

void writeFile(const std::string &path, const std::string &bytes);
std::string readFile(const std::string &path);
// Length on disk by stat; -1 when the path does not exist.
long long diskSize(const std::string &path);

// Planted files: tests/PlantedFiles.h.
using vorn_planted::fileType;
using vorn_planted::plant;
using vorn_planted::Planted;
using vorn_planted::plantedType;
using vorn_planted::toString;

// Ends the process with SIGALRM unless destroyed within `seconds`: a call
// that blocks (an open of a FIFO) fails the test at once instead of hanging
// it until the suite's timeout.
class Watchdog {
public:
    explicit Watchdog(unsigned seconds);
    ~Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;
};

// How another process sees the flock on a file.
enum class PeerView { None, Shared, Exclusive, Unknown };
const char *toString(PeerView view);

// A second process, forked on construction, that takes flocks on its own
// descriptor of `path` when told to. Fork it before this process opens the
// file, so that no open file description is shared with the child. Every wait
// for the child is bounded; the child never returns into the test framework
// (it leaves with _exit).
class ForkedPeer {
public:
    explicit ForkedPeer(const std::string &path);
    ~ForkedPeer();

    bool started() const { return m_pid > 0; }

    // Non-blocking attempt to hold a lock in the peer; true when it holds it.
    bool hold(LockType type);
    // Releases what the peer holds.
    bool release();
    // What a third party would see: probes the peer's ability to lock.
    // REQUIRES: the peer holds nothing itself.
    PeerView view();

    ForkedPeer(const ForkedPeer &) = delete;
    ForkedPeer &operator=(const ForkedPeer &) = delete;

private:
    // Sends one command byte; returns the reply byte, or 0 on timeout/EOF.
    char ask(char command);
    [[noreturn]] static void childMain(const std::string &path, int commandFd, int replyFd);

    pid_t m_pid = -1;
    int m_commandFd = -1;
    int m_replyFd = -1;
};

} // namespace testing_support
} // namespace vorn
