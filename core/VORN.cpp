#include "core/VORN.h"
#include "platform/MemoryFile.h"

#include <pthread.h>

#include <memory>
#include <unordered_map>

#include "core/NameSpace.h"
#include "core/VORNMetaInfo.h"
#include "core/VORNNaming.h"
#include "core/VORNStorage.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedOutputData.h"
#include "encoding/VornIndex.h"
#include "log/VORNLog.h"
#include "log/VORNVersion.h"
#include "platform/InterProcessLock.h"
#include "platform/OpenModeLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
#include "platform/VORNFileUtil.h"

#define VORN_LOG_SOURCE "VORN"

using namespace vorn;

namespace {

constexpr const char *kLibraryVersion = VORN_VERSION_STRING;
constexpr const char *kArchitecture = "x86_64";
constexpr const char *kDefaultStoreID = "vorn.default";

pthread_once_t g_minimalInitializeOnce = PTHREAD_ONCE_INIT;

// The root handed out when no global root was ever set. Opens under it are
// refused: an empty root would put files at the top of the file system.
const std::string g_noRoot;

void initialize() {
    g_instanceDic = new std::unordered_map<std::string, VORN *>;
    g_instanceLock = new ThreadLock();
    size_t pageSize = initializeDefaultMmapSize();
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, "initialize", __LINE__, "version %s, page size %d, arch %s",
                      kLibraryVersion, static_cast<int>(pageSize), kArchitecture);
}

bool hasGlobalRoot() {
    return !g_rootDir.empty();
}

// The root an open uses: the caller's, resolved; else the global root object
// itself (so the global-root naming rules apply); else the refusing sentinel.
const std::string *chooseRoot(const std::string *rootPath) {
    if (rootPath) {
        return &resolveRootPath(*rootPath);
    }
    if (hasGlobalRoot()) {
        return &g_realRootDir;
    }
    warnNoDefaultNameSpace();
    return &g_noRoot;
}

} // namespace

std::unordered_map<std::string, VORN *> *g_instanceDic = nullptr;
ThreadLock *g_instanceLock = nullptr;

namespace vorn {
void ensureMinimalInitialize() {
    ThreadLock::ThreadOnce(&g_minimalInitializeOnce, initialize);
}
} // namespace vorn

void VORN::initializeVORN(const std::string &rootDir, VORNLogLevel logLevel, VORNHandler *handler) {
    storeLogLevel(logLevel);
    storeHandler(handler);
    ensureMinimalInitialize();
    if (g_rootDir.empty()) {
        g_rootDir = rootDir;
        g_realRootDir = resolveRootPath(rootDir);
        mkPath(g_realRootDir);
    }
    VORNInfo("root dir: %s", g_realRootDir.c_str());
}

const std::string &VORN::getRootDir() {
    return g_rootDir;
}

VORN *VORN::vornWithID(const std::string &mmapID, const VORNConfig &config) {
    if (mmapID.empty() || !g_instanceLock) {
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
    if (mmapID.empty() || !g_instanceLock) {
        return nullptr;
    }
    if (config.rootPath == &g_noRoot || (!config.rootPath && !hasGlobalRoot())) {
        return nullptr;
    }
    // Nothing below waits for another process: an open of one store must not
    // hold up opens of others behind this lock.
    ScopedLock<ThreadLock> lock(g_instanceLock);
    if (!g_instanceDic) {
        return nullptr; // after onExit
    }
    const bool readOnly = (config.mode & VORN_READ_ONLY) != 0;
    // A read-only open creates nothing, not even "specialCharacter".
    const std::string dataPath = storeDataPath(mmapID, config.rootPath, !readOnly);
    std::string key = storeRegistryKey(dataPath);
    auto found = g_instanceDic->find(key);
    if (found != g_instanceDic->end()) {
        return found->second;
    }
    const bool multiProcess = (config.mode & VORN_MULTI_PROCESS) != 0;
    const bool customRoot = config.rootPath && config.rootPath != &g_realRootDir;
    if (customRoot && !readOnly) {
        std::string specialPath = *config.rootPath + "/" + kSpecialCharacterDirectory;
        if (!isFileExist(specialPath)) {
            mkPath(specialPath);
        }
    }
    VORNInfo("prepare to load %s (id %s) from rootPath %s", mmapID.c_str(), key.c_str(),
             config.rootPath ? config.rootPath->c_str() : g_realRootDir.c_str());

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
        VORNError("[%s] is open in another process in %s mode", mmapID.c_str(),
                  sharedHolders ? "multi-process or read-only" : "single-process");
        return nullptr;
    }
    if (held != OpenModeLock::Result::Held) {
        modeLock.reset(); // no data file to lock: the instance finds out at its first operation
    }

    auto vorn = new VORN(mmapID, dataPath, config);
    vorn->m_registryKey = key;
    vorn->m_openModeLock = modeLock.release();
    (*g_instanceDic)[key] = vorn;
    return vorn;
}

