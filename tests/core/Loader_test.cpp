// Loader on its own: a table of data files and meta records (sound, damaged
// in one way or another) and the plan a load makes of each: what it decodes,
// whether it salvages, the length and CRC it trusts, whether that is a
// fallback to record, and whether it asked for an interrupted rewrite to be
// finished. The Loader writes nothing: every case checks the file after.

#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cerrno>
#include <optional>
#include <string>

#include "PartFixtures.h"
#include "core/DataStream.h"
#include "core/Loader.h"
#include "core/VORNMetaInfo.h"
#include "platform/SystemCalls.h"

using namespace parts;
using vorn::kDataFileHeaderSize;
using vorn::LoadPlan;
using vorn::VORNMetaInfo;
using vorn_test::crcOf;
using vorn_test::readFile;

namespace {

// The stream on disk: holder, "a" = "1", "b" = "2" (12 bytes); its first
// 8 bytes (holder and "a") were the last confirmed state.
const Bytes kStream = recordstream::StreamBuilder().add("a", "1").add("b", "2").bytes();
const uint32_t kFull = static_cast<uint32_t>(kStream.size());
const uint32_t kPrefix = 8;
const uint32_t kFullCRC = crcOf(text(kStream));
const uint32_t kPrefixCRC = crcOf(text(kStream).substr(0, kPrefix));

// A length no one-page data file holds.
constexpr size_t kPastFile = 1u << 20;

// The data file's legacy size field and the meta record.
struct Layout {
    uint32_t legacySize;
    uint32_t version;
    size_t claimed;
    uint32_t crc;
    uint32_t lastSize;
    uint32_t lastCRC;
};

// What the host and the journal answer.
struct Answers {
    bool metaDamaged;
    std::optional<VORNRecoverStrategic> recover;
    // What the interrupted-rewrite callback answers (true: it put the whole
    // stream in place and set the stream's length and CRC).
    bool rewriteFinished;
};

struct ExpectedPlan {
    bool decode;
    bool salvage;
    size_t size;  // checked when decode
    uint32_t crc; // checked when decode and not a salvage
    bool recordFallback;
    int rewriteAsked; // calls of the interrupted-rewrite callback
};

struct Case {
    const char *name;
    Layout layout;
    Answers answers;
    ExpectedPlan plan;
};

constexpr auto V4 = vorn::MetaVersionFlags;
constexpr auto V2 = vorn::MetaVersionIV;
constexpr auto Recover = OnErrorRecover;
constexpr auto Discard = OnErrorDiscard;

class LoaderTest : public PartTest {
protected:
    size_t room() const { return page - kDataFileHeaderSize; }
};

TEST_F(LoaderTest, PlanForEachLayout) {
    const size_t all = room();
    const Case cases[] = {
        // {legacy size, version, claimed, CRC, last confirmed size and CRC},
        // {meta damaged, recover answer, rewrite finished},
        // {decode, salvage, size, CRC, record fallback, rewrite asked}
        {"record checks out",
         {0, V4, kFull, kFullCRC, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kFull, kFullCRC, false, 0}},
        {"empty stream checks out", {0, V4, 0, 0, 0, 0}, {false, Discard, false}, {true, false, 0, 0, false, 0}},
        {"legacy size equals the record's, record checks out",
         {kFull, V4, kFull, kFullCRC, 0, 0},
         {false, Discard, false},
         {true, false, kFull, kFullCRC, false, 0}},
        {"CRC bad, last confirmed state good",
         {0, V4, kFull, kFullCRC ^ 1, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kPrefix, kPrefixCRC, true, 1}},
        {"length bad, legacy size names the stream the CRC fits",
         {kFull, V4, kFull + 3, kFullCRC, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kFull, kFullCRC, true, 1}},
        {"CRC bad, legacy size past the file, last confirmed good",
         {0xFFFF0000, V4, kFull, kFullCRC ^ 1, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kPrefix, kPrefixCRC, true, 1}},
        {"CRC of the stream one record longer than the length (an append's length not recorded)",
         {0, V4, kPrefix, kFullCRC, 4, crcOf(text(kStream).substr(0, 4))},
         {false, Discard, false},
         {true, false, kFull, kFullCRC, true, 1}},
        {"CRC of the stream two records longer than the length: the last confirmed state",
         {0, V4, 4, kFullCRC, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kPrefix, kPrefixCRC, true, 1}},
        {"length ends inside a record, CRC of the whole stream: no record read there",
         {0, V4, kPrefix + 1, kFullCRC, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kPrefix, kPrefixCRC, true, 1}},
        {"CRC bad, no fallback, recover",
         {0, V4, kFull, kFullCRC ^ 1, kPrefix, kPrefixCRC ^ 1},
         {false, Recover, false},
         {true, true, kFull, 0, false, 1}},
        {"CRC bad, no fallback, discard",
         {0, V4, kFull, kFullCRC ^ 1, kPrefix, kPrefixCRC ^ 1},
         {false, Discard, false},
         {false, false, 0, 0, false, 1}},
        {"CRC bad, no fallback, the handler's answer (discard)",
         {0, V4, kFull, kFullCRC ^ 1, kPrefix, kPrefixCRC ^ 1},
         {false, std::nullopt, false},
         {false, false, 0, 0, false, 1}},
        {"CRC bad, a version 2 record has no fallbacks",
         {kFull, V2, kFull + 3, kFullCRC, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {false, false, 0, 0, false, 1}},
        {"length past the file, last confirmed good",
         {0, V4, kPastFile, kFullCRC, kPrefix, kPrefixCRC},
         {false, Discard, false},
         {true, false, kPrefix, kPrefixCRC, true, 1}},
        {"length past the file, last confirmed past it too, recover",
         {0, V4, kPastFile, kFullCRC, kPastFile, kFullCRC},
         {false, Recover, false},
         {true, true, all, 0, false, 1}},
        {"length one byte past the file, recover",
         {0, V4, all + 1, kFullCRC, kPastFile, kFullCRC},
         {false, Recover, false},
         {true, true, all, 0, false, 1}},
        {"length past the file, discard",
         {0, V4, kPastFile, kFullCRC, kPastFile, kFullCRC},
         {false, Discard, false},
         {false, false, 0, 0, false, 1}},
        {"CRC bad, interrupted rewrite finished",
         {0, V4, kPrefix + 1, 77, 0, 1},
         {false, Discard, true},
         {true, false, kFull, kFullCRC, false, 1}},
        {"length past the file, interrupted rewrite finished",
         {0, V4, kPastFile, 77, 0, 1},
         {false, Discard, true},
         {true, false, kFull, kFullCRC, false, 1}},
        {"record checks out, a journal is never asked for",
         {0, V4, kFull, kFullCRC, 0, 0},
         {false, Discard, true},
         {true, false, kFull, kFullCRC, false, 0}},
        {"meta damaged and discarded",
         {0, V4, kFull, kFullCRC, kPrefix, kPrefixCRC},
         {true, Recover, true},
         {false, false, 0, 0, false, 0}},
    };
    const std::string mmapID = "loader-test";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vorn_test::writeFile(path("data"), dataFileBytes(c.layout.legacySize, kStream, page));
        const std::string before = readFile(path("data"));
        vorn::DataStream stream(path("data"), 0, false);
        ASSERT_TRUE(stream.isMapped());
        VORNMetaInfo record;
        record.m_version = c.layout.version;
        record.m_actualSize = static_cast<uint32_t>(c.layout.claimed);
        record.m_crcDigest = c.layout.crc;
        record.m_lastConfirmedMetaInfo = {c.layout.lastSize, c.layout.lastCRC};

        int asked = 0;
        vorn::Loader loader(mmapID, stream, record, nullptr, c.answers.recover, [&]() {
            asked++;
            if (c.answers.rewriteFinished) {
                stream.setSize(kFull);
                stream.setCRC(kFullCRC);
            }
            return c.answers.rewriteFinished;
        });
        const LoadPlan plan = loader.checkDataValid(c.layout.claimed, c.answers.metaDamaged);
        EXPECT_EQ(plan.decode, c.plan.decode);
        EXPECT_EQ(plan.salvage, c.plan.salvage);
        EXPECT_EQ(plan.recordFallback, c.plan.recordFallback);
        EXPECT_EQ(asked, c.plan.rewriteAsked);
        if (c.plan.decode) {
            EXPECT_EQ(plan.size, c.plan.size);
            if (!c.plan.salvage) {
                EXPECT_EQ(plan.crc, c.plan.crc);
            }
        }
        EXPECT_TRUE(readFile(path("data")) == before) << "the Loader wrote into the data file";
    }
}

// A read-only store maps the data file at its length on disk, which may be
// shorter than the header: a recover salvages nothing, and nothing is read
// outside the mapping.
TEST_F(LoaderTest, FileShorterThanTheHeader) {
    for (const std::string &contents : {std::string("\x01\x02", 2), std::string("\x0C\x00\x00\x00\x80", 5)}) {
        SCOPED_TRACE(contents.size());
        vorn_test::writeFile(path("short"), contents);
        vorn::DataStream stream(path("short"), 0, true);
        ASSERT_TRUE(stream.isMapped());
        VORNMetaInfo record;
        record.m_version = V4;
        record.m_actualSize = static_cast<uint32_t>(kFull);
        record.m_crcDigest = kFullCRC;
        record.m_lastConfirmedMetaInfo = {static_cast<uint32_t>(kPastFile), 1};
        const std::string mmapID = "short";
        vorn::Loader loader(mmapID, stream, record, nullptr, Recover, [] { return false; });
        const LoadPlan plan = loader.checkDataValid(kFull, false);
        EXPECT_TRUE(plan.salvage);
        EXPECT_EQ(plan.size, contents.size() > kDataFileHeaderSize ? contents.size() - kDataFileHeaderSize : 0u);
        EXPECT_FALSE(plan.recordFallback);
        EXPECT_EQ(readFile(path("short")), contents);
    }
}

} // namespace

