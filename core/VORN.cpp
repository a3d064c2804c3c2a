#define VORN_LOG_SOURCE "VORN"

// The public face: process set-up, opening through the registry, and the
// instance methods, each handed to the store's engine (core/StoreEngine.h).
// The typed setters and getters are in VORN_Typed.cpp.

#include "core/VORN.h"

#include "core/NameSpace.h"
#include "core/StoreEngine.h"
#include "core/StoreRegistry.h"
#include "core/VORNNaming.h"
#include "core/VORNStorage.h"
#include "log/VORNLog.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
#include "platform/VORNFileUtil.h"

using namespace vorn;

namespace {

constexpr const char *kDefaultStoreID = "vorn.default";

// The root handed out when no global root was ever set. Opens under it are
// refused: an empty root would put files at the top of the file system.
const std::string g_noRoot;

bool hasGlobalRoot() {
    return !globalRootDir().empty();
}

// The root an open uses: the caller's, resolved; else the global root object
// itself (so the global-root naming rules apply); else the refusing sentinel.
const std::string *chooseRoot(const std::string *rootPath) {
    if (rootPath) {
        return &resolveRootPath(*rootPath);
    }
    if (hasGlobalRoot()) {
        return &realGlobalRootDir();
    }
    warnNoDefaultNameSpace();
    return &g_noRoot;
}

} // namespace

void VORN::initializeVORN(const std::string &rootDir, VORNLogLevel logLevel, VORNHandler *handler) {
    storeLogLevel(logLevel);
    storeHandler(handler);
    ensureMinimalInitialize();
    if (setGlobalRoot(rootDir)) {
        mkPath(realGlobalRootDir());
    }
    VORNInfo("root dir: %s", realGlobalRootDir().c_str());
}

const std::string &VORN::getRootDir() {
    return globalRootDir();
}

VORN *VORN::vornWithID(const std::string &mmapID, const VORNConfig &config) {
    if (mmapID.empty() || !registryLock()) {
        return nullptr;
    }
    VORNConfig rooted = config;
    rooted.rootPath = chooseRoot(config.rootPath);
    return getVORNWithID(mmapID, rooted);
}

VORN *VORN::vornWithID(const std::string &mmapID, VORNMode mode, const std::string *cryptKey,
                       const std::string *rootPath, size_t expectedCapacity, bool aes256) {
    VORNConfig config;
    config.mode = mode;
    config.cryptKey = cryptKey;
    config.rootPath = rootPath;
    config.expectedCapacity = expectedCapacity;
    config.aes256 = aes256;
    return vornWithID(mmapID, config);
}

VORN *VORN::defaultVORN(const VORNConfig &config) {
    return vornWithID(kDefaultStoreID, config);
}

VORN *VORN::defaultVORN(VORNMode mode, const std::string *cryptKey, bool aes256) {
    return vornWithID(kDefaultStoreID, mode, cryptKey, nullptr, 0, aes256);
}

VORN *VORN::getVORNWithID(const std::string &mmapID, const VORNConfig &config) {
    if (mmapID.empty() || !registryLock()) {
        return nullptr;
    }
    if (config.rootPath == &g_noRoot || (!config.rootPath && !hasGlobalRoot())) {
        return nullptr;
    }
    StoreEngine *engine = openStore(mmapID, config);
    return engine ? engine->handle() : nullptr;
}

NameSpace VORN::nameSpace(const std::string &rootPath) {
    if (!registryLock()) {
        ensureMinimalInitialize();
    }
    return NameSpace(resolveRootPath(rootPath));
}

NameSpace VORN::defaultNameSpace() {
    if (hasGlobalRoot()) {
        return NameSpace(realGlobalRootDir());
    }
    warnNoDefaultNameSpace();
    return NameSpace(g_noRoot);
}

void VORN::onExit() {
    closeAllStores();
}

void VORN::setLogLevel(VORNLogLevel level) {
    if (!registryLock()) {
        return;
    }
    ScopedLock<ThreadLock> lock(registryLock());
    storeLogLevel(level);
}

void VORN::registerHandler(VORNHandler *handler) {
    if (!registryLock()) {
        return;
    }
    ScopedLock<ThreadLock> lock(registryLock());
    storeHandler(handler);
}

void VORN::unRegisterHandler() {
    registerHandler(nullptr);
}

const std::string &VORN::mmapID() const {
    return m_engine->mmapID();
}

void VORN::close() {
    m_engine->close();
}

uint32_t VORN::getCurrentTimeInSecond() {
    return StoreEngine::getCurrentTimeInSecond();
}

