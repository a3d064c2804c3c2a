#define VORN_LOG_SOURCE "VORN"

#include "core/MetaRecord.h"

#include <cstring>

#include "encoding/Crc32.h"
#include "crypt/AESCrypt.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"
#include "platform/MemoryFile.h"

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

MetaRecord::MetaRecord(const std::string &path, bool readOnly, bool mayflyFD)
    : m_file(new MemoryFile(path, 0, readOnly, mayflyFD, false)), m_readOnly(readOnly) {}

MetaRecord::~MetaRecord() {
    delete m_file;
}

void MetaRecord::replaceFile(MemoryFile *fresh) {
    delete m_file;
    m_file = fresh;
}

void MetaRecord::loadRecord() {
    // A read-only file is mapped at its length on disk: bytes a short page
    // does not have read as zeros, never from past the mapping.
    if (pageSize() >= kMetaInfoSize) {
        m_record.read(page());
        return;
    }
    uint8_t whole[kMetaInfoSize] = {};
    memcpy(whole, page(), pageSize());
    m_record.read(whole);
}

void MetaRecord::storeRecord() {
    m_record.write(page());
}

void MetaRecord::publishSequence(uint32_t sequence) {
    encodeFixed32(page() + offsetof(VORNMetaInfo, m_sequence), sequence);
}

MetaRecord::SharedFields MetaRecord::sharedFieldsOfShortPage() const {
    // Fields a short page does not have read as zeros.
    auto field = [this](size_t offset) -> uint32_t {
        return offset + sizeof(uint32_t) <= pageSize() ? decodeFixed32(page() + offset) : 0;
    };
    return {field(offsetof(VORNMetaInfo, m_sequence)), field(offsetof(VORNMetaInfo, m_crcDigest)),
            field(offsetof(VORNMetaInfo, m_actualSize))};
}

void MetaRecord::writeCheckBlock(const AESCrypt *streamCipher, uint8_t blockFlags) {
    if (m_readOnly || !isMapped() || pageSize() < kMetaWithCheckBlockSize) {
        return;
    }
    const MetaCheckBlock block = makeCheckBlock(m_record, streamCipher, blockFlags);
    memcpy(page() + kCheckBlockOffset, &block, sizeof(block));
    m_blockCurrent = true;
}

void MetaRecord::resealCheckBlock() {
    if (m_readOnly || !isMapped()) {
        return;
    }
    uint8_t *bytes = page();
    MetaCheckBlock block;
    if (!readCheckBlock(bytes, pageSize(), block) || block.sequence != m_record.m_sequence) {
        return;
    }
    memcpy(block.vector, m_record.m_vector, sizeof(block.vector));
    block.recordCRC = recordFieldsCRC(m_record);
    sealCheckBlock(block);
    memcpy(bytes + kCheckBlockOffset, &block, sizeof(block));
}

MetaRecord::Verdict MetaRecord::evaluateCheckBlock(const std::string &mmapID, const AESCrypt *cipher,
                                                   std::optional<VORNRecoverStrategic> recover) {
    Verdict verdict;
    m_blockCurrent = false;
    uint8_t *page = this->page();
    MetaCheckBlock block;
    if (!readCheckBlock(page, pageSize(), block) || block.sequence != m_record.m_sequence ||
        m_record.m_version >= MetaVersionSpecious) {
        // No block, or one a writer that does not know it has left behind
        // (every rewrite moves the sequence on): nothing to go by. A specious
        // version has a repair of its own, which reseals the block.
        return verdict;
    }
    const bool vectorMatches = memcmp(block.vector, m_record.m_vector, sizeof(block.vector)) == 0;
    if (!vectorMatches || block.recordCRC != recordFieldsCRC(m_record)) {
        // The same sequence means the same rewrite wrote both: the record
        // has been damaged since (or the block, which its own CRC rules out).
        VORNMetaInfo repaired = m_record;
        memcpy(repaired.m_vector, block.vector, sizeof(repaired.m_vector));
        const bool repairable = recordFieldsCRC(repaired) == block.recordCRC;
        VORNError("[%s] meta record does not match its check block (sequence %u)%s", mmapID.c_str(),
                  m_record.m_sequence, repairable ? ": its vector is damaged" : "");
        VORNRecoverStrategic answer = onVORNCRCCheckFail(mmapID);
        if (recover) {
            answer = *recover;
        }
        VORNInfo("recover strategic for [%s] is %d", mmapID.c_str(), static_cast<int>(answer));
        if (answer != OnErrorRecover) {
            verdict.metaDamaged = true;
            return verdict;
        }
        if (!repairable) {
            // Salvage what the record still allows, as without a block; the
            // block vouches for nothing now and is dropped (the next append
            // or rewrite writes a current one).
            if (!m_readOnly) {
                memset(page + kCheckBlockOffset, 0, kCheckBlockSize);
            }
            return verdict;
        }
        memcpy(m_record.m_vector, block.vector, sizeof(m_record.m_vector));
        if (!m_readOnly) {
            m_record.write(page);
        }
        VORNWarning("[%s] meta record's vector restored from its check block", mmapID.c_str());
    }
    m_blockCurrent = block.keyState != CheckKeyUnknown;
    if (block.keyState == CheckKeyPlain && cipher) {
        verdict.keyMismatch = true;
        VORNError("[%s] wrong or missing key: the store is not encrypted, but a key was given", mmapID.c_str());
    } else if (block.keyState == CheckKeyEncrypted && !cipher) {
        verdict.keyMismatch = true;
        VORNError("[%s] wrong or missing key: the store is encrypted, but no key was given", mmapID.c_str());
    } else if (block.keyState == CheckKeyEncrypted) {
        uint8_t check[kKeyCheckSize];
        if (!cipher->keyCheck(m_record.m_vector, check) || memcmp(check, block.keyCheck, sizeof(check)) != 0) {
            verdict.keyMismatch = true;
            VORNError("[%s] wrong or missing key: the key given is not the store's key", mmapID.c_str());
        }
    }
    verdict.needFreshVector = cipher && (block.blockFlags & CheckBlockFreshVectorNeeded) != 0;
    return verdict;
}

} // namespace vorn
