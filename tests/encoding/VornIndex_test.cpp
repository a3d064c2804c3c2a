// The node-based index map (the encrypted stores'): lookups by view find
// exactly the stored key, and cost no allocation.

#include "encoding/VornIndex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "RecordStream.h"

// Counts allocations made through operator new while switched on; the rest of
// the binary allocates as usual. The block functions are kept out of line so
// that the compiler does not pair a visible malloc with a delete expression.
namespace {
std::atomic<bool> g_countAllocations{false};
std::atomic<size_t> g_allocations{0};

__attribute__((noinline)) void *allocateBlock(size_t size) {
    if (g_countAllocations.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return malloc(size ? size : 1);
}
__attribute__((noinline)) void releaseBlock(void *p) {
    free(p);
}
} // namespace

void *operator new(size_t size) {
    void *p = allocateBlock(size);
    if (!p) {
        throw std::bad_alloc();
    }
    return p;
}
void operator delete(void *p) noexcept {
    releaseBlock(p);
}
void operator delete(void *p, size_t) noexcept {
    releaseBlock(p);
}

using namespace vorn;

namespace {

class AllocationCount {
public:
    AllocationCount() {
        g_allocations = 0;
        g_countAllocations = true;
    }
    ~AllocationCount() { g_countAllocations = false; }
    size_t count() const { return g_allocations.load(); }
};

TEST(VornIndexTest, ViewLookupsMatchLengthAndBytes) {
    VornIndex<IndexEntry> index; // the template behind the encrypted stores' map
    const std::string withNul("a\0b", 3);
    index.insert_or_assign(std::string_view("alpha"), IndexEntry(5, 1, 4));
    index.insert_or_assign(std::string_view(withNul), IndexEntry(3, 2, 20));
    index.insert_or_assign(std::string_view("a"), IndexEntry(1, 3, 40));

    // Views into a larger buffer: neither terminated nor backed by a string.
    const char text[] = "alphabet a\0bc";
    EXPECT_EQ(index.find(std::string_view(text, 5))->second.offset, 4u);
    EXPECT_EQ(index.find(std::string_view(text + 9, 1))->second.offset, 40u);
    EXPECT_EQ(index.find(std::string_view(text + 9, 3))->second.offset, 20u);
    EXPECT_EQ(index.find(std::string_view(text, 4)), index.end());     // "alph"
    EXPECT_EQ(index.find(std::string_view(text, 6)), index.end());     // "alphab"
    EXPECT_EQ(index.find(std::string_view(text + 9, 2)), index.end()); // "a\0"
    EXPECT_EQ(index.find(std::string_view(text + 9, 4)), index.end()); // "a\0bc"
    EXPECT_EQ(index.find(std::string_view()), index.end());
    EXPECT_TRUE(index.contains("alpha"));
    EXPECT_FALSE(index.contains("beta"));

    // Replacing keeps one entry; erasing by view removes exactly that key.
    auto [it, inserted] = index.insert_or_assign(std::string_view(text, 5), IndexEntry(5, 9, 99));
    EXPECT_FALSE(inserted);
    EXPECT_EQ(it->second.offset, 99u);
    EXPECT_EQ(index.size(), 3u);
    EXPECT_EQ(index.erase(std::string_view(text + 9, 2)), 0u);
    EXPECT_EQ(index.erase(std::string_view(text + 9, 3)), 1u);
    EXPECT_EQ(index.size(), 2u);
    EXPECT_FALSE(index.contains(withNul));
    EXPECT_TRUE(index.contains("a"));

    // The decoders hand over their key strings.
    std::string key = "gamma";
    EXPECT_TRUE(index.insert_or_assign(std::move(key), IndexEntry(5, 1, 7)).second);
    EXPECT_EQ(index.find("gamma")->second.offset, 7u);
}

TEST(VornIndexTest, HasherAgreesForStringsAndViews) {
    const std::string keys[] = {"", "k", std::string("\0\0", 2), std::string(300, 'x')};
    for (const auto &key : keys) {
        SCOPED_TRACE(key.size());
        EXPECT_EQ(KeyHasher{}(key), KeyHasher{}(std::string_view(key)));
        EXPECT_EQ(KeyHasher{}(key), std::hash<std::string>{}(key));
        EXPECT_TRUE(KeyEqualer{}(key, std::string_view(key)));
    }
    EXPECT_FALSE(KeyEqualer{}("ab", std::string_view("ab\0", 3)));
    EXPECT_FALSE(KeyEqualer{}("ab", "ac"));
}

TEST(VornIndexTest, KeysBeyondTheKeyLimitAreStillFoundExactly) {
    VornIndex<IndexEntry> index; // the template behind the encrypted stores' map
    const std::string huge(kMaxKeyLength + 10, 'h');
    index.insert_or_assign(std::string_view(huge), IndexEntry(1, 1, 1));
    EXPECT_TRUE(index.contains(huge));
    EXPECT_FALSE(index.contains(std::string_view(huge).substr(1)));
    EXPECT_EQ(index.erase(huge), 1u);
    EXPECT_TRUE(index.empty());
}

TEST(VornIndexTest, LookupsAndUpdatesOfExistingKeysDoNotAllocate) {
    VornIndex<IndexEntry> index; // the template behind the encrypted stores' map
    index.reserve(1000);
    for (int i = 0; i < 1000; i++) {
        index.insert_or_assign(std::string_view("index_entry_key_number_" + std::to_string(i)),
                               IndexEntry(28, 1, i));
    }
    const std::string longKey(2000, 'L');
    index.insert_or_assign(std::string_view(longKey), IndexEntry(1, 1, 5));
    ASSERT_TRUE(index.contains(longKey));

    char buffer[64];
    size_t found = 0;
    AllocationCount allocations;
    for (int i = 0; i < 2000; i++) {
        int length = snprintf(buffer, sizeof(buffer), "index_entry_key_number_%d", i);
        std::string_view key(buffer, static_cast<size_t>(length));
        auto it = index.find(key);
        if (it != index.end()) {
            found++;
            index.insert_or_assign(key, IndexEntry(28, 2, i));
        }
    }
    found += index.contains(std::string_view(longKey)) ? 1 : 0;
    EXPECT_EQ(allocations.count(), 0u);
    EXPECT_EQ(found, 1001u);
}

TEST(VornIndexTest, EncryptedIndexOwnsItsEntries) {
    // Replacing and erasing entries frees their blocks (LeakSanitizer checks);
    // swapping moves whole indexes.
    VORNMapCrypt index;
    auto big = recordstream::patternBytes(200, 1);
    index.insert_or_assign(std::string_view("a"), CryptIndexEntry(big.data(), big.size()));
    index.insert_or_assign(std::string_view("a"), CryptIndexEntry(big.data(), 100));
    index.insert_or_assign(std::string_view("b"), CryptIndexEntry(big.data(), 50));
    EXPECT_EQ(index.find("a")->second.realValueSize(), 100u);
    EXPECT_EQ(index.erase("b"), 1u);

    VORNMapCrypt other;
    other.swap(index);
    EXPECT_TRUE(index.empty());
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other.begin()->first, "a");
}

} // namespace
