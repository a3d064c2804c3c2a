#define VORN_LOG_SOURCE "VORN"

// Keeping the meta record in step with the data file: the stream length, its
// CRC, the rewrite sequence and the last confirmed state.

#include "core/StoreEngine.h"
#include "platform/MemoryFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/VORNEngine.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/Crc32.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"

using namespace vorn;

namespace vorn {

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

uint32_t recordFieldsCRC(const VORNMetaInfo &record) {
    const auto *bytes = reinterpret_cast<const uint8_t *>(&record);
    const uint32_t crc = streamCRC32(0, bytes + offsetof(VORNMetaInfo, m_sequence),
                                     offsetof(VORNMetaInfo, m_actualSize) - offsetof(VORNMetaInfo, m_sequence));
    return streamCRC32(crc, bytes + offsetof(VORNMetaInfo, m_flags), sizeof(record.m_flags));
}

void sealCheckBlock(MetaCheckBlock &block) {
    block.blockCRC = streamCRC32(0, &block, offsetof(MetaCheckBlock, blockCRC));
}

MetaCheckBlock makeCheckBlock(const VORNMetaInfo &record, const AESCrypt *streamCipher, uint8_t blockFlags) {
    MetaCheckBlock block;
    block.magic = kCheckBlockMagic;
    block.sequence = record.m_sequence;
    memcpy(block.vector, record.m_vector, sizeof(block.vector));
    block.recordCRC = recordFieldsCRC(record);
    if (!streamCipher) {
        block.keyState = CheckKeyPlain;
    } else if (streamCipher->keyCheck(record.m_vector, block.keyCheck)) {
        block.keyState = CheckKeyEncrypted;
    } else {
        block.keyState = CheckKeyUnknown;
    }
    block.blockFlags = blockFlags;
    sealCheckBlock(block);
    return block;
}

bool readCheckBlock(const void *page, size_t pageSize, MetaCheckBlock &block) {
    if (!page || pageSize < kMetaWithCheckBlockSize) {
        return false;
    }
    memcpy(&block, static_cast<const uint8_t *>(page) + kCheckBlockOffset, sizeof(block));
    if (block.magic != kCheckBlockMagic) {
        return false;
    }
    return block.blockCRC == streamCRC32(0, &block, offsetof(MetaCheckBlock, blockCRC));
}

} // namespace vorn

void StoreEngine::writeCheckBlock(const AESCrypt *streamCipher, uint8_t blockFlags) {
    if (isReadOnly() || !m_metaFile->isFileValid() || m_metaFile->getFileSize() < kMetaWithCheckBlockSize) {
        return;
    }
    const MetaCheckBlock block = makeCheckBlock(*m_metaInfo, streamCipher, blockFlags);
    memcpy(static_cast<uint8_t *>(m_metaFile->getMemory()) + kCheckBlockOffset, &block, sizeof(block));
    m_checkBlockCurrent = true;
}

void StoreEngine::resealCheckBlock() {
    if (isReadOnly() || !m_metaFile->isFileValid()) {
        return;
    }
    auto page = static_cast<uint8_t *>(m_metaFile->getMemory());
    MetaCheckBlock block;
    if (!readCheckBlock(page, m_metaFile->getFileSize(), block) || block.sequence != m_metaInfo->m_sequence) {
        return;
    }
    memcpy(block.vector, m_metaInfo->m_vector, sizeof(block.vector));
    block.recordCRC = recordFieldsCRC(*m_metaInfo);
    sealCheckBlock(block);
    memcpy(page + kCheckBlockOffset, &block, sizeof(block));
}

