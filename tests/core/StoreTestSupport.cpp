#include "StoreTestSupport.h"

#include <algorithm>
#include <atomic>

#include "core/VORNClock.h"
#include "encoding/CodedOutputData.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace vorn_test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "vorn-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    m_path = fs::canonical(pattern).string();
}

TempDir::~TempDir() {
    if (!m_path.empty()) {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
}

const std::string &processRoot() {
    static TempDir *dir = [] {
        auto made = new TempDir();
        VORN::initializeVORN(made->path(), VORNLogWarning, nullptr);
        return made;
    }();
    return dir->path();
}

VORNConfig StoreOptions::config(const std::string &root) const {
    VORNConfig config;
    config.mode = mode;
    config.aes256 = aes256;
    config.cryptKey = cryptKey.empty() ? nullptr : &cryptKey;
    config.rootPath = &root;
    config.expectedCapacity = capacity;
    config.enableKeyExpire = enableKeyExpire;
    config.expiredInSeconds = expiredInSeconds;
    config.enableCompareBeforeSet = enableCompareBeforeSet;
    config.recover = recover;
    config.itemSizeLimit = itemSizeLimit;
    return config;
}

StoreOptions inMode(VORNMode mode, StoreOptions options) {
    options.mode = mode;
    return options;
}

StoreOptions multiProcess(StoreOptions options) {
    return inMode(VORN_MULTI_PROCESS, std::move(options));
}

StoreOptions readOnly(StoreOptions options) {
    options.mode = static_cast<VORNMode>(options.mode | VORN_READ_ONLY);
    return options;
}

StoreOptions encrypted(const std::string &key, bool aes256, StoreOptions options) {
    options.cryptKey = key;
    options.aes256 = aes256;
    return options;
}

StoreOptions expiring(uint32_t seconds, StoreOptions options) {
    options.enableKeyExpire = true;
    options.expiredInSeconds = seconds;
    return options;
}

VORN *openStore(const std::string &root, const std::string &id, const StoreOptions &options) {
    return VORN::vornWithID(id, options.config(root));
}

void RecordingHandler::logMessage(VORNLogLevel level, const char *file, int, const char *function,
                                  const std::string &message) {
    std::lock_guard<std::mutex> guard(m_linesMutex);
    lines.push_back({level, file ? file : "", function ? function : "", message});
}

VORNRecoverStrategic RecordingHandler::onVORNCRCCheckFail(const std::string &) {
    crcAsked++;
    return crcAnswer;
}

VORNRecoverStrategic RecordingHandler::onVORNFileLengthError(const std::string &) {
    lengthAsked++;
    return lengthAnswer;
}

void RecordingHandler::onContentChanged(const std::string &) {
    changed++;
}

void RecordingHandler::onContentLoaded(const std::string &) {
    loaded++;
    if (whileLoading) {
        whileLoading();
    }
}

size_t RecordingHandler::count(const std::string &message) const {
    std::lock_guard<std::mutex> guard(m_linesMutex);
    size_t n = 0;
    for (const auto &line : lines) {
        n += line.message == message ? 1 : 0;
    }
    return n;
}

bool RecordingHandler::has(VORNLogLevel level, const std::string &function, const std::string &message) const {
    std::lock_guard<std::mutex> guard(m_linesMutex);
    for (const auto &line : lines) {
        if (line.level == level && line.function == function && line.message == message) {
            return true;
        }
    }
    return false;
}

size_t RecordingHandler::countPrefix(const std::string &prefix) const {
    std::lock_guard<std::mutex> guard(m_linesMutex);
    size_t n = 0;
    for (const auto &line : lines) {
        n += line.message.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
}

std::string RecordingHandler::dump() const {
    std::lock_guard<std::mutex> guard(m_linesMutex);
    std::ostringstream out;
    for (const auto &line : lines) {
        out << line.level << " " << line.source << "::" << line.function << " " << line.message << "\n";
    }
    return out.str();
}

void RecordingHandler::clear() {
    std::lock_guard<std::mutex> guard(m_linesMutex);
    lines.clear();
    crcAsked = lengthAsked = changed = loaded = 0;
}

void StoreTest::SetUp() {
    processRoot();
    VORN::registerHandler(&m_log);
    VORN::setLogLevel(VORNLogInfo);
}

void StoreTest::TearDown() {
    for (VORN *store : m_open) {
        store->close();
    }
    m_open.clear();
    VORN::unRegisterHandler();
    VORN::setLogLevel(VORNLogWarning);
}

VORN *StoreTest::open(const std::string &id, const StoreOptions &options) {
    VORN *store = openStore(storeRoot(), id, options);
    EXPECT_NE(store, nullptr) << id;
    if (store) {
        m_open.insert(store);
    }
    return store;
}

void StoreTest::close(VORN *store) {
    m_open.erase(store);
    store->close();
}

VORN *StoreTest::reopen(VORN *store, const std::string &id, const StoreOptions &options) {
    close(store);
    return open(id, options);
}

bool StoreTest::isChild() {
    if (currentRole().empty()) {
        return false;
    }
    setStoreRoot(currentArg());
    return true;
}

namespace {

std::atomic<uint32_t> g_now{ClockedStoreTest::kStartTime};

uint32_t testClock() {
    return g_now.load();
}

} // namespace

void ClockedStoreTest::SetUp() {
    StoreTest::SetUp();
    setNow(kStartTime);
    vorn::setClockForTesting(testClock);
}

void ClockedStoreTest::TearDown() {
    // The stores close while the test's clock still runs, as they ran.
    StoreTest::TearDown();
    vorn::setClockForTesting(nullptr);
}

void ClockedStoreTest::setNow(uint32_t now) {
    g_now.store(now);
}

uint32_t ClockedStoreTest::now() {
    return g_now.load();
}

std::string currentRole() {
    const char *role = getenv("VORN_TEST_ROLE");
    return role ? role : "";
}

std::string currentArg() {
    const char *arg = getenv("VORN_TEST_ARG");
    return arg ? arg : "";
}

namespace {

// In a child started by startSelf, marks that the selected test really ran, so
// that a filter matching nothing is not mistaken for a passing child.
class ChildRanListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override {
        const char *marker = getenv("VORN_TEST_MARKER");
        if (marker) {
            FILE *f = fopen(marker, "w");
            if (f) {
                fclose(f);
            }
        }
    }
};

const bool g_listenerInstalled = [] {
    if (getenv("VORN_TEST_MARKER")) {
        ::testing::UnitTest::GetInstance()->listeners().Append(new ChildRanListener);
    }
    return true;
}();

// One marker file per started child, by child pid.
std::map<int, std::string> g_markers;
int g_markerCounter = 0;

std::string newMarkerPath() {
    return (fs::temp_directory_path() /
            ("vorn-child-ran-" + std::to_string(getpid()) + "-" + std::to_string(++g_markerCounter)))
        .string();
}

} // namespace

int startSelf(const std::string &testName, const std::string &role, const std::string &arg) {
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=" + testName;
    std::vector<char *> argv = {self.data(), filter.data(), nullptr};

    std::vector<std::string> env;
    for (char **e = environ; *e; e++) {
        std::string entry = *e;
        if (entry.rfind("VORN_TEST_", 0) != 0 && entry.rfind("GTEST_", 0) != 0) {
            env.push_back(entry);
        }
    }
    env.push_back("VORN_TEST_ROLE=" + role);
    env.push_back("VORN_TEST_ARG=" + arg);
    const std::string marker = newMarkerPath();
    env.push_back("VORN_TEST_MARKER=" + marker);
    std::vector<char *> envp;
    for (auto &entry : env) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
        return -1;
    }
    g_markers[pid] = marker;
    return pid;
}

