#pragma once

// Internal pieces shared by the store engine's source files (VORN_Meta,
// VORN_IO, VORN_CrossProcess, VORN_Write, VORN_WriteBack).
//
// Data file layout (all fixed-width fields little-endian):
//
//   offset          size         field
//   0               4            oldStyleActualSize: the stream length for meta
//                                versions 0 to 2; left as it is from version 3 on
//   4               actual size  item stream: item-size holder varint, then
//                                records (key length varint, key, value length
//                                varint, value); a value length of 0 deletes
//   4 + actual size to the end   free space (zeros, or stale record bytes)
//
// The file is a whole number of pages long. Index offsets count from offset 4
// (the stream's first byte). The meta record is described in VORNMetaInfo.h.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/DataStream.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/IndexEntry.h"
#include "encoding/PBUtility.h"

namespace vorn {


// Width of the item-size holder every writer lays down (a full write-back of
// an encrypted store may keep a width of 1, 2, 3 or 5 instead).
constexpr uint32_t kItemSizeHolderWidth = 4;


// A value is refused at 2^31 bytes or more: a length prefix is read back as
// an int32.
constexpr uint64_t kMaxValueSize = kMaxLengthDelimitedSize;

// Encrypted stores keep values up to this size decrypted in their index, and
// longer ones by position and cipher state.
constexpr uint32_t kMaxDecryptedValueSize = CryptIndexEntry::kMaxDecryptedValueSize;



// The meta record after recording a stream of `size` bytes with `crcDigest`
// (and a new vector, and a sequence step when asked): the in-memory half of
// VORN::writeActualSize, also used to name a rewrite's record in advance.
void advanceMetaRecord(VORNMetaInfo &record, size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence);

// CRC-32 of the record's sequence, vector and flags: the fields a check block
// vouches for. Nothing else checks them (the stream's CRC and length, and the
// last confirmed state, have checks and repairs of their own).
uint32_t recordFieldsCRC(const VORNMetaInfo &record);
// A current check block for `record`: keyState and keyCheck from
// `streamCipher` (null: a stream in clear), `blockFlags` as given, sealed.
MetaCheckBlock makeCheckBlock(const VORNMetaInfo &record, const AESCrypt *streamCipher, uint8_t blockFlags);
// The block stored after the record in a meta page of `pageSize` bytes;
// false when the page is too short, or holds no block (wrong magic, or a
// block CRC that does not check out).
bool readCheckBlock(const void *page, size_t pageSize, MetaCheckBlock &block);
// Recomputes blockCRC over the block's other fields.
void sealCheckBlock(MetaCheckBlock &block);

// Removes a damaged file, or, when it cannot be removed, renames it to a new
// unique name in its directory so that a fresh file can take its place.
// Logs nothing itself.
void deleteOrRenameFile(const std::string &path);

// The cipher choice of a full write-back that writes its result in clear
// (removing a store's key). Never a real cipher; compared by address only.
AESCrypt *clearCipherChoice();

} // namespace vorn
