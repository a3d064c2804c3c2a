#include "CrashTestSupport.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace vorn_crash {

std::string makeValue(const std::string &key, uint32_t run, uint32_t counter, size_t length) {
    std::string value = key + "#" + std::to_string(run) + "." + std::to_string(counter) + ":";
    uint32_t state = (run * 2654435761u) ^ (counter * 40503u) ^ static_cast<uint32_t>(key.size());
    while (value.size() < length) {
        state = state * 1103515245u + 12345u;
        value.push_back(static_cast<char>('a' + (state >> 16) % 26));
    }
    return value;
}

long envNumber(const char *name, long fallback) {
    const char *text = getenv(name);
    if (!text || !*text) {
        return fallback;
    }
    char *end = nullptr;
    long value = strtol(text, &end, 10);
    return *end == '\0' && value > 0 ? value : fallback;
}

void CRCLogWatch::logMessage(VORNLogLevel, const char *, int, const char *, const std::string &message) {
    // "check crc [<id>] fail, ..." (a full load) and "m_crcDigest[..] != ..."
    // (an incremental load of another process's appends).
    if (message.rfind("check crc [", 0) == 0 || message.rfind("m_crcDigest[", 0) == 0) {
        crcMismatches++;
    }
    if (message.find("finished an interrupted rewrite") != std::string::npos) {
        rewritesFinished++;
    }
    if (message.find("the last append's length was not recorded") != std::string::npos) {
        appendsCompleted++;
    }
    if (errors.size() < 50) {
        errors.push_back(message);
    }
}

VORNRecoverStrategic CRCLogWatch::onVORNCRCCheckFail(const std::string &) {
    crcCallbacks++;
    return OnErrorDiscard;
}

VORNRecoverStrategic CRCLogWatch::onVORNFileLengthError(const std::string &) {
    lengthCallbacks++;
    return OnErrorDiscard;
}

void writeRecord(int fd, const std::string &bytes) {
    ssize_t written;
    do {
        written = write(fd, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(bytes.size())) {
        _exit(70); // the reader is gone; nothing more can be confirmed
    }
}

} // namespace vorn_crash