NameSpace VORN::nameSpace(const std::string &rootPath) {
    if (!g_instanceLock) {
        ensureMinimalInitialize();
    }
    return NameSpace(resolveRootPath(rootPath));
}

NameSpace VORN::defaultNameSpace() {
    if (hasGlobalRoot()) {
        return NameSpace(g_realRootDir);
    }
    warnNoDefaultNameSpace();
    return NameSpace(g_noRoot);
}

void VORN::onExit() {
    if (!g_instanceLock) {
        return;
    }
    ScopedLock<ThreadLock> lock(g_instanceLock);
    if (!g_instanceDic) {
        return;
    }
    for (auto &pair : *g_instanceDic) {
        VORN *vorn = pair.second;
        vorn->sync(SyncFlag::Sync);
        vorn->clearMemoryCache(false);
        delete vorn;
        pair.second = nullptr;
    }
    delete g_instanceDic;
    g_instanceDic = nullptr;
}

void VORN::setLogLevel(VORNLogLevel level) {
    if (!g_instanceLock) {
        return;
    }
    ScopedLock<ThreadLock> lock(g_instanceLock);
    storeLogLevel(level);
}

void VORN::registerHandler(VORNHandler *handler) {
    if (!g_instanceLock) {
        return;
    }
    ScopedLock<ThreadLock> lock(g_instanceLock);
    storeHandler(handler);
}

void VORN::unRegisterHandler() {
    registerHandler(nullptr);
}

VORN::VORN(const std::string &mmapID, const std::string &dataPath, const VORNConfig &config)
    : m_mmapID(mmapID), m_mode(config.mode), m_path(dataPath), m_plainIndex(nullptr), m_cryptIndex(nullptr), m_actualSize(0),
      m_output(nullptr), m_needLoadFromFile(true), m_hasFullWriteback(false), m_crcDigest(0), m_crypter(nullptr),
      m_enableKeyExpire(false), m_expiredInSeconds(0), m_enableCompareBeforeSet(false), m_recover(config.recover),
      m_itemSizeLimit(config.itemSizeLimit), m_hasCheckedDiskError(false), m_streamUndecodable(false),
      m_openModeLock(nullptr), m_openConfigPending(config.enableKeyExpire.has_value() || config.enableCompareBeforeSet),
      m_openEnableKeyExpire(config.enableKeyExpire), m_openExpiredInSeconds(config.expiredInSeconds),
      m_openCompareBeforeSet(config.enableCompareBeforeSet) {
    m_metaPath = crcPathWithPath(m_path);

    // Whole pages, at least one: 0 maps one page, a page plus one byte two.
    const size_t unit = DEFAULT_MMAP_SIZE;
    size_t rounded = (config.expectedCapacity + unit - 1) / unit * unit;
    m_expectedCapacity = rounded > unit ? rounded : unit;

    const bool readOnly = (m_mode & VORN_READ_ONLY) != 0;
    const bool multiProcess = (m_mode & VORN_MULTI_PROCESS) != 0;
    m_file = new MemoryFile(m_path, m_expectedCapacity, readOnly, true);
    // Mapped at the first operation: mapping takes the meta file's flock,
    // which another process may hold for as long as it likes (lock()).
    m_metaFile = new MemoryFile(m_metaPath, 0, readOnly, !multiProcess, false);
    m_metaInfo = new VORNMetaInfo();

    m_lock = new ThreadLock();
    m_fileLock = new FileLock(multiProcess ? m_metaFile->getFd() : -1);
    m_sharedProcessLock = new InterProcessLock(m_fileLock, LockType::Shared);
    m_exclusiveProcessLock = new InterProcessLock(m_fileLock, LockType::Exclusive);

    if (config.cryptKey && !config.cryptKey->empty()) {
        m_cryptIndex = newStoreIndex<VORNMapCrypt>();
        m_crypter = new AESCrypt(config.cryptKey->data(), config.cryptKey->size(), nullptr, 0, config.aes256);
    } else {
        m_plainIndex = newStoreIndex<VORNMap>();
    }
    m_sharedProcessLock->setEnable(multiProcess);
    m_exclusiveProcessLock->setEnable(multiProcess);
    // The config's expiry and compare-before-set switches wait for the
    // first operation (applyOpenConfig).
}

