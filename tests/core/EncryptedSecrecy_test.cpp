// What an encrypted store keeps from someone who reads its files or holds the
// wrong key:
// - over a run of random operations (appends, updates of a single key,
//   removals, compactions, growth, reloads and reopens) neither file ever
//   holds a written key or value in clear;
// - a process that dies in the middle of writing a record or of compacting
//   leaves no clear text behind either: the shared mapping's pages reach the
//   file whenever the process stops, so the bytes must be encrypted before
//   they are stored there, not after;
// - opened with a wrong key, a store loads no key, returns no value, refuses
//   every write and leaves both files as they are, also while a process with
//   the right key goes on writing; the right key then reads everything.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

// Recognisable in clear; random bytes contain either by chance with a
// probability of about 2^-150.
constexpr const char *kValueMarker = "CLEARTEXT-VALUE-MARKER";
constexpr const char *kKeyMarker = "cleartext-key-marker-";

// A file's bytes in one read (this runs after every operation).
std::string fileBytes(const std::string &path) {
    std::string bytes;
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) {
        return bytes;
    }
    char chunk[65536];
    size_t n = 0;
    while ((n = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.append(chunk, n);
    }
    fclose(file);
    return bytes;
}

bool containsMarker(const std::string &bytes) {
    return bytes.find(kValueMarker) != std::string::npos || bytes.find(kKeyMarker) != std::string::npos;
}

// Every regular file under `dir` that shows a marker.
std::vector<std::string> filesWithMarkers(const std::string &dir) {
    std::vector<std::string> found;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && containsMarker(fileBytes(entry.path().string()))) {
            found.push_back(entry.path().string());
        }
    }
    return found;
}

struct SecrecyConfig {
    const char *name;
    StoreOptions options;
};

void PrintTo(const SecrecyConfig &config, std::ostream *out) {
    *out << config.name;
}

const SecrecyConfig kSecrecyConfigs[] = {
    {"AES128", encrypted("secrecy-key-16by")},
    {"AES256", encrypted("secrecy-key-of-32-bytes-for-AES!", true)},
    {"AES128MultiProcess", encrypted("secrecy-key-16by", false, multiProcess())},
};

enum class Op { Set, Remove, Get, Compact, ClearMemoryCache, Reopen, Sync, KeepOneKey };

constexpr int kOperations = 600;
constexpr int kKeys = 30;

class EncryptedFilesHoldNoClearText : public StoreTest, public ::testing::WithParamInterface<SecrecyConfig> {
protected:
    std::string key(uint32_t i) const { return kKeyMarker + std::to_string(i); }

    std::string value(uint32_t serial, size_t length) {
        std::string text = std::string(kValueMarker) + "#" + std::to_string(serial) + "#";
        for (size_t i = 0; i < length; i++) {
            text += static_cast<char>(' ' + m_rng() % 95);
        }
        return text;
    }

    void set(const std::string &k, const std::string &v) {
        ASSERT_TRUE(VORNTestPeer::set(m_store, k, v)) << k;
        m_model[k] = v;
    }

    void expectModel() {
        std::vector<std::string> keys;
        for (const auto &pair : m_model) {
            keys.push_back(pair.first);
        }
        ASSERT_EQ(VORNTestPeer::keys(m_store), keys);
        for (const auto &pair : m_model) {
            ASSERT_EQ(VORNTestPeer::get(m_store, pair.first), std::optional<std::string>(pair.second)) << pair.first;
        }
    }

