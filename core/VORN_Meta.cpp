#define VORN_LOG_SOURCE "VORN"

// Keeping the meta record in step with the data file: the stream length, its
// CRC, the rewrite sequence and the last confirmed state.

#include "core/VORN.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/VORNEngine.h"
#include "core/VORNMetaInfo.h"
#include "encoding/Crc32.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"

using namespace vorn;

namespace vorn {

uint32_t streamCRC32(uint32_t crc, const void *ptr, size_t length) {
    if (length < kShortCRCInput) {
        return crc32Extend(crc, ptr, length); // one record: zlib would go a byte at a time
    }
    // zlib takes 32-bit lengths; feed it in pieces it can always take.
    constexpr size_t kPiece = 1u << 30;
    auto bytes = static_cast<const Bytef *>(ptr);
    uLong digest = crc;
    while (length > 0) {
        size_t piece = std::min(length, kPiece);
        digest = ::crc32(digest, bytes, static_cast<uInt>(piece));
        bytes += piece;
        length -= piece;
    }
    return static_cast<uint32_t>(digest);
}

void advanceMetaRecord(VORNMetaInfo &record, size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence) {
    record.m_actualSize = static_cast<uint32_t>(size);
    record.m_crcDigest = crcDigest;
    if (record.m_version == MetaVersionDefault) {
        record.m_version = MetaVersionCRC;
    }
    if (iv) {
        memcpy(record.m_vector, iv, sizeof(record.m_vector));
        if (record.m_version < MetaVersionIV) {
            record.m_version = MetaVersionIV;
        }
    }
    if (increaseSequence) {
        record.m_sequence++;
        record.m_lastConfirmedMetaInfo.lastActualSize = static_cast<uint32_t>(size);
        record.m_lastConfirmedMetaInfo.lastActualCRC = crcDigest;
        if (record.m_version < MetaVersionActualSize) {
            record.m_version = MetaVersionActualSize;
        }
    }
    if (record.m_version < MetaVersionFlags) {
        record.m_flags = 0;
        record.m_version = MetaVersionFlags;
    }
}

} // namespace vorn

uint32_t VORN::readActualSize() {
    if (m_metaInfo->m_version >= MetaVersionActualSize) {
        return m_metaInfo->m_actualSize;
    }
    if (!m_file->isFileValid() || m_file->getFileSize() < kDataFileHeaderSize) {
        return 0;
    }
    return decodeFixed32(m_file->getMemory());
}

void VORN::oldStyleWriteActualSize(size_t size) {
    m_actualSize = size;
    if (!isReadOnly() && m_file->isFileValid() && m_file->getFileSize() >= kDataFileHeaderSize) {
        encodeFixed32(m_file->getMemory(), static_cast<uint32_t>(size));
    }
}

bool VORN::writeActualSize(size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence) {
    if (isReadOnly()) {
        return false;
    }
    // Checked before the data file's leading field is touched: a size written
    // there without its CRC in the meta record would not check out.
    if (!m_metaFile->isFileValid() || m_metaFile->getFileSize() < kMetaInfoSize) {
        return false;
    }
    const uint32_t versionOnEntry = m_metaInfo->m_version;
    if (!increaseSequence && versionOnEntry <= MetaVersionIV) {
        oldStyleWriteActualSize(size);
    }

    m_actualSize = size;
    m_crcDigest = crcDigest;
    advanceMetaRecord(*m_metaInfo, size, crcDigest, iv, increaseSequence);
    if (increaseSequence) {
        VORNInfo("[%s] increase sequence to %u, crc %u, actualSize %u", m_mmapID.c_str(), m_metaInfo->m_sequence,
                 crcDigest, static_cast<uint32_t>(size));
    }

    // An append changes only the CRC and size fields of the shared page.
    void *mapping = m_metaFile->getMemory();
    if (iv || increaseSequence || versionOnEntry < MetaVersionFlags) {
        m_metaInfo->write(mapping);
    } else {
        m_metaInfo->writeCRCAndActualSizeOnly(mapping);
    }
    return true;
}

bool VORN::checkFileCRCValid(size_t actualSize, uint32_t crcDigest) {
    if (!m_file->isFileValid()) {
        return false;
    }
    const size_t fileSize = m_file->getFileSize();
    if (fileSize < kDataFileHeaderSize || actualSize > fileSize - kDataFileHeaderSize) {
        return false;
    }
    auto stream = static_cast<const uint8_t *>(m_file->getMemory()) + kDataFileHeaderSize;
    m_crcDigest = streamCRC32(0, stream, actualSize);
    if (m_crcDigest == crcDigest) {
        return true;
    }
    VORNError("check crc [%s] fail, crc32:%u, m_crcDigest:%u", m_mmapID.c_str(), crcDigest, m_crcDigest);
    return false;
}

void VORN::updateCRCDigest(const uint8_t *ptr, size_t length) {
    if (!ptr) {
        return;
    }
    m_crcDigest = streamCRC32(m_crcDigest, ptr, length);
    // The common case of writeActualSize(m_actualSize, m_crcDigest, nullptr,
    // false), spelled out: on a meta record that already carries its flags an
    // append changes the CRC and size fields and nothing else.
    if (m_metaInfo->m_version >= MetaVersionFlags && !isReadOnly() && m_metaFile->isFileValid() &&
        m_metaFile->getFileSize() >= kMetaInfoSize) {
        m_metaInfo->m_actualSize = static_cast<uint32_t>(m_actualSize);
        m_metaInfo->m_crcDigest = m_crcDigest;
        m_metaInfo->writeCRCAndActualSizeOnly(m_metaFile->getMemory());
        return;
    }
    writeActualSize(m_actualSize, m_crcDigest, nullptr, false);
}
