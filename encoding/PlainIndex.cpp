#include "encoding/PlainIndex.h"

#include <new>

namespace vorn {

namespace {

constexpr size_t kMinCapacity = 16;

// Slots for `count` entries at most 3/4 full.
size_t capacityFor(size_t count) {
    size_t capacity = kMinCapacity;
    while (capacity - capacity / 4 < count) {
        capacity *= 2;
    }
    return capacity;
}

} // namespace

std::pair<PlainIndex::iterator, bool> PlainIndex::insert_or_assign(std::string_view key, size_t hash,
                                                                   const IndexEntry &entry) {
    const size_t found = slotOf(key, hash);
    if (found != m_capacity) {
        iterator it(this, found);
        assign(it, entry);
        return {it, false};
    }
    // Tombstones count against the fill: a table of erased slots grows (or
    // is rebuilt at its size) like a full one, so probing always ends.
    if (m_used + 1 > m_capacity - m_capacity / 4) {
        rehash(capacityFor(m_size + 1));
    }
    const uint32_t tag = tagOf(hash);
    const size_t mask = m_capacity - 1;
    size_t i = tag & mask;
    while (isLive(m_slots[i].tag)) {
        i = (i + 1) & mask;
    }
    if (m_slots[i].tag == kEmpty) {
        m_used++;
    }
    m_slots[i].tag = tag;
    m_slots[i].entry = entry;
    m_size++;
    m_liveBytes += recordBytes(entry);
    return {iterator(this, i), true};
}

void PlainIndex::rehash(size_t capacity) {
    std::unique_ptr<Slot[]> slots(new Slot[capacity]());
    const size_t mask = capacity - 1;
    for (size_t s = 0; s < m_capacity; s++) {
        const Slot &old = m_slots[s];
        if (!isLive(old.tag)) {
            continue;
        }
        size_t i = old.tag & mask;
        while (slots[i].tag != kEmpty) {
            i = (i + 1) & mask;
        }
        slots[i] = old;
    }
    m_slots = std::move(slots);
    m_capacity = capacity;
    m_used = m_size;
}

void PlainIndex::clear() {
    m_slots.reset();
    m_capacity = 0;
    m_size = 0;
    m_used = 0;
    m_liveBytes = 0;
}

void PlainIndex::reserve(size_type count) {
    const size_t capacity = capacityFor(count);
    if (capacity > m_capacity) {
        rehash(capacity);
    }
}

void PlainIndex::swap(PlainIndex &other) noexcept {
    std::swap(m_slots, other.m_slots);
    std::swap(m_capacity, other.m_capacity);
    std::swap(m_size, other.m_size);
    std::swap(m_used, other.m_used);
    std::swap(m_liveBytes, other.m_liveBytes);
}

} // namespace vorn
