#pragma once

// The small declarations every public header shares: the export macro, the
// log levels, the host's answers to damage, the flush depth, the handler.

#include <cstdint>
#include <string>

// The library is built with hidden visibility: a class, function or global
// is part of the shared library's interface only when it carries VORN_EXPORT.
#if defined(__GNUC__) || defined(__clang__)
#define VORN_EXPORT __attribute__((visibility("default")))
#else
#define VORN_EXPORT
#endif

// Log levels, lowest first. A message is emitted when its level is at least
// g_currentLogLevel; VORNLogNone silences everything.
enum VORNLogLevel : int {
    VORNLogDebug = 0,
    VORNLogInfo = 1,
    VORNLogWarning = 2,
    VORNLogError = 3,
    VORNLogNone = 4,
};

// The host's answer when a store's file is damaged.
enum VORNRecoverStrategic : int32_t {
    OnErrorDiscard = 0, // drop what the file holds, start empty
    OnErrorRecover = 1, // keep every record that still decodes, then rewrite the file
};

namespace vorn {

// How far a flush of a mapped file goes (VORN::sync).
enum class SyncFlag : uint8_t {
    Async = 0, // schedule the flush (MS_ASYNC)
    Sync = 1,  // flush and wait (MS_SYNC)
};

// Callbacks a host implements and registers with VORN::registerHandler.
//
// Ownership: the host creates the handler and keeps it alive while it is
// registered; the library never deletes it.
// Threading: every callback runs on the thread working on the store, with that
// store's locks held. A callback may be called from several threads at once and
// must not wait for another thread that uses the same store.
class VORN_EXPORT VORNHandler {
public:
    virtual ~VORNHandler();

    // Reserved so that the callback slots keep their places in the vtable.
    virtual void reserved();

    // A message passed the level filter. `message` has no trailing newline.
    virtual void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                            const std::string &message) = 0;

    // The store's content does not match its CRC and its last confirmed
    // state does not help.
    virtual VORNRecoverStrategic onVORNCRCCheckFail(const std::string &mmapID) = 0;

    // The store's recorded content size is larger than its data file.
    virtual VORNRecoverStrategic onVORNFileLengthError(const std::string &mmapID) = 0;

    // The store reloaded because another process changed it, or a restore
    // replaced its files.
    virtual void onContentChanged(const std::string &mmapID) = 0;

    // A load of the store's contents completed.
    virtual void onContentLoaded(const std::string &mmapID) = 0;
};

// Ask the registered handler; OnErrorDiscard when none is registered.
VORN_EXPORT VORNRecoverStrategic onVORNCRCCheckFail(const std::string &mmapID);
VORN_EXPORT VORNRecoverStrategic onVORNFileLengthError(const std::string &mmapID);

} // namespace vorn

namespace vorn {

// The process-wide filter level (initially VORNLogInfo) and handler
// (initially null, borrowed), set at once. VORN::setLogLevel and
// registerHandler change them only once the library is initialised; this
// works before as well, for a host that routes the initialisation's own lines.
VORN_EXPORT void setLogging(VORNLogLevel level, VORNHandler *handler);

} // namespace vorn
