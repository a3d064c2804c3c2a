// Damaged files as a table: one store is built, copied, and each copy damaged
// in one way (a flipped byte in the stream or in a meta field, a data file cut
// short, a meta file missing or one byte long, impossible size fields, a data
// file that is a directory), then opened with the host answering "discard" and
// "recover". Each case states what must survive: the last confirmed state
// (fallback), nothing (discard), or what a greedy read of the stream gets
// (recover); the line the load logs; whether the host was asked; and that the
// store then takes writes and reopens cleanly, or refuses writes and leaves
// both files as they are.
//
// Every mapping lies between two inaccessible pages, so a read just outside a
// mapped file faults (AddressSanitizer does not watch mapped memory).

#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "GuardedMappings.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"

using namespace vorn_test;

namespace {

// The built store: kKeys records "k000".."k099" -> "value-000-abcdef".."value-099-abcdef",
// the first kConfirmedKeys of them compacted (so that the last confirmed state
// covers exactly them), the rest appended after. Each record takes 23 bytes:
// key length 0x04, 4 key bytes, value length 0x11, then the 16-byte string in
// the data-holder form (0x10 and its 16 bytes). The stream starts at data file offset 4
// with a 4-byte item-size holder, so record n starts at offset 8 + 23 n.
constexpr int kKeys = 100;
constexpr int kConfirmedKeys = 60;
constexpr size_t kRecordSize = 23;
constexpr size_t kFirstRecord = 8;
constexpr uint32_t kStreamSize = 4 + kKeys * kRecordSize;             // 2304
constexpr uint32_t kConfirmedSize = 4 + kConfirmedKeys * kRecordSize; // 1384
constexpr size_t kFileSize = 4096;

constexpr const char *kFreshKey = "fresh";
constexpr const char *kFreshValue = "written after the damage";

size_t recordAt(int position) {
    return kFirstRecord + kRecordSize * static_cast<size_t>(position);
}

std::string key(int i) {
    char text[8];
    snprintf(text, sizeof(text), "k%03d", i);
    return text;
}

std::string value(int i) {
    char text[24];
    snprintf(text, sizeof(text), "value-%03d-abcdef", i);
    return text;
}

std::string format(const char *pattern, ...) {
    char text[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    return text;
}

std::string le32(uint32_t number) {
    return std::string(reinterpret_cast<const char *>(&number), 4);
}

// One store's files and what the test knows about them.
struct Store {
    std::string id;
    std::string dataPath;
    std::string metaPath;
    StoreOptions options;
    std::vector<std::string> order; // keys by record position in the stream as built
};

vorn::VORNMetaInfo metaOf(const Store &s) {
    return metaFromBytes(readFile(s.metaPath));
}

std::unique_ptr<vorn::AESCrypt> cipherOf(const Store &s, const vorn::VORNMetaInfo &info) {
    if (s.options.cryptKey.empty()) {
        return nullptr;
    }
    return std::make_unique<vorn::AESCrypt>(s.options.cryptKey.data(), s.options.cryptKey.size(), info.m_vector,
                                            sizeof(info.m_vector), s.options.aes256);
}

// The item stream in clear, as the meta record describes it.
std::string plainStream(const Store &s) {
    const vorn::VORNMetaInfo info = metaOf(s);
    std::string stream = readFile(s.dataPath).substr(4, info.m_actualSize);
    if (auto cipher = cipherOf(s, info)) {
        cipher->decrypt(stream.data(), stream.data(), stream.size());
    }
    return stream;
}

// Replaces the item stream with `plain` (encrypted under the store's key and
// vector) and records its size and CRC, as a writer would have.
void writeStream(const Store &s, std::string plain) {
    const vorn::VORNMetaInfo info = metaOf(s);
    if (auto cipher = cipherOf(s, info)) {
        cipher->encrypt(plain.data(), plain.data(), plain.size());
    }
    patchFile(s.dataPath, 4, plain);
    patchFile(s.metaPath, offsetof(vorn::VORNMetaInfo, m_actualSize), le32(static_cast<uint32_t>(plain.size())));
    patchFile(s.metaPath, offsetof(vorn::VORNMetaInfo, m_crcDigest), le32(crcOf(plain)));
}

std::vector<std::string> keysInStreamOrder(const Store &s) {
    const std::string plain = plainStream(s);
    vorn::CodedInputData input(plain.data(), plain.size());
    std::vector<std::string> keys;
    input.readInt32(); // the item-size holder
    while (!input.reachedEnd()) {
        keys.push_back(input.readString());
        input.readString();
    }
    return keys;
}

// A file's bytes; a directory reads as a marker of its own.
std::string contentOf(const std::string &path) {
    return std::filesystem::is_directory(path) ? std::string("<directory>") : readFile(path);
}

// ---- Damage ----

void flipByte(const std::string &path, size_t offset, uint8_t mask) {
    const std::string bytes = readFile(path);
    ASSERT_LT(offset, bytes.size()) << path;
    patchFile(path, offset, std::string(1, static_cast<char>(bytes[offset] ^ mask)));
}

void putMeta(const Store &s, size_t offset, uint32_t number) {
    patchFile(s.metaPath, offset, le32(number));
}

void cutDataFile(const Store &s, off_t size) {
    ASSERT_EQ(::truncate(s.dataPath.c_str(), size), 0) << s.dataPath;
}

// The last confirmed state no longer checks out.
void breakLastConfirmedState(const Store &s) {
    const vorn::VORNMetaInfo info = metaOf(s);
    putMeta(s, offsetof(vorn::VORNMetaInfo, m_lastConfirmedMetaInfo) + 4,
            info.m_lastConfirmedMetaInfo.lastActualCRC ^ 0xA5A5A5A5u);
}

// A record for key "k999" whose value length is the 5-byte varint of
// `length`, appended with a matching size and CRC: the stream checks out.
void appendRecordClaiming(const Store &s, uint32_t length) {
    std::string record = "\x04k999";
    uint32_t rest = length;
    while (rest >= 0x80) {
        record += static_cast<char>((rest & 0x7F) | 0x80);
        rest >>= 7;
    }
    record += static_cast<char>(rest);
    record += "tail";
    writeStream(s, plainStream(s) + record);
}

// ---- Lines the load logs, computed from the damaged files ----

// The first CRC check: the recorded CRC against the recorded size of the
// stream, read from the data file as the store maps it (a file cut short is
// grown back to a whole page with zeros).
std::string crcFailLine(const Store &s) {
    const vorn::VORNMetaInfo info = metaOf(s);
    std::string data = readFile(s.dataPath);
    data.resize(std::max(data.size(), kFileSize), '\0');
    return format("check crc [%s] fail, crc32:%u, m_crcDigest:%u", s.id.c_str(), info.m_crcDigest,
                  crcOf(data.substr(4, info.m_actualSize)));
}

std::string noFallbackLine(const Store &s) {
    const vorn::VORNMetaInfo info = metaOf(s);
    return format("check [%s] error: lastActualSize %u, lastActualCRC %u", s.id.c_str(),
                  info.m_lastConfirmedMetaInfo.lastActualSize, info.m_lastConfirmedMetaInfo.lastActualCRC);
}

// The size the store goes by does not fit a file of `fileSize` bytes.
std::string sizeLine(const Store &s, uint32_t size, size_t fileSize) {
    return format("check [%s] error: %u size in total, file size is %zu", s.id.c_str(), size, fileSize);
}

std::string recordedSizeLine(const Store &s) {
    return sizeLine(s, metaOf(s).m_actualSize, kFileSize);
}

std::string recordedSizeLineForFileOnDisk(const Store &s) {
    return sizeLine(s, metaOf(s).m_actualSize, static_cast<size_t>(fileSize(s.dataPath)));
}

// The load took the record behind the recorded length (the CRC covers it).
std::string unrecordedAppendLine(const Store &s) {
    return format("[%s] the last append's length was not recorded: stream of %u bytes, not %u", s.id.c_str(),
                  kStreamSize, static_cast<uint32_t>(kStreamSize - kRecordSize));
}

// ---- The table ----

enum class Asked { Nobody, CRCHandler, LengthHandler };

// Record positions [from, to) of the stream as built.
struct Range {
    int from;
    int to;
};

struct Case {
    const char *name;
    void (*damage)(const Store &);
    Asked asked;
    Range onDiscard;
    Range onRecover;
    // The salvage reads bytes that were never written (zeros a cut file was
    // grown with, free space): an encrypted store decrypts them into random
    // bytes, which may read as records of their own.
    bool salvageReadsUnwrittenBytes;
    bool takesWrites; // after the load
    std::string (*line)(const Store &);
    bool noWarnings; // the load logs no warning or error at all
};

constexpr Range kNone{0, 0};
constexpr Range kConfirmed{0, kConfirmedKeys};
constexpr Range kAll{0, kKeys};

const Case kWritableCases[] = {
    {"byte flipped in a record after the last confirmed state: fallback",
     [](const Store &s) { flipByte(s.dataPath, recordAt(80) + 10, 0x01); }, Asked::Nobody, kConfirmed, kConfirmed,
     false, true, crcFailLine, false},
    {"key length flipped in a record before the last confirmed state: the host decides",
     // 04 -> 84: with the next byte (k) a key of 13700 bytes, past the stream's end.
     [](const Store &s) { flipByte(s.dataPath, recordAt(30), 0x80); }, Asked::CRCHandler, kNone, Range{0, 30}, false,
     true, noFallbackLine, false},
    {"meta size with its lowest bit flipped: fallback",
     [](const Store &s) { putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), kStreamSize ^ 1u); }, Asked::Nobody,
     kConfirmed, kConfirmed, false, true, crcFailLine, false},
    {"meta size with its top byte flipped: fallback",
     [](const Store &s) { putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), kStreamSize ^ 0xFF000000u); },
     Asked::Nobody, kConfirmed, kConfirmed, false, true, recordedSizeLine, false},
    {"meta size 0xFFFFFFF0: fallback",
     [](const Store &s) { putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), 0xFFFFFFF0u); }, Asked::Nobody,
     kConfirmed, kConfirmed, false, true, recordedSizeLine, false},
    {"meta size 0xFFFFFFF0 and no usable fallback: the host decides, recover reads the whole file",
     [](const Store &s) {
         putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), 0xFFFFFFF0u);
         breakLastConfirmedState(s);
     },
     Asked::LengthHandler, kNone, kAll, true, true, recordedSizeLine, false},
    {"an append's CRC recorded but not its length (a process died between the two stores): nothing lost",
     [](const Store &s) { putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), kStreamSize - kRecordSize); },
     Asked::Nobody, kAll, kAll, false, true, unrecordedAppendLine, false},
    {"length two records short of what the CRC covers: not one append, fallback",
     [](const Store &s) { putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), kStreamSize - 2 * kRecordSize); },
     Asked::Nobody, kConfirmed, kConfirmed, false, true, crcFailLine, false},
    {"meta CRC with one bit flipped: fallback",
     [](const Store &s) { flipByte(s.metaPath, offsetof(vorn::VORNMetaInfo, m_crcDigest) + 2, 0x01); }, Asked::Nobody,
     kConfirmed, kConfirmed, false, true, crcFailLine, false},
    {"meta sequence with one bit flipped: nothing lost",
     [](const Store &s) { flipByte(s.metaPath, offsetof(vorn::VORNMetaInfo, m_sequence), 0x40); }, Asked::Nobody, kAll,
     kAll, false, true, [](const Store &s) { return format("loaded [%s] with 100 key-values", s.id.c_str()); }, true},
    {"meta version 4 -> 5 (read as 4): nothing lost",
     [](const Store &s) { flipByte(s.metaPath, offsetof(vorn::VORNMetaInfo, m_version), 0x01); }, Asked::Nobody, kAll,
     kAll, false, true, [](const Store &s) { return format("loaded [%s] with 100 key-values", s.id.c_str()); }, true},
    {"meta version 4 -> 12 (specious): reset to 3, nothing lost",
     [](const Store &s) { flipByte(s.metaPath, offsetof(vorn::VORNMetaInfo, m_version), 0x08); }, Asked::Nobody, kAll,
     kAll, false, true,
     [](const Store &s) { return format("meta file [%s] in specious state, version 12, flags 0x0", s.id.c_str()); },
     false},
    {"meta version 4 -> 0: the size comes from the data file's leading field (0), the host decides",
     [](const Store &s) { flipByte(s.metaPath, offsetof(vorn::VORNMetaInfo, m_version), 0x04); }, Asked::CRCHandler,
     kNone, kNone, false, true,
     [](const Store &s) {
         return format("check crc [%s] fail, crc32:%u, m_crcDigest:0", s.id.c_str(), metaOf(s).m_crcDigest);
     },
     false},
    {"data file cut to 0 bytes", [](const Store &s) { cutDataFile(s, 0); }, Asked::CRCHandler, kNone, kNone, true, true,
     noFallbackLine, false},
    {"data file cut to 3 bytes", [](const Store &s) { cutDataFile(s, 3); }, Asked::CRCHandler, kNone, kNone, true, true,
     noFallbackLine, false},
    {"data file cut to 4 bytes", [](const Store &s) { cutDataFile(s, 4); }, Asked::CRCHandler, kNone, kNone, true, true,
     noFallbackLine, false},
    {"data file cut to 100 bytes: recover keeps the 4 whole records", [](const Store &s) { cutDataFile(s, 100); },
     Asked::CRCHandler, kNone, Range{0, 4}, true, true, noFallbackLine, false},
    {"data file cut in half: fallback", [](const Store &s) { cutDataFile(s, kFileSize / 2); }, Asked::Nobody,
     kConfirmed, kConfirmed, false, true, crcFailLine, false},
    {"meta file missing: a new, empty store", [](const Store &s) { ASSERT_TRUE(std::filesystem::remove(s.metaPath)); },
     Asked::Nobody, kNone, kNone, false, true,
     [](const Store &s) { return format("loaded [%s] with 0 key-values", s.id.c_str()); }, true},
    {"meta file one byte long", [](const Store &s) { writeFile(s.metaPath, "\x5A"); }, Asked::CRCHandler, kNone, kNone,
     false, true, [](const Store &s) { return format("check crc [%s] fail, crc32:90, m_crcDigest:0", s.id.c_str()); },
     false},
    {"version-2 record whose leading size field is 0xFFFFFFF0: the host decides",
     [](const Store &s) {
         putMeta(s, offsetof(vorn::VORNMetaInfo, m_version), 2);
         patchFile(s.dataPath, 0, le32(0xFFFFFFF0u));
     },
     Asked::LengthHandler, kNone, kAll, true, true, [](const Store &s) { return sizeLine(s, 0xFFFFFFF0u, kFileSize); },
     false},
    {"record claiming a value of 0xFFFFFFF0 bytes, CRC matching: undecodable, kept",
     [](const Store &s) { appendRecordClaiming(s, 0xFFFFFFF0u); }, Asked::Nobody, kNone, kNone, false, false,
     [](const Store &s) {
         return format("[%s] stream of %u bytes checks out but does not decode (wrong key?); writes are refused",
                       s.id.c_str(), metaOf(s).m_actualSize);
     },
     false},
    {"record claiming a value of 0x7FFFFFF0 bytes, CRC matching: undecodable, kept",
     [](const Store &s) { appendRecordClaiming(s, 0x7FFFFFF0u); }, Asked::Nobody, kNone, kNone, false, false,
     [](const Store &s) {
         return format("[%s] stream of %u bytes checks out but does not decode (wrong key?); writes are refused",
                       s.id.c_str(), metaOf(s).m_actualSize);
     },
     false},
    {"data file is a directory",
     [](const Store &s) {
         ASSERT_TRUE(std::filesystem::remove(s.dataPath));
         ASSERT_TRUE(std::filesystem::create_directory(s.dataPath));
     },
     Asked::Nobody, kNone, kNone, false, false,
     [](const Store &s) { return format("file [%s] not valid", s.dataPath.c_str()); }, false},
};

