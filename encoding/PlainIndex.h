#pragma once

// The index of a plain store: key -> IndexEntry, with no copy of any key.
//
// An open-addressing table (linear probing, a power of two of slots) whose
// slot is a 32-bit tag of the key's hash and the 12-byte entry: 16 bytes, no
// allocation per key, and a lookup reads one slot, then the key where it
// lies, in the record the entry points at. The table stays between 3/8 and
// 3/4 full, so a key costs 21 to 43 bytes.
//
// The keys are read from the stream through a binding: the address of the
// variable holding the mapping's address (the mapped file's own), plus the
// bytes in front of the stream. The table follows every remap by itself; an
// unmapped file (a null address) finds nothing. Offsets count from the
// stream's first byte, as IndexEntry's do. A table not bound to a mapping
// reads the buffer its decoder was last given (bindStream(const uint8_t *)),
// which must hold the stream its entries came from.
//
// Invariant: every entry names a record whose key bytes lie in the bound
// stream: the decoders insert only records they have read whole, the writers
// only records they have just appended. A rewrite that moves records updates
// their offsets before the next lookup.
//
// An entry's offset may be changed through an iterator (a rewrite moves
// records); its sizes only through insert_or_assign or assign.
//
// Iteration order is unspecified. Entries move when the table grows (an
// insert), never on an erase (an erased slot keeps a tombstone until the next
// growth), so iterators and entry references stay valid across erases and
// across any number of assignments. Not thread-safe: the store's lock.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <type_traits>
#include <utility>

#include "encoding/IndexEntry.h"

namespace vorn {

class PlainIndex {
public:
    using mapped_type = IndexEntry;
    using size_type = size_t;

    PlainIndex() = default;
    PlainIndex(const PlainIndex &) = delete;
    PlainIndex &operator=(const PlainIndex &) = delete;

    // Reads keys at *mapping + skip (the mapped file's address variable).
    void bindStream(void *const *mapping, size_t skip) {
        m_mapping = mapping;
        m_skip = skip;
    }
    // Reads keys from a buffer that outlives every use of the table.
    void bindStream(const uint8_t *base) {
        m_ownBase = const_cast<uint8_t *>(base);
        m_mapping = &m_ownBase;
        m_skip = 0;
    }
    // Bound to a mapping (the first form), not to a buffer of its own.
    bool boundToMapping() const { return m_mapping != nullptr && m_mapping != &m_ownBase; }
    // The stream's first byte; null when unbound or unmapped.
    const uint8_t *streamBase() const {
        if (!m_mapping || !*m_mapping) {
            return nullptr;
        }
        return static_cast<const uint8_t *>(*m_mapping) + m_skip;
    }

    // One key/entry pair as iteration shows it: the key is a view into the
    // stream, valid while the stream stays mapped and unchanged.
    template <bool Const> struct ItemOf {
        std::string_view first;
        std::conditional_t<Const, const IndexEntry &, IndexEntry &> second;
    };
    template <bool Const> class IteratorOf {
    public:
        using Table = std::conditional_t<Const, const PlainIndex, PlainIndex>;
        using Item = ItemOf<Const>;
        struct Arrow {
            Item item;
            Item *operator->() { return &item; }
        };

        IteratorOf() = default;
        IteratorOf(Table *table, size_t slot) : m_table(table), m_slot(slot) { skipFree(); }
        // A mutable iterator converts to a const one.
        template <bool C = Const, typename = std::enable_if_t<C>>
        IteratorOf(const IteratorOf<false> &other) : m_table(other.m_table), m_slot(other.m_slot) {}

        Item operator*() const {
            auto &slot = m_table->m_slots[m_slot];
            return Item{m_table->keyOf(slot.entry), slot.entry};
        }
        Arrow operator->() const { return Arrow{**this}; }
        IteratorOf &operator++() {
            m_slot++;
            skipFree();
            return *this;
        }
        bool operator==(const IteratorOf &other) const { return m_slot == other.m_slot; }
        bool operator!=(const IteratorOf &other) const { return m_slot != other.m_slot; }

    private:
        friend class PlainIndex;
        friend class IteratorOf<true>;
        void skipFree() {
            while (m_slot < m_table->m_capacity && !isLive(m_table->m_slots[m_slot].tag)) {
                m_slot++;
            }
        }
        Table *m_table = nullptr;
        size_t m_slot = 0;
    };
    using iterator = IteratorOf<false>;
    using const_iterator = IteratorOf<true>;

    static size_t hashOf(std::string_view key) { return std::hash<std::string_view>{}(key); }

    iterator find(std::string_view key) { return find(key, hashOf(key)); }
    const_iterator find(std::string_view key) const { return find(key, hashOf(key)); }
    iterator find(std::string_view key, size_t hash) { return iterator(this, slotOf(key, hash)); }
    const_iterator find(std::string_view key, size_t hash) const { return const_iterator(this, slotOf(key, hash)); }
    bool contains(std::string_view key) const { return slotOf(key, hashOf(key)) != m_capacity; }

