#define VORN_LOG_SOURCE "VORN"

// Keeping the meta record in step with the data file: the stream length, its
// CRC, the rewrite sequence and the last confirmed state.

#include "core/StoreEngine.h"
#include "core/MetaRecord.h"
#include "platform/MemoryFile.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/Crc32.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"

using namespace vorn;

namespace vorn {

} // namespace vorn

uint32_t StoreEngine::readActualSize() {
    if (m_meta.record().m_version >= MetaVersionActualSize) {
        return m_meta.record().m_actualSize;
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
    if (!m_meta.holdsRecord()) {
        return false;
    }
    const uint32_t versionOnEntry = m_meta.record().m_version;
    if (!increaseSequence && versionOnEntry <= MetaVersionIV) {
        m_stream.writeLegacySize(size, isReadOnly());
    }

    m_stream.setSize(size);
    m_stream.setCRC(crcDigest);
    advanceMetaRecord(m_meta.record(), size, crcDigest, iv, increaseSequence);
    if (increaseSequence) {
        VORNInfo("[%s] increase sequence to %u, crc %u, actualSize %u", m_mmapID.c_str(), m_meta.record().m_sequence,
                 crcDigest, static_cast<uint32_t>(size));
    }

    // An append changes only the CRC and size fields of the shared page.
    if (iv || increaseSequence || versionOnEntry < MetaVersionFlags) {
        m_meta.storeRecord();
        m_meta.writeCheckBlock(streamCipher, 0);
    } else {
        m_meta.storeCRCAndSize();
    }
    return true;
}

void StoreEngine::recordAppendInMeta() {
    if (!m_meta.blockCurrent()) {
        // The stream now holds bytes written with this store's key: vouch
        // for it, so that later opens can tell a wrong key at once.
        m_meta.writeCheckBlock(m_crypter, 0);
    }
    // The common case of writeActualSize(m_stream.size(), m_stream.crc(),
    // nullptr, false), spelled out: on a meta record that already carries its
    // flags an append changes the CRC and size fields and nothing else.
    if (m_meta.record().m_version >= MetaVersionFlags && !isReadOnly() && m_meta.holdsRecord()) {
        m_meta.record().m_actualSize = static_cast<uint32_t>(m_stream.size());
        m_meta.record().m_crcDigest = m_stream.crc();
        m_meta.storeCRCAndSize();
        return;
    }
    writeActualSize(m_stream.size(), m_stream.crc(), nullptr, false);
}