void StoreEngine::evaluateCheckBlock() {
    m_keyMismatch = false;
    m_metaDamaged = false;
    m_checkBlockCurrent = false;
    m_needFreshVector = false;
    auto page = static_cast<uint8_t *>(m_metaFile->getMemory());
    MetaCheckBlock block;
    if (!readCheckBlock(page, m_metaFile->getFileSize(), block) || block.sequence != m_metaInfo->m_sequence ||
        m_metaInfo->m_version >= MetaVersionSpecious) {
        // No block, or one a writer that does not know it has left behind
        // (every rewrite moves the sequence on): nothing to go by. A specious
        // version has a repair of its own, which reseals the block.
        return;
    }
    const bool vectorMatches = memcmp(block.vector, m_metaInfo->m_vector, sizeof(block.vector)) == 0;
    if (!vectorMatches || block.recordCRC != recordFieldsCRC(*m_metaInfo)) {
        // The same sequence means the same rewrite wrote both: the record
        // has been damaged since (or the block, which its own CRC rules out).
        VORNMetaInfo repaired = *m_metaInfo;
        memcpy(repaired.m_vector, block.vector, sizeof(repaired.m_vector));
        const bool repairable = recordFieldsCRC(repaired) == block.recordCRC;
        VORNError("[%s] meta record does not match its check block (sequence %u)%s", m_mmapID.c_str(),
                  m_metaInfo->m_sequence, repairable ? ": its vector is damaged" : "");
        VORNRecoverStrategic answer = onVORNCRCCheckFail(m_mmapID);
        if (m_recover) {
            answer = *m_recover;
        }
        VORNInfo("recover strategic for [%s] is %d", m_mmapID.c_str(), static_cast<int>(answer));
        if (answer != OnErrorRecover) {
            m_metaDamaged = true;
            return;
        }
        if (!repairable) {
            // Salvage what the record still allows, as without a block; the
            // block vouches for nothing now and is dropped (the next append
            // or rewrite writes a current one).
            if (!isReadOnly()) {
                memset(page + kCheckBlockOffset, 0, kCheckBlockSize);
            }
            return;
        }
        memcpy(m_metaInfo->m_vector, block.vector, sizeof(m_metaInfo->m_vector));
        if (!isReadOnly()) {
            m_metaInfo->write(page);
        }
        VORNWarning("[%s] meta record's vector restored from its check block", m_mmapID.c_str());
    }
    m_checkBlockCurrent = block.keyState != CheckKeyUnknown;
    if (block.keyState == CheckKeyPlain && m_crypter) {
        m_keyMismatch = true;
        VORNError("[%s] wrong or missing key: the store is not encrypted, but a key was given", m_mmapID.c_str());
    } else if (block.keyState == CheckKeyEncrypted && !m_crypter) {
        m_keyMismatch = true;
        VORNError("[%s] wrong or missing key: the store is encrypted, but no key was given", m_mmapID.c_str());
    } else if (block.keyState == CheckKeyEncrypted) {
        uint8_t check[kKeyCheckSize];
        if (!m_crypter->keyCheck(m_metaInfo->m_vector, check) || memcmp(check, block.keyCheck, sizeof(check)) != 0) {
            m_keyMismatch = true;
            VORNError("[%s] wrong or missing key: the key given is not the store's key", m_mmapID.c_str());
        }
    }
    m_needFreshVector = m_crypter && (block.blockFlags & CheckBlockFreshVectorNeeded) != 0;
}

uint32_t StoreEngine::readActualSize() {
    if (m_metaInfo->m_version >= MetaVersionActualSize) {
        return m_metaInfo->m_actualSize;
    }
    return m_stream.legacySize();
}

bool StoreEngine::writeActualSize(size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence) {
    return writeActualSize(size, crcDigest, iv, increaseSequence, m_crypter);
}

bool StoreEngine::writeActualSize(size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence,
                           const AESCrypt *streamCipher) {
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
        m_stream.writeLegacySize(size, isReadOnly());
    }

    m_stream.setSize(size);
    m_stream.setCRC(crcDigest);
    advanceMetaRecord(*m_metaInfo, size, crcDigest, iv, increaseSequence);
    if (increaseSequence) {
        VORNInfo("[%s] increase sequence to %u, crc %u, actualSize %u", m_mmapID.c_str(), m_metaInfo->m_sequence,
                 crcDigest, static_cast<uint32_t>(size));
    }

    // An append changes only the CRC and size fields of the shared page.
    void *mapping = m_metaFile->getMemory();
    if (iv || increaseSequence || versionOnEntry < MetaVersionFlags) {
        m_metaInfo->write(mapping);
        writeCheckBlock(streamCipher, 0);
    } else {
        m_metaInfo->writeCRCAndActualSizeOnly(mapping);
    }
    return true;
}

bool StoreEngine::checkFileCRCValid(size_t actualSize, uint32_t crcDigest) {
    if (m_stream.checksOut(actualSize, crcDigest)) {
        return true;
    }
    if (m_stream.isMapped() && m_stream.fileSize() >= kDataFileHeaderSize &&
        actualSize <= m_stream.fileSize() - kDataFileHeaderSize) {
        VORNError("check crc [%s] fail, crc32:%u, m_crcDigest:%u", m_mmapID.c_str(), crcDigest, m_stream.crc());
    }
    return false;
}

void StoreEngine::recordAppendInMeta() {
    if (!m_checkBlockCurrent) {
        // The stream now holds bytes written with this store's key: vouch
        // for it, so that later opens can tell a wrong key at once.
        writeCheckBlock(m_crypter, 0);
    }
    // The common case of writeActualSize(m_stream.size(), m_stream.crc(),
    // nullptr, false), spelled out: on a meta record that already carries its
    // flags an append changes the CRC and size fields and nothing else.
    if (m_metaInfo->m_version >= MetaVersionFlags && !isReadOnly() && m_metaFile->isFileValid() &&
        m_metaFile->getFileSize() >= kMetaInfoSize) {
        m_metaInfo->m_actualSize = static_cast<uint32_t>(m_stream.size());
        m_metaInfo->m_crcDigest = m_stream.crc();
        m_metaInfo->writeCRCAndActualSizeOnly(m_metaFile->getMemory());
        return;
    }
    writeActualSize(m_stream.size(), m_stream.crc(), nullptr, false);
}
