#define VORN_LOG_SOURCE "VORN_IO"

// Loading a store: the meta record and its repairs, the one-time disk check,
// how much of the stream is trusted (CRC, length, last confirmed state, the
// host's answer), decoding it into the index, and the cheap partial load of
// records another process appended.

#include "core/StoreEngine.h"
#include "core/Loader.h"
#include "encoding/VornIndex.h"
#include "platform/MemoryFile.h"

#include <cstring>

#include "core/VORNMetaInfo.h"
#include "core/VORNRewriteJournal.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedOutputData.h"
#include "encoding/LittleEndian.h"
#include "encoding/RecordCoder.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"
#include "platform/VORNFileUtil.h"

using namespace vorn;


void StoreEngine::reloadMetaFile() {
    m_meta.file().reloadFromFile(0);
    if (isMultiProcess()) {
        // The reload opened a new descriptor, or took and dropped a flock of
        // its own on the old one: either way the holds of this process must
        // be taken again where the lock now lives.
        m_sync.fileLock()->rebind(m_meta.file().getFd());
    }
}

void StoreEngine::loadFromFile() {
    // A writable store holds the exclusive lock for the whole load. A load may
    // write (meta repair, fallback, discard, the rewrite of a salvaged or
    // old-style stream); if it took the exclusive lock only then, the upgrade
    // could let another process write in between (the shared hold may be
    // given up while waiting), and this load would then act on what it read
    // before, e.g. discard records appended meanwhile.
    ScopedLock<InterProcessLock> exclusive(isReadOnly() ? nullptr : m_sync.exclusiveLock());
    if (!reopenFilesIfReplaced()) {
        // Removed by another process, with nothing at the path to open in its
        // place: nothing to load and no file to write into (the data file is
        // unmapped, the index empty). The next operation looks again, for a
        // store a writer may have made anew.
        m_needLoadFromFile = true;
        return;
    }
    // Cleared first, so that a salvaged stream is rewritten on reloads too (a
    // write-back does nothing while a load is pending): afterwards its CRC
    // covers exactly the trusted stream and the cipher stands at its end.
    m_needLoadFromFile = false;
    m_streamUndecodable = false;

    loadMetaInfoAndCheck();
    if (m_crypter && m_meta.record().m_version >= MetaVersionIV) {
        m_crypter->resetIV(m_meta.record().m_vector, sizeof(m_meta.record().m_vector));
    }
    if (!m_stream.isMapped()) {
        m_stream.file().reloadFromFile(m_expectedCapacity);
    } else if (isMultiProcess() && m_stream.file().getActualFileSize() != m_stream.fileSize()) {
        // Another process has grown (or shrunk) the file.
        m_stream.file().reloadFromFile(m_expectedCapacity);
    }
    if (!m_stream.isMapped()) {
        VORNError("file [%s] not valid", m_path.c_str());
        m_needLoadFromFile = false;
        return;
    }
    if (m_keyMismatch) {
        // Logged with its reason by evaluateCheckBlock. Nothing of the stream
        // is read or trusted, and nothing is repaired: the bytes stay for an
        // open with the right key.
        m_streamUndecodable = true;
        m_stream.setSize(0);
        m_stream.setCRC(0);
        m_stream.resetWriter(0);
        notifyContentLoaded();
        m_needLoadFromFile = !m_stream.isMapped();
        return;
    }

    // What to trust of the stream, decided first; applied here.
    const size_t claimedSize = readActualSize();
    Loader loader(m_mmapID, m_stream, m_meta.record(), m_crypter, m_recover,
                  [this]() { return finishInterruptedRewrite(); });
    const LoadPlan plan = loader.checkDataValid(claimedSize, m_metaDamaged);
    if (!m_stream.isMapped()) {
        // Finishing an interrupted rewrite lost the mapping: nothing is
        // loaded, and the next access tries again.
        VORNError("file [%s] not valid", m_path.c_str());
        m_needLoadFromFile = true;
        return;
    }
    const bool loadFromFile = plan.decode;
    bool needFullWriteback = plan.salvage;
    const bool recorded = plan.recordFallback && !isReadOnly() && writeActualSize(plan.size, plan.crc, nullptr, false);
    if (!recorded) {
        // Nothing is written (a read-only store, an unmapped meta file), but
        // the trusted state is the one to use.
        m_stream.setSize(plan.size);
        m_stream.setCRC(plan.crc);
    }
    // The trusted stream ends before the one the record claimed (a fall back
    // to the last confirmed state or to the old-style size): key stream
    // positions past its end may have carried other bytes under this IV.
    // A salvage rewrites anyway; a discard restarts under a new IV.
    if (m_crypter && loadFromFile && m_stream.size() < claimedSize) {
        m_needFreshVector = true;
    }

    const size_t fileSize = m_stream.fileSize();
    VORNInfo("loading [%s] with %zu actual size, file size %zu, InterProcess %d, meta info version:%u",
             m_mmapID.c_str(), m_stream.size(), fileSize, isMultiProcess() ? 1 : 0, m_meta.record().m_version);
    auto stream = m_stream.bytes();
    if (loadFromFile && m_stream.size() > 0) {
        VORNInfo("loading [%s] with crc %u sequence %u version %u", m_mmapID.c_str(), m_meta.record().m_crcDigest,
                 m_meta.record().m_sequence, m_meta.record().m_version);
        VornBuffer input(stream, m_stream.size(), VornBufferNoCopy);
        m_index.clear();
        const bool decoded = m_index.decode(input, m_crypter, needFullWriteback);
        if (!decoded && !needFullWriteback) {
            // The bytes are what was written (the CRC says so) but cannot be
            // read with this store's key: keep them for a load that can.
            m_streamUndecodable = true;
            VORNError("[%s] stream of %zu bytes checks out but does not decode (wrong key?); writes are refused",
                      m_mmapID.c_str(), m_stream.size());
        }
        m_stream.resetWriter(m_stream.size());
        if (m_crypter && m_meta.record().m_version < MetaVersionIV) {
            needFullWriteback = true;
        }
        // A stream whose end moved back is rewritten under a fresh vector
        // now, while the exclusive lock keeps every other writer out.
        if ((needFullWriteback || m_needFreshVector) && !isReadOnly() && !m_streamUndecodable) {
            fullWriteback(nullptr, false);
        }
    } else {
        m_stream.resetWriter(0);
        if (!isReadOnly()) {
            if (m_stream.size() > 0 || m_metaDamaged) {
                // The stream restarts at 0: an encrypted one under a fresh
                // vector, or its first records would reuse the key stream
                // positions of the discarded ones.
                uint8_t newIV[kAESBlockSize];
                if (m_crypter) {
                    AESCrypt::fillRandomIV(newIV);
                    m_crypter->resetIV(newIV, sizeof(newIV));
                }
                writeActualSize(0, 0, m_crypter ? newIV : nullptr, true);
                m_needFreshVector = false;
                sync(SyncFlag::Sync);
            } else {
                writeActualSize(0, 0, nullptr, false);
            }
        }
        // Also where nothing could be written (a read-only store, an unmapped
        // meta file): a rejected size must not be used.
        m_stream.setSize(0);
        m_stream.setCRC(0);
    }

    if (!isReadOnly()) {
        // A journal still here belongs to a rewrite that either finished or
        // never touched the data file (the meta record checked out, or was
        // repaired from the journal above).
        RewriteJournalReader(m_path).remove();
    }
    const size_t count = m_index.size();
    VORNInfo("loaded [%s] with %zu key-values", m_mmapID.c_str(), count);
    notifyContentLoaded();
    // A rewrite above whose remap failed has dropped the index and unmapped
    // the file: the next access loads again.
    m_needLoadFromFile = !m_stream.isMapped();
}

