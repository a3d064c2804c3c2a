// Index entries: where a plain entry's value lies, which form an encrypted
// entry takes, who owns its bytes, and decryption of the offset form.

#include "encoding/IndexEntry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/CodedInputData.h"

#include "ExactBytes.h"
#include "RecordStream.h"

using namespace vorn;
using namespace recordstream;

namespace {

Bytes bytesOf(const VornBuffer &buffer) {
    auto p = static_cast<const uint8_t *>(buffer.data());
    return Bytes(p, p + buffer.size());
}

// Fields of the packed entry are read by value: gtest binds references to its
// arguments, and a reference to a packed member may be misaligned.
template <typename T> T field(T value) {
    return value;
}

Bytes valueOf(const CryptIndexEntry &kv) {
    return bytesOf(kv.toVornBuffer(nullptr, nullptr));
}

TEST(IndexEntryTest, ComputedKVSizeCountsBothLengthVarintsAndTheKey) {
    struct Case {
        uint32_t keyLength, valueLength;
        uint16_t computedKVSize;
    } cases[] = {
        {3, 300, 1 + 3 + 2},     {1, 0, 1 + 1 + 1},        {127, 127, 1 + 127 + 1},
        {128, 128, 2 + 128 + 2}, {5, 1u << 28, 1 + 5 + 5}, {65531, 1, 3 + 65531 + 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.keyLength) + "/" + std::to_string(c.valueLength));
        IndexEntry kv(c.keyLength, c.valueLength, 10);
        EXPECT_EQ(kv.computedKVSize, c.computedKVSize);
        EXPECT_EQ(kv.keySize, c.keyLength);
        EXPECT_EQ(kv.valueSize, c.valueLength);
        EXPECT_EQ(kv.offset, 10u);
        EXPECT_EQ(IndexEntry::keyPartSize(c.keyLength, c.valueLength), c.computedKVSize);
    }
    // A key part the 16-bit field cannot hold is visible to the appender.
    EXPECT_EQ(IndexEntry::keyPartSize(65531, 128), 3u + 65531 + 2);
    EXPECT_GT(IndexEntry::keyPartSize(65531, 128), kMaxComputedKVSize);
}

TEST(IndexEntryTest, DecodedEntryBorrowsTheValueFromTheStream) {
    // A record with a 3-byte key and a 300-byte value at offset 10.
    StreamBuilder stream(4);
    stream.add("a", patternBytes(3, 1)); // 4..9
    Bytes value = patternBytes(300, 2);
    stream.add("key", value);
    ASSERT_EQ(stream.recordOffset(1), 10u);
    ExactBytes region(stream.bytes());

    CodedInputData input(region.data(), region.size());
    input.readInt32();
    IndexEntry first;
    input.readString(first);
    input.readData(first);
    IndexEntry kv;
    EXPECT_EQ(input.readString(kv), "key");
    input.readData(kv);
    EXPECT_TRUE(input.reachedEnd());

    EXPECT_EQ(kv.keySize, 3u);
    EXPECT_EQ(kv.valueSize, 300u);
    EXPECT_EQ(kv.computedKVSize, 6u);
    EXPECT_EQ(kv.offset, 10u);
    VornBuffer borrowed = kv.toVornBuffer(region.data());
    EXPECT_EQ(borrowed.data(), region.data() + 16);
    EXPECT_EQ(borrowed.copyFlag(), VornBufferNoCopy);
    EXPECT_EQ(bytesOf(borrowed), value);

    // The constructor used after an append describes the same record.
    IndexEntry appended(3, 300, 10);
    EXPECT_EQ(appended.computedKVSize, kv.computedKVSize);
    EXPECT_EQ(appended.toVornBuffer(region.data()).data(), region.data() + 16);
}