    void apply(Op op, uint32_t serial) {
        auto below = [this](uint32_t n) { return static_cast<uint32_t>(m_rng() % n); };
        const std::string k = key(below(kKeys));
        switch (op) {
        case Op::Set: {
            // In an encrypted index, values up to 256 bytes are held in clear in
            // memory and the rest by position; a few make the file grow.
            const uint32_t band = below(100);
            const size_t length = band < 50 ? below(200) : band < 90 ? 250 + below(800) : 2000 + below(4000);
            set(k, value(serial, length));
            break;
        }
        case Op::Remove:
            EXPECT_EQ(VORNTestPeer::remove(m_store, k), m_model.erase(k) == 1) << k;
            break;
        case Op::Get: {
            auto it = m_model.find(k);
            EXPECT_EQ(VORNTestPeer::get(m_store, k),
                      it == m_model.end() ? std::nullopt : std::optional<std::string>(it->second));
            break;
        }
        case Op::Compact:
            EXPECT_TRUE(VORNTestPeer::fullWriteback(m_store));
            break;
        case Op::ClearMemoryCache:
            m_store->clearMemoryCache(below(2) == 0);
            break;
        case Op::Reopen:
            m_store = reopen(m_store, "secret", GetParam().options);
            break;
        case Op::Sync:
            m_store->sync();
            break;
        case Op::KeepOneKey: {
            // A single-process store with one key rewrites its stream from the
            // start on each update of that key.
            while (m_model.size() > 1) {
                const std::string gone = m_model.begin()->first;
                ASSERT_TRUE(VORNTestPeer::remove(m_store, gone)) << gone;
                m_model.erase(gone);
            }
            set(k, value(serial, below(400)));
            set(k, value(serial + 1, below(400)));
            break;
        }
        }
    }

    std::mt19937 m_rng{0x5EC2E7u};
    VORN *m_store = nullptr;
    std::map<std::string, std::string> m_model;
};

TEST_P(EncryptedFilesHoldNoClearText, OverRandomOperations) {
    // The scan finds the markers where they are in clear: in a plain store.
    {
        VORN *plain = open("plain-control");
        ASSERT_TRUE(VORNTestPeer::set(plain, key(1), value(1, 10)));
        plain->sync();
        close(plain);
        EXPECT_EQ(filesWithMarkers(root()), std::vector<std::string>{dataPath("plain-control")});
        std::filesystem::remove(dataPath("plain-control"));
    }

    const std::string data = dataPath("secret");
    const std::string meta = metaPath("secret");
    m_store = open("secret", GetParam().options);
    for (uint32_t i = 0; i < kOperations; i++) {
        const uint32_t kind = m_rng() % 100;
        const Op op = kind < 50   ? Op::Set
                      : kind < 65 ? Op::Remove
                      : kind < 80 ? Op::Get
                      : kind < 84 ? Op::Compact
                      : kind < 88 ? Op::ClearMemoryCache
                      : kind < 92 ? Op::Reopen
                      : kind < 97 ? Op::Sync
                                  : Op::KeepOneKey;
        SCOPED_TRACE("operation " + std::to_string(i));
        ASSERT_NO_FATAL_FAILURE(apply(op, 2 * i));
        // The files as another reader sees them right after the operation.
        ASSERT_FALSE(containsMarker(fileBytes(data))) << "data file";
        ASSERT_FALSE(containsMarker(fileBytes(meta))) << "meta file";
        if (i % 50 == 0) {
            ASSERT_NO_FATAL_FAILURE(expectModel());
        }
    }
    ASSERT_NO_FATAL_FAILURE(expectModel());
    // The run went through compactions and at least two doublings.
    EXPECT_GE(VORNTestPeer::metaInfo(m_store).m_sequence, 10u);
    EXPECT_GE(VORNTestPeer::mappedFileSize(m_store), 4u * 4096u);
    m_store = reopen(m_store, "secret", GetParam().options);
    ASSERT_NO_FATAL_FAILURE(expectModel());
    close(m_store);
    EXPECT_EQ(filesWithMarkers(root()), std::vector<std::string>());
    printf("[  FIGURES ] %d operations, both files scanned for clear text after each\n", kOperations);
}

INSTANTIATE_TEST_SUITE_P(Configs, EncryptedFilesHoldNoClearText, ::testing::ValuesIn(kSecrecyConfigs),
                         [](const ::testing::TestParamInfo<SecrecyConfig> &info) { return info.param.name; });