void StoreEngine::loadMetaInfoAndCheck() {
    if (!m_meta.isMapped()) {
        reloadMetaFile();
    }
    if (!m_meta.isMapped()) {
        VORNError("file [%s] not valid", m_metaPath.c_str());
        return;
    }
    checkFileHasDiskError();
    if (!m_meta.isMapped()) {
        VORNError("file [%s] not valid", m_metaPath.c_str());
        return;
    }

    uint8_t *mapping = m_meta.page();
    m_meta.loadRecord();
    const MetaRecord::Verdict verdict = m_meta.evaluateCheckBlock(m_mmapID, m_crypter, m_recover);
    m_keyMismatch = verdict.keyMismatch;
    m_metaDamaged = verdict.metaDamaged;
    m_needFreshVector = verdict.needFreshVector;
    if (isReadOnly()) {
        // Nothing is repaired here, but a sound record's expiry flag still
        // says that values end with an expiry time: without it every read
        // would return those 4 bytes as data.
        m_enableKeyExpire = m_meta.record().m_version >= MetaVersionFlags && m_meta.record().m_version < MetaVersionSpecious &&
                            m_meta.record().hasFlag(MetaFlagKeyExpire);
        return;
    }
    if (m_meta.record().m_version >= MetaVersionSpecious) {
        VORNWarning("meta file [%s] in specious state, version %u, flags 0x%llx", m_mmapID.c_str(),
                    m_meta.record().m_version, static_cast<unsigned long long>(m_meta.record().m_flags));
        m_meta.record().m_version = MetaVersionActualSize;
        m_meta.record().m_flags = 0;
        m_meta.record().write(mapping);
        m_meta.resealCheckBlock();
    }
    if (m_meta.record().m_version >= MetaVersionFlags) {
        m_enableKeyExpire = m_meta.record().hasFlag(MetaFlagKeyExpire);
        if (m_enableKeyExpire && m_enableCompareBeforeSet) {
            VORNError("enableCompareBeforeSet will be invalid when Expiration is on");
            m_enableCompareBeforeSet = false;
        }
        VORNInfo("meta file [%s] has flag [%llu]", m_mmapID.c_str(),
                 static_cast<unsigned long long>(m_meta.record().m_flags));
    } else if (m_meta.record().m_flags != 0) {
        m_meta.record().m_flags = 0;
        m_meta.record().write(mapping);
        m_meta.resealCheckBlock();
    }
}

