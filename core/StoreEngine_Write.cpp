#define VORN_LOG_SOURCE "VORN_IO"

// Writing: every change appends one record to the stream and then updates the
// meta record; the index changes only after the bytes are in place. Nothing
// overwrites a stream byte in place outside a journaled rewrite, so a process
// dying in a write leaves the stream it had or the stream with the new record
// (a store of one key, too: its updates append, and the compaction that
// follows when the file is full keeps it from growing).
//
// An append costs: the record's bytes (for an encrypted store encrypted on
// their way into the mapping, never stored there in clear), the CRC extended
// over them, and two 4-byte fields of the meta page.
// Keys are looked up by view and, for an existing key, the index entry is
// replaced in place: no heap allocation for values of up to 16 bytes.

#include "core/StoreEngine.h"
#include "encoding/VornIndex.h"
#include "platform/MemoryFile.h"

#include <algorithm>
#include <cstring>

#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"
#include "encoding/PBUtility.h"
#include "encoding/RecordCoder.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

using namespace vorn;

namespace {

// A key as the writers take it: borrowed, never copied.
VornBuffer borrowKey(std::string_view key) {
    return VornBuffer(const_cast<char *>(key.data()), key.size(), VornBufferNoCopy);
}

// Key lengths beyond 32 bits are kept beyond the limit rather than wrapped.
uint32_t keyLengthOf(std::string_view key) {
    return static_cast<uint32_t>(std::min<size_t>(key.size(), UINT32_MAX));
}

} // namespace

bool StoreEngine::renewVectorBeforeAppend() {
    if (!m_crypter) {
        m_needFreshVector = false;
        return true;
    }
    VORNInfo("[%s] rewriting under a fresh vector before the next append", m_mmapID.c_str());
    // Success clears m_needFreshVector (doFullWriteBack, or clearAll for an
    // empty index, which starts a new vector as well).
    m_hasFullWriteback = false;
    return fullWriteback(nullptr, false);
}

bool StoreEngine::refuseReadOnly(const char *function) {
    if (!isReadOnly()) {
        return false;
    }
    logRefusal(function, Status::ReadOnly);
    return true;
}

bool StoreEngine::loadDataFile(const char *function) {
    refreshIfNeeded();
    if (!m_stream.isMapped()) {
        logRefusal(function, Status::NotMapped);
        return false;
    }
    return true;
}

Status StoreEngine::writeStatus() const {
    if (!m_stream.isMapped()) {
        return Status::NotMapped;
    }
    if (isReadOnly()) {
        return Status::ReadOnly;
    }
    if (!m_meta.isMapped()) {
        return Status::MetaNotMapped;
    }
    if (m_streamUndecodable) {
        return Status::Undecodable;
    }
    return Status::Ok;
}

void StoreEngine::logRefusal(const char *function, Status status) const {
    switch (status) {
    case Status::Ok:
    case Status::EmptyKey:
        return;
    case Status::NotMapped:
        _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, function, __LINE__, "[%s] file not valid", m_mmapID.c_str());
        return;
    case Status::ReadOnly:
        _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, function, __LINE__, "[%s] file readonly", m_mmapID.c_str());
        return;
    case Status::MetaNotMapped:
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, function, __LINE__, "file [%s] not valid", m_metaPath.c_str());
        return;
    case Status::Undecodable:
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, function, __LINE__,
                          "[%s] refusing to write over a stream that does not decode", m_mmapID.c_str());
        return;
    case Status::IO:
        return; // logged where it failed

    }
}

bool StoreEngine::checkWritable(const char *function) {
    const Status status = writeStatus();
    logRefusal(function, status);
    return status == Status::Ok;
}

bool StoreEngine::checkRecordLimits(const char *function, uint32_t originKeyLength, uint64_t dataSize, bool isDataHolder) {
    const uint64_t valueLength =
        isDataHolder ? dataSize + pbRawVarint32Size(static_cast<uint32_t>(dataSize)) : dataSize;
    if (dataSize > kMaxValueSize || valueLength > kMaxValueSize) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, function, __LINE__,
                          "[%s] reject oversized value, valueLength=%llu, limit=%llu", m_mmapID.c_str(),
                          static_cast<unsigned long long>(valueLength), static_cast<unsigned long long>(kMaxValueSize));
        return false;
    }
    // The index keeps the bytes in front of a value in 16 bits; a record whose
    // key part does not fit would be refused by every later load.
    const uint32_t keyPart = IndexEntry::keyPartSize(originKeyLength, static_cast<uint32_t>(valueLength));
    if (keyPart > kMaxComputedKVSize) {
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, function, __LINE__,
                          "[%s] reject record, key part %u bytes, limit=%u", m_mmapID.c_str(), keyPart,
                          kMaxComputedKVSize);
        return false;
    }
    return true;
}

