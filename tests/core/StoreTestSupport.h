#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Lets tests look at a store's private state.
class VORNTestPeer {
public:
    static bool isEncrypted(const VORN *vorn) { return vorn->m_crypter != nullptr && vorn->m_cryptIndex != nullptr; }
    static bool isPlain(const VORN *vorn) { return vorn->m_crypter == nullptr && vorn->m_plainIndex != nullptr; }
    static const std::string &dataPath(const VORN *vorn) { return vorn->m_path; }
    static const std::string &metaPath(const VORN *vorn) { return vorn->m_metaPath; }
    static const std::string &registryKey(const VORN *vorn) { return vorn->m_registryKey; }
    static size_t expectedCapacity(const VORN *vorn) { return vorn->m_expectedCapacity; }
    static bool needsLoad(const VORN *vorn) { return vorn->m_needLoadFromFile; }

    // ---- The engine, called the way the typed interface calls it ----

    // Stores value in the data-holder form (the string setters' form).
    static bool set(VORN *vorn, std::string_view key, const std::string &value) {
        return vorn->setDataForKey(copyOf(value), key, true);
    }
    // Stores value bytes as given (the scalar setters' form).
    static bool setRaw(VORN *vorn, std::string_view key, const std::string &value) {
        return vorn->setDataForKey(copyOf(value), key, false);
    }
    // The value stored by set(), unwrapped; nothing when absent or not a
    // data-holder value.
    static std::optional<std::string> get(VORN *vorn, std::string_view key) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn::ScopedLock<vorn::InterProcessLock> shared(vorn->m_sharedProcessLock);
        vorn::VornBuffer stored = vorn->getDataForKey(key);
        if (stored.size() == 0) {
            return std::nullopt;
        }
        try {
            vorn::VornBuffer real = vorn::CodedInputData::readRealData(stored);
            return std::string(static_cast<const char *>(real.data()), real.size());
        } catch (std::exception &) {
            return std::nullopt;
        }
    }
    // The stored value bytes; empty when absent.
    static std::string getRaw(VORN *vorn, std::string_view key) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn::ScopedLock<vorn::InterProcessLock> shared(vorn->m_sharedProcessLock);
        vorn::VornBuffer stored = vorn->getRawDataForKey(key);
        return std::string(static_cast<const char *>(stored.data()), stored.size());
    }
    static bool remove(VORN *vorn, std::string_view key) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(vorn->m_exclusiveProcessLock);
        vorn->refreshIfNeeded();
        return vorn->removeDataForKey(key);
    }
    static bool fullWriteback(VORN *vorn) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn->refreshIfNeeded();
        return vorn->fullWriteback(nullptr, false);
    }
    // Loads the store (or applies other processes' changes) as an operation would.
    static void load(VORN *vorn) { vorn->checkContentChanged(); }

    // The keys of the index, sorted (after loading, as an operation would).
    static std::vector<std::string> keys(VORN *vorn);
    static size_t keyCount(VORN *vorn) {
        load(vorn);
        return vorn->m_crypter ? vorn->m_cryptIndex->size() : vorn->m_plainIndex->size();
    }
    static size_t actualSize(const VORN *vorn) { return vorn->m_actualSize; }
    static uint32_t crcDigest(const VORN *vorn) { return vorn->m_crcDigest; }
    static vorn::VORNMetaInfo metaInfo(const VORN *vorn) { return *vorn->m_metaInfo; }
    static size_t mappedFileSize(const VORN *vorn) { return vorn->m_file->getFileSize(); }
    static bool dataFileValid(const VORN *vorn) { return vorn->m_file->isFileValid(); }
    static bool streamUndecodable(const VORN *vorn) { return vorn->m_streamUndecodable; }
    static vorn::FileLock *fileLock(const VORN *vorn) { return vorn->m_fileLock; }
    static int metaFd(const VORN *vorn) { return vorn->m_metaFile->getFd(); }
    static void *dataMemory(const VORN *vorn) { return vorn->m_file->getMemory(); }
    static void *metaMemory(const VORN *vorn) { return vorn->m_metaFile->getMemory(); }
    // The explicit compaction, from a caller that holds only the thread lock
    // and has not looked for other processes' changes itself.
    static bool fullWritebackAsIs(VORN *vorn) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        return vorn->fullWriteback(nullptr, false);
    }
    static vorn::AESCrypt *crypter(const VORN *vorn) { return vorn->m_crypter; }
    // Offset of key's record in the stream; -1 when absent.
    static long long recordOffset(VORN *vorn, std::string_view key);
    // Whether key's entry of an encrypted store keeps its value by position.
    static bool heldByPosition(VORN *vorn, std::string_view key);
    static void setItemSizeLimit(VORN *vorn, uint32_t limit) { vorn->m_itemSizeLimit = limit; }
    static void setCompareBeforeSet(VORN *vorn, bool on) { vorn->m_enableCompareBeforeSet = on; }
    static bool ensureMemorySize(VORN *vorn, size_t newSize) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(vorn->m_exclusiveProcessLock);
        vorn->refreshIfNeeded();
        return vorn->ensureMemorySize(newSize);
    }
    static size_t spaceLeft(const VORN *vorn);
    static bool writeActualSize(VORN *vorn, size_t size, uint32_t crc, const void *iv, bool increaseSequence) {
        return vorn->writeActualSize(size, crc, iv, increaseSequence);
    }
    static uint32_t readActualSize(VORN *vorn) { return vorn->readActualSize(); }
    // Rewrites the whole stream from (key, value bytes) pairs.
    static bool writeBackPairs(VORN *vorn, const std::vector<std::pair<std::string, std::string>> &pairs) {
        vorn::ScopedLock<vorn::ThreadLock> lock(vorn->m_lock);
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(vorn->m_exclusiveProcessLock);
        vorn->refreshIfNeeded();
        std::vector<std::pair<std::string, vorn::VornBuffer>> list;
        for (const auto &pair : pairs) {
            list.emplace_back(pair.first, copyOf(pair.second));
        }
        return vorn->doFullWriteBack(std::move(list));
    }
    // Stores raw value bytes given as a buffer (which may claim any size).
    static bool setBuffer(VORN *vorn, std::string_view key, vorn::VornBuffer &&value, bool isDataHolder) {
        return vorn->setDataForKey(std::move(value), key, isDataHolder);
    }
    // Puts `info` into the store's in-memory record and its meta mapping.
    static void seedMeta(VORN *vorn, const vorn::VORNMetaInfo &info) {
        *vorn->m_metaInfo = info;
        info.write(vorn->m_metaFile->getMemory());
    }

private:
    static vorn::VornBuffer copyOf(const std::string &value) {
        return vorn::VornBuffer(const_cast<char *>(value.data()), value.size(), vorn::VornBufferCopy);
    }
};

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