// A read error that does not condemn a file is logged by the probe and
// nothing more can be done about it here: only unusable files are acted on.
void StoreEngine::checkFileHasDiskError() {
    if (m_hasCheckedDiskError) {
        return;
    }
    m_hasCheckedDiskError = true;

    bool readFailed = false;
    if (isDiskOfMMAPFileCorrupted(&m_meta.file(), readFailed)) {
        m_meta.file().doCleanMemoryCache();
        deleteOrRenameFile(m_metaPath);
        reloadMetaFile();
    }
    if (!m_stream.isMapped()) {
        m_stream.file().reloadFromFile(m_expectedCapacity);
        if (!m_stream.isMapped()) {
            VORNError("file [%s] not valid", m_path.c_str());
            return;
        }
    }
    if (isDiskOfMMAPFileCorrupted(&m_stream.file(), readFailed)) {
        m_stream.file().doCleanMemoryCache();
        deleteOrRenameFile(m_path);
        m_stream.file().reloadFromFile(m_expectedCapacity);
    }
}

bool StoreEngine::finishInterruptedRewrite() {
    if (isReadOnly() || !m_meta.isMapped() || !m_stream.isMapped()) {
        return false;
    }
    RewriteJournalReader journal(m_path);
    if (!journal.open()) {
        return false;
    }
    const VORNMetaInfo &record = journal.record();
    const size_t needed = static_cast<size_t>(record.m_actualSize) + kDataFileHeaderSize;
    if (m_stream.fileSize() < needed && !m_stream.file().truncate(needed)) {
        return false;
    }
    if (!m_stream.isMapped()) {
        return false;
    }
    auto stream = m_stream.bytes();
    if (!journal.copyStreamTo(stream)) {
        return false;
    }
    record.write(m_meta.page());
    m_meta.loadRecord();
    // The journal does not say which key wrote the new stream (a re-key may
    // have been cut short): its first append here writes a current block.
    m_meta.markBlockStale();
    m_keyMismatch = false;
    m_stream.setSize(m_meta.record().m_actualSize);
    m_stream.setCRC(m_meta.record().m_crcDigest);
    if (m_crypter) {
        m_crypter->resetIV(m_meta.record().m_vector, sizeof(m_meta.record().m_vector));
    }
    if (m_meta.record().m_version >= MetaVersionFlags) {
        m_enableKeyExpire = m_meta.record().hasFlag(MetaFlagKeyExpire);
    }
    m_stream.file().msync(SyncFlag::Sync);
    m_meta.file().msync(SyncFlag::Sync);
    VORNWarning("[%s] finished an interrupted rewrite: actualSize %u, crc %u, sequence %u", m_mmapID.c_str(),
                m_meta.record().m_actualSize, m_meta.record().m_crcDigest, m_meta.record().m_sequence);
    journal.remove();
    return true;
}

void StoreEngine::partialLoadFromFile() {
    if (!m_stream.isMapped()) {
        return;
    }
    m_meta.loadRecord();

    const size_t oldSize = m_stream.size();
    m_stream.setSize(readActualSize());
    // Another process may have grown the file around the stream (appends go
    // on without a rewrite): once the stream runs past this mapping, map the
    // longer file and read on, keeping the index (its offsets do not move).
    // A file never shrinks without a new sequence (a full reload), so a
    // stream within the mapping is read through it: no look at the file's
    // length (a stat by path: the data file keeps no descriptor) on every
    // operation that follows another process's append.
    if (m_stream.hasWriter() && !m_stream.holds(m_stream.size()) &&
        m_stream.file().getActualFileSize() > m_stream.fileSize()) {
        m_stream.file().reloadFromFile(m_expectedCapacity);
        if (m_stream.isMapped()) {
            m_stream.resetWriter(oldSize);
        }
    }
    if (m_stream.isMapped() && !m_streamUndecodable && m_stream.hasWriter() && m_stream.size() > 0 &&
        m_stream.holds(m_stream.size()) && oldSize < m_stream.size()) {
        auto stream = m_stream.bytes();
        const uint32_t crcDigest = streamCRC32(m_stream.crc(), stream + oldSize, m_stream.size() - oldSize);
        if (crcDigest == m_meta.record().m_crcDigest) {
            VornBuffer input(stream, m_stream.size(), VornBufferNoCopy);
            // The cipher stands at oldSize: the end of what this process has read.
            const bool decoded = m_index.decode(input, m_crypter, true, oldSize);
            if (decoded) {
                m_stream.setCRC(crcDigest);
                m_stream.setWritePosition(m_stream.size());
                m_hasFullWriteback = false;
                return;
            }
            // A record that checks out but does not decode leaves the index and
            // the cipher short of the stream's end: read it all again.
        } else {
            VORNError("m_crcDigest[%u] != m_meta.record().m_crcDigest[%u]", crcDigest, m_meta.record().m_crcDigest);
        }
    }
    clearMemoryCache(false);
    loadFromFile();
}
