#pragma once

// Index entries of a store: what the in-memory index keeps per key instead of
// the value itself.
//
// A data file's item stream (after the file's 4-byte header) is an item-size
// holder varint followed by records: key length varint, key bytes, value length
// varint, value bytes. Every offset below counts from the first byte of that
// stream (the "base"); callers pass the same base to toVornBuffer.

#include <cstddef>
#include <cstdint>

#include "crypt/AESCrypt.h"
#include "encoding/PBUtility.h"
#include "encoding/VornBuffer.h"

namespace vorn {

// Entry of a plain store: where a record lies in the mapped stream. 12 bytes,
// copyable; its value is read in place, never copied into the entry.
//
// The field widths are format limits: the key part of a record (key length
// varint, key, value length varint) stays below 65536 bytes and a record starts
// below 4 GiB. Readers (CodedInputData::readString/readData) refuse records
// beyond them; writers check with keyPartSize() before appending.
struct IndexEntry {
    // Bytes in front of the value: key length varint + key + value length varint.
    uint16_t computedKVSize = 0;
    uint16_t keySize = 0;
    uint32_t valueSize = 0;
    // Offset of the record's first byte (its key length varint) from the base.
    uint32_t offset = 0;

    IndexEntry() = default;
    // An entry for a record just appended. keyLength is taken to 16 bits and
    // computedKVSize computed in 16 bits without a check: the appender verifies
    // keyPartSize(keyLength, valueLength) <= kMaxComputedKVSize first.
    IndexEntry(uint32_t keyLength, uint32_t valueLength, uint32_t recordOffset)
        : computedKVSize(static_cast<uint16_t>(static_cast<uint16_t>(keyLength) +
                                               pbRawVarint32Size(static_cast<uint16_t>(keyLength)) +
                                               pbRawVarint32Size(valueLength))),
          keySize(static_cast<uint16_t>(keyLength)), valueSize(valueLength), offset(recordOffset) {}

    // The key part of a record in full width, for the appender's limit check.
    static constexpr uint32_t keyPartSize(uint32_t keyLength, uint32_t valueLength) {
        return keyLength + pbRawVarint32Size(keyLength) + pbRawVarint32Size(valueLength);
    }

    // A borrowed buffer (VornBufferNoCopy) over the valueSize bytes at
    // base + offset + computedKVSize. Valid only while that memory stays mapped
    // and unchanged (for a store: under its lock, until the next write, remap
    // or rewrite); copy it to keep it longer.
    VornBuffer toVornBuffer(const void *base) const {
        // The buffer type is not const-aware; a borrowed view of the stream is
        // read-only by contract of the store.
        auto value = const_cast<uint8_t *>(static_cast<const uint8_t *>(base)) + offset + computedKVSize;
        return VornBuffer(value, valueSize, VornBufferNoCopy);
    }
};

enum IndexEntryType : uint8_t {
    KVHolderInline = 0, // decrypted value of at most 27 bytes inside the entry
    KVHolderHeap = 1,   // decrypted value in a malloc'd block owned by the entry
    KVHolderOffset = 2, // value left encrypted in the stream; position plus cipher state
};

// Entry of an encrypted store. A value cannot be read in place there, so a
// value of at most kMaxDecryptedValueSize bytes is held decrypted in the entry
// (inline up to kInlineCapacity bytes, else on the heap) and a longer one by
// the position of its record and the cipher state at the record's first byte,
// decrypted again on every read.
//
// Byte-packed (29 bytes): the three forms overlay one another after `kind`.
// Use the fields by value: a reference or pointer to a multi-byte field may be
// misaligned (AESCryptStatus, itself packed, is safe to bind).
// Move-only; a moved-from heap entry keeps a null block and size 0.
// realValueSize() 0 means "no value": the decoders treat it as a deletion.
// Not thread-safe; lives in the store's index under the store's lock.
#pragma pack(push, 1)
struct CryptIndexEntry {
    // Values up to this size are decrypted at load and held by copy.
    static constexpr uint32_t kMaxDecryptedValueSize = 256;
    // The inline area is as large as the offset form after its first two
    // fields: 2 + 4 + 4 + 17 bytes.
    static constexpr size_t kInlineCapacity = 27;

    IndexEntryType kind;
    union {
        struct {
            uint8_t inlineSize;
            uint8_t inlineBytes[kInlineCapacity];
        };
        struct {
            uint32_t heapSize;
            uint8_t *heapPtr;
        };
        struct {
            // Bytes of the key length varint plus the value length varint.
            uint8_t lengthVarintsSize;
            uint16_t keySize;
            uint32_t valueSize;
            // Offset of the record's first byte from the base.
            uint32_t offset;
            // Cipher state at the record's first byte.
            AESCryptStatus cryptStatus;
        };
    };

    // An empty inline entry (realValueSize() 0).
    CryptIndexEntry() : kind(KVHolderInline), inlineSize(0) {}
    // Copies length bytes: inline when length <= 27, else into a new heap block.
    // Throws std::runtime_error (strerror text) when the block cannot be had.
    // REQUIRES: length <= UINT32_MAX.
    CryptIndexEntry(const void *src, size_t length);
    // Takes the block of a buffer that owns one (VornBuffer::ownsBlock()) and
    // detaches the buffer: no bytes are copied. Any other buffer (inline, or
    // borrowed from a mapping or another entry) is copied as above and left as
    // it was, so an entry never frees memory it does not own.
    explicit CryptIndexEntry(VornBuffer &&data);
    // Offset form; cryptStatus is left zero for the creator to set.
    // keyLength is taken to 16 bits; lengthVarintsSize =
    // pbRawVarint32Size(keySize) + pbRawVarint32Size(valueLength).
    CryptIndexEntry(uint32_t keyLength, uint32_t valueLength, uint32_t recordOffset);

    CryptIndexEntry(CryptIndexEntry &&other) noexcept;
    CryptIndexEntry &operator=(CryptIndexEntry &&other) noexcept;
    ~CryptIndexEntry();

    CryptIndexEntry(const CryptIndexEntry &) = delete;
    CryptIndexEntry &operator=(const CryptIndexEntry &) = delete;

    // inlineSize, heapSize or valueSize according to the kind.
    uint32_t realValueSize() const;
    // Bytes of the record in the stream; offset form only.
    uint32_t recordSize() const { return lengthVarintsSize + keySize + valueSize; }

    // The decrypted value.
    //  - inline and heap forms: a buffer borrowed from this entry, valid while
    //    the entry lives unchanged where it is; base and crypter are not used.
    //  - offset form: a new buffer that owns the value's plaintext. The record
    //    (recordSize() bytes at base + offset) is decrypted with a clone of
    //    `crypter` started at cryptStatus; `crypter` itself is not advanced.
    //    Returns an empty buffer when base or crypter is null. Throws
    //    std::runtime_error when the result cannot be allocated.
    // REQUIRES (offset form): base + offset .. + recordSize() is readable, i.e.
    // the entry belongs to the stream at base.
    VornBuffer toVornBuffer(const void *base, const AESCrypt *crypter) const;

private:
    // Fills a fresh entry with a copy of the value (inline or heap form).
    void copyValue(const void *src, size_t length);
    void moveFrom(CryptIndexEntry &other) noexcept;
    void releaseHeap() noexcept;
};
#pragma pack(pop)

static_assert(sizeof(IndexEntry) == 12, "a plain index entry costs 12 bytes");
static_assert(sizeof(CryptIndexEntry) == 29, "the three forms overlay one another after the kind byte");

} // namespace vorn
