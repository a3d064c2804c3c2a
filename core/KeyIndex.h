#pragma once

// The index of a loaded store: every live key and where its latest value
// is. One type over the two kinds of entry, so that the engine does not fork
// over two maps:
//   plain stores      IndexEntry: the record's offset and sizes; values are
//                     read from the mapping
//   encrypted stores  CryptIndexEntry: values up to kMaxDecryptedValueSize
//                     held decrypted, longer ones by offset and the cipher
//                     state at their record
// The writers and the compaction, whose work differs by kind, reach the map
// of the store's kind through plain() / crypt().
//
// Ownership: owns its map; a plain index borrows the mapped stream for its
// keys (bindStream). Locking: none; the engine's thread lock.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "encoding/IndexEntry.h"
#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"

namespace vorn {

class AESCrypt;

// Encrypted stores keep values up to this size decrypted in their index, and
// longer ones by position and cipher state.
constexpr uint32_t kMaxDecryptedValueSize = CryptIndexEntry::kMaxDecryptedValueSize;

class KeyIndex {
public:
    explicit KeyIndex(bool encrypted);
    ~KeyIndex();
    KeyIndex(const KeyIndex &) = delete;
    KeyIndex &operator=(const KeyIndex &) = delete;

    // Where a plain index reads its keys: *mapping + skip, the mapped data
    // file's address variable and the bytes in front of the stream. Kept
    // across clear() and becomeKind().
    void bindStream(void *const *mapping, size_t skip);

    bool encrypted() const { return m_crypt != nullptr; }
    // Drops every entry and makes this an index of the given kind.
    void becomeKind(bool encrypted);

    // The map of the store's kind. REQUIRES: that kind.
    VORNMap &plain() { return *m_plain; }
    VORNMapCrypt &crypt() { return *m_crypt; }
    const VORNMap &plain() const { return *m_plain; }
    const VORNMapCrypt &crypt() const { return *m_crypt; }

    size_t size() const { return m_crypt ? m_crypt->size() : m_plain->size(); }
    bool empty() const { return size() == 0; }
    void clear();
    bool contains(std::string_view key) const;
    // How many entries were erased (0 or 1).
    size_t erase(std::string_view key);
    std::vector<std::string> keys() const;

    // The value bytes stored for key (the expiry time included); empty when
    // absent. Plain stores: borrowed from the mapping `stream`. Encrypted
    // stores: decrypted with `cipher`; throws when a value kept by position
    // lies outside the stream.
    VornBuffer valueOf(std::string_view key, uint8_t *stream, AESCrypt *cipher) const {
        if (m_crypt) {
            auto itr = m_crypt->find(key);
            return itr == m_crypt->end() ? VornBuffer() : itr->second.toVornBuffer(stream, cipher);
        }
        auto itr = m_plain->find(key);
        return itr == m_plain->end() ? VornBuffer() : itr->second.toVornBuffer(stream);
    }

    // Every (key, value bytes) pair, values as valueOf gives them.
    template <typename Visit> void forEachValue(uint8_t *stream, AESCrypt *cipher, Visit visit) const {
        if (m_crypt) {
            for (const auto &pair : *m_crypt) {
                visit(pair.first, pair.second.toVornBuffer(stream, cipher));
            }
        } else {
            for (const auto &pair : *m_plain) {
                visit(std::string(pair.first), pair.second.toVornBuffer(stream));
            }
        }
    }

    // Reads the records of `input` from `position` into the index: strictly
    // (the index is replaced only when the whole stream decodes) or greedily
    // (records apply as they are read; a bad one ends the stream). `cipher`
    // for an encrypted store, standing at `position`. False when the stream
    // does not decode (logged).
    bool decode(const VornBuffer &input, AESCrypt *cipher, bool greedy, size_t position = 0);

    // Drops the entries whose value ends in an expiry time at or before
    // `now` (values too short to carry one are logged and kept); returns how
    // many. Plain values are read from the mapping `stream`.
    size_t filterExpiredKeys(uint8_t *stream, AESCrypt *cipher, uint32_t now);

private:
    std::unique_ptr<VORNMap> m_plain;
    std::unique_ptr<VORNMapCrypt> m_crypt;
    void *const *m_mapping = nullptr;
    size_t m_skip = 0;
};

} // namespace vorn
