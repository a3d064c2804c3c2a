#include "core/StoreRegistry.h"

#include <pthread.h>

#include <memory>

#include "core/StoreEngine.h"
#include "core/VORNNaming.h"
#include "log/VORNLog.h"
#include "log/VORNVersion.h"
#include "platform/MemoryFile.h"
#include "platform/OpenModeLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
#include "platform/VORNFileUtil.h"

#define VORN_LOG_SOURCE "VORN"

namespace vorn {

namespace {

constexpr const char *kLibraryVersion = VORN_VERSION_STRING;
constexpr const char *kArchitecture = "x86_64";

pthread_once_t g_minimalInitializeOnce = PTHREAD_ONCE_INIT;
std::unordered_map<std::string, StoreEngine *> *g_openStores = nullptr;
ThreadLock *g_registryLock = nullptr;

void initialize() {
    g_openStores = new std::unordered_map<std::string, StoreEngine *>;
    g_registryLock = new ThreadLock();
    size_t pageSize = initializeDefaultMmapSize();
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, "initialize", __LINE__, "version %s, page size %d, arch %s",
                      kLibraryVersion, static_cast<int>(pageSize), kArchitecture);
}

} // namespace

void ensureMinimalInitialize() {
    ThreadLock::ThreadOnce(&g_minimalInitializeOnce, initialize);
}

ThreadLock *registryLock() {
    return g_registryLock;
}

std::unordered_map<std::string, StoreEngine *> *openStores() {
    return g_openStores;
}

StoreEngine *openStore(const std::string &mmapID, const VORNConfig &config) {
    ScopedLock<ThreadLock> lock(g_registryLock);
    if (!g_openStores) {
        return nullptr; // after onExit
    }
    const bool readOnly = (config.mode & VORN_READ_ONLY) != 0;
    // A read-only open creates nothing, not even "specialCharacter".
    const std::string dataPath = storeDataPath(mmapID, config.rootPath, !readOnly);
    std::string key = storeRegistryKey(dataPath);
    auto found = g_openStores->find(key);
    if (found != g_openStores->end()) {
        return found->second;
    }
    const bool multiProcess = (config.mode & VORN_MULTI_PROCESS) != 0;
    const bool customRoot = config.rootPath && config.rootPath != &realGlobalRootDir();
    if (customRoot && !readOnly) {
        std::string specialPath = *config.rootPath + "/" + kSpecialCharacterDirectory;
        if (!isFileExist(specialPath)) {
            mkPath(specialPath);
        }
    }
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, "getVORNWithID", __LINE__,
                      "prepare to load %s (id %s) from rootPath %s", mmapID.c_str(), key.c_str(),
                      config.rootPath ? config.rootPath->c_str() : realGlobalRootDir().c_str());

    // Taken before the files are grown or mapped, so that a refused open
    // changes nothing another process relies on.
    auto modeLock = std::make_unique<OpenModeLock>();
    const bool exclusive = !readOnly && !multiProcess;
    const OpenModeLock::Result held = modeLock->acquire(dataPath, exclusive, !readOnly);
    if (held == OpenModeLock::Result::Conflict) {
        // Who holds it: shared holders let a shared probe in, an exclusive one does not.
        OpenModeLock probe;
        const bool sharedHolders = exclusive && probe.acquire(dataPath, false, false) == OpenModeLock::Result::Held;
        probe.release();
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "getVORNWithID", __LINE__,
                          "[%s] is open in another process in %s mode", mmapID.c_str(),
                          sharedHolders ? "multi-process or read-only" : "single-process");
        return nullptr;
    }
    if (held != OpenModeLock::Result::Held) {
        modeLock.reset(); // no data file to lock: the instance finds out at its first operation
    }

    auto engine = new StoreEngine(mmapID, dataPath, config, key, modeLock.release());
    (*g_openStores)[key] = engine;
    return engine;
}

void forgetStore(StoreEngine *engine) {
    if (!g_openStores) {
        return;
    }
    auto found = g_openStores->find(engine->registryKey());
    if (found != g_openStores->end() && found->second == engine) {
        g_openStores->erase(found);
    }
}

void closeAllStores() {
    if (!g_registryLock) {
        return;
    }
    ScopedLock<ThreadLock> lock(g_registryLock);
    if (!g_openStores) {
        return;
    }
    for (auto &pair : *g_openStores) {
        StoreEngine *engine = pair.second;
        engine->sync(SyncFlag::Sync);
        engine->clearMemoryCache(false);
        delete engine;
        pair.second = nullptr;
    }
    delete g_openStores;
    g_openStores = nullptr;
}

} // namespace vorn
