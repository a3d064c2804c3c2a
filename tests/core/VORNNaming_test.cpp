#include "core/VORNNaming.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/VORNMetaInfo.h"

namespace fs = std::filesystem;

namespace {

class NamingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vorn-naming-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        // Resolved spellings have symbolic links resolved; compare against that form.
        m_dir = fs::canonical(pattern).string();
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string m_dir;
};

TEST_F(NamingTest, Md5IsLowercaseHexOfTheDigest) {
    EXPECT_EQ(vorn::md5(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(vorn::md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(vorn::md5(std::string("a\0b", 3)).size(), 32u);
    EXPECT_NE(vorn::md5(std::string("a\0b", 3)), vorn::md5("a"));
}

TEST_F(NamingTest, RootSpellingsResolveToOneStringWithoutTrailingSlash) {
    const fs::path previous = fs::current_path();
    fs::current_path(fs::path(m_dir).parent_path());
    const std::string relative = fs::path(m_dir).filename().string();
    const std::string &fromRelative = vorn::resolveRootPath(relative);
    const std::string &fromSlash = vorn::resolveRootPath(relative + "/");
    fs::current_path(previous);
    const std::string &fromAbsolute = vorn::resolveRootPath(m_dir);

    EXPECT_EQ(fromRelative, m_dir);
    EXPECT_EQ(fromSlash, m_dir);
    EXPECT_EQ(fromAbsolute, m_dir);
    // Each spelling is remembered on its own: the same object comes back for it.
    EXPECT_EQ(&vorn::resolveRootPath(m_dir), &fromAbsolute);
    EXPECT_NE(&fromAbsolute, &fromRelative);
    EXPECT_EQ(vorn::resolveRootPath("/"), "");
}

TEST_F(NamingTest, KeysAndPathsPerRootAndId) {
    const std::string &root = vorn::resolveRootPath(m_dir);
    const std::string &fileSystemRoot = vorn::resolveRootPath("/");
    const std::string withNul("a\0b", 3);
    struct Case {
        const char *name;
        const std::string *root;
        std::string id;
        std::string key;
        std::string path;
    } cases[] = {
        {"plain id", &root, "settings", vorn::md5(m_dir + "/settings"), m_dir + "/settings"},
        {"dots and spaces stay", &root, "my store.v2", vorn::md5(m_dir + "/my store.v2"), m_dir + "/my store.v2"},
        {"slash is special", &root, "a/b", vorn::md5(m_dir + "/a/b"),
         m_dir + "/specialCharacter/" + vorn::md5("a/b")},
        {"NUL is special", &root, withNul, vorn::md5(m_dir + "/" + withNul),
         m_dir + "/specialCharacter/" + vorn::md5(withNul)},
        {"colon is special", &root, "c:d", vorn::md5(m_dir + "/c:d"), m_dir + "/specialCharacter/" + vorn::md5("c:d")},
        {"file-system root", &fileSystemRoot, "settings", vorn::md5("/settings"), "/settings"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(mmapedKVKey(c.id, c.root, true), c.key);
        const std::string path = mappedKVPathWithID(c.id, c.root, true);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(crcPathWithPath(path), c.path + ".crc");
    }
    // A special id under a custom root brings its directory into being.
    EXPECT_TRUE(fs::is_directory(m_dir + "/specialCharacter"));
}

TEST_F(NamingTest, SameIdUnderTwoRootsGivesTwoKeys) {
    const std::string other = m_dir + "/other";
    fs::create_directory(other);
    const std::string &first = vorn::resolveRootPath(m_dir);
    const std::string &second = vorn::resolveRootPath(other);
    EXPECT_NE(mmapedKVKey("id", &first), mmapedKVKey("id", &second));
}

TEST_F(NamingTest, UnresolvedSpellingIsMadeAbsoluteWhenAsked) {
    const std::string spelled = m_dir + "/./sub/..";
    EXPECT_EQ(mmapedKVKey("id", &spelled, false), vorn::md5(m_dir + "/id"));
    EXPECT_EQ(mappedKVPathWithID("id", &spelled, false), m_dir + "/id");
}

TEST_F(NamingTest, LegacyKeyIsTheIdForTheGlobalRoot) {
    EXPECT_EQ(legacyMmapedKVKey("id", nullptr), "id");
    const std::string sameAsGlobal = vorn::globalRootDir();
    EXPECT_EQ(legacyMmapedKVKey("id", &sameAsGlobal), "id");
    const std::string other = m_dir + "-elsewhere";
    EXPECT_EQ(legacyMmapedKVKey("id", &other), vorn::md5(other + "/id"));
}

TEST(MetaInfoTest, RecordIs112BytesAtOffsetZeroAndAppendTouchesTwoFields) {
    uint8_t page[256];
    memset(page, 0xEE, sizeof(page));
    vorn::VORNMetaInfo info;
    info.m_crcDigest = 0x11223344;
    info.m_version = vorn::MetaVersionFlags;
    info.m_sequence = 7;
    info.m_actualSize = 0x0A0B0C0D;
    info.m_lastConfirmedMetaInfo.lastActualSize = 5;
    info.m_lastConfirmedMetaInfo.lastActualCRC = 6;
    info.setFlag(vorn::MetaFlagKeyExpire);
    info.write(page);
    EXPECT_EQ(page[0], 0x44); // little-endian CRC
    EXPECT_EQ(page[4], 4);
    EXPECT_EQ(page[8], 7);
    EXPECT_EQ(page[28], 0x0D);
    EXPECT_EQ(page[32], 5);
    EXPECT_EQ(page[36], 6);
    EXPECT_EQ(page[40], 0); // reserved
    EXPECT_EQ(page[104], 1);
    EXPECT_EQ(page[112], 0xEE); // nothing past the record

    vorn::VORNMetaInfo appended = info;
    appended.m_crcDigest = 0xCAFEBABE;
    appended.m_actualSize = 99;
    appended.m_sequence = 1000; // not part of an append's update
    memset(page + 8, 0x55, 4);
    appended.writeCRCAndActualSizeOnly(page);
    vorn::VORNMetaInfo read;
    read.read(page);
    EXPECT_EQ(read.m_crcDigest, 0xCAFEBABEu);
    EXPECT_EQ(read.m_actualSize, 99u);
    EXPECT_EQ(read.m_sequence, 0x55555555u);
    EXPECT_TRUE(read.hasFlag(vorn::MetaFlagKeyExpire));
    read.unsetFlag(vorn::MetaFlagKeyExpire);
    EXPECT_EQ(read.m_flags, 0u);
}

} // namespace