TEST(CryptIndexEntryTest, CopiedValueIsInlineUpTo27BytesElseOnTheHeap) {
    struct Case {
        size_t length;
        IndexEntryType kind;
    } cases[] = {{0, KVHolderInline}, {1, KVHolderInline}, {16, KVHolderInline}, {27, KVHolderInline},
                 {28, KVHolderHeap},  {29, KVHolderHeap},  {256, KVHolderHeap}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        ExactBytes source(patternBytes(c.length, static_cast<uint8_t>(c.length)));
        CryptIndexEntry kv(source.data(), source.size());
        EXPECT_EQ(kv.kind, c.kind);
        EXPECT_EQ(kv.realValueSize(), c.length);
        EXPECT_EQ(valueOf(kv), source.bytes());
        if (c.kind == KVHolderHeap) {
            EXPECT_NE(field(kv.heapPtr), source.data());
        }
        // The value is borrowed from the entry.
        EXPECT_EQ(kv.toVornBuffer(nullptr, nullptr).copyFlag(), VornBufferNoCopy);
    }
}

TEST(CryptIndexEntryTest, TakesOverOnlyABlockTheBufferOwns) {
    // Owned 17-byte block: taken over, no copy, the buffer is left empty.
    {
        Bytes expected = patternBytes(17, 3);
        VornBuffer owned(expected.data(), expected.size(), VornBufferCopy);
        ASSERT_TRUE(owned.ownsBlock());
        void *block = owned.data();
        CryptIndexEntry kv(std::move(owned));
        EXPECT_EQ(kv.kind, KVHolderHeap);
        EXPECT_EQ(field(kv.heapPtr), block);
        EXPECT_EQ(kv.realValueSize(), 17u);
        EXPECT_EQ(owned.size(), 0u);
        EXPECT_FALSE(owned.ownsBlock());
        EXPECT_EQ(valueOf(kv), expected);
    }
    // Inline 16-byte buffer: copied into the inline form.
    {
        Bytes expected = patternBytes(16, 4);
        VornBuffer small(expected.data(), expected.size(), VornBufferCopy);
        ASSERT_TRUE(small.isInline());
        CryptIndexEntry kv(std::move(small));
        EXPECT_EQ(kv.kind, KVHolderInline);
        EXPECT_EQ(valueOf(kv), expected);
    }
    // Borrowed buffers (a mapping, another entry, a caller's string) are
    // copied and left as they were. Were the block taken over, the entry would
    // free memory from new[] (or free it twice): ASan reports either.
    for (size_t length : {size_t(10), size_t(17), size_t(27), size_t(28), size_t(256)}) {
        SCOPED_TRACE(length);
        ExactBytes foreign(patternBytes(length, static_cast<uint8_t>(length)));
        VornBuffer borrowed(foreign.data(), foreign.size(), VornBufferNoCopy);
        {
            CryptIndexEntry kv(std::move(borrowed));
            EXPECT_EQ(kv.kind, length <= 27 ? KVHolderInline : KVHolderHeap);
            if (kv.kind == KVHolderHeap) {
                EXPECT_NE(field(kv.heapPtr), foreign.data());
            }
            EXPECT_EQ(valueOf(kv), foreign.bytes());
        }
        EXPECT_EQ(borrowed.data(), foreign.data());
        EXPECT_EQ(borrowed.size(), length);
    }
}

TEST(CryptIndexEntryTest, MovesHandOverTheHeapBlockAndCopyOtherForms) {
    Bytes heapValue = patternBytes(100, 5);
    CryptIndexEntry heap(heapValue.data(), heapValue.size());
    uint8_t *block = heap.heapPtr;

    CryptIndexEntry moved(std::move(heap));
    EXPECT_EQ(moved.kind, KVHolderHeap);
    EXPECT_EQ(field(moved.heapPtr), block);
    EXPECT_EQ(field(heap.heapPtr), static_cast<uint8_t *>(nullptr));
    EXPECT_EQ(heap.realValueSize(), 0u);
    EXPECT_EQ(valueOf(moved), heapValue);

    // Assigning over a heap entry frees its block (LeakSanitizer checks);
    // inline and offset forms are copied whole.
    Bytes inlineValue = patternBytes(20, 6);
    CryptIndexEntry small(inlineValue.data(), inlineValue.size());
    moved = std::move(small);
    EXPECT_EQ(moved.kind, KVHolderInline);
    EXPECT_EQ(valueOf(moved), inlineValue);
    EXPECT_EQ(valueOf(small), inlineValue);

    CryptIndexEntry offsetForm(3, 300, 42);
    offsetForm.cryptStatus.m_number = 7;
    offsetForm.cryptStatus.m_vector[15] = 0xEE;
    CryptIndexEntry target(heapValue.data(), heapValue.size());
    target = std::move(offsetForm);
    EXPECT_EQ(target.kind, KVHolderOffset);
    EXPECT_EQ(field(target.keySize), 3u);
    EXPECT_EQ(field(target.valueSize), 300u);
    EXPECT_EQ(field(target.offset), 42u);
    EXPECT_EQ(target.lengthVarintsSize, 1 + 2);
    EXPECT_EQ(target.cryptStatus.m_number, 7);
    EXPECT_EQ(target.cryptStatus.m_vector[15], 0xEE);
    EXPECT_EQ(target.realValueSize(), 300u);
    EXPECT_EQ(target.recordSize(), 3u + 3 + 300);
}