uint32_t VORN::safeExpirationPlusCurrentTime(uint32_t seconds) {
    return StoreEngine::safeExpirationPlusCurrentTime(seconds);
}

// ---- Handed to the engine ----

void VORN::clearMemoryCache(bool keepMmap) {
    m_engine->clearMemoryCache(keepMmap);
}

void VORN::sync(vorn::SyncFlag flag) {
    m_engine->sync(flag);
}

void VORN::checkContentChanged() {
    m_engine->checkContentChanged();
}

void VORN::lock() {
    m_engine->lock();
}

void VORN::unlock() {
    m_engine->unlock();
}

bool VORN::try_lock() {
    return m_engine->try_lock();
}

void VORN::lock_thread() {
    m_engine->lock_thread();
}

void VORN::unlock_thread() {
    m_engine->unlock_thread();
}

bool VORN::try_lock_thread() {
    return m_engine->try_lock_thread();
}

bool VORN::containsKey(std::string_view key) {
    return m_engine->containsKey(key);
}

size_t VORN::count(bool filterExpire) {
    return m_engine->count(filterExpire);
}

std::vector<std::string> VORN::allKeys(bool filterExpire) {
    return m_engine->allKeys(filterExpire);
}

size_t VORN::totalSize() {
    return m_engine->totalSize();
}

size_t VORN::actualSize() {
    return m_engine->actualSize();
}

bool VORN::removeValueForKey(std::string_view key) {
    return m_engine->removeValueForKey(key);
}

bool VORN::removeValuesForKeys(const std::vector<std::string> &keys) {
    return m_engine->removeValuesForKeys(keys);
}

void VORN::shared_lock() {
    m_engine->shared_lock();
}

void VORN::shared_unlock() {
    m_engine->shared_unlock();
}

bool VORN::enableAutoKeyExpire(uint32_t expiredInSeconds) {
    return m_engine->enableAutoKeyExpire(expiredInSeconds);
}

bool VORN::disableAutoKeyExpire() {
    return m_engine->disableAutoKeyExpire();
}

uint32_t VORN::getExpireTimeForKey(std::string_view key) {
    return m_engine->getExpireTimeForKey(key);
}

bool VORN::enableCompareBeforeSet() {
    return m_engine->enableCompareBeforeSet();
}

bool VORN::disableCompareBeforeSet() {
    return m_engine->disableCompareBeforeSet();
}

void VORN::clearAll(bool keepSpace) {
    m_engine->clearAll(keepSpace);
}

void VORN::trim() {
    m_engine->trim();
}

bool VORN::reKey(const std::string &cryptKey, bool aes256) {
    return m_engine->reKey(cryptKey, aes256);
}

void VORN::checkReSetCryptKey(const std::string *cryptKey, bool aes256) {
    m_engine->checkReSetCryptKey(cryptKey, aes256);
}

std::string VORN::cryptKey() const {
    return m_engine->cryptKey();
}

size_t VORN::importFrom(VORN *src) {
    return m_engine->importFrom(src ? src->m_engine : nullptr);
}

bool VORN::isFileValid() {
    return m_engine->isFileValid();
}

bool VORN::isFileValid(const std::string &mmapID, const std::string *rootPath) {
    return vorn::StoreEngine::isFileValid(mmapID, rootPath);
}

bool VORN::removeStorage(const std::string &mmapID, const std::string *rootPath) {
    return vorn::StoreEngine::removeStorage(mmapID, rootPath);
}

bool VORN::checkExist(const std::string &mmapID, const std::string *rootPath) {
    return vorn::StoreEngine::checkExist(mmapID, rootPath);
}

VORN::Inspection VORN::inspect() {
    return m_engine->inspect();
}

vorn::VornBuffer VORN::rawValue(std::string_view key) {
    return m_engine->rawValue(key);
}

bool VORN::backupOneToDirectory(const std::string &mmapID, const std::string &dstDir, const std::string *srcDir) {
    return vorn::StoreEngine::backupOneToDirectory(mmapID, dstDir, srcDir);
}

bool VORN::restoreOneFromDirectory(const std::string &mmapID, const std::string &srcDir, const std::string *dstDir) {
    return vorn::StoreEngine::restoreOneFromDirectory(mmapID, srcDir, dstDir);
}

size_t VORN::backupAllToDirectory(const std::string &dstDir, const std::string *srcDir) {
    return vorn::StoreEngine::backupAllToDirectory(dstDir, srcDir);
}

size_t VORN::restoreAllFromDirectory(const std::string &srcDir, const std::string *dstDir) {
    return vorn::StoreEngine::restoreAllFromDirectory(srcDir, dstDir);
}