namespace {

void *failingMmap(void *, size_t, int, int, int, off_t) {
    errno = ENOMEM;
    return MAP_FAILED;
}

// The interrupted-rewrite callback may remap the data file (the engine's
// grows it to the journal's length before copying) and still fail, even
// leaving it unmapped when the new mapping cannot be made. The plan must
// then come from the file as it is after the callback, not through the
// mapping it had before.
//
// The Loader used to take the mapping's address and length once, before
// asking the callback, and read the legacy size through the old address
// afterwards (a fault, then a salvage planned from an unmapped file).
TEST_F(LoaderTest, RewriteCallbackThatDropsTheMapping) {
    vorn_test::writeFile(path("data"), dataFileBytes(0, kStream, page));
    vorn::DataStream stream(path("data"), 0, false);
    ASSERT_TRUE(stream.isMapped());
    VORNMetaInfo record;
    record.m_version = V4;
    record.m_actualSize = kFull;
    record.m_crcDigest = kFullCRC ^ 1;
    record.m_lastConfirmedMetaInfo = {kPrefix, kPrefixCRC};
    const std::string mmapID = "remapped";
    vorn::Loader loader(mmapID, stream, record, nullptr, Recover, [&]() {
        vorn::ScopedSystemCallsOverride calls;
        calls->mmap = failingMmap;
        calls->remap = [](void *, size_t, size_t) -> void * {
            errno = ENOSYS; // unmap, then map anew
            return MAP_FAILED;
        };
        EXPECT_FALSE(stream.file().truncate(2 * page));
        return false;
    });
    const LoadPlan plan = loader.checkDataValid(kFull, false);
    ASSERT_FALSE(stream.isMapped());
    EXPECT_TRUE(!plan.decode || plan.size == 0)
        << "nothing is mapped to decode, yet the plan decodes " << plan.size << " bytes";
    EXPECT_FALSE(plan.recordFallback);
}

} // namespace