// ---- A process that dies in the middle of a write ----

// The process is stopped at a chosen point of a write, as a crash would stop
// it: at its first store into a page of the data file that the test made
// read-only. Whatever the library put into the shared mapping up to then is
// in the file.
class EncryptedWriteInterrupted : public StoreTest {
protected:
    // The marker over and over: any piece of it in clear shows.
    static std::string markedValue(size_t length) {
        std::string text;
        while (text.size() < length) {
            text += kValueMarker;
        }
        text.resize(length);
        return text;
    }

    static void makeReadOnly(VORN *store, size_t fileOffset) {
        const size_t page = static_cast<size_t>(getpagesize());
        auto at = static_cast<char *>(VORNTestPeer::dataMemory(store)) + fileOffset / page * page;
        ASSERT_EQ(mprotect(at, page, PROT_READ), 0);
    }

    // In the writer process: brings the store to the point of the write, then
    // makes the write that stops it.
    void Write(const std::string &scenario) {
        StoreOptions options = encrypted("interrupted-key1");
        options.capacity = 256 * 1024; // no growth: the mapping stays where it is
        VORN *store = open("interrupted", options);
        if (scenario == "one-key") {
            // The update of a store's only key.
            ASSERT_TRUE(VORNTestPeer::set(store, "only", markedValue(100)));
            makeReadOnly(store, 64 * 1024);
            markStep(storeRoot(), "writing");
            VORNTestPeer::set(store, "only", markedValue(100000));
        } else if (scenario == "append") {
            for (int i = 0; i < 5; i++) {
                ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), markedValue(100)));
            }
            makeReadOnly(store, 64 * 1024);
            markStep(storeRoot(), "writing");
            VORNTestPeer::set(store, "big", markedValue(100000));
        } else if (scenario == "compaction") {
            // Values held by position, which the compaction moves through the
            // mapping; the stream's last page is read-only.
            for (int i = 0; i < 12; i++) {
                ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), markedValue(3000)));
            }
            makeReadOnly(store, 4 + VORNTestPeer::actualSize(store) - 1);
            markStep(storeRoot(), "writing");
            if (!VORNTestPeer::fullWriteback(store)) {
                markStep(storeRoot(), "write-failed");
            }
        }
        markStep(storeRoot(), "write-returned");
    }
};

TEST_F(EncryptedWriteInterrupted, LeavesNoClearTextInTheFile) {
    if (currentRole() == "writer") {
        const std::string arg = currentArg();
        setStoreRoot(arg.substr(arg.find(':') + 1));
        Write(arg.substr(0, arg.find(':')));
        return;
    }
    // A compaction builds the new stream in its journal and copies it into
    // the mapping with a read, which fails on the read-only page instead of
    // faulting: the writer survives, the write fails, and the journal holds
    // the whole new stream for the next load.
    struct Case {
        const char *scenario;
        bool stopsWriter;
    };
    for (const Case &c : {Case{"append", true}, Case{"one-key", true}, Case{"compaction", false}}) {
        SCOPED_TRACE(c.scenario);
        const std::string dir = root() + "/" + c.scenario;
        ASSERT_TRUE(std::filesystem::create_directory(dir));
        const int status = runSelf("EncryptedWriteInterrupted.LeavesNoClearTextInTheFile", "writer",
                                   std::string(c.scenario) + ":" + dir);
        EXPECT_TRUE(std::filesystem::exists(dir + "/step-writing")) << "the writer failed before the write";
        if (c.stopsWriter) {
            // Killed by the signal, or ended by a sanitizer's handler of it;
            // never returning from the write.
            EXPECT_NE(status, 0);
            EXPECT_FALSE(std::filesystem::exists(dir + "/step-write-returned")) << "the write did not stop the writer";
        } else {
            EXPECT_EQ(status, 0);
            EXPECT_TRUE(std::filesystem::exists(dir + "/step-write-failed"));
            const std::string journal = readFile(dir + "/interrupted:rewrite");
            ASSERT_GT(journal.size(), 12u * 3000u) << "the journal holds the new stream";
            EXPECT_FALSE(containsMarker(journal)) << "clear text in the journal";
        }
        const std::string data = readFile(dir + "/interrupted");
        ASSERT_GT(data.size(), 4096u);
        EXPECT_FALSE(containsMarker(data)) << "clear text in the data file";
    }

    // The next load finishes the compaction from the journal: every value is
    // back and the journal is gone.
    setStoreRoot(root() + "/compaction");
    StoreOptions options = encrypted("interrupted-key1");
    VORN *store = open("interrupted", options);
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(VORNTestPeer::get(store, "key-" + std::to_string(i)), markedValue(3000)) << i;
    }
    EXPECT_FALSE(std::filesystem::exists(root() + "/compaction/interrupted:rewrite"));
    EXPECT_FALSE(containsMarker(readFile(root() + "/compaction/interrupted")));
}

