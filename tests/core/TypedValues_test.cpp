// The typed interface: the exact value bytes of every setter, what every
// getter makes of them, sizes and copies, over plain, encrypted and expiring
// stores; then absent keys, undecodable values and read-only stores.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

using Setter = std::function<bool(VORN *, std::string_view, const uint32_t *)>;
using Check = std::function<void(VORN *, std::string_view)>;

template <typename T> Setter setterOf(T value) {
    return [value](VORN *store, std::string_view key, const uint32_t *duration) {
        return duration ? store->set(value, key, *duration) : store->set(value, key);
    };
}

Setter stdStringSetter(std::string value) {
    return setterOf(std::move(value)); // the const std::string& overloads
}

Setter viewSetter(std::string value) {
    return [value](VORN *store, std::string_view key, const uint32_t *duration) {
        std::string_view view(value);
        return duration ? store->set(view, key, *duration) : store->set(view, key);
    };
}

Setter bufferSetter(std::string value) {
    return [value](VORN *store, std::string_view key, const uint32_t *duration) {
        vorn::VornBuffer buffer(const_cast<char *>(value.data()), value.size(), vorn::VornBufferNoCopy);
        return duration ? store->set(buffer, key, *duration) : store->set(buffer, key);
    };
}

Setter cStringSetter(const char *value) {
    return [value](VORN *store, std::string_view key, const uint32_t *duration) {
        return duration ? store->set(value, key, *duration) : store->set(value, key);
    };
}

Setter listSetter(std::vector<std::string> value) {
    return [value](VORN *store, std::string_view key, const uint32_t *duration) {
        return duration ? store->set(value, key, *duration) : store->set(value, key);
    };
}

