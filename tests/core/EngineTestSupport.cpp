#include "EngineTestSupport.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace vorn_test {

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

StoreOptions multiProcess(StoreOptions options) {
    options.mode = VORN_MULTI_PROCESS;
    return options;
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

void EngineTest::SetUp() {
    StoreTest::SetUp();
    VORN::registerHandler(&m_log);
    VORN::setLogLevel(VORNLogInfo);
}

void EngineTest::TearDown() {
    for (VORN *store : m_open) {
        store->close();
    }
    m_open.clear();
    VORN::unRegisterHandler();
    VORN::setLogLevel(VORNLogWarning);
}

VORN *EngineTest::open(const std::string &id, const StoreOptions &options) {
    VORNConfig config;
    config.mode = options.mode;
    config.aes256 = options.aes256;
    config.cryptKey = options.cryptKey.empty() ? nullptr : &options.cryptKey;
    config.rootPath = &storeRoot();
    config.expectedCapacity = options.capacity;
    config.recover = options.recover;
    config.itemSizeLimit = options.itemSizeLimit;
    VORN *store = VORN::vornWithID(id, config);
    EXPECT_NE(store, nullptr) << id;
    if (store) {
        m_open.insert(store);
    }
    return store;
}

void EngineTest::close(VORN *store) {
    m_open.erase(store);
    store->close();
}

VORN *EngineTest::reopen(VORN *store, const std::string &id, const StoreOptions &options) {
    close(store);
    return open(id, options);
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

} // namespace vorn_test