// ---- Wrong keys ----

class WrongKey : public StoreTest {
protected:
    // 40 keys, every fifth value held by position (over 256 bytes), compacted,
    // then 10 more appended: the stream has both kinds of record and both a
    // rewritten and an appended part.
    void Build(const std::string &id, const StoreOptions &options) {
        VORN *store = open(id, options);
        for (int i = 0; i < 50; i++) {
            if (i == 40) {
                ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
            }
            m_values["key-" + std::to_string(i)] = std::string(i % 5 == 0 ? 300 : 60, static_cast<char>('a' + i % 26));
            ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), m_values["key-" + std::to_string(i)]));
        }
        store->sync();
        close(store);
    }

    // The store as seen with a wrong key: nothing to read, nothing written.
    void ExpectNothingReadableOrWritable(VORN *store, const std::string &id) {
        VORNTestPeer::load(store);
        EXPECT_TRUE(VORNTestPeer::streamUndecodable(store));
        EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
        for (const auto &pair : m_values) {
            EXPECT_EQ(VORNTestPeer::get(store, pair.first), std::nullopt) << pair.first;
            EXPECT_EQ(VORNTestPeer::getRaw(store, pair.first), "") << pair.first;
        }
        m_log.clear();
        EXPECT_FALSE(VORNTestPeer::set(store, "key-1", "overwritten"));
        EXPECT_FALSE(VORNTestPeer::set(store, "new-key", std::string(400, 'n')));
        EXPECT_FALSE(VORNTestPeer::remove(store, "key-1"));
        EXPECT_FALSE(VORNTestPeer::fullWriteback(store));
        EXPECT_EQ(m_log.count("[" + id + "] refusing to write over a stream that does not decode"), 3u) << m_log.dump();
        // Dropping the cache and loading again changes nothing.
        store->clearMemoryCache();
        EXPECT_EQ(VORNTestPeer::keyCount(store), 0u);
        EXPECT_TRUE(VORNTestPeer::streamUndecodable(store));
        store->sync();
    }

    void ExpectEverything(const std::string &id, const StoreOptions &options) {
        VORN *store = open(id, options);
        EXPECT_EQ(VORNTestPeer::keyCount(store), m_values.size());
        for (const auto &pair : m_values) {
            EXPECT_EQ(VORNTestPeer::get(store, pair.first), std::optional<std::string>(pair.second)) << pair.first;
        }
        close(store);
    }

    std::map<std::string, std::string> m_values;
};

std::string randomKey(std::mt19937 &rng, size_t length) {
    std::string key(length, '\0');
    for (auto &c : key) {
        c = static_cast<char>(rng());
    }
    return key;
}

