#define VORN_LOG_SOURCE "VORN"

// Noticing what other processes changed, telling the host, and the lock
// operations callers may hold across calls.

#include "core/StoreEngine.h"

#include <cstddef>
#include <utility>

#include "core/VORNMetaInfo.h"
#include "encoding/CodedOutputData.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

using namespace vorn;

void StoreEngine::loadOrRefresh() {
    if (m_openConfigPending) {
        applyOpenConfig(); // may load the store itself
    }
    if (m_needLoadFromFile) {
        // Bind the inter-process lock to a usable descriptor before holding
        // it: a meta file is not mapped before the first operation, and one
        // that failed to open has no descriptor.
        if (!m_meta.isMapped()) {
            reloadMetaFile();
        }
        ScopedLock<InterProcessLock> shared(m_sync.sharedLock());
        m_needLoadFromFile = false;
        loadFromFile();
        return;
    }
    if (!isMultiProcess() || !m_meta.isMapped()) {
        return;
    }

    ScopedLock<InterProcessLock> shared(m_sync.sharedLock());
    // Three 32-bit fields of the shared page, nothing else.
    const MetaRecord::SharedFields fields = m_meta.sharedFields();
    const uint32_t sequence = fields.sequence;
    const uint32_t crcDigest = fields.crcDigest;
    const uint32_t actualSize = fields.actualSize;
    if (sequence != m_meta.record().m_sequence) {
        // Logged under the name hosts have always seen, "checkLoadData".
        if (loadLogLevel() <= VORNLogInfo) {
            _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, "checkLoadData", __LINE__, "[%s] oldSeq %u, newSeq %u",
                              m_mmapID.c_str(), m_meta.record().m_sequence, sequence);
        }
        ScopedLock<InterProcessLock> sharedAgain(m_sync.sharedLock());
        clearMemoryCache(false);
        loadFromFile();
        notifyContentChanged();
    } else if (crcDigest != m_meta.record().m_crcDigest || actualSize != m_meta.record().m_actualSize) {
        ScopedLock<InterProcessLock> sharedAgain(m_sync.sharedLock());
        partialLoadFromFile();
        notifyContentChanged();
    }
}

bool StoreEngine::reopenFilesIfReplaced() {
    if (!isMultiProcess()) {
        return true;
    }
    const bool metaReplaced = m_meta.isMapped() && m_meta.file().isReplacedAtPath();
    bool reopened = true;
    if (metaReplaced) {
        VORNInfo("[%s] files removed or replaced by another process, opening the ones at the path", m_mmapID.c_str());
        // Opened beside the old one: until the new file is mapped, the old
        // record (emptied by the removal) is all this store may go by.
        auto fresh = new MemoryFile(m_metaPath, 0, isReadOnly(), false);
        if (fresh->isFileValid()) {
            // Closing the old descriptor gives up the holds' flock there;
            // rebind takes them again on the new one.
            m_meta.replaceFile(fresh);
            m_sync.fileLock()->rebind(m_meta.file().getFd());
        } else {
            delete fresh;
            reopened = false;
        }
    }
    if (m_stream.isMapped() && (metaReplaced || m_stream.file().isReplacedAtPath())) {
        // Never write into a file that is no longer the store's: the load
        // maps the one at the path (creating it, unless read-only).
        m_stream.dropWriter();
        m_stream.file().doCleanMemoryCache();
    }
    return reopened;
}

void StoreEngine::checkContentChanged() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    refreshIfNeeded();
}

void StoreEngine::notifyContentChanged() {
    VORNHandler *handler = loadHandler();
    if (handler) {
        handler->onContentChanged(m_mmapID);
    }
}

void StoreEngine::notifyContentLoaded() {
    VORNHandler *handler = loadHandler();
    if (handler) {
        handler->onContentLoaded(m_mmapID);
    }
}

void StoreEngine::lock() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    m_sync.prepareHold();
    m_sync.exclusiveLock()->lock();
}

void StoreEngine::unlock() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    m_sync.exclusiveLock()->unlock();
}

bool StoreEngine::try_lock() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    return m_sync.exclusiveLock()->try_lock();
}

void StoreEngine::lock_thread() {
    m_sync.threadLock()->lock();
}

void StoreEngine::unlock_thread() {
    m_sync.threadLock()->unlock();
}

bool StoreEngine::try_lock_thread() {
    return m_sync.threadLock()->try_lock();
}
