#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crypt/AESCrypt.h"
#include "encoding/IndexEntry.h"

namespace vorn {

// Reads the item stream of an encrypted store (IndexEntry.h) straight from
// the encrypted region, for the map decoder: decrypts ahead into a private
// buffer as reading needs, never decrypts a byte twice, and advances the
// store's cipher in step with the stream, so that once the whole region has
// been read the cipher stands at its end (ready for appends).
//
// Values of at most CryptIndexEntry::kMaxDecryptedValueSize bytes are
// decrypted once and copied into their entry; longer ones are only passed
// over (decrypted 16 bytes at a time into a corner of the buffer, to advance
// the cipher) and their entry records the record's position and the cipher
// state at its first byte.
//
// Ownership: the region and the cipher are borrowed and must outlive the
// reader; the buffer is the reader's. One reader serves one decoding, under
// the store's lock (it advances the store's cipher).
//
// Never reads outside the region, and never buffers more than the current
// record needs. Every failure is a standard exception with the fixed texts of
// PBUtility.h, as CodedInputData throws them; a length is checked against the
// bytes left (and a key length against kMaxKeyLength) before anything is
// decrypted for it. After a failure the cipher stands wherever reading got to.
// Running out of memory: std::runtime_error (strerror text).
class CodedInputDataCrypt {
public:
    // Capacity of the buffer at construction.
    static constexpr size_t kInitialBufferSize = 32;

    // The cipher must stand at the state of the region's first byte.
    CodedInputDataCrypt(const void *ptr, size_t size, AESCrypt &cipher);
    ~CodedInputDataCrypt();

    CodedInputDataCrypt(const CodedInputDataCrypt &) = delete;
    CodedInputDataCrypt &operator=(const CodedInputDataCrypt &) = delete;

    bool reachedEnd() const { return m_position == m_size; }
    size_t getPosition() const { return m_position; }

    // Moves the read position n bytes forward without decrypting.
    // REQUIRES: nothing has been read yet, and the caller has brought the
    // cipher to the state at offset n (a partial load: the store's cipher
    // stands at the end of the records it has already applied). Past the end:
    // "OutOfSpace" (std::out_of_range), position unchanged; after a read:
    // std::logic_error.
    void seek(size_t n);

    uint8_t readRawByte();
    // One varint as 32 bits, as CodedInputData::readRawVarint32. keepFromHere
    // marks its first byte as the start of a record, whose bytes stay buffered
    // until the next mark.
    int32_t readRawVarint32(bool keepFromHere = false);
    int32_t readInt32() { return readRawVarint32(false); }

    // A record's key: kv becomes an offset-form entry holding the record's
    // offset and key size (value size 0). Refuses offsets above
    // kMaxRecordOffset and keys longer than kMaxKeyLength.
    std::string readString(CryptIndexEntry &kv);
    // The value that follows: REQUIRES kv as filled by the readString just
    // before. A value of at most 256 bytes replaces kv by a copy of its
    // plaintext (an empty value gives an empty inline entry: a deletion);
    // a longer one makes kv the offset form with its cryptStatus.
    void readData(CryptIndexEntry &kv);

    // Capacity of the plaintext buffer, for diagnostics and tests.
    size_t bufferCapacity() const { return m_plainCapacity; }

private:
    // Makes sure length bytes from the read position are decrypted (fewer at
    // the end of the region).
    void consumeBytes(size_t length, bool keepFromHere);
    // Passes over length bytes, decrypting them only to advance the cipher.
    // REQUIRES: length <= bytes left.
    void skipBytes(size_t length);
    // Checks a length prefix against the bytes left.
    uint32_t checkedLength(int32_t length) const;

    const uint8_t *m_region;
    size_t m_size;
    // Stream offset of the next byte handed to the caller or skipped.
    size_t m_position;
    // Stream offset of the next byte to pass through the cipher.
    size_t m_cipherPosition;
    AESCrypt &m_cipher;
    uint8_t *m_plainBuffer;
    size_t m_plainCapacity;
    // Buffer index of the plaintext of m_position. Buffer indexes agree with
    // the cipher's byte number modulo 16; compaction keeps that by moving
    // whole multiples of 16.
    size_t m_plainReadIndex;
    // Buffer index one past the plaintext of m_cipherPosition - 1.
    size_t m_plainEnd;
    // Buffer index of the first byte of the record being read; bytes from here
    // on are never discarded.
    size_t m_keepFrom;
};

} // namespace vorn
