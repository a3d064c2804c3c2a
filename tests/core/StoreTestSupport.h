#pragma once

#include <gtest/gtest.h>

#include <optional>
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

// Fixture for tests that open stores: the library is initialised, and each test
// has a fresh directory of its own to use as a custom root.
class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    const std::string &root() const { return m_dir.path(); }

private:
    TempDir m_dir;
};

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

// Size of a file in bytes, or -1 when it does not exist.
long long fileSize(const std::string &path);

// A file's bytes ("" when it cannot be read), and writing bytes into a file
// in place (the file keeps its length beyond them).
std::string readFile(const std::string &path);
void patchFile(const std::string &path, size_t offset, const std::string &bytes);
void writeFile(const std::string &path, const std::string &bytes);

// Cross-process steps: a process marks a step done by creating a file; the
// other waits for it (polling, up to a minute, then a failed assertion).
void markStep(const std::string &dir, const std::string &step);
bool waitStep(const std::string &dir, const std::string &step);

} // namespace vorn_test
