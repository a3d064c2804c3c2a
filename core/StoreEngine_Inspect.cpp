#define VORN_LOG_SOURCE "VORN"

// Read-only views of a store for tools (the `vorn` command) and diagnostics.

#include "core/StoreEngine.h"
#include "encoding/VornIndex.h"
#include "platform/MemoryFile.h"

#include "core/VORNMetaInfo.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

using namespace vorn;

VORN::Inspection StoreEngine::inspect() {
    ReadGuard guard(m_sync);
    refreshIfNeeded();
    VORN::Inspection result;
    result.keyCount = m_index.size();
    result.actualSize = m_stream.size();
    result.fileSize = m_stream.fileSize();
    result.sequence = m_meta.record().m_sequence;
    result.metaVersion = m_meta.record().m_version;
    result.metaFlags = m_meta.record().m_flags;
    result.encrypted = m_crypter != nullptr;
    result.keyExpire = m_enableKeyExpire;
    result.readOnly = isReadOnly();
    result.keyMismatch = m_keyMismatch || m_streamUndecodable;
    return result;
}

VornBuffer StoreEngine::rawValue(std::string_view key) {
    if (key.empty()) {
        return VornBuffer();
    }
    ReadGuard guard(m_sync);
    VornBuffer data = getDataForKey(key);
    // The bytes may be borrowed from the mapping: copy them while the locks hold.
    return VornBuffer(data.data(), data.size(), VornBufferCopy);
}
