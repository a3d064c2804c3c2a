#include "encoding/IndexEntry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace vorn {

CryptIndexEntry::CryptIndexEntry(const void *src, size_t length) {
    copyValue(src, length);
}

void CryptIndexEntry::copyValue(const void *src, size_t length) {
    if (length <= kInlineCapacity) {
        kind = KVHolderInline;
        inlineSize = static_cast<uint8_t>(length);
        if (length > 0) {
            memcpy(inlineBytes, src, length);
        }
        return;
    }
    auto block = static_cast<uint8_t *>(malloc(length));
    if (!block) {
        throw std::runtime_error(strerror(errno));
    }
    memcpy(block, src, length);
    kind = KVHolderHeap;
    heapSize = static_cast<uint32_t>(length);
    heapPtr = block;
}

CryptIndexEntry::CryptIndexEntry(VornBuffer &&data) {
    if (!data.ownsBlock()) {
        // Inline, or borrowed: the bytes belong to somebody else (a mapping,
        // another entry, the caller's string), so keep a copy.
        copyValue(data.data(), data.size());
        return;
    }
    kind = KVHolderHeap;
    heapSize = static_cast<uint32_t>(data.size());
    heapPtr = static_cast<uint8_t *>(data.data());
    data.detach();
}

CryptIndexEntry::CryptIndexEntry(uint32_t keyLength, uint32_t valueLength, uint32_t recordOffset) {
    kind = KVHolderOffset;
    keySize = static_cast<uint16_t>(keyLength);
    valueSize = valueLength;
    offset = recordOffset;
    lengthVarintsSize = static_cast<uint8_t>(pbRawVarint32Size(keySize) + pbRawVarint32Size(valueLength));
    memset(&cryptStatus, 0, sizeof(cryptStatus));
}

CryptIndexEntry::CryptIndexEntry(CryptIndexEntry &&other) noexcept {
    moveFrom(other);
}

CryptIndexEntry &CryptIndexEntry::operator=(CryptIndexEntry &&other) noexcept {
    if (this != &other) {
        releaseHeap();
        moveFrom(other);
    }
    return *this;
}

CryptIndexEntry::~CryptIndexEntry() {
    releaseHeap();
}

void CryptIndexEntry::moveFrom(CryptIndexEntry &other) noexcept {
    // All forms are plain bytes; only the heap block has a single owner.
    memcpy(static_cast<void *>(this), &other, sizeof(*this));
    if (other.kind == KVHolderHeap) {
        other.heapPtr = nullptr;
        other.heapSize = 0;
    }
}

void CryptIndexEntry::releaseHeap() noexcept {
    if (kind == KVHolderHeap && heapPtr) {
        free(heapPtr);
        heapPtr = nullptr;
        heapSize = 0;
    }
}

uint32_t CryptIndexEntry::realValueSize() const {
    switch (kind) {
    case KVHolderInline:
        return inlineSize;
    case KVHolderHeap:
        return heapSize;
    case KVHolderOffset:
        return valueSize;
    }
    return 0;
}

VornBuffer CryptIndexEntry::toVornBuffer(const void *base, const AESCrypt *crypter) const {
    switch (kind) {
    case KVHolderInline:
        return VornBuffer(const_cast<uint8_t *>(inlineBytes), inlineSize, VornBufferNoCopy);
    case KVHolderHeap:
        return VornBuffer(heapPtr, heapSize, VornBufferNoCopy);
    case KVHolderOffset:
        break;
    default:
        return VornBuffer();
    }
    if (!base || !crypter) {
        return VornBuffer();
    }
    auto record = static_cast<const uint8_t *>(base) + offset;
    const size_t prefix = static_cast<size_t>(lengthVarintsSize) + keySize;

    // A clone shares the store cipher's key schedule but keeps its own
    // position, so readers never disturb the store's stream state.
    AESCryptStatus status;
    memcpy(&status, &cryptStatus, sizeof(status));
    AESCrypt decrypter = crypter->cloneWithStatus(status);

    // Pass over the key part: only the keystream position matters.
    uint8_t scratch[kAESBlockSize];
    size_t done = 0;
    while (done < prefix) {
        size_t piece = prefix - done < kAESBlockSize ? prefix - done : kAESBlockSize;
        decrypter.decrypt(record + done, scratch, piece);
        done += piece;
    }

    VornBuffer result(valueSize);
    decrypter.decrypt(record + prefix, result.data(), valueSize);
    return result;
}

} // namespace vorn
