#include "core/ProcessSync.h"

namespace vorn {

ProcessSync::ProcessSync(bool multiProcess, int metaFd, void (*prepareHold)(void *), void *context)
    : m_multiProcess(multiProcess), m_prepareHold(prepareHold), m_context(context),
      m_fileLock(multiProcess ? metaFd : -1), m_shared(&m_fileLock, LockType::Shared),
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