// Opened read-only, nothing is repaired and nothing grows: a file cut short
// is mapped at the length it has.
const Case kReadOnlyCases[] = {
    {"data file cut to 0 bytes: not mapped", [](const Store &s) { cutDataFile(s, 0); }, Asked::Nobody, kNone, kNone,
     false, false, [](const Store &s) { return format("file [%s] not valid", s.dataPath.c_str()); }, false},
    {"data file cut to 3 bytes: shorter than the leading field", [](const Store &s) { cutDataFile(s, 3); },
     Asked::LengthHandler, kNone, kNone, false, false, recordedSizeLineForFileOnDisk, false},
    {"data file cut to 4 bytes", [](const Store &s) { cutDataFile(s, 4); }, Asked::LengthHandler, kNone, kNone, false,
     false, recordedSizeLineForFileOnDisk, false},
    {"data file cut to 100 bytes: recover reads the 4 whole records", [](const Store &s) { cutDataFile(s, 100); },
     Asked::LengthHandler, kNone, Range{0, 4}, false, false, recordedSizeLineForFileOnDisk, false},
    {"data file cut in half: fallback", [](const Store &s) { cutDataFile(s, kFileSize / 2); }, Asked::Nobody,
     kConfirmed, kConfirmed, false, false, recordedSizeLineForFileOnDisk, false},
    {"meta file one byte long", [](const Store &s) { writeFile(s.metaPath, "\x5A"); }, Asked::CRCHandler, kNone, kNone,
     false, false, [](const Store &s) { return format("check crc [%s] fail, crc32:90, m_crcDigest:0", s.id.c_str()); },
     false},
    {"an append's CRC recorded but not its length: read whole, nothing written",
     [](const Store &s) { putMeta(s, offsetof(vorn::VORNMetaInfo, m_actualSize), kStreamSize - kRecordSize); },
     Asked::Nobody, kAll, kAll, false, false, unrecordedAppendLine, false},
    {"meta file missing", [](const Store &s) { ASSERT_TRUE(std::filesystem::remove(s.metaPath)); }, Asked::Nobody,
     kNone, kNone, false, false, [](const Store &s) { return format("file [%s] not valid", s.metaPath.c_str()); },
     false},
};

