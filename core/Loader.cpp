#define VORN_LOG_SOURCE "VORN_IO"

#include "core/Loader.h"

#include <utility>

#include "core/DataStream.h"
#include "crypt/AESCrypt.h"
#include "encoding/Crc32.h"
#include "encoding/LittleEndian.h"
#include "log/VORNLog.h"
#include "platform/MemoryFile.h"

namespace vorn {

Loader::Loader(const std::string &mmapID, DataStream &stream, const VORNMetaInfo &record, const AESCrypt *cipher,
               std::optional<VORNRecoverStrategic> recover, std::function<bool()> finishInterruptedRewrite)
    : m_mmapID(mmapID), m_stream(stream), m_record(record), m_cipher(cipher), m_recover(recover),
      m_finishInterruptedRewrite(std::move(finishInterruptedRewrite)) {}

bool Loader::checkFileCRCValid(size_t size, uint32_t crc) {
    if (m_stream.checksOut(size, crc)) {
        return true;
    }
    if (m_stream.holds(size)) {
        VORNError("check crc [%s] fail, crc32:%u, m_crcDigest:%u", m_mmapID.c_str(), crc, m_stream.crc());
    }
    return false;
}

VORNRecoverStrategic Loader::chooseAnswer(VORNRecoverStrategic handlerAnswer) const {
    return m_recover ? *m_recover : handlerAnswer;
}

LoadPlan Loader::checkDataValid(size_t claimedSize, bool metaDamaged) {
    LoadPlan plan;
    plan.size = claimedSize;
    plan.crc = m_stream.crc();
    if (metaDamaged) {
        return plan; // the host chose to discard (logged by evaluateCheckBlock)
    }
    bool &loadFromFile = plan.decode;
    // The trusted state found so far; the CRC of the last length checked
    // stands in m_stream.crc() unless a fallback names its own.
    size_t size = claimedSize;
    std::optional<uint32_t> fallbackCRC;
    auto finish = [&]() {
        plan.size = size;
        plan.crc = fallbackCRC ? *fallbackCRC : m_stream.crc();
        if (!m_stream.isMapped()) {
            // Finishing an interrupted rewrite may have lost the mapping
            // (a failed remap): there is nothing to decode or to record.
            plan.decode = false;
            plan.salvage = false;
            plan.recordFallback = false;
        }
        return plan;
    };
    // The file is looked at afresh at every use: finishing an interrupted
    // rewrite may grow, remap or unmap it.
    const size_t fileSize = m_stream.fileSize();
    // A stream length is usable when the stream fits behind the header.
    auto fits = [this](uint64_t size) {
        const size_t mapped = m_stream.fileSize();
        return size < mapped && size + kDataFileHeaderSize <= mapped;
    };

    // Falls back to the data file's leading size field (a store written by an
    // older version after a newer one) or to the last confirmed state.
    auto checkLastConfirmedInfo = [&]() {
        if (m_record.m_version < MetaVersionActualSize) {
            return;
        }
        // Only a file of at least 4 bytes has the leading field (a read-only
        // file is mapped at its length on disk).
        const uint32_t oldSize = m_stream.legacySize();
        if (oldSize != size) {
            VORNWarning("oldStyleActualSize %u not equal to meta actual size %lu", oldSize,
                        static_cast<unsigned long>(size));
            if (fits(oldSize)) {
                if (checkFileCRCValid(oldSize, m_record.m_crcDigest)) {
                    VORNInfo("looks like [%s] been downgrade & upgrade again", m_mmapID.c_str());
                    loadFromFile = true;
                    plan.recordFallback = true;
                    size = oldSize;
                    fallbackCRC = m_record.m_crcDigest;
                    return;
                }
            } else {
                VORNWarning("oldStyleActualSize %u greater than file size %lu", oldSize,
                            static_cast<unsigned long>(m_stream.fileSize()));
            }
        }

        const uint32_t lastSize = m_record.m_lastConfirmedMetaInfo.lastActualSize;
        const uint32_t lastCRC = m_record.m_lastConfirmedMetaInfo.lastActualCRC;
        if (!fits(lastSize)) {
            VORNError("check [%s] error: lastActualSize %u, file size is %u", m_mmapID.c_str(), lastSize,
                      static_cast<uint32_t>(m_stream.fileSize()));
            return;
        }
        if (!checkFileCRCValid(lastSize, lastCRC)) {
            VORNError("check [%s] error: lastActualSize %u, lastActualCRC %u", m_mmapID.c_str(), lastSize, lastCRC);
            return;
        }
        loadFromFile = true;
        plan.recordFallback = true;
        size = lastSize;
        fallbackCRC = lastCRC;
    };

    // The CRC of the claimed length, once it has failed its check.
    std::optional<uint32_t> prefixCRC;

    // An append stores the new CRC before the new length; a process that
    // died between the two left the CRC of the stream one record longer than
    // the recorded length. The record was written whole before either store,
    // so the longer stream is what the last append left: take it.
    auto checkUnrecordedAppend = [&]() {
        if (m_cipher && m_record.m_version < MetaVersionIV) {
            return; // the stream's vector is not in the record
        }
        if (!prefixCRC) {
            return;
        }
        const std::optional<size_t> end = m_stream.recordEndAt(size, m_cipher, m_record.m_vector);
        // The CRC of the recorded length, extended over the one record: no
        // second pass over the whole stream.
        if (!end || !fits(*end) ||
            streamCRC32(*prefixCRC, m_stream.bytes() + size, *end - size) != m_record.m_crcDigest) {
            return;
        }
        VORNWarning("[%s] the last append's length was not recorded: stream of %zu bytes, not %zu", m_mmapID.c_str(),
                    *end, size);
        loadFromFile = true;
        plan.recordFallback = true;
        size = *end;
        fallbackCRC = m_record.m_crcDigest;
    };

    // What the record claims does not check out: a journal, a fallback, or
    // else the host's answer, returned (`lengthError`: the claimed length
    // does not fit).
    auto fallBack = [&](bool lengthError) -> std::optional<VORNRecoverStrategic> {
        if (m_finishInterruptedRewrite()) {
            loadFromFile = true;
            size = m_stream.size();
            return std::nullopt;
        }
        if (!lengthError) {
            checkUnrecordedAppend();
        }
        if (!loadFromFile) {
            checkLastConfirmedInfo();
        }
        if (loadFromFile) {
            return std::nullopt;
        }
        const VORNRecoverStrategic answer =
            chooseAnswer(lengthError ? onVORNFileLengthError(m_mmapID) : onVORNCRCCheckFail(m_mmapID));
        if (answer == OnErrorRecover) {
            if (lengthError) {
                // Everything behind the header; nothing when the file is
                // shorter than the header (read-only files are mapped at
                // their length).
                const size_t mapped = m_stream.fileSize();
                size = mapped > kDataFileHeaderSize ? mapped - kDataFileHeaderSize : 0;
            }
            loadFromFile = true;
            plan.salvage = true;
        }
        return answer;
    };


    std::optional<VORNRecoverStrategic> answer;
    if (fits(size)) {
        if (checkFileCRCValid(size, m_record.m_crcDigest)) {
            loadFromFile = true;
            return finish();
        }
        prefixCRC = m_stream.crc(); // left by the check
        answer = fallBack(false);
    } else {
        VORNError("check [%s] error: %zu size in total, file size is %zu", m_mmapID.c_str(), size, fileSize);
        answer = fallBack(true);
    }
    if (answer) {
        VORNInfo("recover strategic for [%s] is %d", m_mmapID.c_str(), static_cast<int>(*answer));
    }
    return finish();
}

} // namespace vorn