std::string bytesOf(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

std::string repeated(int byte, size_t n) {
    return std::string(n, static_cast<char>(byte));
}

std::string stringOf(const vorn::VornBuffer &buffer) {
    return std::string(static_cast<const char *>(buffer.data()), buffer.size());
}

struct TypedCase {
    const char *name;
    Setter set;
    std::string bytes;      // the value bytes the store keeps (expiry time not included)
    Check check;            // what the matching getters return
    size_t actualValueSize; // getValueSize(key, true)
    int32_t written;        // writeValueToBuffer into a buffer of exactly that many bytes; -1: never
    std::string writtenBytes;
};

const std::string kLong(300, 'L');

std::vector<TypedCase> typedCases() {
    return {
        {"bool true", setterOf(true), bytesOf({0x01}),
         [](VORN *s, std::string_view k) {
             bool has = false;
             EXPECT_TRUE(s->getBool(k, false, &has));
             EXPECT_TRUE(has);
         },
         1, 1, bytesOf({0x01})},
        {"bool false", setterOf(false), bytesOf({0x00}),
         [](VORN *s, std::string_view k) {
             bool has = false;
             EXPECT_FALSE(s->getBool(k, true, &has));
             EXPECT_TRUE(has);
         },
         // 00 also reads as an empty length-delimited item.
         0, 0, ""},
        {"int32 -1 takes 10 bytes", setterOf(int32_t(-1)), repeated(0xFF, 9) + bytesOf({0x01}),
         [](VORN *s, std::string_view k) {
             bool has = false;
             EXPECT_EQ(s->getInt32(k, 7, &has), -1);
             EXPECT_TRUE(has);
             EXPECT_EQ(s->getInt64(k, 7), -1);
         },
         10, -1, ""},
        {"int32 300", setterOf(int32_t(300)), bytesOf({0xAC, 0x02}),
         [](VORN *s, std::string_view k) {
             EXPECT_EQ(s->getInt32(k), 300);
             EXPECT_EQ(s->getUInt32(k), 300u);
             EXPECT_EQ(s->getInt64(k), 300);
         },
         2, 2, bytesOf({0xAC, 0x02})},
        {"int32 min", setterOf(std::numeric_limits<int32_t>::min()),
         bytesOf({0x80, 0x80, 0x80, 0x80, 0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),
         [](VORN *s, std::string_view k) {
             EXPECT_EQ(s->getInt32(k), std::numeric_limits<int32_t>::min());
             EXPECT_EQ(s->getInt64(k), std::numeric_limits<int32_t>::min());
         },
         10, -1, ""},
        {"uint32 max", setterOf(std::numeric_limits<uint32_t>::max()), bytesOf({0xFF, 0xFF, 0xFF, 0xFF, 0x0F}),
         [](VORN *s, std::string_view k) { EXPECT_EQ(s->getUInt32(k), 0xFFFFFFFFu); }, 5, -1, ""},
        {"int64 min", setterOf(std::numeric_limits<int64_t>::min()), repeated(0x80, 9) + bytesOf({0x01}),
         [](VORN *s, std::string_view k) { EXPECT_EQ(s->getInt64(k), std::numeric_limits<int64_t>::min()); }, 10, 10,
         repeated(0x80, 9) + bytesOf({0x01})},
        {"uint64 max", setterOf(std::numeric_limits<uint64_t>::max()), repeated(0xFF, 9) + bytesOf({0x01}),
         [](VORN *s, std::string_view k) { EXPECT_EQ(s->getUInt64(k), std::numeric_limits<uint64_t>::max()); }, 10, -1,
         ""},
        {"float 1.5", setterOf(1.5f), bytesOf({0x00, 0x00, 0xC0, 0x3F}),
         [](VORN *s, std::string_view k) { EXPECT_EQ(s->getFloat(k), 1.5f); }, 4, 4, bytesOf({0x00, 0x00, 0xC0, 0x3F})},
        {"double -2.25", setterOf(-2.25), bytesOf({0, 0, 0, 0, 0, 0, 0x02, 0xC0}),
         [](VORN *s, std::string_view k) { EXPECT_EQ(s->getDouble(k), -2.25); }, 8, 8,
         bytesOf({0, 0, 0, 0, 0, 0, 0x02, 0xC0})},
        {"C string", cStringSetter("hi"), bytesOf({0x02, 'h', 'i'}),
         [](VORN *s, std::string_view k) {
             std::string out = "old";
             EXPECT_TRUE(s->getString(k, out, false));
             EXPECT_EQ(out, "hi");
         },
         2, 2, "hi"},
        {"empty std::string exists", stdStringSetter(""), bytesOf({0x00}),
         [](VORN *s, std::string_view k) {
             std::string out = "old";
             EXPECT_TRUE(s->getString(k, out));
             EXPECT_EQ(out, "");
             EXPECT_TRUE(s->containsKey(k));
         },
         0, 0, ""},
        {"string view with a NUL byte", viewSetter(std::string("a\0b", 3)), bytesOf({0x03, 'a', 0x00, 'b'}),
         [](VORN *s, std::string_view k) {
             std::string out;
             EXPECT_TRUE(s->getString(k, out));
             EXPECT_EQ(out, std::string("a\0b", 3));
         },
         3, 3, std::string("a\0b", 3)},
        {"VornBuffer", bufferSetter(bytesOf({1, 2, 3})), bytesOf({0x03, 1, 2, 3}),
         [](VORN *s, std::string_view k) {
             vorn::VornBuffer out;
             EXPECT_TRUE(s->getBytes(k, out));
             EXPECT_EQ(stringOf(out), bytesOf({1, 2, 3}));
             EXPECT_EQ(stringOf(s->getBytes(k)), bytesOf({1, 2, 3}));
         },
         3, 3, bytesOf({1, 2, 3})},
        {"list of strings", listSetter({"a", "bc"}), bytesOf({0x05, 0x01, 'a', 0x02, 'b', 'c'}),
         [](VORN *s, std::string_view k) {
             std::vector<std::string> out = {"old"};
             EXPECT_TRUE(s->getVector(k, out));
             EXPECT_EQ(out, (std::vector<std::string>{"a", "bc"}));
         },
         // Its total length prefix makes it one length-delimited item as well.
         5, 5, bytesOf({0x01, 'a', 0x02, 'b', 'c'})},
        {"empty list", listSetter({}), bytesOf({0x00}),
         [](VORN *s, std::string_view k) {
             std::vector<std::string> out = {"old"};
             EXPECT_TRUE(s->getVector(k, out));
             EXPECT_TRUE(out.empty());
         },
         0, 0, ""},
        {"300-byte string", stdStringSetter(kLong), bytesOf({0xAC, 0x02}) + kLong,
         [](VORN *s, std::string_view k) {
             std::string out;
             EXPECT_TRUE(s->getString(k, out));
             EXPECT_EQ(out, kLong);
         },
         300, 300, kLong},
    };
}

struct StoreKind {
    const char *name;
    const char *id;
    StoreOptions options;
};

std::vector<StoreKind> storeKinds() {
    return {{"plain", "typed-plain", StoreOptions{}},
            {"plain, expiry on", "typed-expiring", expiring()},
            {"AES-128", "typed-aes128", encrypted("0123456789abcdef")},
            {"AES-256, expiry on", "typed-aes256-expiring",
             encrypted("0123456789abcdef0123456789abcdef", true, expiring())},
            {"multi-process", "typed-multi", multiProcess()}};
}

class TypedValues : public ClockedStoreTest {
protected:
    // Every getter-side expectation of one case, for a key already set.
    void checkCase(VORN *store, const TypedCase &c, const std::string &key, const std::string &suffix) {
        EXPECT_EQ(hex(VORNTestPeer::getRaw(store, key)), hex(c.bytes + suffix));
        c.check(store, key);
        EXPECT_EQ(store->getValueSize(key, false), c.bytes.size());
        EXPECT_EQ(store->getValueSize(key, true), c.actualValueSize);

        std::string exact(c.written > 0 ? c.written : 16, '\xEE');
        const int32_t room = c.written >= 0 ? c.written : 16;
        EXPECT_EQ(store->writeValueToBuffer(key, exact.data(), room), c.written);
        if (c.written >= 0) {
            EXPECT_EQ(hex(exact.substr(0, c.written)), hex(c.writtenBytes));
        }
        if (c.written > 0) {
            // One byte too small: refused, and nothing written.
            std::string small(c.written, '\xEE');
            EXPECT_EQ(store->writeValueToBuffer(key, small.data(), c.written - 1), -1);
            EXPECT_EQ(small, std::string(c.written, '\xEE'));
        }
    }
};

TEST_F(TypedValues, ExactBytesAndGettersForEveryTypeAndStoreKind) {
    const std::vector<TypedCase> cases = typedCases();
    const uint32_t duration = 100;
    for (const StoreKind &kind : storeKinds()) {
        SCOPED_TRACE(kind.name);
        VORN *store = open(kind.id, kind.options);
        const bool expiring = kind.options.enableKeyExpire.value_or(false);
        // Every case twice: with the store's default duration (0: never) and
        // with an explicit one, which only counts while expiry is on.
        auto suffixFor = [&](bool withDuration) {
            if (!expiring) {
                return std::string();
            }
            return le32(withDuration ? kStartTime + duration : 0);
        };
        for (const TypedCase &c : cases) {
            SCOPED_TRACE(c.name);
            ASSERT_TRUE(c.set(store, std::string("d:") + c.name, nullptr));
            ASSERT_TRUE(c.set(store, std::string("t:") + c.name, &duration));
            checkCase(store, c, std::string("d:") + c.name, suffixFor(false));
            checkCase(store, c, std::string("t:") + c.name, suffixFor(true));
        }
        EXPECT_EQ(store->count(), cases.size() * 2);

        // The same from the files.
        store = reopen(store, kind.id, kind.options);
        for (const TypedCase &c : cases) {
            SCOPED_TRACE(std::string("reopened: ") + c.name);
            checkCase(store, c, std::string("d:") + c.name, suffixFor(false));
            checkCase(store, c, std::string("t:") + c.name, suffixFor(true));
            if (expiring) {
                EXPECT_EQ(store->getExpireTimeForKey(std::string("t:") + c.name), kStartTime + duration);
                EXPECT_EQ(store->getExpireTimeForKey(std::string("d:") + c.name), 0u);
            }
        }
    }
}

TEST_F(TypedValues, AbsentAndEmptyKeysGiveDefaults) {
    VORN *store = open("absent");
    ASSERT_TRUE(store->set(int32_t(5), "present"));
    for (std::string_view key : {std::string_view("missing"), std::string_view()}) {
        SCOPED_TRACE(key.empty() ? "empty key" : "absent key");
        bool has = true;
        EXPECT_TRUE(store->getBool(key, true, &has));
        EXPECT_FALSE(has);
        has = true;
        EXPECT_EQ(store->getInt32(key, -9, &has), -9);
        EXPECT_FALSE(has);
        EXPECT_EQ(store->getUInt32(key, 9), 9u);
        EXPECT_EQ(store->getInt64(key, -99), -99);
        EXPECT_EQ(store->getUInt64(key, 99), 99u);
        EXPECT_EQ(store->getFloat(key, 0.5f), 0.5f);
        EXPECT_EQ(store->getDouble(key, 0.25), 0.25);
        EXPECT_FALSE(store->getBool(key)); // no hasValue: nothing is written through it
        std::string text = "unchanged";
        EXPECT_FALSE(store->getString(key, text));
        EXPECT_EQ(text, "unchanged");
        vorn::VornBuffer bytes(const_cast<char *>("abc"), 3, vorn::VornBufferCopy);
        EXPECT_FALSE(store->getBytes(key, bytes));
        EXPECT_EQ(stringOf(bytes), "abc");
        EXPECT_EQ(store->getBytes(key).size(), 0u);
        std::vector<std::string> list = {"unchanged"};
        EXPECT_FALSE(store->getVector(key, list));
        EXPECT_EQ(list, std::vector<std::string>{"unchanged"});
        EXPECT_EQ(store->getValueSize(key, false), 0u);
        EXPECT_EQ(store->getValueSize(key, true), 0u);
        char buffer[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(store->writeValueToBuffer(key, buffer, 4), -1);
        EXPECT_EQ(std::string(buffer, 4), "xxxx");
        EXPECT_FALSE(store->containsKey(key));
        EXPECT_FALSE(store->removeValueForKey(key));
    }
    EXPECT_EQ(store->writeValueToBuffer("present", nullptr, -1), -1);

    // Every setter refuses an empty key and writes nothing.
    const size_t before = store->actualSize();
    for (const TypedCase &c : typedCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.set(store, "", nullptr));
    }
    EXPECT_EQ(store->actualSize(), before);
    EXPECT_EQ(store->allKeys(), std::vector<std::string>{"present"});
}

TEST_F(TypedValues, UndecodableValuesAreLoggedAndGiveDefaults) {
    VORN *store = open("mismatch");
    ASSERT_TRUE(store->set(int32_t(-1), "negative"));    // FF x9 01
    ASSERT_TRUE(store->set(true, "flag"));               // 01
    ASSERT_TRUE(store->set(std::string("abc"), "text")); // 03 61 62 63
    ASSERT_TRUE(VORNTestPeer::setRaw(store, "cut", bytesOf({0x80})));

    struct Case {
        const char *name;
        std::function<bool(VORN *)> read; // whether the getter reported a value
        const char *function;
        const char *message;
    } cases[] = {
        {"getFloat of one byte",
         [](VORN *s) {
             bool h = true;
             s->getFloat("flag", 0, &h);
             return h;
         },
         "getFloat", "reach end, m_position: 1, m_size: 1"},
        {"getDouble of four bytes",
         [](VORN *s) {
             bool h = true;
             s->getDouble("text", 0, &h);
             return h;
         },
         "getDouble", "reach end, m_position: 4, m_size: 4"},
        {"getInt64 of a cut varint",
         [](VORN *s) {
             bool h = true;
             s->getInt64("cut", 0, &h);
             return h;
         },
         "getInt64", "reach end, m_position: 1, m_size: 1"},
        {"getString of a negative length",
         [](VORN *s) {
             std::string out = "keep";
             bool ok = s->getString("negative", out);
             EXPECT_EQ(out, "keep");
             return ok;
         },
         "getString", "InvalidProtocolBuffer negativeSize"},
        {"getString of a length beyond the value",
         [](VORN *s) {
             std::string out = "keep";
             bool ok = s->getString("flag", out, false);
             EXPECT_EQ(out, "keep");
             return ok;
         },
         "getString", "InvalidProtocolBuffer truncatedMessage"},
        {"getBytes of a negative length",
         [](VORN *s) {
             vorn::VornBuffer out;
             return s->getBytes("negative", out);
         },
         "getBytes", "InvalidProtocolBuffer negativeSize"},
        {"getVector of a string",
         [](VORN *s) {
             std::vector<std::string> out = {"keep"};
             bool ok = s->getVector("text", out);
             EXPECT_EQ(out, std::vector<std::string>{"keep"});
             return ok;
         },
         "getVector", "InvalidProtocolBuffer truncatedMessage"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        EXPECT_FALSE(c.read(store));
        EXPECT_TRUE(m_log.has(VORNLogError, c.function, c.message)) << m_log.dump();
    }

    // The size queries fall back to the stored size; a copy refuses.
    m_log.clear();
    EXPECT_EQ(store->getValueSize("cut", true), 1u);
    EXPECT_TRUE(m_log.has(VORNLogError, "getValueSize", "reach end, m_position: 1, m_size: 1")) << m_log.dump();
    m_log.clear();
    EXPECT_EQ(store->getValueSize("missing", true), 0u);
    EXPECT_TRUE(m_log.has(VORNLogError, "getValueSize", "reach end, m_position: 0, m_size: 0")) << m_log.dump();
    m_log.clear();
    char buffer[8] = {};
    EXPECT_EQ(store->writeValueToBuffer("cut", buffer, 8), -1);
    EXPECT_TRUE(m_log.has(VORNLogError, "writeValueToBuffer", "reach end, m_position: 1, m_size: 1")) << m_log.dump();
}

// A value whose varint says "length 1" in two bytes (81 00): the copy takes
// the payload from the end, never from past it.
TEST_F(TypedValues, WriteValueToBufferStaysInsideANonMinimalPrefix) {
    VORN *store = open("nonminimal");
    ASSERT_TRUE(VORNTestPeer::setRaw(store, "k", bytesOf({0x81, 0x00})));
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(store->writeValueToBuffer("k", buffer, 4), 1);
    EXPECT_EQ(hex(std::string(buffer, 4)), hex(bytesOf({0x00, 'x', 'x', 'x'})));
    EXPECT_EQ(store->getValueSize("k", true), 1u);
}

// set(nullptr, key) says true only when the key is gone afterwards, because
// it was removed or was never there; a store that refused to look says false
// and keeps both files as they were.
TEST_F(TypedValues, NullCStringRemovesTheKeyOrSaysItCouldNot) {
    enum class Store { Writable, ReadOnly, DataFileIsADirectory, StreamDoesNotDecode };
    struct Case {
        const char *name;
        Store store;
        const char *key;
        bool withDuration;
        bool result;
        bool removes; // a deletion record is appended
    };
    const std::vector<Case> cases = {
        {"present key", Store::Writable, "k", false, true, true},
        {"present key, with a duration", Store::Writable, "k", true, true, true},
        {"absent key", Store::Writable, "absent", false, true, false},
        {"absent key, with a duration", Store::Writable, "absent", true, true, false},
        {"empty key", Store::Writable, "", false, false, false},
        {"read-only, present key", Store::ReadOnly, "k", false, false, false},
        {"read-only, absent key", Store::ReadOnly, "absent", true, false, false},
        {"data file is a directory", Store::DataFileIsADirectory, "k", false, false, false},
        {"stream that does not decode, present key", Store::StreamDoesNotDecode, "k", false, false, false},
        {"stream that does not decode, absent key", Store::StreamDoesNotDecode, "absent", true, false, false},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string id = "nullstring-" + std::to_string(n++);
        VORN *store = open(id);
        ASSERT_TRUE(store->set("v", "k"));
        ASSERT_TRUE(store->set("o", "other"));
        close(store);

        StoreOptions options;
        switch (c.store) {
        case Store::ReadOnly:
            options.mode = VORN_READ_ONLY;
            break;
        case Store::DataFileIsADirectory:
            ASSERT_TRUE(std::filesystem::remove(dataPath(id)));
            ASSERT_TRUE(std::filesystem::create_directory(dataPath(id)));
            break;
        case Store::StreamDoesNotDecode: {
            // The item-size holder, then a key length of 5 with 2 key bytes:
            // the CRC checks out, the decode does not.
            const std::string stream = bytesOf({0x00, 0x00, 0x00, 0x00, 0x05, 'a', 'b'});
            patchFile(dataPath(id), 4, stream);
            vorn::VORNMetaInfo info = metaFromBytes(readFile(metaPath(id)));
            info.m_actualSize = static_cast<uint32_t>(stream.size());
            info.m_crcDigest = crcOf(stream);
            std::string record(vorn::kMetaInfoSize, '\0');
            info.write(&record[0]);
            patchFile(metaPath(id), 0, record);
            break;
        }
        default:
            break;
        }
        store = open(id, options);
        store->containsKey("k"); // the load, which may settle the files first
        const std::string dataBefore =
            std::filesystem::is_directory(dataPath(id)) ? "<directory>" : readFile(dataPath(id));
        const std::string metaBefore = readFile(metaPath(id));
        const size_t sizeBefore = store->actualSize();

        const char *none = nullptr;
        EXPECT_EQ(c.withDuration ? store->set(none, c.key, 10) : store->set(none, c.key), c.result);

        if (c.removes) {
            EXPECT_FALSE(store->containsKey(c.key));
            // The deletion record: key 01 6B, value length 00.
            const std::string stream = readFile(dataPath(id)).substr(4, store->actualSize());
            EXPECT_EQ(hex(stream.substr(stream.size() - 3)), hex(bytesOf({0x01, 'k', 0x00})));
            store = reopen(store, id, options);
            EXPECT_FALSE(store->containsKey("k"));
            EXPECT_TRUE(store->containsKey("other"));
        } else {
            EXPECT_EQ(store->actualSize(), sizeBefore);
            const std::string dataAfter =
                std::filesystem::is_directory(dataPath(id)) ? "<directory>" : readFile(dataPath(id));
            EXPECT_EQ(dataAfter, dataBefore);
            EXPECT_EQ(readFile(metaPath(id)), metaBefore);
        }
        if (c.store == Store::ReadOnly) {
            EXPECT_TRUE(store->containsKey("k"));
        }
        close(store);
    }
}

TEST_F(TypedValues, ReadOnlyStoresRefuseEveryChange) {
    VORN *store = open("ro");
    ASSERT_TRUE(store->set(int32_t(1), "a"));
    ASSERT_TRUE(store->set(std::string("x"), "b"));
    close(store);
    const std::string data = readFile(dataPath("ro"));
    const std::string meta = readFile(metaPath("ro"));

    store = open("ro", inMode(VORN_READ_ONLY));
    m_log.clear();
    EXPECT_FALSE(store->removeValueForKey("a"));
    EXPECT_TRUE(m_log.has(VORNLogWarning, "removeValueForKey", "[ro] file readonly")) << m_log.dump();
    m_log.clear();
    EXPECT_FALSE(store->removeValuesForKeys({"a", "b"}));
    EXPECT_TRUE(m_log.has(VORNLogWarning, "removeValuesForKeys", "[ro] file readonly")) << m_log.dump();
    for (const TypedCase &c : typedCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.set(store, "a", nullptr));
    }
    EXPECT_EQ(store->getInt32("a"), 1);
    EXPECT_EQ(store->count(), 2u);
    EXPECT_EQ(readFile(dataPath("ro")), data);
    EXPECT_EQ(readFile(metaPath("ro")), meta);
}

TEST_F(TypedValues, RemovingSeveralKeysRewritesOnce) {
    VORN *store = open("several");
    for (const char *key : {"a", "b", "c", "d"}) {
        ASSERT_TRUE(store->set(std::string(key) + "-value", key));
    }
    const uint32_t sequence = VORNTestPeer::metaInfo(store).m_sequence;
    const size_t size = store->actualSize();

    // None of them present: nothing written.
    EXPECT_TRUE(store->removeValuesForKeys({"x", "y", "z"}));
    EXPECT_EQ(store->actualSize(), size);
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence);
    EXPECT_TRUE(store->removeValuesForKeys({}));

    // One key: a deletion record is appended, no rewrite.
    EXPECT_TRUE(store->removeValuesForKeys({"d"}));
    EXPECT_EQ(store->actualSize(), size + 3);
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence);

    // Several: one compaction without them.
    EXPECT_TRUE(store->removeValuesForKeys({"a", "missing", "c"}));
    EXPECT_EQ(VORNTestPeer::metaInfo(store).m_sequence, sequence + 1);
    EXPECT_EQ(store->actualSize(), 4u + 2 + 1 + 8); // holder, key "b", length, "b-value" with its prefix
    store = reopen(store, "several");
    EXPECT_EQ(store->allKeys(), std::vector<std::string>{"b"});
    std::string out;
    EXPECT_TRUE(store->getString("b", out));
    EXPECT_EQ(out, "b-value");

    // Removing the last keys this way empties the store.
    ASSERT_TRUE(store->set(true, "e"));
    EXPECT_TRUE(store->removeValuesForKeys({"b", "e"}));
    EXPECT_EQ(store->count(), 0u);
    store = reopen(store, "several");
    EXPECT_EQ(store->count(), 0u);
}

