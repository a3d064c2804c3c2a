#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/StoreTestSupport.h"
#include "core/VORN.h"
#include "log/VORNHandler.h"

namespace vorn_crash {

// A store set-up the harnesses run over (plain or encrypted, one process or
// several); the store's id is its name. A harness process opens it with
// vorn_test::openStore(root, kind.name, kind.options).
struct StoreKind {
    const char *name;
    vorn_test::StoreOptions options;
};

// Every value a harness writes is unique: it names its key, the writing run and
// a counter, then is padded to `length` bytes with a pattern tied to the same
// three, so a value cut short, shifted or mixed with another one never equals a
// written value.
std::string makeValue(const std::string &key, uint32_t run, uint32_t counter, size_t length);

// A number from the environment, or `fallback` when unset or not a number.
long envNumber(const char *name, long fallback);

// Counts the log lines that tell of a stream that did not match its CRC,
// and the CRC-failure callbacks. Messages are kept for failure reports.
class CRCLogWatch : public vorn::VORNHandler {
public:
    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override;
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &mmapID) override;
    VORNRecoverStrategic onVORNFileLengthError(const std::string &mmapID) override;
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}

    int crcMismatches = 0;
    int crcCallbacks = 0;
    // Loads that finished a rewrite a killed process left in its journal.
    int rewritesFinished = 0;
    // Loads that took an append whose CRC reached the meta record but whose
    // length did not (the writer was killed between the two stores).
    int appendsCompleted = 0;
    int lengthCallbacks = 0;
    std::vector<std::string> errors;
};

// Writes all of `bytes` to fd in one write() call per record, so a reader
// sees either the whole record or none of it (records stay under PIPE_BUF).
void writeRecord(int fd, const std::string &bytes);

} // namespace vorn_crash
