#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORN.h"
#include "log/VORNHandler.h"

namespace vorn_test {

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

struct StoreOptions {
    VORNMode mode = VORN_SINGLE_PROCESS;
    std::string cryptKey; // empty: a plain store
    bool aes256 = false;
    size_t capacity = 0;
    std::optional<VORNRecoverStrategic> recover;
    uint32_t itemSizeLimit = 0;
};

StoreOptions multiProcess(StoreOptions options = {});
StoreOptions readOnly(StoreOptions options = {});
StoreOptions encrypted(const std::string &key, bool aes256 = false, StoreOptions options = {});

// A store test with the handler registered and info lines on. Stores opened
// with open() are closed at the end of the test.
class EngineTest : public StoreTest {
protected:
    void SetUp() override;
    void TearDown() override;

    VORN *open(const std::string &id, const StoreOptions &options = {});
    // Closes the store (it may be opened again with open()).
    void close(VORN *store);
    VORN *reopen(VORN *store, const std::string &id, const StoreOptions &options = {});

    // The root stores are opened under: this test's own directory, or the
    // one a parent process passed to this (child) process.
    const std::string &storeRoot() const { return m_storeRoot.empty() ? root() : m_storeRoot; }
    void setStoreRoot(const std::string &path) { m_storeRoot = path; }
    // In a child started by runSelf/startSelf with the parent's root as its
    // argument: work on that root and return true; false in the parent.
    bool isChild() {
        if (currentRole().empty()) {
            return false;
        }
        setStoreRoot(currentArg());
        return true;
    }

    std::string dataPath(const std::string &id) const { return storeRoot() + "/" + id; }
    std::string metaPath(const std::string &id) const { return storeRoot() + "/" + id + ".crc"; }

    RecordingHandler m_log;

private:
    std::set<VORN *> m_open;
    std::string m_storeRoot;
};

// The meta record in a meta file's bytes (the first 112).
vorn::VORNMetaInfo metaFromBytes(const std::string &bytes);

// crc32 from 0 over bytes.
uint32_t crcOf(const std::string &bytes);

// Bytes as "0A 1B ..." for messages.
std::string hex(const std::string &bytes);

} // namespace vorn_test
