#include "StorePeer.h"

#include <algorithm>

#include "encoding/CodedOutputData.h"

std::vector<std::string> VORNTestPeer::keys(VORN *vorn) {
    load(vorn);
    std::vector<std::string> result = engine(vorn)->m_index.keys();
    std::sort(result.begin(), result.end());
    return result;
}

long long VORNTestPeer::recordOffset(VORN *vorn, std::string_view key) {
    load(vorn);
    if (engine(vorn)->m_crypter) {
        auto it = engine(vorn)->m_index.crypt().find(key);
        if (it == engine(vorn)->m_index.crypt().end() || it->second.kind != vorn::KVHolderOffset) {
            return -1;
        }
        uint32_t offset = it->second.offset;
        return offset;
    }
    auto it = engine(vorn)->m_index.plain().find(key);
    return it == engine(vorn)->m_index.plain().end() ? -1 : static_cast<long long>(it->second.offset);
}

bool VORNTestPeer::heldByPosition(VORN *vorn, std::string_view key) {
    load(vorn);
    if (!engine(vorn)->m_crypter) {
        return false;
    }
    auto it = engine(vorn)->m_index.crypt().find(key);
    return it != engine(vorn)->m_index.crypt().end() && it->second.kind == vorn::KVHolderOffset;
}

size_t VORNTestPeer::spaceLeft(const VORN *vorn) {
    return engine(vorn)->m_stream.hasWriter() ? engine(vorn)->m_stream.room() : 0;
}