int waitChild(int pid) {
    if (pid <= 0) {
        return -1;
    }
    int status = 0;
    bool exited = waitpid(pid, &status, 0) == pid && WIFEXITED(status);
    bool ran = unlink(g_markers[pid].c_str()) == 0;
    g_markers.erase(pid);
    if (!exited) {
        return -1;
    }
    if (!ran) {
        ADD_FAILURE() << "the child process ran no test";
        return -2;
    }
    return WEXITSTATUS(status);
}

int runSelf(const std::string &testName, const std::string &role, const std::string &arg) {
    return waitChild(startSelf(testName, role, arg));
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void patchFile(const std::string &path, size_t offset, const std::string &bytes) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot patch " << path;
}

void writeFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

void markStep(const std::string &dir, const std::string &step) {
    writeFile(dir + "/step-" + step, step);
}

bool waitStep(const std::string &dir, const std::string &step) {
    const std::string path = dir + "/step-" + step;
    for (int i = 0; i < 60000; i++) {
        if (fs::exists(path)) {
            return true;
        }
        usleep(1000);
    }
    ADD_FAILURE() << "step " << step << " never came";
    return false;
}

long long fileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

vorn::VORNMetaInfo metaFromBytes(const std::string &bytes) {
    vorn::VORNMetaInfo info;
    if (bytes.size() >= vorn::kMetaInfoSize) {
        info.read(bytes.data());
    }
    return info;
}

uint32_t crcOf(const std::string &bytes) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(bytes.data()), static_cast<uInt>(bytes.size())));
}

std::string hex(const std::string &bytes) {
    std::string out;
    char cell[4];
    for (unsigned char c : bytes) {
        snprintf(cell, sizeof(cell), "%02X ", c);
        out += cell;
    }
    return out;
}

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

} // namespace vorn_test
