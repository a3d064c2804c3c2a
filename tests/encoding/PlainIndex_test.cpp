// The plain stores' index: keys are compared where they lie in the stream,
// through a binding that follows the mapping; a model (std::map) says what
// the table must hold after every step of a random mix of inserts,
// replacements and erases, across growths and tombstones.

#include "encoding/PlainIndex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "ExactBytes.h"
#include "RecordStream.h"

using namespace vorn;
using recordstream::Bytes;
using recordstream::StreamBuilder;

namespace {

// Appends a record of `key` to `stream` and returns its entry.
IndexEntry appendRecord(Bytes &stream, const std::string &key, const std::string &value, size_t padding = 0) {
    const size_t offset = stream.size();
    recordstream::appendPaddedVarint(stream, key.size(), padding);
    stream.insert(stream.end(), key.begin(), key.end());
    recordstream::appendVarint(stream, value.size());
    IndexEntry entry;
    entry.offset = static_cast<uint32_t>(offset);
    entry.keySize = static_cast<uint16_t>(key.size());
    entry.computedKVSize = static_cast<uint16_t>(stream.size() - offset);
    entry.valueSize = static_cast<uint32_t>(value.size());
    stream.insert(stream.end(), value.begin(), value.end());
    return entry;
}

std::string valueAt(const Bytes &stream, const IndexEntry &entry) {
    return std::string(reinterpret_cast<const char *>(stream.data()) + entry.offset + entry.computedKVSize,
                       entry.valueSize);
}

TEST(PlainIndexTest, MatchesAModelThroughGrowthsTombstonesAndReplacements) {
    Bytes stream(4, 0); // a holder; records follow
    stream.reserve(1 << 22);
    void *mapping = stream.data();
    PlainIndex index;
    index.bindStream(&mapping, 0);
    std::map<std::string, std::string> model;
    std::map<std::string, uint64_t> recordBytes; // what each live record takes
    std::mt19937 random(7);
    for (int step = 0; step < 20000; step++) {
        // Few enough keys that they come back after being erased.
        const std::string key = "k" + std::to_string(random() % 3000);
        const int action = static_cast<int>(random() % 10);
        if (action < 7) {
            const std::string value = "v" + std::to_string(step);
            const IndexEntry entry = appendRecord(stream, key, value);
            ASSERT_EQ(static_cast<void *>(stream.data()), mapping) << "the stream buffer moved";
            if (action == 0 && model.count(key)) {
                index.assign(index.find(key), entry); // the writer's form of a replacement
            } else {
                const bool isNew = index.insert_or_assign(key, entry).second;
                EXPECT_EQ(isNew, model.count(key) == 0) << key;
            }
            model[key] = value;
            recordBytes[key] = entry.computedKVSize + entry.valueSize;
        } else {
            EXPECT_EQ(index.erase(key), model.erase(key)) << key;
            recordBytes.erase(key);
        }
        ASSERT_EQ(index.size(), model.size());
        uint64_t live = 0;
        for (const auto &pair : recordBytes) {
            live += pair.second;
        }
        ASSERT_EQ(index.liveBytes(), live) << "step " << step;
    }
    for (const auto &[key, value] : model) {
        auto it = index.find(key);
        ASSERT_NE(it, index.end()) << key;
        EXPECT_EQ(it->first, key);
        EXPECT_EQ(valueAt(stream, it->second), value) << key;
    }
    std::map<std::string, std::string> seen;
    for (auto &&item : index) {
        EXPECT_TRUE(seen.emplace(std::string(item.first), valueAt(stream, item.second)).second) << item.first;
    }
    EXPECT_EQ(seen, model);
    // About 16 bytes a slot, at most 3/4 of them used (tombstones included).
    EXPECT_LE(index.memoryBytes(), 16 * 4 * model.size() * 2);
}

// Keys equal in hash tag and length still differ in bytes; a key is read
// behind a padded length varint as well; views need no terminator.
TEST(PlainIndexTest, KeysAreComparedByLengthAndBytesInTheStream) {
    Bytes stream(4, 0);
    const std::string withNul("a\0b", 3);
    const IndexEntry alpha = appendRecord(stream, "alpha", "1");
    const IndexEntry nul = appendRecord(stream, withNul, "2", /*padding=*/2);
    const IndexEntry a = appendRecord(stream, "a", "3");
    PlainIndex index;
    index.bindStream(stream.data());
    index.insert_or_assign("alpha", alpha);
    index.insert_or_assign(withNul, nul);
    index.insert_or_assign("a", a);

    const char text[] = "alphabet a\0bc";
    EXPECT_EQ(index.find(std::string_view(text, 5))->second.offset, alpha.offset);
    EXPECT_EQ(index.find(std::string_view(text + 9, 1))->second.offset, a.offset);
    EXPECT_EQ(index.find(std::string_view(text + 9, 3))->second.offset, nul.offset);
    EXPECT_EQ(index.find(std::string_view(text + 9, 3))->first, withNul) << "the key behind a padded varint";
    EXPECT_EQ(index.find(std::string_view(text, 4)), index.end());
    EXPECT_EQ(index.find(std::string_view(text, 6)), index.end());
    EXPECT_EQ(index.find(std::string_view(text + 9, 2)), index.end());
    EXPECT_EQ(index.find(std::string_view()), index.end());

    // Every key with one hash: the probe sequence must still tell them apart.
    PlainIndex sameTag;
    sameTag.bindStream(stream.data());
    sameTag.insert_or_assign("alpha", 42, alpha);
    sameTag.insert_or_assign(withNul, 42, nul);
    sameTag.insert_or_assign("a", 42, a);
    EXPECT_EQ(sameTag.find("alpha", 42)->second.offset, alpha.offset);
    EXPECT_EQ(sameTag.find(withNul, 42)->second.offset, nul.offset);
    EXPECT_EQ(sameTag.find("a", 42)->second.offset, a.offset);
    EXPECT_EQ(sameTag.find("b", 42), sameTag.end());
}

// The table reads keys wherever the stream is mapped now: a remap to another
// address is followed, and an unmapped stream finds nothing (and reads
// nothing).
TEST(PlainIndexTest, FollowsTheMappingAndFindsNothingUnmapped) {
    Bytes first(4, 0);
    const IndexEntry entry = appendRecord(first, "key", "value");
    Bytes second = first; // the same stream at another address
    void *mapping = first.data();
    PlainIndex index;
    index.bindStream(&mapping, 0);
    index.insert_or_assign("key", entry);
    EXPECT_NE(index.find("key"), index.end());

    first.assign(first.size(), 0xEE); // the old address now holds other bytes
    mapping = second.data();
    EXPECT_NE(index.find("key"), index.end());
    EXPECT_EQ((*index.begin()).first, "key");

    mapping = nullptr;
    EXPECT_EQ(index.find("key"), index.end());
    EXPECT_FALSE(index.contains("key"));
    EXPECT_EQ(index.size(), 1u);

    // A skip in front of the stream (the data file's header).
    Bytes file(3, 0);
    file.insert(file.end(), second.begin(), second.end());
    mapping = file.data();
    index.bindStream(&mapping, 3);
    EXPECT_EQ(index.find("key")->first, "key");
}

// Bytes changed under the table (another writer, a damaged page) are
// compared as they are: a key length varint that no longer ends is never
// followed past the record's own key part, here the last bytes of an exact
// buffer (ASan reports any read beyond it).
TEST(PlainIndexTest, RecordBytesChangedUnderTheTableAreNeverReadPastTheRecord) {
    Bytes built(4, 0);
    const IndexEntry head = appendRecord(built, "head", "1");
    const IndexEntry tail = appendRecord(built, "tail", "2");
    ExactBytes stream(built);
    PlainIndex index;
    index.bindStream(stream.data());
    index.insert_or_assign("head", head);
    index.insert_or_assign("tail", tail);
    memset(stream.data() + tail.offset, 0xFF, stream.size() - tail.offset);

    EXPECT_EQ(index.find("tail"), index.end());
    EXPECT_NE(index.find("head"), index.end());
    const auto *end = reinterpret_cast<const char *>(stream.data()) + stream.size();
    for (auto &&item : index) {
        EXPECT_LE(item.first.data() + item.first.size(), end) << "a key view reaches past the stream";
    }
}

// Erasing while iterating visits every other entry once; iterators and
// entry references survive erases.
TEST(PlainIndexTest, EraseDuringIterationVisitsEveryEntryOnce) {
    Bytes stream(4, 0);
    std::vector<IndexEntry> entries;
    for (int i = 0; i < 500; i++) {
        entries.push_back(appendRecord(stream, "key-" + std::to_string(i), "v"));
    }
    PlainIndex index;
    index.bindStream(stream.data());
    for (int i = 0; i < 500; i++) {
        index.insert_or_assign("key-" + std::to_string(i), entries[i]);
    }
    IndexEntry &kept = index.find("key-7")->second;
    std::map<std::string, int> visits;
    for (auto it = index.begin(); it != index.end();) {
        const std::string key(it->first);
        visits[key]++;
        it = (std::stoi(key.substr(4)) % 2 == 0) ? index.erase(it) : ++it;
    }
    EXPECT_EQ(visits.size(), 500u);
    for (const auto &[key, count] : visits) {
        EXPECT_EQ(count, 1) << key;
    }
    EXPECT_EQ(index.size(), 250u);
    EXPECT_EQ(kept.offset, entries[7].offset);
    EXPECT_EQ(&index.find("key-7")->second, &kept);
    EXPECT_FALSE(index.contains("key-8"));

    index.clear();
    EXPECT_TRUE(index.empty());
    EXPECT_EQ(index.begin(), index.end());
    EXPECT_EQ(index.memoryBytes(), 0u);
}

} // namespace