bool StoreEngine::checkSizeLimit(size_t size, const VornBuffer &keyData, uint32_t keyLength) {
    if (m_itemSizeLimit == 0 || size <= m_itemSizeLimit) {
        return true;
    }
    // The key without its length prefix when keyData carries one.
    const auto bytes = static_cast<const char *>(keyData.data());
    const size_t prefix = keyData.size() > keyLength ? keyData.size() - keyLength : 0;
    _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "checkSizeLimit", __LINE__,
                      "[%s] itemSizeLimit %u: ignore value size %zu of key [%.*s] too large", m_mmapID.c_str(),
                      m_itemSizeLimit, size, static_cast<int>(keyLength), bytes + prefix);
    return false;
}

StoreEngine::WriteResult StoreEngine::doAppendDataWithKey(const VornBuffer &data, const VornBuffer &keyData,
                                                          bool isDataHolder, uint32_t originKeyLength, bool roomMade,
                                                          AESCryptStatus *cipherState) {
    if (originKeyLength > kMaxKeyLength) {
        VORNError("[%s] reject oversized key, keyLength=%u, limit=%u", m_mmapID.c_str(), originKeyLength,
                  kMaxKeyLength);
        return {false, IndexEntry()};
    }
    if (!roomMade && !checkRecordLimits(__func__, originKeyLength, data.size(), isDataHolder)) {
        return {false, IndexEntry()};
    }
    const RecordParts record{keyData, originKeyLength, data, isDataHolder};
    const RecordSizes sizes = recordSizesOf(record);
    if (m_itemSizeLimit != 0 && !checkSizeLimit(sizes.size, keyData, originKeyLength)) {
        return {false, IndexEntry()};
    }
    if (!roomMade && !ensureMemorySize(sizes.size)) {
        return {false, IndexEntry()};
    }
    if (!m_stream.isMapped() || !m_stream.hasWriter()) {
        return {false, IndexEntry()};
    }
    if (kDataFileHeaderSize + static_cast<uint64_t>(m_stream.size()) + sizes.size > kMaxStreamEnd) {
        VORNError("[%s] stream of %zu bytes with an incoming record of %zu would exceed %llu bytes", m_mmapID.c_str(),
                  m_stream.size(), sizes.size, static_cast<unsigned long long>(kMaxStreamEnd));
        return {false, IndexEntry()};
    }

    // An encrypted value too long to keep in the index is read back by
    // position, from the cipher state at its record's first byte.
    const bool byPosition = m_crypter && sizes.valueLength > kMaxDecryptedValueSize;
    size_t offset = 0;
    try {
        offset = m_stream.append(record, sizes, m_crypter, byPosition ? cipherState : nullptr);
    } catch (std::exception &e) {
        VORNError("%s", e.what());
        return {false, IndexEntry()};
    } catch (...) {
        VORNError("append fail");
        return {false, IndexEntry()};
    }
    recordAppendInMeta();
    return {true, IndexEntry(originKeyLength, sizes.valueLength, static_cast<uint32_t>(offset))};
}

StoreEngine::WriteResult StoreEngine::appendDataWithKey(const VornBuffer &data, std::string_view key, bool isDataHolder) {
    return doAppendDataWithKey(data, borrowKey(key), isDataHolder, keyLengthOf(key));
}

bool StoreEngine::setDataForKey(VornBuffer &&data, std::string_view key, bool isDataHolder) {
    if (key.empty() || (data.size() == 0 && !isDataHolder)) {
        return false;
    }
    WriteGuard guard(m_sync);
    refreshIfNeeded();
    return setDataForKey(guard, std::move(data), key, isDataHolder);
}

