#include "StoreTestSupport.h"

#include <algorithm>

#include "encoding/CodedOutputData.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
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

void StoreTest::SetUp() {
    processRoot();
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

} // namespace vorn_test
