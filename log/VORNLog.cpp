#include "log/VORNLog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

int g_currentLogLevel = VORNLogInfo;
vorn::VORNHandler *g_handler = nullptr;

void vorn::setLogging(VORNLogLevel level, VORNHandler *handler) {
    storeLogLevel(level);
    storeHandler(handler);
}

namespace vorn {

VORNHandler::~VORNHandler() = default;
void VORNHandler::reserved() {}

VORNRecoverStrategic onVORNCRCCheckFail(const std::string &mmapID) {
    VORNHandler *handler = loadHandler();
    return handler ? handler->onVORNCRCCheckFail(mmapID) : OnErrorDiscard;
}

VORNRecoverStrategic onVORNFileLengthError(const std::string &mmapID) {
    VORNHandler *handler = loadHandler();
    return handler ? handler->onVORNFileLengthError(mmapID) : OnErrorDiscard;
}

} // namespace vorn

namespace {

const char *levelLetter(VORNLogLevel level) {
    switch (level) {
    case VORNLogDebug:
        return "D";
    case VORNLogInfo:
        return "I";
    case VORNLogWarning:
        return "W";
    case VORNLogError:
        return "E";
    default:
        return "N";
    }
}

} // namespace

void _VORNLogWithLevel(VORNLogLevel level, const char *file, const char *func, int line, const char *format, ...) {
    if (vorn::loadLogLevel() > level) {
        return;
    }

    // Short messages are formatted once into scratch; longer ones a second time
    // straight into a string of the exact size. The second pass needs its own
    // va_list: one that was consumed by vsnprintf may not be reused.
    std::string message;
    char scratch[16];
    va_list args;
    va_start(args, format);
    va_list second;
    va_copy(second, args);
    int length = vsnprintf(scratch, sizeof(scratch), format, args);
    va_end(args);
    if (length > 0 && static_cast<size_t>(length) < sizeof(scratch)) {
        message.assign(scratch, static_cast<size_t>(length));
    } else if (length > 0) {
        message.resize(static_cast<size_t>(length));
        vsnprintf(&message[0], message.size() + 1, format, second);
    }
    va_end(second);

    vorn::VORNHandler *handler = vorn::loadHandler();
    if (handler) {
        handler->logMessage(level, file, line, func, message);
        return;
    }
    printf("[%s] <%s:%d::%s> %s\n", levelLetter(level), file, line, func, message.c_str());
}
