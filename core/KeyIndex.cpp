#define VORN_LOG_SOURCE "VORN_IO"

#include "core/KeyIndex.h"

#include "crypt/AESCrypt.h"
#include "encoding/LittleEndian.h"
#include "encoding/RecordCoder.h"
#include "log/VORNLog.h"

namespace vorn {

namespace {

bool isExpired(uint32_t expireTime, uint32_t now) {
    return expireTime != 0 && now >= expireTime;
}

} // namespace

KeyIndex::KeyIndex(bool encrypted) {
    becomeKind(encrypted);
}

KeyIndex::~KeyIndex() = default;

void KeyIndex::bindStream(void *const *mapping, size_t skip) {
    m_mapping = mapping;
    m_skip = skip;
    if (m_plain) {
        m_plain->bindStream(mapping, skip);
    }
}

void KeyIndex::becomeKind(bool encrypted) {
    if (encrypted) {
        if (!m_crypt) {
            m_crypt.reset(newStoreIndex<VORNMapCrypt>());
        }
        m_crypt->clear();
        m_plain.reset();
    } else {
        if (!m_plain) {
            m_plain.reset(newStoreIndex<VORNMap>());
            if (m_mapping) {
                m_plain->bindStream(m_mapping, m_skip);
            }
        }
        m_plain->clear();
        m_crypt.reset();
    }
}

void KeyIndex::clear() {
    if (m_crypt) {
        m_crypt->clear();
    } else {
        m_plain->clear();
    }
}

bool KeyIndex::contains(std::string_view key) const {
    return m_crypt ? m_crypt->contains(key) : m_plain->contains(key);
}

size_t KeyIndex::erase(std::string_view key) {
    return m_crypt ? m_crypt->erase(key) : m_plain->erase(key);
}

std::vector<std::string> KeyIndex::keys() const {
    std::vector<std::string> result;
    result.reserve(size());
    if (m_crypt) {
        for (const auto &pair : *m_crypt) {
            result.push_back(pair.first);
        }
    } else {
        for (const auto &pair : *m_plain) {
            result.emplace_back(pair.first);
        }
    }
    return result;
}

bool KeyIndex::decode(const VornBuffer &input, AESCrypt *cipher, bool greedy, size_t position) {
    if (m_crypt) {
        return greedy ? RecordCoder::greedyDecodeMap(*m_crypt, input, cipher, position)
                      : RecordCoder::decodeMap(*m_crypt, input, cipher, position);
    }
    return greedy ? RecordCoder::greedyDecodeMap(*m_plain, input, position)
                  : RecordCoder::decodeMap(*m_plain, input, position);
}

size_t KeyIndex::filterExpiredKeys(uint8_t *stream, AESCrypt *cipher, uint32_t now) {
    size_t count = 0;
    const char *function = __func__;
    // Removes the entry at itr when its value has expired; returns the next one.
    auto visit = [&](auto &dic, auto itr, uint32_t valueSize, auto readTime) {
        if (valueSize < kFixed32Size) {
            _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, function, __LINE__,
                              "key [%s] has invalid value size %u", std::string(itr->first).c_str(), valueSize);
            return ++itr;
        }
        const uint32_t expireTime = readTime();
        if (isExpired(expireTime, now)) {
            _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, function, __LINE__,
                              "deleting expired key [%s], due date %u", std::string(itr->first).c_str(),
                              expireTime);
            count++;
            return dic.erase(itr);
        }
        return ++itr;
    };
    if (m_crypt) {
        for (auto itr = m_crypt->begin(); itr != m_crypt->end();) {
            const CryptIndexEntry &kv = itr->second;
            itr = visit(*m_crypt, itr, kv.realValueSize(), [&]() {
                VornBuffer value = kv.toVornBuffer(stream, cipher);
                return decodeFixed32(static_cast<const uint8_t *>(value.data()) + value.size() - kFixed32Size);
            });
        }
    } else {
        for (auto itr = m_plain->begin(); itr != m_plain->end();) {
            const IndexEntry &kv = itr->second;
            itr = visit(*m_plain, itr, kv.valueSize, [&]() {
                // Straight from the mapping: the value's last 4 bytes.
                return decodeFixed32(stream + kv.offset + kv.computedKVSize + kv.valueSize - kFixed32Size);
            });
        }
    }
    return count;
}

} // namespace vorn
