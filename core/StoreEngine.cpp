#define VORN_LOG_SOURCE "VORN"

// The engine's life: its files, locks and index made at the open, the open
// config applied at the first operation, and the flush and release at the end.

#include "core/StoreEngine.h"

#include "core/StoreRegistry.h"
#include "core/VORNMetaInfo.h"
#include "core/VORNNaming.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedOutputData.h"
#include "encoding/VornIndex.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/OpenModeLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

namespace vorn {

namespace {

// Whole pages, at least one: 0 maps one page, a page plus one byte two.
size_t openingSizeOf(size_t expectedCapacity) {
    const size_t unit = vorn::mmapUnitSize();
    const size_t rounded = (expectedCapacity + unit - 1) / unit * unit;
    return rounded > unit ? rounded : unit;
}

} // namespace

StoreEngine::StoreEngine(const std::string &mmapID, const std::string &dataPath, const VORNConfig &config,
                         const std::string &registryKey, OpenModeLock *openModeLock)
    : m_registryKey(registryKey), m_mmapID(mmapID), m_mode(config.mode), m_openModeLock(openModeLock), m_path(dataPath),
      m_metaPath(crcPathWithPath(dataPath)), m_index(config.cryptKey && !config.cryptKey->empty()),
      m_expectedCapacity(openingSizeOf(config.expectedCapacity)),
      m_stream(dataPath, m_expectedCapacity, (config.mode & VORN_READ_ONLY) != 0), 
      // Mapped at the first operation: mapping takes the meta file's flock,
      // which another process may hold for as long as it likes (lock()).
      m_meta(m_metaPath, (config.mode & VORN_READ_ONLY) != 0, (config.mode & VORN_MULTI_PROCESS) == 0),
      m_sync((config.mode & VORN_MULTI_PROCESS) != 0, m_meta, &StoreEngine::mapMetaBeforeHold, this),
      m_needLoadFromFile(true),
      m_hasFullWriteback(false), m_crypter(nullptr), m_enableKeyExpire(false), m_expiredInSeconds(0),
      m_enableCompareBeforeSet(false), m_recover(config.recover), m_itemSizeLimit(config.itemSizeLimit),
      m_hasCheckedDiskError(false), m_streamUndecodable(false),
      m_openConfigPending(config.enableKeyExpire.has_value() || config.enableCompareBeforeSet),
      m_openEnableKeyExpire(config.enableKeyExpire), m_openExpiredInSeconds(config.expiredInSeconds),
      m_openCompareBeforeSet(config.enableCompareBeforeSet) {
    if (config.cryptKey && !config.cryptKey->empty()) {
        m_crypter = new AESCrypt(config.cryptKey->data(), config.cryptKey->size(), nullptr, 0, config.aes256);
    }
    // A plain index reads its keys in the mapped stream, wherever the data
    // file is mapped at the time.
    m_index.bindStream(m_stream.file().mappingAddress(), kDataFileHeaderSize);
    // The config's expiry and compare-before-set switches wait for the
    // first operation (applyOpenConfig).
    m_handle = new VORN(this);
}

void StoreEngine::mapMetaBeforeHold(void *engine) {
    auto self = static_cast<StoreEngine *>(engine);
    if (!self->m_meta.isMapped()) {
        self->reloadMetaFile();
    }
}

void StoreEngine::applyOpenConfig() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    if (!m_openConfigPending) {
        return;
    }
    // Cleared first: switching expiry loads and rewrites the store through
    // operations that come back here.
    m_openConfigPending = false;
    VORNConfig config;
    config.enableKeyExpire = m_openEnableKeyExpire;
    config.expiredInSeconds = m_openExpiredInSeconds;
    applyKeyExpireConfig(config);
    if (m_openCompareBeforeSet) {
        enableCompareBeforeSet();
    }
}

StoreEngine::~StoreEngine() {
    clearMemoryCache(false);
    delete m_crypter;
    VORNInfo("destruct [%s]", m_mmapID.c_str());
    delete m_handle;
}

void StoreEngine::close() {
    VORNInfo("close [%s]", m_mmapID.c_str());
    ThreadLock *registry = registryLock();
    if (registry) {
        registry->lock();
    }
    // Waits for other threads still inside an operation of this instance; the
    // hold is released by the lock's destructor below.
    m_sync.threadLock()->lock();
    forgetStore(this);
    delete this;
    if (registry) {
        registry->unlock();
    }
}

void StoreEngine::clearMemoryCache(bool keepMmap) {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    if (m_needLoadFromFile) {
        return;
    }
    VORNInfo("clearMemoryCache [%s]", m_mmapID.c_str());
    m_needLoadFromFile = true;
    m_hasFullWriteback = false;
    m_index.clear();
    if (m_crypter) {
        if (m_meta.record().m_version >= MetaVersionIV) {
            m_crypter->resetIV(m_meta.record().m_vector, sizeof(m_meta.record().m_vector));
        } else {
            m_crypter->resetIV();
        }
    }
    m_stream.dropWriter();
    if (!keepMmap) {
        m_stream.file().doCleanMemoryCache();
    }
    m_stream.setSize(0);
    m_meta.record().m_crcDigest = 0;
}

void StoreEngine::sync(SyncFlag flag) {
    VORNInfo("StoreEngine::sync, SyncFlag = %d", static_cast<int>(flag));
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    if (m_needLoadFromFile || !m_stream.isMapped()) {
        return;
    }
    ScopedLock<InterProcessLock> processLock(m_sync.exclusiveLock());
    m_stream.file().msync(flag);
    m_meta.file().msync(flag);
}

} // namespace vorn