bool StoreEngine::setDataForKey(const WriteGuard &, VornBuffer &&data, std::string_view key, bool isDataHolder) {
    if (key.empty() || (data.size() == 0 && !isDataHolder)) {
        return false;
    }
    if (m_streamUndecodable) {
        logRefusal(__func__, Status::Undecodable);
        return false;
    }
    if (m_needFreshVector && !renewVectorBeforeAppend()) {
        return false;
    }

    if (!m_crypter) {
        const size_t hash = VORNMap::hashOf(key);
        auto itr = m_index.plain().find(key, hash);
        if (itr != m_index.plain().end()) {
            if (m_enableCompareBeforeSet && !m_enableKeyExpire && m_stream.isMapped()) {
                try {
                    auto stream = m_stream.bytes();
                    VornBuffer stored = itr->second.toVornBuffer(stream);
                    const bool same = isDataHolder ? CodedInputData::readRealData(stored) == data : stored == data;
                    if (same) {
                        return true;
                    }
                } catch (std::exception &e) {
                    _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, "setDataForKey", __LINE__,
                                      "compareBeforeSet exception: %s", e.what());
                } catch (...) {
                    _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, "setDataForKey", __LINE__,
                                      "compareBeforeSet fail");
                }
            }
            // The caller's key is written: the old record's key bytes are
            // not read again (a random access into the mapping).
            const WriteResult ret = appendDataWithKey(data, key, isDataHolder);
            if (!ret.first) {
                return false;
            }
            if (!m_enableKeyExpire) {
                m_index.plain().assign(itr, ret.second); // a compaction moves entries, never drops one
            } else {
                // The write may have dropped expired keys, this one included.
                m_index.plain().insert_or_assign(key, ret.second);
            }
        } else {
            VornBuffer keyData = borrowKey(key);
            WriteResult ret = doAppendDataWithKey(data, keyData, isDataHolder, keyLengthOf(key));
            if (!ret.first) {
                return false;
            }
            // Not found above: the key string is built once, and hashed only
            // for the lookup above.
            m_index.plain().insert_or_assign(key, hash, ret.second);
        }
    } else {
        if (isDataHolder) {
            const size_t n = data.size();
            if (n <= kMaxValueSize && pbRawVarint32Size(static_cast<uint32_t>(n)) + n <= kMaxDecryptedValueSize) {
                // The same record bytes; the index then keeps the value as written.
                VornBuffer wrapped = RecordCoder::encodeDataWithObject(data);
                if (wrapped.size() == 0) {
                    return false; // logged by the coder
                }
                data = std::move(wrapped);
                isDataHolder = false;
            }
        }
        const size_t hash = VORNMapCrypt::hashOf(key);
        auto itr = m_index.crypt().find(key, hash);
        const bool found = itr != m_index.crypt().end();
        AESCryptStatus cipherState;
        WriteResult ret = doAppendDataWithKey(data, borrowKey(key), isDataHolder, keyLengthOf(key), false, &cipherState);
        if (!ret.first) {
            return false;
        }
        const IndexEntry &written = ret.second;
        // Short values are held decrypted, longer ones by position.
        CryptIndexEntry entry = written.valueSize <= kMaxDecryptedValueSize
                                    ? CryptIndexEntry(std::move(data))
                                    : CryptIndexEntry(written.keySize, written.valueSize, written.offset);
        if (written.valueSize > kMaxDecryptedValueSize) {
            entry.cryptStatus = cipherState;
        }
        if (found && !m_enableKeyExpire) {
            itr->second = std::move(entry);
        } else if (found) {
            // The write may have dropped expired keys, this one included.
            m_index.crypt().insert_or_assign(key, std::move(entry));
        } else {
            m_index.crypt().insert_or_assign(key, hash, std::move(entry));
        }
    }
    m_hasFullWriteback = false;
    return true;
}

bool StoreEngine::setDataForKey(VornBuffer &&data, std::string_view key, uint32_t expireDuration) {
    if (key.empty()) {
        return false;
    }
    WriteGuard guard(m_sync);
    refreshIfNeeded(); // a load decides whether values carry an expiry time
    if (!m_enableKeyExpire) {
        return setDataForKey(guard, std::move(data), key, true);
    }
    const size_t n = data.size();
    if (!checkRecordLimits(__func__, keyLengthOf(key), static_cast<uint64_t>(n) + kFixed32Size, true)) {
        return false;
    }
    VornBuffer value(pbLengthDelimitedSize(n) + kFixed32Size);
    CodedOutputData output(value.data(), value.size());
    output.writeData(data);
    output.writeRawLittleEndian32(static_cast<int32_t>(expireTimeForDuration(expireDuration)));
    return setDataForKey(guard, std::move(value), key, false);
}

bool StoreEngine::removeDataForKey(std::string_view key) {
    if (key.empty()) {
        return false;
    }
    if (m_needFreshVector && !renewVectorBeforeAppend()) {
        return false;
    }
    static const VornBuffer nothing;
    if (!m_crypter) {
        auto itr = m_index.plain().find(key);
        if (itr == m_index.plain().end()) {
            return false;
        }
        m_hasFullWriteback = false;
        const WriteResult ret = appendDataWithKey(nothing, key, false);
        if (!ret.first) {
            return false;
        }
        if (m_enableKeyExpire) {
            m_index.plain().erase(key);
        } else {
            m_index.plain().erase(itr);
        }
        return true;
    }
    auto itr = m_index.crypt().find(key);
    if (itr == m_index.crypt().end()) {
        return false;
    }
    m_hasFullWriteback = false;
    WriteResult ret = doAppendDataWithKey(nothing, borrowKey(key), false, keyLengthOf(key));
    if (!ret.first) {
        return false;
    }
    m_index.crypt().erase(key);
    return true;
}

VornBuffer StoreEngine::getRawDataForKey(std::string_view key) {
    refreshIfNeeded();
    return lookupRawData(key);
}

VornBuffer StoreEngine::lookupRawData(std::string_view key) {
    if (!m_stream.isMapped()) {
        return VornBuffer();
    }
    try {
        return m_index.valueOf(key, m_stream.bytes(), m_crypter);
    } catch (std::exception &e) {
        VORNError("%s", e.what());
        return VornBuffer();
    }
}