    // Replaces the entry of an existing key, or inserts key and entry (whose
    // record, key included, is in the stream already). Returns the entry and
    // whether the key is new.
    std::pair<iterator, bool> insert_or_assign(std::string_view key, const IndexEntry &entry) {
        return insert_or_assign(key, hashOf(key), entry);
    }
    std::pair<iterator, bool> insert_or_assign(std::string_view key, size_t hash, const IndexEntry &entry);

    // Replaces the entry at `it` (the one way to change an entry's sizes:
    // the table keeps their sum).
    void assign(iterator it, const IndexEntry &entry) {
        IndexEntry &slot = m_slots[it.m_slot].entry;
        m_liveBytes = m_liveBytes - recordBytes(slot) + recordBytes(entry);
        slot = entry;
    }
    // The bytes of every indexed record, kept as entries come and go: what
    // a rewrite of the live records takes (holder not included).
    uint64_t liveBytes() const { return m_liveBytes; }

    // Number of entries erased (0 or 1).
    size_type erase(std::string_view key) {
        const size_t slot = slotOf(key, hashOf(key));
        if (slot == m_capacity) {
            return 0;
        }
        eraseSlot(slot);
        return 1;
    }
    // The iterator past the erased entry.
    iterator erase(const_iterator it) {
        eraseSlot(it.m_slot);
        return iterator(this, it.m_slot + 1);
    }
    iterator erase(iterator it) { return erase(const_iterator(it)); }

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, m_capacity); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_capacity); }

    size_type size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    // Drops every entry and the slots' memory; the binding stays.
    void clear();
    // Room for `count` entries without growing.
    void reserve(size_type count);
    // Exchanges the entries; each table keeps its own binding.
    void swap(PlainIndex &other) noexcept;
    // Bytes of slot memory held.
    size_t memoryBytes() const { return m_capacity * sizeof(Slot); }

private:
    // 0: never used; 1: erased (probing goes on past it); a live tag has its
    // top bit set and the hash's low 31 bits, which also place it.
    static constexpr uint32_t kEmpty = 0;
    static constexpr uint32_t kErased = 1;
    static constexpr uint32_t kLiveBit = 0x80000000u;
    static bool isLive(uint32_t tag) { return (tag & kLiveBit) != 0; }
    static uint32_t tagOf(size_t hash) { return static_cast<uint32_t>(hash) | kLiveBit; }

    struct Slot {
        uint32_t tag;
        IndexEntry entry;
    };
    static_assert(sizeof(Slot) == 16, "a slot is 16 bytes");

    // The first key byte of an entry's record, behind its key length varint.
    // The varint is skipped within the entry's own key part: bytes changed
    // under the mapping (another writer, a damaged page) are then compared
    // as they are, never read past the record.
    static const uint8_t *keyStart(const IndexEntry &entry, const uint8_t *base) {
        const uint8_t *p = base + entry.offset;
        const size_t prefixRoom = entry.computedKVSize > entry.keySize ? entry.computedKVSize - entry.keySize : 1;
        const uint8_t *lastPrefixByte = p + prefixRoom - 1;
        while (p < lastPrefixByte && (*p & 0x80)) {
            p++;
        }
        return p + 1;
    }
    // The key of an entry; empty while unbound or unmapped.
    std::string_view keyOf(const IndexEntry &entry) const {
        const uint8_t *base = streamBase();
        if (!base) {
            return std::string_view();
        }
        return std::string_view(reinterpret_cast<const char *>(keyStart(entry, base)), entry.keySize);
    }
    bool holdsKey(const IndexEntry &entry, const uint8_t *base, std::string_view key) const {
        return entry.keySize == key.size() && memcmp(keyStart(entry, base), key.data(), key.size()) == 0;
    }
    // The slot holding key, or m_capacity.
    size_t slotOf(std::string_view key, size_t hash) const {
        if (m_size == 0) {
            return m_capacity;
        }
        const uint8_t *base = streamBase();
        if (!base) {
            return m_capacity;
        }
        const uint32_t tag = tagOf(hash);
        const size_t mask = m_capacity - 1;
        for (size_t i = tag & mask;; i = (i + 1) & mask) {
            const Slot &slot = m_slots[i];
            if (slot.tag == kEmpty) {
                return m_capacity;
            }
            if (slot.tag == tag && holdsKey(slot.entry, base, key)) {
                return i;
            }
        }
    }
    void eraseSlot(size_t slot) {
        m_slots[slot].tag = kErased;
        m_size--;
        m_liveBytes -= recordBytes(m_slots[slot].entry);
    }
    static uint64_t recordBytes(const IndexEntry &entry) {
        return static_cast<uint64_t>(entry.computedKVSize) + entry.valueSize;
    }
    // Moves every live slot into a table of `capacity` slots (tombstones go).
    void rehash(size_t capacity);

    std::unique_ptr<Slot[]> m_slots;
    size_t m_capacity = 0; // a power of two, or 0
    size_t m_size = 0;     // live entries
    size_t m_used = 0;     // live entries and tombstones
    uint64_t m_liveBytes = 0;
    void *const *m_mapping = nullptr;
    size_t m_skip = 0;
    void *m_ownBase = nullptr;
};

} // namespace vorn
