#pragma once

// Everything a store test needs to open stores: StoreOptions (how to open),
// the StoreTest fixture (a root of its own, a recording handler, open() and
// reopen()), ClockedStoreTest for tests that move time, processes of their
// own (runSelf), and helpers for files and bytes.
//
//   class MyStore : public vorn_test::StoreTest {};
//   TEST_F(MyStore, X) {
//       VORN *store = open("id", encrypted("key-of-16-bytes!", false, multiProcess()));
//       ...
//       store = reopen(store, "id", readOnly(multiProcess()));
//   }

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "StorePeer.h"
#include "core/VORN.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"
#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"
#include "log/VORNHandler.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

namespace vorn_test {

// A directory of its own under the system temp dir, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

// The process-wide root given to VORN::initializeVORN the first time a test
// asks for it (log level warning). Lives until the process ends.
const std::string &processRoot();

// ---- How a test opens a store ----

// Every setting of an open a test chooses; the defaults are the library's.
struct StoreOptions {
    VORNMode mode = VORN_SINGLE_PROCESS;
    std::string cryptKey; // empty: a plain store
    bool aes256 = false;
    size_t capacity = 0; // expected capacity, bytes
    std::optional<bool> enableKeyExpire;
    uint32_t expiredInSeconds = 0;
    bool enableCompareBeforeSet = false;
    std::optional<VORNRecoverStrategic> recover;
    uint32_t itemSizeLimit = 0;

    // The config of an open under `root`. It points at cryptKey and at
    // `root`, so both must outlive the open it is given to.
    VORNConfig config(const std::string &root) const;
};

// Options changed one way; each takes the options to start from.
StoreOptions inMode(VORNMode mode, StoreOptions options = {});
StoreOptions multiProcess(StoreOptions options = {});
// Adds read-only to the mode the options already have.
StoreOptions readOnly(StoreOptions options = {});
StoreOptions encrypted(const std::string &key, bool aes256 = false, StoreOptions options = {});
// Expiry switched on at open, with `seconds` as the default duration (0: never).
StoreOptions expiring(uint32_t seconds = 0, StoreOptions options = {});

// Opens store `id` under `root` and returns what the library returns (null
// when it refuses). Nothing closes it for the caller: this is the open behind
// StoreTest::open, for code without the fixture (harness processes, worker
// threads) and for stores a test closes or removes itself.
VORN *openStore(const std::string &root, const std::string &id, const StoreOptions &options = {});

// ---- The fixture ----

struct LogLine {
    VORNLogLevel level;
    std::string source;
    std::string function;
    std::string message;
};

// Records every log line and callback, and answers damage questions as told.
class RecordingHandler : public vorn::VORNHandler {
public:
    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override;
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &mmapID) override;
    VORNRecoverStrategic onVORNFileLengthError(const std::string &mmapID) override;
    void onContentChanged(const std::string &mmapID) override;
    void onContentLoaded(const std::string &mmapID) override;

    // Lines whose message is exactly `message` (and level/function when given).
    size_t count(const std::string &message) const;
    bool has(VORNLogLevel level, const std::string &function, const std::string &message) const;
    // Lines whose message starts with `prefix`.
    size_t countPrefix(const std::string &prefix) const;
    // Every line, one per row, for failure messages.
    std::string dump() const;
    void clear();

    std::vector<LogLine> lines;
    VORNRecoverStrategic crcAnswer = OnErrorDiscard;
    VORNRecoverStrategic lengthAnswer = OnErrorDiscard;
    int crcAsked = 0;
    int lengthAsked = 0;
    int changed = 0;
    int loaded = 0;
    // Called from onContentLoaded, i.e. inside a load, with its locks held.
    std::function<void()> whileLoading;

private:
    // Lines may come from several threads at once (an operation on another
    // thread while the test opens stores); reading `lines` directly is for a
    // test whose threads have finished.
    mutable std::mutex m_linesMutex;
};

// Fixture for tests that open stores: the library is initialised, each test
// has a fresh directory of its own as the root its stores live under, and
// m_log is the registered handler, with info lines on. Stores opened with
// open() are closed at the end of the test.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens store `id` under storeRoot(); a refused open fails the test.
    VORN *open(const std::string &id, const StoreOptions &options = {});
    // Closes the store (it may be opened again with open()).
    void close(VORN *store);
    VORN *reopen(VORN *store, const std::string &id, const StoreOptions &options = {});

    // This test's own directory.
    const std::string &root() const { return m_dir.path(); }
    // The root stores are opened under: this test's own directory, or the
    // one a parent process passed to this (child) process.
    const std::string &storeRoot() const { return m_storeRoot.empty() ? root() : m_storeRoot; }
    void setStoreRoot(const std::string &path) { m_storeRoot = path; }
    // In a child started by runSelf/startSelf with the parent's root as its
    // argument: work on that root and return true; false in the parent.
    bool isChild();

    std::string dataPath(const std::string &id) const { return storeRoot() + "/" + id; }
    std::string metaPath(const std::string &id) const { return storeRoot() + "/" + id + ".crc"; }

    RecordingHandler m_log;

private:
    TempDir m_dir;
    std::set<VORN *> m_open;
    std::string m_storeRoot;
};

// A store test with a clock the test moves by hand (every expiry decision of
// the library reads it), starting at kStartTime.
class ClockedStoreTest : public StoreTest {
public:
    static constexpr uint32_t kStartTime = 1000000;

protected:
    void SetUp() override;
    void TearDown() override;

    static void setNow(uint32_t now);
    static uint32_t now();
};

// ---- Processes of their own ----

// Cross-process and fresh-process tests run a second copy of the test binary
// (a process with no library state and no inherited flock), restricted to one
// test, with VORN_TEST_ROLE set to `role` and VORN_TEST_ARG to `arg`.
//
//   TEST(X, Y) {
//       if (vorn_test::currentRole() == "child") { ...child's assertions...; return; }
//       EXPECT_EQ(vorn_test::runSelf("X.Y", "child", someArg), 0);
//   }
//
// runSelf waits for the child and returns its exit status (gtest's: 0 when all
// of its assertions held), or -1 when it could not be started or died.
int runSelf(const std::string &testName, const std::string &role, const std::string &arg = "");

// Starts the child without waiting; waitChild returns what runSelf would.
int startSelf(const std::string &testName, const std::string &role, const std::string &arg = "");
int waitChild(int pid);

// The role of this process ("" in the ordinary test run), and its argument.
std::string currentRole();
std::string currentArg();

// Cross-process steps: a process marks a step done by creating a file; the
// other waits for it (polling, up to a minute, then a failed assertion).
void markStep(const std::string &dir, const std::string &step);
bool waitStep(const std::string &dir, const std::string &step);

// ---- Files and bytes ----

// Size of a file in bytes, or -1 when it does not exist.
long long fileSize(const std::string &path);

// A file's bytes ("" when it cannot be read), and writing bytes into a file
// in place (the file keeps its length beyond them).
std::string readFile(const std::string &path);
void patchFile(const std::string &path, size_t offset, const std::string &bytes);
void writeFile(const std::string &path, const std::string &bytes);

// The meta record in a meta file's bytes (the first 112).
vorn::VORNMetaInfo metaFromBytes(const std::string &bytes);

// crc32 from 0 over bytes.
uint32_t crcOf(const std::string &bytes);

// Bytes as "0A 1B ..." for messages.
std::string hex(const std::string &bytes);

// A uint32 as its 4 little-endian bytes (an expiry time as stored).
std::string le32(uint32_t value);

} // namespace vorn_test
