#include "core/ProcessSync.h"

namespace vorn {

ProcessSync::ProcessSync(bool multiProcess, const MetaRecord &meta, void (*mapMeta)(void *), void *context)
    : m_multiProcess(multiProcess), m_meta(meta), m_mapMeta(mapMeta), m_context(context),
      m_fileLock(multiProcess ? meta.file().getFd() : -1), m_shared(&m_fileLock, LockType::Shared),
      m_exclusive(&m_fileLock, LockType::Exclusive) {
    m_shared.setEnable(multiProcess);
    m_exclusive.setEnable(multiProcess);
}

ProcessSync::~ProcessSync() {
    if (m_fileLock.getFd() >= 0) {
        m_fileLock.destroyAndUnLock();
    }
}

} // namespace vorn