TEST_F(TypedValues, SizesAndKeys) {
    VORN *store = open("sizes");
    EXPECT_EQ(store->totalSize(), vorn::mmapUnitSize());
    EXPECT_EQ(store->actualSize(), 0u);
    ASSERT_TRUE(store->set(int32_t(1), "one"));
    ASSERT_TRUE(store->set(std::string("two"), "two"));
    // Holder, then 03 "one" 01 01, then 03 "two" 04 03 "two".
    EXPECT_EQ(store->actualSize(), 4u + 6 + 9);
    EXPECT_EQ(VORNTestPeer::actualSize(store), store->actualSize());
    std::vector<std::string> keys = store->allKeys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(store->count(), 2u);
    EXPECT_TRUE(store->containsKey("one"));
    EXPECT_TRUE(store->removeValueForKey("one"));
    EXPECT_FALSE(store->containsKey("one"));
    EXPECT_EQ(store->count(), 1u);
}

// A caller holding the store's read locks keeps other processes from writing.
TEST_F(TypedValues, SharedLockKeepsWritersOut) {
    const StoreOptions multi = multiProcess();
    if (isChild()) {
        VORN *store = open("sharedlock", multi);
        EXPECT_EQ(store->getInt32("k"), 1); // the first load writes, so it comes first
        markStep(storeRoot(), "child-loaded");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-holds"));
        EXPECT_FALSE(store->try_lock()); // the parent's shared hold is in the way
        markStep(storeRoot(), "child-refused");
        ASSERT_TRUE(waitStep(storeRoot(), "parent-released"));
        EXPECT_TRUE(store->try_lock());
        EXPECT_TRUE(store->set(int32_t(2), "k"));
        store->unlock();
        return;
    }
    VORN *store = open("sharedlock", multi);
    ASSERT_TRUE(store->set(int32_t(1), "k"));
    const int child = startSelf("TypedValues.SharedLockKeepsWritersOut", "child", root());
    ASSERT_TRUE(waitStep(root(), "child-loaded"));
    store->shared_lock();
    EXPECT_EQ(store->getInt32("k"), 1); // nested holds inside the caller's
    markStep(root(), "parent-holds");
    ASSERT_TRUE(waitStep(root(), "child-refused"));
    EXPECT_EQ(store->getInt32("k"), 1);
    store->shared_unlock();
    markStep(root(), "parent-released");
    EXPECT_EQ(waitChild(child), 0);
    EXPECT_EQ(store->getInt32("k"), 2);
}

} // namespace