struct Config {
    const char *name;
    StoreOptions options;
};

const Config kConfigs[] = {
    {"plain", StoreOptions{}},
    {"AES-128", encrypted("damaged-files-16")},
    {"AES-256", encrypted("damaged-files-key-of-32-bytes-ok", true)},
};

class DamagedFiles : public StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ASSERT_EQ(vorn::mmapUnitSize(), kFileSize) << "the layout assumes 4096-byte pages";
        m_guard.emplace();
    }
    void TearDown() override {
        StoreTest::TearDown();
        EXPECT_EQ(m_guard->live(), 0u) << "a mapping was never unmapped";
        m_guard.reset();
    }

    Store storeNamed(const std::string &id, const StoreOptions &options) {
        return Store{id, dataPath(id), metaPath(id), options, {}};
    }

    void Build(Store &s) {
        VORN *store = open(s.id, s.options);
        for (int i = 0; i < kConfirmedKeys; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, key(i), value(i)));
        }
        ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
        for (int i = kConfirmedKeys; i < kKeys; i++) {
            ASSERT_TRUE(VORNTestPeer::set(store, key(i), value(i)));
        }
        store->sync();
        close(store);

        const vorn::VORNMetaInfo info = metaOf(s);
        ASSERT_EQ(info.m_actualSize, kStreamSize);
        ASSERT_EQ(info.m_lastConfirmedMetaInfo.lastActualSize, kConfirmedSize);
        ASSERT_EQ(fileSize(s.dataPath), static_cast<long long>(kFileSize));
        s.order = keysInStreamOrder(s);
        ASSERT_EQ(s.order.size(), static_cast<size_t>(kKeys));
        for (int i = kConfirmedKeys; i < kKeys; i++) {
            ASSERT_EQ(s.order[i], key(i)) << "appended in order";
        }
    }

    Store Copy(const Store &from, const std::string &id) {
        Store to = from;
        to.id = id;
        to.dataPath = dataPath(id);
        to.metaPath = metaPath(id);
        writeFile(to.dataPath, readFile(from.dataPath));
        writeFile(to.metaPath, readFile(from.metaPath));
        return to;
    }

    // When the load decodes a stream (it logs "loading [id] with crc ..."),
    // the size it goes by (its "loading [id] with N actual size, file size
    // M, ..." line) lies within the mapped file.
    void ExpectSizeWithinTheMapping(const std::string &id) {
        const std::string prefix = "loading [" + id + "] with ";
        if (m_log.countPrefix(prefix + "crc ") == 0) {
            return;
        }
        for (const auto &line : m_log.lines) {
            unsigned long long size = 0, mapped = 0;
            if (line.message.rfind(prefix, 0) == 0 &&
                sscanf(line.message.c_str() + prefix.size(), "%llu actual size, file size %llu", &size, &mapped) == 2) {
                EXPECT_TRUE(mapped >= 4 && size <= mapped - 4) << line.message;
            }
        }
    }

    bool hasLine(const std::string &message) const { return m_log.count(message) > 0; }
    size_t warningsAndErrors() const {
        size_t n = 0;
        for (const auto &line : m_log.lines) {
            n += line.level >= VORNLogWarning ? 1 : 0;
        }
        return n;
    }

    // The keys the store holds, checked against `expected` (every value
    // included). With `foreignAllowed`, keys that are none of the store's own
    // may come along (a salvage that decrypted bytes never written).
    void ExpectKeys(VORN *store, std::vector<std::string> expected, bool foreignAllowed) {
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> keys = VORNTestPeer::keys(store);
        if (foreignAllowed) {
            keys.erase(std::remove_if(keys.begin(), keys.end(),
                                      [this](const std::string &k) { return m_values.count(k) == 0; }),
                       keys.end());
        }
        EXPECT_EQ(keys, expected);
        for (const auto &k : expected) {
            EXPECT_EQ(VORNTestPeer::get(store, k), std::optional<std::string>(m_values.at(k))) << k;
        }
    }

    void Run(const Store &built, const Case &c, VORNRecoverStrategic answer, const std::string &id, bool openReadOnly) {
        const Store s = Copy(built, id);
        c.damage(s);
        ASSERT_FALSE(HasFatalFailure());
        const std::string line = c.line(s);
        const std::string dataBefore = contentOf(s.dataPath);
        const std::string metaBefore = contentOf(s.metaPath);
        const bool encryptedStore = !s.options.cryptKey.empty();

        m_log.clear();
        m_log.crcAnswer = answer;
        m_log.lengthAnswer = answer;
        const StoreOptions options = openReadOnly ? readOnly(s.options) : s.options;
        VORN *store = open(id, options);
        ASSERT_NE(store, nullptr);
        VORNTestPeer::load(store);

        EXPECT_EQ(m_log.crcAsked, c.asked == Asked::CRCHandler ? 1 : 0);
        EXPECT_EQ(m_log.lengthAsked, c.asked == Asked::LengthHandler ? 1 : 0);
        EXPECT_TRUE(hasLine(line)) << "missing: " << line << "\n" << m_log.dump();
        if (c.asked != Asked::Nobody) {
            EXPECT_TRUE(hasLine(format("recover strategic for [%s] is %d", id.c_str(), static_cast<int>(answer))))
                << m_log.dump();
        }
        ExpectSizeWithinTheMapping(id);
        if (c.noWarnings) {
            EXPECT_EQ(warningsAndErrors(), 0u) << m_log.dump();
        }

        const Range range = answer == OnErrorRecover ? c.onRecover : c.onDiscard;
        std::vector<std::string> survivors(s.order.begin() + range.from, s.order.begin() + range.to);
        const bool foreignAllowed = encryptedStore && answer == OnErrorRecover && c.salvageReadsUnwrittenBytes;
        ExpectKeys(store, survivors, foreignAllowed);
        EXPECT_EQ(VORNTestPeer::get(store, kFreshKey), std::nullopt);

        if (openReadOnly || !c.takesWrites) {
            EXPECT_FALSE(VORNTestPeer::set(store, kFreshKey, kFreshValue));
            close(store);
            EXPECT_TRUE(contentOf(s.dataPath) == dataBefore) << "the data file changed";
            EXPECT_TRUE(contentOf(s.metaPath) == metaBefore) << "the meta file changed";
            return;
        }

        // What is left is a working store: it takes a write, and its files
        // check out when opened again.
        ASSERT_TRUE(VORNTestPeer::set(store, kFreshKey, kFreshValue));
        EXPECT_EQ(VORNTestPeer::get(store, kFreshKey), std::optional<std::string>(kFreshValue));
        close(store);
        m_log.clear();
        store = open(id, s.options);
        survivors.push_back(kFreshKey);
        ExpectKeys(store, survivors, foreignAllowed);
        EXPECT_EQ(m_log.countPrefix("check "), 0u) << m_log.dump();
        EXPECT_EQ(m_log.crcAsked + m_log.lengthAsked, 0);
        close(store);
    }

    void RunTable(const Case *cases, size_t count, bool openReadOnly) {
        int opened = 0;
        for (const Config &config : kConfigs) {
            SCOPED_TRACE(config.name);
            Store built = storeNamed(std::string("built-") + (config.options.cryptKey.empty() ? "plain" : "crypt") +
                                         (config.options.aes256 ? "256" : ""),
                                     config.options);
            Build(built);
            ASSERT_FALSE(HasFatalFailure());
            for (size_t i = 0; i < count; i++) {
                for (VORNRecoverStrategic answer : {OnErrorDiscard, OnErrorRecover}) {
                    SCOPED_TRACE(std::string(cases[i].name) +
                                 (answer == OnErrorRecover ? ", host answers recover" : ", host answers discard"));
                    const std::string id = built.id + "-" + std::to_string(i) + "-" + std::to_string(answer);
                    Run(built, cases[i], answer, id, openReadOnly);
                    if (HasFatalFailure()) {
                        return;
                    }
                    opened++;
                }
            }
        }
        printf("[  FIGURES ] %d damaged stores opened (%zu kinds of damage x %zu configurations x 2 answers)\n", opened,
               count, sizeof(kConfigs) / sizeof(kConfigs[0]));
    }

    std::optional<GuardedMappings> m_guard;
    std::map<std::string, std::string> m_values = [] {
        std::map<std::string, std::string> values;
        for (int i = 0; i < kKeys; i++) {
            values[key(i)] = value(i);
        }
        values[kFreshKey] = kFreshValue;
        return values;
    }();
};

TEST_F(DamagedFiles, EachDamageHasItsOutcome) {
    RunTable(kWritableCases, sizeof(kWritableCases) / sizeof(kWritableCases[0]), false);
}

TEST_F(DamagedFiles, ReadOnlyStoresReadWhatTheyCanAndChangeNothing) {
    RunTable(kReadOnlyCases, sizeof(kReadOnlyCases) / sizeof(kReadOnlyCases[0]), true);
}

} // namespace
