// A whole store loaded from arbitrary files, through the public interface.
//
// Input (StoreLoadHeader in FuzzSupport.h, then the files; the seeds are
// real stores in this form):
//   byte 0     open options
//                bits 0-1  0 plain, 1 AES-128, 2 AES-256, 3 AES-128 under a
//                          key other than the seeds' (a wrong key)
//                bit  2    VORN_MULTI_PROCESS
//                bit  3    VORN_READ_ONLY
//                bits 4-5  enableKeyExpire: 1 on, 2 off, else left unset
//                bit  6    the answer to damage is "recover" (else "discard")
//                bit  7    seal: before writing the files, the CRC fields of
//                          the meta record (current and last confirmed) are
//                          set to the CRC of the stream they describe, so
//                          that mutated streams pass the CRC check and reach
//                          the strict decode; and, when the meta file is
//                          long enough and the byte after the record is not
//                          zero, a check block current for that record is
//                          put after it (magic, sequence, vector and both of
//                          its CRCs; what it says of the key, and its flags,
//                          stay as the input gives them), so that loads meet
//                          current blocks naming right and wrong keys
//   byte 1     the write: bits 0-1 its key (1: the first key of the loaded
//              store, 2: the last, else a key of its own); bits 2-7 times 67:
//              the value's length (0 to 4221 bytes, more than a page)
//   bytes 2-3  N, the data file's length, little-endian
//   N bytes    the data file (fewer when the input ends first)
//   the rest   the meta file
// Both files are written as given (a writable store grows them to whole
// pages; a read-only one maps them at their length).
//
// One run: open, load, read every key through every reader, one write read
// back, close, then open again and compare. Checked:
//  - the open succeeds; the stream length fits the mapped file;
//  - count() equals allKeys(); every listed key reads: containsKey, a
//    non-empty value, getValueSize equal to its size, getString and getBytes
//    agreeing (both decode the same bytes or both fail); with expiry on, a key
//    may read as absent (expired), and then reads as absent everywhere;
//  - the write succeeds unless refused with one of the documented reasons
//    (read-only, file not valid, a stream that does not decode, a key the
//    check block does not vouch for: then nothing is loaded), and a
//    successful one reads back exactly, leaves every other value as it was,
//    and adds one key when the key was new;
//  - a refused write changes nothing;
//  - a store this process loaded (and so rewrote where it had to) loads again
//    without a CRC or length complaint and with the same keys and values
//    (read-only stores: the same as the first load).
// Values whose expiry time is within a few seconds of now are left out of the
// comparisons: the clock may pass them during a run.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <zlib.h>

#include "FuzzSupport.h"
#include "core/VORN.h"
#include "core/VORNMetaInfo.h"

using namespace vorn;
using namespace fuzzsupport;

namespace {

constexpr const char *kStoreID = "fuzzstore";
constexpr const char *kOwnKey = "written by the fuzz target";
constexpr size_t kDataHeader = 4; // the data file's leading size field

// ---- Input ----

struct StoreLoadInput {
    StoreLoadHeader header;
    std::vector<uint8_t> data;
    std::vector<uint8_t> meta;

    static StoreLoadInput parse(const uint8_t *bytes, size_t size) {
        StoreLoadInput in;
        InputCursor cursor(bytes, size);
        in.header = StoreLoadHeader::decode(cursor);
        std::vector<uint8_t> rest = cursor.rest();
        const size_t cut = std::min<size_t>(in.header.dataLength, rest.size());
        in.data.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(cut));
        in.meta.assign(rest.begin() + static_cast<std::ptrdiff_t>(cut), rest.end());
        return in;
    }
};

// ---- Set-up, once per process ----

LogCapture *g_log = nullptr;
std::string g_root;
std::string g_dataPath;
std::string g_metaPath;
size_t g_pageSize = 0;

