#pragma once

// The in-memory index of a store: key -> index entry (IndexEntry.h).
//
// Lookups take the caller's std::string_view. C++17's std::unordered_map has
// no heterogeneous find, so the map's key type, IndexKey, can stand for a view
// as well as own its bytes: a lookup builds a probe key that borrows the
// caller's view (no copy, no allocation, whatever the length), and the hasher
// and equaler read either kind through IndexKey::view(). Stored keys always
// own their bytes; to callers they are plain std::strings (IndexKey derives
// from std::string). std::hash of a string and of a view of the same bytes
// are equal by the standard, so both kinds hash alike.
//
// Iteration order is unspecified and must not matter to callers.
// Not thread-safe: the store uses its index under its own lock. Entries keep
// their addresses while other keys are inserted or erased (node-based map), as
// with std::unordered_map; iterators are invalidated by a rehash.

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "encoding/IndexEntry.h"
#include "encoding/PlainIndex.h"
#include "encoding/PBUtility.h"

namespace vorn {

template <typename Holder> class VornIndex;

// A key of the index. A stored key is a std::string and nothing more. While
// VornIndex looks a key up or inserts it, the key it hands the map also points
// at a Probe on the caller's stack: the bytes looked for and their hash,
// computed once. A probe key for a lookup owns no bytes at all. Copies and
// moves always own their bytes and drop the probe, so no probe ever ends up
// stored in the map.
class IndexKey : public std::string {
public:
    struct Probe {
        std::string_view bytes;
        size_t hash; // std::hash<std::string_view> of bytes
    };

    explicit IndexKey(std::string &&key) noexcept : std::string(std::move(key)) {}
    explicit IndexKey(std::string_view key) : std::string(key) {}
    IndexKey(const IndexKey &other) : std::string(other.view()) {}
    IndexKey(IndexKey &&other) : std::string(std::move(static_cast<std::string &>(other))) {
        if (other.m_probe && size() != other.m_probe->bytes.size()) {
            assign(other.m_probe->bytes.data(), other.m_probe->bytes.size()); // a lookup's probe
        }
    }
    IndexKey &operator=(const IndexKey &) = delete;
    IndexKey &operator=(IndexKey &&) = delete;

    // The key's bytes: a probe's, else the string's own.
    std::string_view view() const noexcept { return m_probe ? m_probe->bytes : std::string_view(*this); }
    size_t hash() const { return m_probe ? m_probe->hash : std::hash<std::string_view>{}(*this); }

private:
    template <typename Holder> friend class VornIndex;
    // A lookup key; `probe` must outlive it.
    explicit IndexKey(const Probe *probe) noexcept : m_probe(probe) {}
    // An owning key whose hash is already known; `probe` (over the same bytes)
    // must outlive it.
    IndexKey(std::string_view key, const Probe *probe) : std::string(key), m_probe(probe) {}

    const Probe *m_probe = nullptr;
};

// Hash of the key bytes: the standard library's string hash.
// Deliberately not noexcept: libstdc++ then keeps each key's hash in its node
// (as libc++ always does), so a lookup compares hashes before bytes and finds
// the end of a bucket without hashing the keys it walks past, and a rehash
// never hashes a key again.
struct KeyHasher {
    using is_transparent = void;
    size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    size_t operator()(const IndexKey &key) const { return key.hash(); }
};

// Equal length and equal bytes.
struct KeyEqualer {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept {
        return a.size() == b.size() && (a.empty() || memcmp(a.data(), b.data(), a.size()) == 0);
    }
    bool operator()(const IndexKey &a, const IndexKey &b) const noexcept { return (*this)(a.view(), b.view()); }
};

template <typename Holder> class VornIndex {
public:
    using Map = std::unordered_map<IndexKey, Holder, KeyHasher, KeyEqualer>;
    using key_type = typename Map::key_type;
    using mapped_type = typename Map::mapped_type;
    using value_type = typename Map::value_type;
    using size_type = typename Map::size_type;
    using iterator = typename Map::iterator;
    using const_iterator = typename Map::const_iterator;

    iterator find(std::string_view key) { return find(key, hashOf(key)); }
    const_iterator find(std::string_view key) const { return find(key, hashOf(key)); }
    // For a caller that looks a key up and may then insert it: the key is
    // hashed once, by hashOf, for both.
    static size_t hashOf(std::string_view key) { return std::hash<std::string_view>{}(key); }
    iterator find(std::string_view key, size_t hash) {
        const IndexKey::Probe probe{key, hash};
        return m_map.find(IndexKey(&probe));
    }
    const_iterator find(std::string_view key, size_t hash) const {
        const IndexKey::Probe probe{key, hash};
        return m_map.find(IndexKey(&probe));
    }
    bool contains(std::string_view key) const { return find(key) != m_map.end(); }

    // Replaces the entry of an existing key, or inserts key and entry. The key
    // string is built only for a new key. Returns the entry and whether the
    // key is new.
    template <typename H> std::pair<iterator, bool> insert_or_assign(std::string_view key, H &&holder) {
        auto it = find(key);
        if (it != m_map.end()) {
            it->second = std::forward<H>(holder);
            return {it, false};
        }
        return m_map.emplace(IndexKey(key), std::forward<H>(holder));
    }
    // The same with the key's hashOf(key), for a key whose lookup just failed.
    template <typename H> std::pair<iterator, bool> insert_or_assign(std::string_view key, size_t hash, H &&holder) {
        const IndexKey::Probe probe{key, hash};
        return m_map.insert_or_assign(IndexKey(key, &probe), std::forward<H>(holder));
    }
    // The same for a key string the caller gives away (the decoders' path).
    template <typename K, typename H, typename = std::enable_if_t<std::is_same_v<K, std::string>>>
    std::pair<iterator, bool> insert_or_assign(K &&key, H &&holder) {
        return m_map.insert_or_assign(IndexKey(std::move(key)), std::forward<H>(holder));
    }

    // Number of entries erased (0 or 1).
    size_type erase(std::string_view key) {
        auto it = find(key);
        if (it == m_map.end()) {
            return 0;
        }
        m_map.erase(it);
        return 1;
    }
    iterator erase(const_iterator it) { return m_map.erase(it); }
    iterator erase(iterator it) { return m_map.erase(it); }

    iterator begin() { return m_map.begin(); }
    iterator end() { return m_map.end(); }
    const_iterator begin() const { return m_map.begin(); }
    const_iterator end() const { return m_map.end(); }
    const_iterator cbegin() const { return m_map.cbegin(); }
    const_iterator cend() const { return m_map.cend(); }

    size_type size() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }
    void clear() { m_map.clear(); }
    void reserve(size_type count) { m_map.reserve(count); }
    float max_load_factor() const { return m_map.max_load_factor(); }
    void max_load_factor(float factor) { m_map.max_load_factor(factor); }
    void swap(VornIndex &other) noexcept { m_map.swap(other.m_map); }

private:
    Map m_map;
};

// Index of a plain store: keys stay in the stream (PlainIndex.h).
using VORNMap = PlainIndex;
// Index of an encrypted store (the store's m_cryptIndex).
using VORNMapCrypt = VornIndex<CryptIndexEntry>;

// A new, empty store index (VORNMap or VORNMapCrypt), owned by the caller.
// Every store index keeps at most one entry a bucket on average; the decoders
// carry the factor over into the maps they rebuild.
template <typename Index> Index *newStoreIndex() {
    Index *index = new Index();
    if constexpr (!std::is_same_v<Index, PlainIndex>) {
        index->max_load_factor(1.0f);
    }
    return index;
}

} // namespace vorn
