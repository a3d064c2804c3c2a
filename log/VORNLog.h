#pragma once

#include "log/VORNHandler.h"

// The library's one log sink. Messages below g_currentLogLevel cost one
// comparison (made at the call site by the macros below). A message that
// passes goes to g_handler when one is registered (without a newline), else to
// standard output as
// "[L] <file:line::function> message\n", where L is D, I, W, E (N for any other
// level). Never throws for formatting: a format error yields an empty message.
//
// `file` is the caller's short source name (VORN, VORN_IO, MemoryFile, ...),
// `func` the operation that logs, `line` the call site's source line.
VORN_EXPORT void _VORNLogWithLevel(VORNLogLevel level, const char *file, const char *func, int line,
                                   const char *format, ...) __attribute__((format(printf, 5, 6)));

// Call-site helpers. Each source file defines VORN_LOG_SOURCE to its short
// source name before using them, e.g. `#define VORN_LOG_SOURCE "MemoryFile"`.
// A message below the filter level costs one load and one comparison at the
// call site: no call, and its arguments are not evaluated.
#define VORN_LOG_AT(level, format, ...)                                                                                \
    (vorn::loadLogLevel() > (level)                                                                                    \
         ? (void)0                                                                                                     \
         : _VORNLogWithLevel(level, VORN_LOG_SOURCE, __func__, __LINE__, format, ##__VA_ARGS__))
#define VORNDebug(format, ...) VORN_LOG_AT(VORNLogDebug, format, ##__VA_ARGS__)
#define VORNInfo(format, ...) VORN_LOG_AT(VORNLogInfo, format, ##__VA_ARGS__)
#define VORNWarning(format, ...) VORN_LOG_AT(VORNLogWarning, format, ##__VA_ARGS__)
#define VORNError(format, ...) VORN_LOG_AT(VORNLogError, format, ##__VA_ARGS__)

namespace vorn {

} // namespace vorn

// The filter level and the handler: globals inside the library (not
// exported), changed by VORN::setLogLevel / registerHandler / setLogging while
// other threads may be logging. The library reads and writes them only
// through these atomic accesses; the handler's store publishes the object it
// points to (release / acquire).
extern int g_currentLogLevel;
extern vorn::VORNHandler *g_handler;

namespace vorn {

inline int loadLogLevel() {
    return __atomic_load_n(&g_currentLogLevel, __ATOMIC_RELAXED);
}
inline void storeLogLevel(int level) {
    __atomic_store_n(&g_currentLogLevel, level, __ATOMIC_RELAXED);
}
inline VORNHandler *loadHandler() {
    return __atomic_load_n(&g_handler, __ATOMIC_ACQUIRE);
}
inline void storeHandler(VORNHandler *handler) {
    __atomic_store_n(&g_handler, handler, __ATOMIC_RELEASE);
}

} // namespace vorn