TEST_F(WrongKey, LoadsNothingReturnsNothingAndWritesNothing) {
    const std::string key128 = "the-right-key-16";
    const std::string key256 = "the-right-key-of-32-bytes-for-it";
    std::string key256LastByteFlipped = key256;
    key256LastByteFlipped.back() ^= 0x01;
    std::string key128FirstByteFlipped = key128;
    key128FirstByteFlipped.front() ^= 0x80;

    struct Case {
        const char *name;
        StoreOptions writer;
        std::vector<StoreOptions> readers;
    };
    std::mt19937 rng(0xBADC0DEu);
    std::vector<Case> cases = {
        {"AES-128 store",
         encrypted(key128),
         {encrypted(key128FirstByteFlipped), encrypted(key128, true), encrypted(key128 + key128, true)}},
        {"AES-256 store",
         encrypted(key256, true),
         {encrypted(key256LastByteFlipped, true), encrypted(key256, false), encrypted(key256.substr(0, 16), true)}},
    };
    for (int i = 0; i < 4; i++) {
        cases[0].readers.push_back(encrypted(randomKey(rng, 16)));
        cases[1].readers.push_back(encrypted(randomKey(rng, 32), true));
    }

    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "wrong-" + std::to_string(n++);
        m_values.clear();
        Build(id, c.writer);
        ASSERT_FALSE(HasFatalFailure());
        const std::string data = readFile(dataPath(id));
        const std::string meta = readFile(metaPath(id));
        int r = 0;
        for (const auto &reader : c.readers) {
            SCOPED_TRACE("reader " + std::to_string(r++));
            VORN *store = open(id, reader);
            ExpectNothingReadableOrWritable(store, id);
            close(store);
            EXPECT_TRUE(readFile(dataPath(id)) == data) << "the data file changed";
            EXPECT_TRUE(readFile(metaPath(id)) == meta) << "the meta file changed";
        }
        ExpectEverything(id, c.writer);
    }
}

// A process with the wrong key stays out while a process with the right key
// compacts and appends: each of its loads (first, full after the other's
// rewrite, partial after the other's appends) finds nothing it can read.
TEST_F(WrongKey, StaysOutWhileTheRightKeyWrites) {
    const StoreOptions right = encrypted("right-key-shared", false, multiProcess());
    const StoreOptions wrong = encrypted("wrong-key-shared", false, multiProcess());
    if (currentRole() == "wrong-key") {
        setStoreRoot(currentArg());
        for (int i = 0; i < 60; i++) {
            m_values["key-" + std::to_string(i)] = ""; // only their names are used here
        }
        ASSERT_TRUE(waitStep(storeRoot(), "built"));
        VORN *store = open("shared", wrong);
        ExpectNothingReadableOrWritable(store, "shared");
        markStep(storeRoot(), "checked-built");
        ASSERT_TRUE(waitStep(storeRoot(), "compacted"));
        ExpectNothingReadableOrWritable(store, "shared");
        markStep(storeRoot(), "checked-compacted");
        ASSERT_TRUE(waitStep(storeRoot(), "appended"));
        ExpectNothingReadableOrWritable(store, "shared");
        close(store);
        return;
    }

    const int child = startSelf("WrongKey.StaysOutWhileTheRightKeyWrites", "wrong-key", root());
    Build("shared", right);
    markStep(root(), "built");
    ASSERT_TRUE(waitStep(root(), "checked-built"));
    VORN *store = open("shared", right);
    ASSERT_TRUE(VORNTestPeer::fullWriteback(store));
    store->sync();
    markStep(root(), "compacted");
    ASSERT_TRUE(waitStep(root(), "checked-compacted"));
    for (int i = 50; i < 60; i++) {
        m_values["key-" + std::to_string(i)] = std::string(i % 2 ? 500 : 20, 'z');
        ASSERT_TRUE(VORNTestPeer::set(store, "key-" + std::to_string(i), m_values["key-" + std::to_string(i)]));
    }
    store->sync();
    markStep(root(), "appended");
    EXPECT_EQ(waitChild(child), 0);
    close(store);
    m_log.clear();
    ExpectEverything("shared", right);
    EXPECT_EQ(m_log.countPrefix("check crc"), 0u) << m_log.dump();
}

} // namespace
