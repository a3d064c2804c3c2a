#include "encoding/VornBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

using vorn::VornBuffer;

namespace {

VornBuffer copyOf(const std::string &s) {
    return VornBuffer(const_cast<char *>(s.data()), s.size(), vorn::VornBufferCopy);
}

std::string bytesOf(const VornBuffer &b) { return std::string(static_cast<const char *>(b.data()), b.size()); }

TEST(VornBufferTest, StorageKindFollowsLengthAndFlag) {
    struct Case {
        size_t length;
        vorn::VornBufferCopyFlag flag;
        bool inlineKind;
        bool owns;
    } cases[] = {
        {0, vorn::VornBufferCopy, true, false},    {16, vorn::VornBufferCopy, true, false},
        {17, vorn::VornBufferCopy, false, true},   {0, vorn::VornBufferNoCopy, false, false},
        {3, vorn::VornBufferNoCopy, false, false}, {300, vorn::VornBufferNoCopy, false, false},
    };
    char source[300];
    for (size_t i = 0; i < sizeof(source); i++) source[i] = static_cast<char>(i);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " flag " + std::to_string(c.flag));
        VornBuffer b(source, c.length, c.flag);
        EXPECT_EQ(b.isInline(), c.inlineKind);
        EXPECT_EQ(b.ownsBlock(), c.owns);
        EXPECT_EQ(b.size(), c.length);
        EXPECT_EQ(memcmp(b.data(), source, c.length), 0);
        if (c.flag == vorn::VornBufferNoCopy) {
            EXPECT_EQ(b.data(), source);
        }
    }
}

TEST(VornBufferTest, MovesKeepInlineSourceAndEmptyExternalSource) {
    VornBuffer small = copyOf("short");
    VornBuffer movedSmall(std::move(small));
    EXPECT_EQ(bytesOf(movedSmall), "short");
    EXPECT_EQ(bytesOf(small), "short"); // an inline source keeps its bytes

    const std::string longText(40, 'L');
    VornBuffer big = copyOf(longText);
    void *block = big.data();
    VornBuffer movedBig(std::move(big));
    EXPECT_EQ(movedBig.data(), block);
    EXPECT_EQ(big.size(), 0u);
    EXPECT_TRUE(big.isInline()); // and its destructor frees nothing (ASan would report a double free)
}

TEST(VornBufferTest, MoveWithLimitKeepsTheSmallerSize) {
    VornBuffer ten = copyOf("0123456789");
    EXPECT_EQ(bytesOf(VornBuffer(std::move(ten), 6)), "012345");
    VornBuffer again = copyOf("0123456789");
    EXPECT_EQ(bytesOf(VornBuffer(std::move(again), 300)), "0123456789");

    const std::string longText(100, 'x');
    VornBuffer big = copyOf(longText + "tail");
    VornBuffer cut(std::move(big), 100);
    EXPECT_EQ(bytesOf(cut), longText);
    EXPECT_TRUE(cut.ownsBlock()); // the whole block was taken over and is freed once
}

TEST(VornBufferTest, MoveAssignmentInAllFourKindPairs) {
    const std::string longA(50, 'a'), longB(60, 'b');
    char borrowed[20] = "borrowed-bytes-1234";

    { // external <- external: swap, both blocks released exactly once
        VornBuffer a = copyOf(longA), b = copyOf(longB);
        a = std::move(b);
        EXPECT_EQ(bytesOf(a), longB);
        EXPECT_EQ(bytesOf(b), longA);
    }
    { // inline <- external
        VornBuffer a = copyOf("tiny"), b = copyOf(longB);
        a = std::move(b);
        EXPECT_EQ(bytesOf(a), longB);
        EXPECT_EQ(b.size(), 0u);
    }
    { // owning external <- inline frees the block (leak check under ASan)
        VornBuffer a = copyOf(longA), b = copyOf("tiny");
        a = std::move(b);
        EXPECT_TRUE(a.isInline());
        EXPECT_EQ(bytesOf(a), "tiny");
        EXPECT_EQ(bytesOf(b), "tiny");
    }
    { // borrowing external <- inline frees nothing
        VornBuffer a(borrowed, sizeof(borrowed), vorn::VornBufferNoCopy), b = copyOf("tiny");
        a = std::move(b);
        EXPECT_EQ(bytesOf(a), "tiny");
        EXPECT_STREQ(borrowed, "borrowed-bytes-1234");
    }
    { // inline <- inline
        VornBuffer a = copyOf("first"), b = copyOf("second");
        a = std::move(b);
        EXPECT_EQ(bytesOf(a), "second");
    }
}

TEST(VornBufferTest, EqualityComparesBytesNotKinds) {
    char text[] = "same bytes here!";
    VornBuffer inlineCopy(text, 16, vorn::VornBufferCopy);
    VornBuffer borrowedView(text, 16, vorn::VornBufferNoCopy);
    EXPECT_TRUE(inlineCopy == borrowedView);
    EXPECT_TRUE(VornBuffer() == VornBuffer(nullptr, 0, vorn::VornBufferNoCopy));
    EXPECT_FALSE(VornBuffer(text, 15, vorn::VornBufferCopy) == inlineCopy);
    VornBuffer other = copyOf("same bytes here?");
    EXPECT_FALSE(other == inlineCopy);
}

} // namespace
