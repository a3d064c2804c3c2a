#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "log/VORNHandler.h"

namespace vorn {

enum VornBufferKind : uint8_t {
    VornBufferInline = 0,
    VornBufferExternal = 1,
};

enum VornBufferCopyFlag : uint8_t {
    VornBufferCopy = 0,   // the buffer owns its block (C allocator) and frees it
    VornBufferNoCopy = 1, // the block is borrowed and never freed here
};

// The library's byte buffer. Up to kInlineCapacity bytes live inside the
// object; longer copies live in one malloc'd block the buffer owns; a borrowed
// buffer points at memory somebody else owns (typically the mapped data file)
// and is valid only while that memory is: for a store, under its lock and
// until the next write, remap or rewrite.
//
// Move-only. A moved-from external buffer is empty; a moved-from inline buffer
// keeps its bytes. Constructors that allocate throw std::runtime_error
// (strerror text) when memory runs out; nothing else fails.
#pragma pack(push, 1)
class VORN_EXPORT VornBuffer {
public:
    static constexpr size_t kInlineCapacity = 16;

    // Inline when length <= 16, else an owned uninitialised block.
    explicit VornBuffer(size_t length = 0);
    // NoCopy borrows `source` for any length; Copy stores a copy as VornBuffer(length) would.
    VornBuffer(void *source, size_t length, VornBufferCopyFlag flag) {
        if (flag == VornBufferNoCopy) {
            m_kind = VornBufferExternal;
            m_external.copyFlag = VornBufferNoCopy;
            m_external.size = length;
            m_external.block = source;
        } else {
            copyFrom(source, length);
        }
    }
    VornBuffer(VornBuffer &&other) noexcept;
    // As the move constructor, keeping at most `length` bytes (an external block is taken whole).
    VornBuffer(VornBuffer &&other, size_t length) noexcept;
    VornBuffer &operator=(VornBuffer &&other) noexcept;
    ~VornBuffer() {
        if (ownsBlock()) {
            free(m_external.block);
        }
    }

    VornBuffer(const VornBuffer &) = delete;
    VornBuffer &operator=(const VornBuffer &) = delete;

    // Same size and same bytes; the storage kind plays no part.
    bool operator==(const VornBuffer &other) const;
    bool operator!=(const VornBuffer &other) const { return !(*this == other); }

    void *data() const { return m_kind == VornBufferInline ? (void *)m_inline.bytes : m_external.block; }
    size_t size() const { return m_kind == VornBufferInline ? m_inline.size : static_cast<size_t>(m_external.size); }
    bool isInline() const { return m_kind == VornBufferInline; }
    // True when this buffer owns a heap block that another owner may take over (then call detach()).
    bool ownsBlock() const {
        return m_kind == VornBufferExternal && m_external.copyFlag == VornBufferCopy && m_external.block;
    }
    VornBufferCopyFlag copyFlag() const { return isInline() ? VornBufferCopy : m_external.copyFlag; }

    // Forget the contents without freeing: the buffer becomes empty inline.
    void detach();

private:
    struct External {
        VornBufferCopyFlag copyFlag;
        uint64_t size;
        void *block;
    };
    struct Inline {
        uint8_t size;
        uint8_t bytes[kInlineCapacity];
    };

    void allocate(size_t length);
    // The Copy form of the constructor above.
    void copyFrom(const void *source, size_t length);

    VornBufferKind m_kind;
    union {
        External m_external;
        Inline m_inline;
    };
};
#pragma pack(pop)

} // namespace vorn
