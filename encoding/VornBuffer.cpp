#include "encoding/VornBuffer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vorn {

void VornBuffer::allocate(size_t length) {
    if (length <= kInlineCapacity) {
        m_kind = VornBufferInline;
        m_inline.size = static_cast<uint8_t>(length);
        return;
    }
    void *block = malloc(length);
    if (!block) {
        throw std::runtime_error(strerror(errno));
    }
    m_kind = VornBufferExternal;
    m_external.copyFlag = VornBufferCopy;
    m_external.size = length;
    m_external.block = block;
}

VornBuffer::VornBuffer(size_t length) { allocate(length); }

void VornBuffer::copyFrom(const void *source, size_t length) {
    allocate(length);
    if (length > 0) {
        memcpy(data(), source, length);
    }
}

VornBuffer::VornBuffer(VornBuffer &&other) noexcept : VornBuffer(std::move(other), SIZE_MAX) {}

VornBuffer::VornBuffer(VornBuffer &&other, size_t length) noexcept {
    m_kind = other.m_kind;
    if (other.m_kind == VornBufferExternal) {
        m_external.copyFlag = other.m_external.copyFlag;
        m_external.size = other.m_external.size < length ? other.m_external.size : length;
        m_external.block = other.m_external.block;
        other.detach();
    } else {
        size_t n = other.m_inline.size < length ? other.m_inline.size : length;
        m_inline.size = static_cast<uint8_t>(n);
        memcpy(m_inline.bytes, other.m_inline.bytes, n);
    }
}

VornBuffer &VornBuffer::operator=(VornBuffer &&other) noexcept {
    if (this == &other) {
        return *this;
    }
    if (other.m_kind == VornBufferExternal) {
        if (m_kind == VornBufferExternal) {
            // Swap: our former block is released (if owned) when `other` dies.
            // The fields are packed: swap through copies, never through references.
            External mine = m_external;
            m_external = other.m_external;
            other.m_external = mine;
        } else {
            m_kind = VornBufferExternal;
            m_external.copyFlag = other.m_external.copyFlag;
            m_external.size = other.m_external.size;
            m_external.block = other.m_external.block;
            other.detach();
        }
        return *this;
    }
    if (ownsBlock()) {
        free(m_external.block);
    }
    m_kind = VornBufferInline;
    m_inline.size = other.m_inline.size;
    memcpy(m_inline.bytes, other.m_inline.bytes, other.m_inline.size);
    return *this;
}

bool VornBuffer::operator==(const VornBuffer &other) const {
    size_t n = size();
    return n == other.size() && (n == 0 || memcmp(data(), other.data(), n) == 0);
}

void VornBuffer::detach() {
    m_kind = VornBufferInline;
    m_inline.size = 0;
}

} // namespace vorn