void VORN::applyOpenConfig() {
    ScopedLock<ThreadLock> lock(m_lock);
    if (!m_openConfigPending) {
        return;
    }
    // Cleared first: switching expiry loads and rewrites the store through
    // operations that come back here.
    m_openConfigPending = false;
    if (m_openEnableKeyExpire && !isReadOnly() && !m_metaFile->isFileValid()) {
        // Mapped before the exclusive hold below: mapping takes and drops a
        // flock of its own on the descriptor that carries the hold.
        reloadMetaFile();
    }
    VORNConfig config;
    config.enableKeyExpire = m_openEnableKeyExpire;
    config.expiredInSeconds = m_openExpiredInSeconds;
    applyKeyExpireConfig(config);
    if (m_openCompareBeforeSet) {
        enableCompareBeforeSet();
    }
}

VORN::~VORN() {
    clearMemoryCache(false);
    delete m_plainIndex;
    delete m_cryptIndex;
    delete m_crypter;
    delete m_metaInfo;
    delete m_lock;
    delete m_sharedProcessLock;
    delete m_exclusiveProcessLock;
    // The flock lives on the meta file's descriptor: release it before closing.
    if (m_fileLock->getFd() >= 0) {
        m_fileLock->destroyAndUnLock();
    }
    delete m_fileLock;
    delete m_metaFile;
    delete m_file;
    // Last: another process may take the store in an incompatible mode only
    // once nothing of it is mapped here.
    delete m_openModeLock;
    VORNInfo("destruct [%s]", m_mmapID.c_str());
}

void VORN::close() {
    VORNInfo("close [%s]", m_mmapID.c_str());
    ThreadLock *registryLock = g_instanceLock;
    if (registryLock) {
        registryLock->lock();
    }
    // Waits for other threads still inside an operation of this instance; the
    // hold is released by the lock's destructor below.
    m_lock->lock();
    if (g_instanceDic) {
        auto found = g_instanceDic->find(m_registryKey);
        if (found != g_instanceDic->end() && found->second == this) {
            g_instanceDic->erase(found);
        }
    }
    delete this;
    if (registryLock) {
        registryLock->unlock();
    }
}

void VORN::clearMemoryCache(bool keepMmap) {
    ScopedLock<ThreadLock> lock(m_lock);
    if (m_needLoadFromFile) {
        return;
    }
    VORNInfo("clearMemoryCache [%s]", m_mmapID.c_str());
    m_needLoadFromFile = true;
    m_hasFullWriteback = false;
    if (m_plainIndex) {
        m_plainIndex->clear();
    }
    if (m_cryptIndex) {
        m_cryptIndex->clear();
    }
    if (m_crypter) {
        if (m_metaInfo->m_version >= MetaVersionIV) {
            m_crypter->resetIV(m_metaInfo->m_vector, sizeof(m_metaInfo->m_vector));
        } else {
            m_crypter->resetIV();
        }
    }
    delete m_output;
    m_output = nullptr;
    if (!keepMmap) {
        m_file->doCleanMemoryCache();
    }
    m_actualSize = 0;
    m_metaInfo->m_crcDigest = 0;
}

void VORN::sync(SyncFlag flag) {
    VORNInfo("VORN::sync, SyncFlag = %d", static_cast<int>(flag));
    ScopedLock<ThreadLock> lock(m_lock);
    if (m_needLoadFromFile || !m_file->isFileValid()) {
        return;
    }
    ScopedLock<InterProcessLock> processLock(m_exclusiveProcessLock);
    m_file->msync(flag);
    m_metaFile->msync(flag);
}