// An offset-form entry decrypts to exactly the value's plaintext, for record
// starts at several places in a cipher block and key parts shorter than one
// block, exactly one and exactly two blocks long.
TEST(CryptIndexEntryTest, OffsetFormDecryptsLikeTheWholeStream) {
    struct Case {
        size_t recordOffset; // where the record starts in the stream
        size_t keyLength;    // key part = 1 + keyLength + 2
        size_t valueLength;
        bool aes256;
    } cases[] = {
        {7, 3, 257, false},    {16, 3, 300, false}, {45, 3, 1000, true},   // key part 6
        {7, 13, 257, false},   {16, 13, 257, true}, {33, 13, 4000, false}, // key part 16
        {16, 29, 257, false},  {21, 29, 300, true}, {32, 29, 257, false},  // key part 32
        {4, 30, 16384, false},                                             // 3-byte value length
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.recordOffset) + "/" + std::to_string(c.keyLength) + "/" +
                     std::to_string(c.valueLength) + (c.aes256 ? " AES-256" : " AES-128"));
        StreamBuilder stream(4);
        if (c.recordOffset > 4) {
            stream.add("f", patternBytes(c.recordOffset - 4 - 3, 9));
        }
        Bytes value = patternBytes(c.valueLength, 10);
        stream.add(std::string(c.keyLength, 'k'), value); // last: any over-read leaves the block
        ASSERT_EQ(stream.recordOffset(c.recordOffset > 4 ? 1 : 0), c.recordOffset);
        ExactBytes cipherText = encrypted(stream.bytes(), c.aes256);

        CryptIndexEntry kv(static_cast<uint32_t>(c.keyLength), static_cast<uint32_t>(c.valueLength),
                               static_cast<uint32_t>(c.recordOffset));
        std::string status = statusAfter(cipherText.data(), c.recordOffset, c.aes256);
        memcpy(&kv.cryptStatus, status.data(), sizeof(kv.cryptStatus));

        AESCrypt storeCipher = makeCipher(c.aes256);
        Bytes skip(123);
        storeCipher.decrypt(cipherText.data(), skip.data(), skip.size());
        const std::string before = statusOf(storeCipher);

        VornBuffer plain = kv.toVornBuffer(cipherText.data(), &storeCipher);
        EXPECT_EQ(bytesOf(plain), value);
        EXPECT_TRUE(plain.isInline() || plain.ownsBlock());
        EXPECT_EQ(statusOf(storeCipher), before) << "the store's cipher must not move";
    }
}

TEST(CryptIndexEntryTest, OffsetFormWithoutCipherOrBaseIsEmpty) {
    StreamBuilder stream(4);
    stream.add("k", patternBytes(300, 1));
    ExactBytes cipherText = encrypted(stream.bytes());
    CryptIndexEntry kv(1, 300, 4);
    AESCrypt cipher = makeCipher();
    EXPECT_EQ(kv.toVornBuffer(cipherText.data(), nullptr).size(), 0u);
    EXPECT_EQ(kv.toVornBuffer(nullptr, &cipher).size(), 0u);
    // The empty entry is an absent value.
    EXPECT_EQ(CryptIndexEntry().realValueSize(), 0u);
    EXPECT_EQ(CryptIndexEntry(cipherText.data(), 0).realValueSize(), 0u);
}

} // namespace
