// KeyIndex on its own, over both kinds (plain entries by offset, encrypted
// entries held decrypted or by offset and cipher state): what a decode of a
// record stream leaves in the index (later records win, a deletion removes,
// a bad record in the middle under strict and greedy decoding), and the
// expiry purge at a given time.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "PartFixtures.h"
#include "core/KeyIndex.h"
#include "crypt/AESCrypt.h"
#include "encoding/VornBuffer.h"

using namespace parts;
using recordstream::StreamBuilder;
using vorn::KeyIndex;
using vorn::VornBuffer;
using vorn_test::le32;

namespace {

// A record stream as a store of either kind holds it: as spelled, or
// encrypted from its first byte under recordstream's key and vector.
class StoredStream {
public:
    StoredStream(const Bytes &plain, bool encrypted)
        : m_bytes(encrypted ? recordstream::encrypted(plain) : ExactBytes(plain)), m_encrypted(encrypted) {}

    uint8_t *base() { return m_bytes.data(); }
    // The first `length` bytes (all by default), borrowed.
    VornBuffer input(size_t length = SIZE_MAX) {
        return VornBuffer(m_bytes.data(), std::min(length, m_bytes.size()), vorn::VornBufferNoCopy);
    }
    // A cipher for reading values kept by position: the entries carry their state.
    vorn::AESCrypt *valueCipher() { return m_encrypted ? &m_valueCipher : nullptr; }

private:
    ExactBytes m_bytes;
    bool m_encrypted;
    vorn::AESCrypt m_valueCipher = recordstream::makeCipher();
};

Contents contentsOf(const KeyIndex &index, StoredStream &stream) {
    return parts::contentsOf(index, stream.base(), stream.valueCipher());
}

const char *kindName(bool encrypted) {
    return encrypted ? "encrypted" : "plain";
}

class KeyIndexTest : public PartTest {};

TEST_F(KeyIndexTest, LaterRecordsWinAndDeletionsRemove) {
    // Long enough that an encrypted index keeps it by position.
    const std::string longValue = text(recordstream::patternBytes(300, 3));
    const Bytes plain = StreamBuilder()
                            .add("a", "1")
                            .add("b", "2")
                            .add("a", "3")
                            .add("c", longValue)
                            .add("b", "")
                            .add("d", "4")
                            .add("c", longValue + "!")
                            .bytes();
    const Contents expected = {{"a", "3"}, {"c", longValue + "!"}, {"d", "4"}};
    for (bool encrypted : {false, true}) {
        for (bool greedy : {false, true}) {
            SCOPED_TRACE(std::string(kindName(encrypted)) + (greedy ? ", greedy" : ", strict"));
            StoredStream stream(plain, encrypted);
            vorn::AESCrypt cipher = recordstream::makeCipher();
            KeyIndex index(encrypted);
            ASSERT_EQ(index.encrypted(), encrypted);
            ASSERT_TRUE(index.decode(stream.input(), encrypted ? &cipher : nullptr, greedy));
            EXPECT_EQ(contentsOf(index, stream), expected);
            EXPECT_EQ(index.size(), 3u);
            EXPECT_FALSE(index.contains("b"));
            EXPECT_EQ(index.valueOf("b", stream.base(), stream.valueCipher()).size(), 0u);
            std::vector<std::string> keys = index.keys();
            std::sort(keys.begin(), keys.end());
            EXPECT_EQ(keys, (std::vector<std::string>{"a", "c", "d"}));
        }
    }
}

// The index holds "old" from the stream's first part; the rest, read from
// that position on, carries a bad record between good ones. A strict decode
// leaves the index as it was; a greedy one keeps the records read before the
// bad one and nothing after it.
TEST_F(KeyIndexTest, BadRecordInTheMiddle) {
    struct Bad {
        const char *name;
        Bytes bytes;
    };
    const Bad bads[] = {
        {"negative key length", {0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 'x'}},
        {"value length past the stream", {0x01, 'x', 0xFF, 0xFF, 0x03}},
        {"none (a sound stream)", {}},
    };
    for (const Bad &bad : bads) {
        StreamBuilder builder;
        builder.add("old", "0");
        const size_t position = builder.bytes().size();
        builder.add("a", "1").add("b", "2").raw(bad.bytes).add("c", "3");
        const bool sound = bad.bytes.empty();
        for (bool encrypted : {false, true}) {
            for (bool greedy : {false, true}) {
                SCOPED_TRACE(std::string(bad.name) + ", " + kindName(encrypted) + (greedy ? ", greedy" : ", strict"));
                StoredStream stream(builder.bytes(), encrypted);
                // One cipher through both decodes: it stands at `position`
                // once the first part is read.
                vorn::AESCrypt cipher = recordstream::makeCipher();
                vorn::AESCrypt *crypter = encrypted ? &cipher : nullptr;
                KeyIndex index(encrypted);
                ASSERT_TRUE(index.decode(stream.input(position), crypter, false));
                ASSERT_EQ(contentsOf(index, stream), (Contents{{"old", "0"}}));

                EXPECT_EQ(index.decode(stream.input(), crypter, greedy, position), sound);
                Contents expected;
                if (sound) {
                    // A strict decode replaces the index with what it read.
                    expected = greedy ? Contents{{"old", "0"}, {"a", "1"}, {"b", "2"}, {"c", "3"}}
                                      : Contents{{"a", "1"}, {"b", "2"}, {"c", "3"}};
                } else {
                    expected = greedy ? Contents{{"old", "0"}, {"a", "1"}, {"b", "2"}} : Contents{{"old", "0"}};
                }
                EXPECT_EQ(contentsOf(index, stream), expected);
            }
        }
    }
}

// Values end in their expiry time (4 bytes, little-endian; 0: never). An
// entry goes when that time is at or before `now`; a value too short to
// carry one stays.
TEST_F(KeyIndexTest, DropExpiredAtAGivenTime) {
    const std::string longPart = text(recordstream::patternBytes(300, 5));
    const Bytes plain = StreamBuilder()
                            .add("at100", "A" + le32(100))
                            .add("at200", "B" + le32(200))
                            .add("never", "C" + le32(0))
                            .add("short", "dd")
                            .add("long150", longPart + le32(150))
                            .bytes();
    struct Case {
        uint32_t now;
        size_t dropped;
        std::vector<std::string> left;
    };
    const Case cases[] = {
        {99, 0, {"at100", "at200", "long150", "never", "short"}},
        {100, 1, {"at200", "long150", "never", "short"}},
        {150, 2, {"at200", "never", "short"}},
        {199, 2, {"at200", "never", "short"}},
        {200, 3, {"never", "short"}},
        {0xFFFFFFFF, 3, {"never", "short"}},
    };
    for (bool encrypted : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(kindName(encrypted)) + " at " + std::to_string(c.now));
            StoredStream stream(plain, encrypted);
            vorn::AESCrypt cipher = recordstream::makeCipher();
            KeyIndex index(encrypted);
            ASSERT_TRUE(index.decode(stream.input(), encrypted ? &cipher : nullptr, false));
            const Contents before = contentsOf(index, stream);
            EXPECT_EQ(index.filterExpiredKeys(stream.base(), stream.valueCipher(), c.now), c.dropped);
            std::vector<std::string> keys = index.keys();
            std::sort(keys.begin(), keys.end());
            EXPECT_EQ(keys, c.left);
            for (const std::string &key : c.left) {
                EXPECT_EQ(contentsOf(index, stream).at(key), before.at(key)) << "a kept value is untouched";
            }
        }
    }
}

TEST_F(KeyIndexTest, KindSwitchAndErase) {
    StoredStream stream(StreamBuilder().add("a", "1").add("b", "2").bytes(), false);
    KeyIndex index(false);
    ASSERT_TRUE(index.decode(stream.input(), nullptr, false));
    EXPECT_EQ(index.erase("a"), 1u);
    EXPECT_EQ(index.erase("a"), 0u);
    EXPECT_FALSE(index.contains("a"));
    EXPECT_TRUE(index.contains("b"));

    index.becomeKind(true);
    EXPECT_TRUE(index.encrypted());
    EXPECT_TRUE(index.empty()) << "a kind switch drops every entry";
    index.becomeKind(false);
    EXPECT_FALSE(index.encrypted());
    EXPECT_TRUE(index.empty());
}

} // namespace