// The root is "vorn-fuzz-<pid>" under tmpfs when there is one (the store's
// msync calls then cost nothing). A finding aborts the process before its
// exit handlers run, so the roots of processes that are gone are removed here.
std::string makeRoot() {
    const std::filesystem::path base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const std::string prefix = "vorn-fuzz-";
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(base, error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) {
            continue;
        }
        const long pid = strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            std::filesystem::remove_all(entry.path(), error);
        }
    }
    const std::filesystem::path root = base / (prefix + std::to_string(getpid()));
    std::filesystem::remove_all(root, error);
    if (!std::filesystem::create_directory(root, error)) {
        fprintf(stderr, "cannot create %s: %s\n", root.c_str(), error.message().c_str());
        abort();
    }
    return root.string();
}

void removeRoot() {
    std::error_code error;
    std::filesystem::remove_all(g_root, error);
}

void writeWhole(const std::string &path, const std::vector<uint8_t> &bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror(path.c_str());
        abort();
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            perror(path.c_str());
            abort();
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

uint32_t le32(const std::vector<uint8_t> &bytes, size_t offset) {
    if (offset + 4 > bytes.size()) {
        return 0;
    }
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

void putLE32(std::vector<uint8_t> &bytes, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; i++) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// Sets the meta record's CRC fields to the CRC of the stream each describes,
// the stream being the data file as a writable store maps it (zero-filled to
// whole pages). Sizes that do not fit are left alone.
void seal(StoreLoadInput &in) {
    if (in.meta.size() < offsetof(VORNMetaInfo, m_reserved)) {
        return;
    }
    std::vector<uint8_t> mapped = in.data;
    mapped.resize(std::max<size_t>(g_pageSize, (in.data.size() + g_pageSize - 1) / g_pageSize * g_pageSize));
    auto crcOfStream = [&](uint32_t size) -> std::optional<uint32_t> {
        if (static_cast<uint64_t>(size) + kDataHeader > mapped.size()) {
            return std::nullopt;
        }
        return static_cast<uint32_t>(crc32(0, mapped.data() + kDataHeader, size));
    };
    const uint32_t version = le32(in.meta, offsetof(VORNMetaInfo, m_version));
    const uint32_t size =
        version >= MetaVersionActualSize ? le32(in.meta, offsetof(VORNMetaInfo, m_actualSize)) : le32(mapped, 0);
    if (auto crc = crcOfStream(size)) {
        putLE32(in.meta, offsetof(VORNMetaInfo, m_crcDigest), *crc);
    }
    const size_t lastConfirmed = offsetof(VORNMetaInfo, m_lastConfirmedMetaInfo);
    if (auto crc = crcOfStream(le32(in.meta, lastConfirmed))) {
        putLE32(in.meta, lastConfirmed + 4, *crc);
    }
    if (in.meta.size() < kMetaWithCheckBlockSize || in.meta[kCheckBlockOffset] == 0) {
        return;
    }
    // The block, computed here from the layout rather than by the library.
    uint8_t *block = in.meta.data() + kCheckBlockOffset;
    const uint8_t *record = in.meta.data();
    for (int i = 0; i < 8; i++) {
        block[i] = static_cast<uint8_t>(kCheckBlockMagic >> (8 * i));
    }
    memcpy(block + 8, record + offsetof(VORNMetaInfo, m_sequence), 4);
    memcpy(block + 12, record + offsetof(VORNMetaInfo, m_vector), kMetaVectorSize);
    uLong fields = crc32(0, record + 8, 20);  // sequence, vector
    fields = crc32(fields, record + 104, 8);  // flags
    putLE32(in.meta, kCheckBlockOffset + 28, static_cast<uint32_t>(fields));
    putLE32(in.meta, kCheckBlockOffset + 44, static_cast<uint32_t>(crc32(0, block, 44)));
}

// ---- Opening ----

VORNConfig configOf(const StoreLoadInput &in) {
    VORNConfig config;
    config.mode = static_cast<VORNMode>((in.header.multiProcess ? VORN_MULTI_PROCESS : VORN_SINGLE_PROCESS) |
                                        (in.header.readOnly ? VORN_READ_ONLY : 0));
    config.rootPath = &g_root;
    switch (in.header.cipher) {
    case StoreLoadHeader::CipherPlain:
        break;
    case StoreLoadHeader::CipherAES128:
        config.cryptKey = &kStoreKey128;
        break;
    case StoreLoadHeader::CipherAES256:
        config.cryptKey = &kStoreKey256;
        config.aes256 = true;
        break;
    case StoreLoadHeader::CipherWrongKey:
        config.cryptKey = &kStoreWrongKey;
        break;
    }
    if (in.header.expiry == StoreLoadHeader::ExpiryOn) {
        config.enableKeyExpire = true;
    } else if (in.header.expiry == StoreLoadHeader::ExpiryOff) {
        config.enableKeyExpire = false;
    }
    config.recover = in.header.recover ? OnErrorRecover : OnErrorDiscard;
    return config;
}

bool logged(const std::string &message) {
    for (const LogLine &line : g_log->lines) {
        if (line.message == message) {
            return true;
        }
    }
    return false;
}

// Lines of a load that say the files were not what the store last wrote.
bool loggedDamage() {
    for (const LogLine &line : g_log->lines) {
        const std::string &m = line.message;
        if (m.rfind("check crc [", 0) == 0 || m.rfind("check [", 0) == 0 || m.rfind("oldStyleActualSize", 0) == 0 ||
            m.find("] meta record does not match its check block") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The check block said the key given does not open the store.
bool loggedKeyMismatch() {
    const std::string start = std::string("[") + kStoreID + "] wrong or missing key: ";
    for (const LogLine &line : g_log->lines) {
        if (line.message.compare(0, start.size(), start) == 0) {
            return true;
        }
    }
    return false;
}

// The load found a stream that checks out but does not decode.
bool loggedUndecodable() {
    const std::string start = std::string("[") + kStoreID + "] stream of ";
    const std::string end = " bytes checks out but does not decode (wrong key?); writes are refused";
    for (const LogLine &line : g_log->lines) {
        const std::string &m = line.message;
        if (m.size() > start.size() + end.size() && m.compare(0, start.size(), start) == 0 &&
            m.compare(m.size() - end.size(), end.size(), end) == 0) {
            return true;
        }
    }
    return false;
}

// ---- What a store holds, read through every reader ----

struct Value {
    bool present = false; // containsKey
    std::string raw;      // rawValue: the stored bytes without an expiry time
    bool nearNow = false; // an expiry time the clock may pass during the run
};

struct Snapshot {
    std::map<std::string, Value> values;
    std::vector<std::string> keys; // allKeys(), sorted

    // The values that cannot change with the clock.
    std::map<std::string, std::string> stable() const {
        std::map<std::string, std::string> out;
        for (const auto &[key, value] : values) {
            if (!value.nearNow && value.present) {
                out[key] = value.raw;
            }
        }
        return out;
    }
};

std::string text(const VornBuffer &buffer) {
    return std::string(static_cast<const char *>(buffer.data()), buffer.size());
}

bool nearNow(uint32_t expireTime) {
    const uint32_t now = VORN::getCurrentTimeInSecond();
    return expireTime != 0 && expireTime + 5 >= now && expireTime <= now + 5;
}

Snapshot readAll(VORN *store, bool expiryOn, const std::string &what) {
    Snapshot snapshot;
    const size_t count = store->count();
    std::vector<std::string> keys = store->allKeys();
    FUZZ_CHECK(keys.size() == count,
               what + ": count() " + std::to_string(count) + ", allKeys() " + std::to_string(keys.size()));
    for (const std::string &key : keys) {
        FUZZ_CHECK(!key.empty(), what + ": an empty key is listed");
        Value &value = snapshot.values[key];
        value.nearNow = nearNow(store->getExpireTimeForKey(key));
        value.present = store->containsKey(key);
        value.raw = text(store->rawValue(key));
        const size_t size = store->getValueSize(key, false);
        std::string asString = "unchanged";
        const bool stringOk = store->getString(key, asString);
        VornBuffer asBytes;
        const bool bytesOk = store->getBytes(key, asBytes);
        if (value.nearNow) {
            continue;
        }
        if (!expiryOn) {
            FUZZ_CHECK(value.present, what + ": a listed key is not contained");
        }
        if (!value.present) {
            FUZZ_CHECK(value.raw.empty() && size == 0 && !stringOk && !bytesOk && asString == "unchanged",
                       what + ": a key that is not contained reads as a value");
            continue;
        }
        FUZZ_CHECK(!value.raw.empty(), what + ": a contained key has no value bytes");
        FUZZ_CHECK(size == value.raw.size(),
                   what + ": getValueSize " + std::to_string(size) + ", rawValue " + std::to_string(value.raw.size()));
        FUZZ_CHECK(stringOk == bytesOk, what + ": getString and getBytes disagree on decoding");
        // The data-holder form: a length the bytes left can hold, then that
        // many bytes (anything after them is ignored).
        RefReader reference(reinterpret_cast<const uint8_t *>(value.raw.data()), value.raw.size());
        uint32_t length = 0;
        const bool referenceOk = reference.length(length);
        FUZZ_CHECK(stringOk == referenceOk, what + ": getString " + (stringOk ? "decodes" : "fails on") +
                                                " a value the reference reads as '" + reference.outcome.text() + "'");
        if (stringOk) {
            FUZZ_CHECK(asString == text(asBytes), what + ": getString and getBytes read different bytes");
            FUZZ_CHECK(asString == value.raw.substr(reference.position(), length),
                       what + ": a decoded string is not its bytes in the value");
        } else {
            FUZZ_CHECK(asString == "unchanged", what + ": a failed getString changed its output");
        }
    }
    snapshot.keys = store->allKeys();
    std::sort(snapshot.keys.begin(), snapshot.keys.end());
    return snapshot;
}

void checkSizes(VORN *store, const StoreLoadInput &in, const std::string &what) {
    const size_t total = store->totalSize();
    const size_t actual = store->actualSize();
    if (total == 0) {
        FUZZ_CHECK(actual == 0, what + ": a stream in an unmapped file");
        return;
    }
    // A read-only file may be shorter than the header: no stream then.
    FUZZ_CHECK(actual == 0 || actual + kDataHeader <= total,
               what + ": stream of " + std::to_string(actual) + " bytes in a file of " + std::to_string(total));
    if (!in.header.readOnly) {
        FUZZ_CHECK(total % g_pageSize == 0, what + ": a writable data file of " + std::to_string(total) + " bytes");
    }
}

VORN *openAndLoad(const StoreLoadInput &in, const std::string &what) {
    VORN *store = VORN::vornWithID(kStoreID, configOf(in));
    FUZZ_CHECK(store != nullptr, what + ": the open failed");
    store->checkContentChanged();
    return store;
}

std::string valueOf(const StoreLoadInput &in) {
    std::string value(in.header.valueLength, '\0');
    for (size_t i = 0; i < value.size(); i++) {
        value[i] = static_cast<char>('a' + i % 23);
    }
    return value;
}

} // namespace

// With STORELOAD_TRACE set (replaying a finding), every line down to info
// level is also printed, as it is logged.
class TracingCapture : public LogCapture {
public:
    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override {
        fprintf(stderr, "  [%d] %s:%s: %s\n", static_cast<int>(level), file, function, message.c_str());
        LogCapture::logMessage(level, file, line, function, message);
    }
};

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static TracingCapture tracing;
    const bool trace = getenv("STORELOAD_TRACE") != nullptr;
    g_log = trace ? &tracing : &LogCapture::install();
    g_root = makeRoot();
    atexit(removeRoot);
    VORN::initializeVORN(g_root, trace ? VORNLogInfo : VORNLogWarning, g_log);
    g_pageSize = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    g_dataPath = g_root + "/" + kStoreID;
    g_metaPath = g_dataPath + ".crc";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    StoreLoadInput in = StoreLoadInput::parse(bytes, size);
    if (in.header.seal) {
        seal(in);
    }
    writeWhole(g_dataPath, in.data);
    writeWhole(g_metaPath, in.meta);
    g_log->lines.clear();

    // ---- First load ----
    VORN *store = openAndLoad(in, "load");
    const bool keyMismatch = loggedKeyMismatch();
    FUZZ_CHECK(keyMismatch == store->inspect().keyMismatch || loggedUndecodable(),
               "inspect() and the load disagree on the key");
    const bool undecodable = loggedUndecodable() || keyMismatch;
    const bool expiryOn = store->inspect().keyExpire;
    checkSizes(store, in, "load");
    const Snapshot loaded = readAll(store, expiryOn, "load");
    if (undecodable) {
        FUZZ_CHECK(loaded.keys.empty(), "an undecodable stream left keys");
    }

    // ---- One write ----
    std::string key = kOwnKey;
    if (in.header.writeKey == StoreLoadHeader::WriteFirstKey && !loaded.keys.empty()) {
        key = loaded.keys.front();
    } else if (in.header.writeKey == StoreLoadHeader::WriteLastKey && !loaded.keys.empty()) {
        key = loaded.keys.back();
    }
    const std::string value = valueOf(in);
    // The reads above deleted what had expired; nothing changed since.
    const Snapshot &before = loaded;
    g_log->lines.clear();
    const bool written = store->set(std::string_view(value), key);
    const std::string id = std::string("[") + kStoreID + "]";
    if (!written) {
        const bool documented = logged(id + " file readonly") || logged(id + " file not valid") ||
                                logged("file [" + g_metaPath + "] not valid") ||
                                logged(id + " refusing to write over a stream that does not decode");
        FUZZ_CHECK(documented, "a write was refused without a documented reason" +
                                   (g_log->lines.empty() ? std::string() : ": " + g_log->lines[0].message));
        FUZZ_CHECK(in.header.readOnly || undecodable || store->totalSize() == 0 ||
                       logged("file [" + g_metaPath + "] not valid"),
                   "a loaded writable store refused a write");
    }
    checkSizes(store, in, "after the write");
    Snapshot after = readAll(store, expiryOn, "after the write");
    std::map<std::string, std::string> expected = before.stable();
    if (written) {
        std::string readBack;
        FUZZ_CHECK(store->getString(key, readBack) && readBack == value,
                   "a written value of " + std::to_string(value.size()) + " bytes does not read back");
        FUZZ_CHECK(store->containsKey(key), "a written key is not contained");
        if (!expiryOn) {
            const bool isNew = before.values.count(key) == 0;
            FUZZ_CHECK(after.keys.size() == before.keys.size() + (isNew ? 1 : 0),
                       "a write took the store from " + std::to_string(before.keys.size()) + " to " +
                           std::to_string(after.keys.size()) + " keys");
        }
        expected.erase(key);
        after.values.erase(key);
    }
    std::map<std::string, std::string> got = after.stable();
    for (const auto &[k, raw] : expected) {
        auto it = got.find(k);
        FUZZ_CHECK(it != got.end(), "a value present before the write is gone");
        FUZZ_CHECK(it->second == raw, "a value changed with the write of another key");
    }
    if (!written) {
        FUZZ_CHECK(got == expected, "a refused write changed the store");
    }
    store->close();

    // ---- Loaded again ----
    // Unless read-only, the first load rewrote whatever it did not trust and
    // the write kept the CRC in step: this load must trust the files.
    g_log->lines.clear();
    VORN *again = openAndLoad(in, "reload");
    if (!in.header.readOnly) {
        FUZZ_CHECK(!loggedDamage(), "the files the store left do not load cleanly: " + g_log->lines[0].message);
    }
    checkSizes(again, in, "reload");
    FUZZ_CHECK(again->inspect().keyExpire == expiryOn, "the reload switched expiry");
    const Snapshot reloaded = readAll(again, expiryOn, "reload");
    std::map<std::string, std::string> want = in.header.readOnly ? loaded.stable() : after.stable();
    if (written && !in.header.readOnly) {
        want[key] = "";
    }
    std::map<std::string, std::string> have = reloaded.stable();
    for (auto &[k, raw] : want) {
        auto it = have.find(k);
        FUZZ_CHECK(it != have.end(), "a key is gone after the reload");
        if (written && k == key) {
            std::string readBack;
            FUZZ_CHECK(again->getString(key, readBack) && readBack == value, "the written value is lost on reload");
            continue;
        }
        FUZZ_CHECK(it->second == raw, "a value differs after the reload");
    }
    if (!expiryOn) {
        FUZZ_CHECK(have.size() == want.size(),
                   "the reload has " + std::to_string(have.size()) + " keys, expected " + std::to_string(want.size()));
    }
    again->close();
    return 0;
}
