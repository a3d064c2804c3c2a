#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "file formats are little-endian; a big-endian port needs byte swaps");

namespace vorn {

// The meta file's record: the first 112 bytes of the (one page long) meta file,
// little-endian, shared by every process that maps the store. The rest of the
// page stays zero.
//
//   offset size field
//        0    4 m_crcDigest      CRC-32 of the item stream's first m_actualSize bytes
//        4    4 m_version        MetaVersion below
//        8    4 m_sequence       rewrite counter; a new value means "reload everything"
//       12   16 m_vector         IV of an encrypted stream (version 2 on)
//       28    4 m_actualSize     length of the item stream (version 3 on)
//       32    4 lastActualSize   last confirmed state: size at the last sequence increase
//       36    4 lastActualCRC    last confirmed state: CRC at that moment
//       40   64 m_reserved       kept as read, zero in new files
//      104    8 m_flags          bit 0: MetaFlagKeyExpire (version 4 on)
enum MetaInfoVersion : uint32_t {
    MetaVersionDefault = 0, // a new zero-filled meta file; treated as version 1
    MetaVersionCRC = 1,
    MetaVersionIV = 2,
    MetaVersionActualSize = 3,
    MetaVersionFlags = 4,
    // 5 and 6 are read like 4 and never written; 7 and above are specious.
    MetaVersionSpecious = 7,
};

enum MetaInfoFlag : uint64_t {
    MetaFlagKeyExpire = 1ULL << 0,
};

constexpr size_t kMetaVectorSize = 16;
constexpr size_t kMetaReservedSize = 64;

struct VORNMetaInfo {
    uint32_t m_crcDigest = 0;
    uint32_t m_version = MetaVersionCRC;
    uint32_t m_sequence = 0;
    uint8_t m_vector[kMetaVectorSize] = {};
    uint32_t m_actualSize = 0;

    struct LastConfirmedMetaInfo {
        uint32_t lastActualSize = 0;
        uint32_t lastActualCRC = 0;
    } m_lastConfirmedMetaInfo;

    uint8_t m_reserved[kMetaReservedSize] = {};
    uint64_t m_flags = 0;

    bool hasFlag(MetaInfoFlag flag) const { return (m_flags & flag) != 0; }
    void setFlag(MetaInfoFlag flag) { m_flags |= flag; }
    void unsetFlag(MetaInfoFlag flag) { m_flags &= ~static_cast<uint64_t>(flag); }

    // Copy the whole record into a mapping of at least kMetaInfoSize bytes.
    void write(void *ptr) const { memcpy(ptr, this, sizeof(*this)); }
    // Copy only the CRC and size fields: what an append changes. The two
    // fields are apart, so a process can die between the stores: the CRC
    // goes first (the fence keeps the compiler from swapping them), and a
    // load that finds the CRC of a stream one record longer than the length
    // takes that record (DataStream::recordEndAt).
    void writeCRCAndActualSizeOnly(void *ptr) const {
        auto *bytes = static_cast<uint8_t *>(ptr);
        memcpy(bytes + offsetof(VORNMetaInfo, m_crcDigest), &m_crcDigest, sizeof(m_crcDigest));
        std::atomic_signal_fence(std::memory_order_seq_cst);
        memcpy(bytes + offsetof(VORNMetaInfo, m_actualSize), &m_actualSize, sizeof(m_actualSize));
    }
    // Replace this record with the one at `ptr` (at least kMetaInfoSize readable bytes).
    void read(const void *ptr) { memcpy(this, ptr, sizeof(*this)); }
};

constexpr size_t kMetaInfoSize = 112;
static_assert(sizeof(VORNMetaInfo) == kMetaInfoSize, "the meta record is 112 bytes on disk");
static_assert(offsetof(VORNMetaInfo, m_vector) == 12, "meta layout");
static_assert(offsetof(VORNMetaInfo, m_actualSize) == 28, "meta layout");
static_assert(offsetof(VORNMetaInfo, m_lastConfirmedMetaInfo) == 32, "meta layout");
static_assert(offsetof(VORNMetaInfo, m_reserved) == 40, "meta layout");
static_assert(offsetof(VORNMetaInfo, m_flags) == 104, "meta layout");

// The check block: 48 bytes right after the record (offset 112), written by
// this library at every rewrite. Readers that copy only the record never see
// it, and writers that do not know it leave it alone; such a writer's next
// rewrite changes the sequence, which makes the block stale (ignored) until
// the next rewrite here writes a current one.
//
//   offset size field
//      112    8 magic          kCheckBlockMagic
//      120    4 sequence       the record's m_sequence it was written for
//      124   16 vector         the record's m_vector it was written for
//      140    4 recordCRC      CRC-32 of the record's sequence, vector (bytes
//                              8 to 27) and flags (104 to 111): the fields
//                              nothing else checks
//      144    8 keyCheck       encrypted stores: the first 8 bytes of
//                              HMAC-SHA-256(padded key, label | key size | vector)
//      152    1 keyState       CheckKeyState below
//      153    1 blockFlags     CheckBlockFlag below
//      154    2 reserved       zero
//      156    4 blockCRC       CRC-32 of bytes 112 to 155
enum CheckKeyState : uint8_t {
    CheckKeyPlain = 0,     // the stream is in clear
    CheckKeyEncrypted = 1, // encrypted under the key keyCheck identifies
    CheckKeyUnknown = 2,   // not known (files put back by a restore of an older backup)
};

enum CheckBlockFlag : uint8_t {
    // The stream's end moved back under the current vector (a restore): key
    // stream positions past it may have carried other bytes, so an encrypted
    // store rewrites under a fresh vector before its next append.
    CheckBlockFreshVectorNeeded = 1 << 0,
};

constexpr uint64_t kCheckBlockMagic = 0x31434b48434e5256ull; // "VRNCHKC1" little-endian
constexpr size_t kKeyCheckSize = 8;

#pragma pack(push, 1)
struct MetaCheckBlock {
    uint64_t magic = 0;
    uint32_t sequence = 0;
    uint8_t vector[kMetaVectorSize] = {};
    uint32_t recordCRC = 0;
    uint8_t keyCheck[kKeyCheckSize] = {};
    uint8_t keyState = CheckKeyPlain;
    uint8_t blockFlags = 0;
    uint16_t reserved = 0;
    uint32_t blockCRC = 0;
};
#pragma pack(pop)

constexpr size_t kCheckBlockOffset = kMetaInfoSize;
constexpr size_t kCheckBlockSize = 48;
static_assert(sizeof(MetaCheckBlock) == kCheckBlockSize, "the check block is 48 bytes on disk");
// A meta mapping must hold this many bytes for the block to be read or written.
constexpr size_t kMetaWithCheckBlockSize = kCheckBlockOffset + kCheckBlockSize;

} // namespace vorn
