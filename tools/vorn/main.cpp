// vorn: inspect and repair stores from a shell.
//
//   vorn [OPTIONS] COMMAND [ARGS] [OPTIONS]
//
// Global options go before or after the command. Exit status: 0 success; 1
// the command failed (missing store or key, wrong or missing crypt key, wrong
// type, damaged or read-only store, refused write); 2 bad usage. Messages go
// to standard error, results to standard output; keys and values in text
// output are escaped (ValueFormat.h) so each takes one line. The library's
// own log is off unless --verbose.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "core/VORN.h"
#include "log/VORNVersion.h"
#include "tools/vorn/ValueFormat.h"

namespace {

using vorn::cli::escapeText;
using vorn::cli::ValueType;


// A failure the command reports: the message goes to stderr, exit status 1.
struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string &message) {
    throw Failure{message};
}

struct Options {
    std::string root = ".";
    std::string id = "preferences"; // the store the C interface uses
    std::optional<std::string> cryptKey;
    bool aes256 = false;
    bool singleProcess = false;
    bool readOnly = false;
    bool verbose = false;
};

std::string describe(const Options &o) {
    return "store '" + escapeText(o.id) + "' under " + escapeText(o.root);
}

std::string quoted(const std::string &key) {
    return "'" + escapeText(key) + "'";
}

// Fails unless both files exist and the stream matches its CRC: opening a
// damaged store would let the library discard or recover its contents, which
// an inspection tool must never do behind the user's back.
void requireSoundStore(const Options &o) {
    if (!VORN::checkExist(o.id)) {
        if (!VORN::isFileValid(o.id)) {
            fail(describe(o) + " is damaged: its meta file is missing");
        }
        fail("no " + describe(o));
    }
    if (!VORN::isFileValid(o.id)) {
        fail(describe(o) + " is damaged: the stream does not match its CRC (see `vorn verify`, `vorn restore`)");
    }
}

VORN *openWithConfig(const Options &o, bool writes, const std::string *rootPath = nullptr,
                     std::optional<VORNRecoverStrategic> recover = std::nullopt) {
    // Multi-process unless asked: a host may have the store open right now,
    // and every process must open a store in the same mode.
    uint32_t mode = o.singleProcess ? VORN_SINGLE_PROCESS : VORN_MULTI_PROCESS;
    if (!writes || o.readOnly) {
        mode |= VORN_READ_ONLY;
    }
    VORNConfig config;
    config.mode = static_cast<VORNMode>(mode);
    config.cryptKey = o.cryptKey ? &*o.cryptKey : nullptr;
    config.aes256 = o.aes256;
    config.rootPath = rootPath;
    config.recover = recover;
    VORN *store = VORN::vornWithID(o.id, config);
    if (!store || !store->isFileValid()) {
        fail("cannot open " + describe(o));
    }
    return store;
}

// Opens the store. Read-only commands (and --read-only) map the files
// read-only; they and commands that change an existing store need it to exist.
// An existing store is first opened read-only to check the key, so that a
// wrong or missing key never gets a writable handle on it.
VORN *openStore(const Options &o, bool writes, bool mustExist) {
    if (writes && o.readOnly) {
        fail(describe(o) + " is opened read-only (--read-only): this command writes");
    }
    if (mustExist || !writes) {
        requireSoundStore(o);
    } else if (!VORN::isFileValid(o.id)) {
        fail(describe(o) + " is damaged: the stream does not match its CRC (see `vorn verify`, `vorn restore`)");
    }
    if (!VORN::checkExist(o.id)) {
        return openWithConfig(o, writes); // a new store: any key makes it
    }
    VORN *probe = openWithConfig(o, false);
    if (probe->inspect().keyMismatch) {
        fail("wrong or missing key for " + describe(o));
    }
    if (!writes) {
        return probe;
    }
    probe->close();
    VORN *store = openWithConfig(o, true);
    if (store->inspect().keyMismatch) {
        fail("wrong or missing key for " + describe(o));
    }
    return store;
}

std::string expiryText(uint32_t expireTime) {
    if (expireTime == 0) {
        return "never";
    }
    const time_t t = expireTime;
    struct tm utc;
    gmtime_r(&t, &utc);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

void printLine(const std::string &text) {
    printf("%s\n", text.c_str());
}

// ---- commands ----

// With json: the key as dump --json writes it, plus (typeGiven) its value
// read as that type under "value".
void cmdGet(const Options &o, const std::string &key, ValueType type, bool json, bool typeGiven) {
    VORN *store = openStore(o, false, true);
    vorn::VornBuffer raw = store->rawValue(key);
    if (raw.size() == 0 && !store->containsKey(key)) {
        fail("no key " + quoted(key) + " in " + describe(o));
    }
    std::string text;
    if (!vorn::cli::formatValue(raw.data(), raw.size(), type, text)) {
        fail("key " + quoted(key) + " does not hold a value of type " + vorn::cli::typeName(type));
    }
    if (!json) {
        // Lists are JSON already; every other type but string is plain ASCII.
        printLine(type == ValueType::String ? escapeText(text) : text);
        return;
    }
    nlohmann::json item = vorn::cli::dumpItem(key, raw.data(), raw.size(), store->getExpireTimeForKey(key));
    if (typeGiven) {
        item["type"] = vorn::cli::typeName(type);
        switch (type) {
        case ValueType::String:
            if (!vorn::cli::validUtf8(text.data(), text.size(), true)) {
                fail("key " + quoted(key) + " holds a string that is not UTF-8 (JSON cannot carry it; see \"hex\")");
            }
            item["value"] = text;
            break;
        case ValueType::Bytes:
            item["value"] = text; // hex
            break;
        default:
            item["value"] = nlohmann::json::parse(text); // a number, true/false, or an array of strings
            break;
        }
    }
    printLine(item.dump(2));
}

void cmdSet(const Options &o, const std::string &key, const std::string &value, ValueType type,
            std::optional<uint32_t> expire) {
    VORN *store = openStore(o, true, false);
    if (expire) {
        if (!store->inspect().keyExpire) {
            // Expiry belongs to the files: switch it on, existing values never expire.
            if (!store->enableAutoKeyExpire(0)) {
                fail("cannot switch on key expiry in " + describe(o));
            }
            fprintf(stderr, "vorn: key expiry switched on for %s (existing values never expire)\n",
                    describe(o).c_str());
        }
    }
    std::string error;
    const bool ok = vorn::cli::storeValue(*store, key, value, type, expire, error);
    if (!error.empty()) {
        fail(error);
    }
    if (!ok) {
        fail("the write of key " + quoted(key) + " was refused by " + describe(o));
    }
    store->sync();
}

void cmdRm(const Options &o, const std::vector<std::string> &keys) {
    VORN *store = openStore(o, true, true);
    std::vector<std::string> missing;
    for (const auto &key : keys) {
        if (!store->containsKey(key)) {
            missing.push_back(key);
        } else if (!store->removeValueForKey(key)) {
            fail("the removal of key " + quoted(key) + " was refused by " + describe(o));
        }
    }
    store->sync();
    if (!missing.empty()) {
        std::string list;
        for (const auto &key : missing) {
            list += (list.empty() ? "" : ", ") + quoted(key);
        }
        fail("no key " + list + " in " + describe(o) + " (the others were removed)");
    }
}

std::vector<std::string> sortedKeys(VORN *store) {
    std::vector<std::string> keys = store->allKeys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

void cmdLs(const Options &o, bool json) {
    VORN *store = openStore(o, false, true);
    nlohmann::json all = nlohmann::json::array();
    for (const auto &key : sortedKeys(store)) {
        if (json) {
            all.push_back(vorn::cli::keyItem(key));
        } else {
            printLine(escapeText(key));
        }
    }
    if (json) {
        printLine(all.dump(2));
    }
}

void cmdDump(const Options &o, bool json) {
    VORN *store = openStore(o, false, true);
    nlohmann::json all = nlohmann::json::array();
    for (const auto &key : sortedKeys(store)) {
        vorn::VornBuffer raw = store->rawValue(key);
        const uint32_t expire = store->getExpireTimeForKey(key);
        if (json) {
            all.push_back(vorn::cli::dumpItem(key, raw.data(), raw.size(), expire));
        } else {
            std::string text;
            const bool isText = vorn::cli::printableString(raw.data(), raw.size(), text);
            const std::string shown =
                isText ? nlohmann::json(text).dump() : "hex:" + vorn::cli::hexOf(raw.data(), raw.size());
            printf("%s\t%s\t%s\n", escapeText(key).c_str(), shown.c_str(), expiryText(expire).c_str());
        }
    }
    if (json) {
        printLine(all.dump(2));
    }
}

void cmdStats(const Options &o, bool json) {
    VORN *store = openStore(o, false, true);
    const VORN::Inspection s = store->inspect();
    if (json) {
        nlohmann::json j = {{"id", o.id},
                            {"keys", s.keyCount},
                            {"actualSize", s.actualSize},
                            {"fileSize", s.fileSize},
                            {"sequence", s.sequence},
                            {"metaVersion", s.metaVersion},
                            {"flags", s.metaFlags},
                            {"keyExpire", s.keyExpire},
                            {"encrypted", s.encrypted}};
        printLine(j.dump(2));
        return;
    }
    printf("id            %s\n", o.id.c_str());
    printf("keys          %zu\n", s.keyCount);
    printf("actual size   %zu\n", s.actualSize);
    printf("file size     %zu\n", s.fileSize);
    printf("sequence      %" PRIu32 "\n", s.sequence);
    printf("meta version  %" PRIu32 "\n", s.metaVersion);
    printf("flags         0x%" PRIx64 "%s\n", s.metaFlags, s.keyExpire ? " (key expiry)" : "");
    printf("encrypted     %s\n", s.encrypted ? "yes" : "no");
}

// Exit status 0 when sound, 1 when damaged or absent.
int cmdVerify(const Options &o) {
    const bool valid = VORN::isFileValid(o.id);
    const bool exists = VORN::checkExist(o.id);
    if (valid && exists) {
        printLine(describe(o) + ": ok");
        return 0;
    }
    if (valid) {
        fprintf(stderr, "vorn: no %s\n", describe(o).c_str());
    } else {
        printLine(describe(o) + ": damaged");
    }
    return 1;
}

void cmdTrim(const Options &o) {
    VORN *store = openStore(o, true, true);
    const size_t before = store->totalSize();
    store->trim();
    store->sync();
    printf("file size %zu -> %zu\n", before, store->totalSize());
}

void cmdClear(const Options &o) {
    VORN *store = openStore(o, true, true);
    store->clearAll();
    store->sync();
}

void cmdRekey(const Options &o, const std::optional<std::string> &newKey, bool aes256) {
    VORN *store = openStore(o, true, true);
    if (!store->reKey(newKey.value_or(std::string()), aes256)) {
        fail("re-keying " + describe(o) + " failed; the old key stays");
    }
    store->sync();
}

void cmdBackup(const Options &o, const std::string &dir) {
    requireSoundStore(o);
    if (!VORN::backupOneToDirectory(o.id, dir)) {
        fail("the backup of " + describe(o) + " to " + dir + " failed");
    }
}

void cmdRestore(const Options &o, const std::string &dir) {
    if (o.readOnly) {
        fail(describe(o) + " is opened read-only (--read-only): this command writes");
    }
    if (!VORN::restoreOneFromDirectory(o.id, dir)) {
        fail("the restore of " + describe(o) + " from " + dir + " failed (no sound backup of it there?)");
    }
}

void cmdImport(const Options &o, const std::string &fromId, const std::optional<std::string> &fromKey) {
    Options source = o;
    source.id = fromId;
    source.cryptKey = fromKey;
    source.readOnly = true;
    VORN *src = openStore(source, false, true);
    VORN *dst = openStore(o, true, false);
    const size_t keys = src->count();
    const size_t copied = dst->importFrom(src);
    dst->sync();
    printf("imported %zu of %zu keys\n", copied, keys);
    if (copied != keys) {
        fail("some keys of " + describe(source) + " were not imported");
    }
}

// The whole of a file, or of standard input for "-".
std::string readInput(const std::string &path) {
    std::string text;
    if (path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad()) {
            fail("cannot read standard input");
        }
        return text;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot read " + escapeText(path) + ": " + strerror(errno));
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        fail("cannot read " + escapeText(path));
    }
    return text;
}

// A key file holds the key's bytes; one trailing newline (as editors and
// `echo` add) is not part of it.
std::string readKeyFile(const std::string &path) {
    std::string key = readInput(path);
    if (!key.empty() && key.back() == '\n') {
        key.pop_back();
        if (!key.empty() && key.back() == '\r') {
            key.pop_back();
        }
    }
    if (key.empty()) {
        fail("the key file " + escapeText(path) + " is empty");
    }
    return key;
}

// Writes items into dst with their exact bytes and expiry times, switching
// expiry on first when an item needs it. Items whose expiry time has passed
// are left out; their number is returned in `expired`.
size_t writeItems(const Options &o, VORN *dst, const std::vector<vorn::cli::RawItem> &items, bool keyExpire,
                  size_t &expired) {
    const bool needExpiry = keyExpire || std::any_of(items.begin(), items.end(),
                                                     [](const vorn::cli::RawItem &i) { return i.expires != 0; });
    if (needExpiry && !dst->inspect().keyExpire) {
        if (!dst->enableAutoKeyExpire(0)) {
            fail("cannot switch on key expiry in " + describe(o));
        }
        fprintf(stderr, "vorn: key expiry switched on for %s (existing values never expire)\n", describe(o).c_str());
    }
    size_t written = 0;
    expired = 0;
    for (const auto &item : items) {
        if (item.expires != 0 && item.expires <= VORN::getCurrentTimeInSecond()) {
            expired++;
            continue;
        }
        std::string error;
        if (!vorn::cli::storeRaw(*dst, item, error)) {
            dst->sync();
            fail(error + " (" + std::to_string(written) + " keys were written to " + describe(o) + ")");
        }
        written++;
    }
    dst->sync();
    return written;
}

void reportExpired(size_t expired) {
    if (expired > 0) {
        fprintf(stderr, "vorn: %zu keys had expired and were left out\n", expired);
    }
}

// Reads what dump --json writes. Every item is checked before the first
// write, so input that does not parse changes nothing.
void cmdLoad(const Options &o, const std::string &path) {
    const std::string name = path == "-" ? "standard input" : escapeText(path);
    nlohmann::json all;
    try {
        all = nlohmann::json::parse(readInput(path));
    } catch (const nlohmann::json::exception &e) {
        fail(name + " is not JSON: " + e.what());
    }
    if (!all.is_array()) {
        fail(name + " is not a JSON array (the shape dump --json writes)");
    }
    std::vector<vorn::cli::RawItem> items(all.size());
    for (size_t i = 0; i < all.size(); i++) {
        std::string error;
        if (!vorn::cli::parseItem(all[i], items[i], error)) {
            fail("item " + std::to_string(i + 1) + " of " + name + ": " + error);
        }
    }
    VORN *dst = openStore(o, true, false);
    size_t expired = 0;
    const size_t written = writeItems(o, dst, items, false, expired);
    printf("loaded %zu keys\n", written);
    reportExpired(expired);
}

// A directory removed with everything in it when the command ends.
struct TemporaryDirectory {
    std::string path;
    TemporaryDirectory() {
        std::error_code ec;
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "vorn-salvage-XXXXXX").string();
        if (ec || !mkdtemp(pattern.data())) {
            fail("cannot create a temporary directory");
        }
        path = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Opening a damaged store with the recover answer rewrites its files. The
// salvage works on a copy of them in a temporary root instead, so the
// damaged original stays as it was, for a closer look or another attempt.
void cmdSalvage(const Options &o, const std::string &toId) {
    Options target = o;
    target.id = toId;
    if (!VORN::checkExist(o.id)) {
        if (!VORN::isFileValid(o.id)) {
            fail(describe(o) + " is damaged: its meta file is missing, nothing to salvage from");
        }
        fail("no " + describe(o));
    }
    if (VORN::checkExist(toId) || !VORN::isFileValid(toId)) {
        fail(describe(target) + " exists: salvage writes into a new store");
    }
    TemporaryDirectory copyRoot;
    if (!VORN::backupOneToDirectory(o.id, copyRoot.path)) {
        fail("cannot copy the files of " + describe(o) + " to " + copyRoot.path);
    }
    Options copy = o;
    copy.singleProcess = true; // the copy is this process's own
    copy.readOnly = false;
    VORN *src = openWithConfig(copy, true, &copyRoot.path, OnErrorRecover);
    const VORN::Inspection state = src->inspect();
    if (state.keyMismatch) {
        src->close(); // before its directory goes
        fail("wrong or missing key for " + describe(o));
    }
    std::vector<vorn::cli::RawItem> items;
    size_t unreadable = 0;
    for (const auto &key : sortedKeys(src)) {
        vorn::VornBuffer raw = src->rawValue(key);
        if (raw.size() == 0) {
            continue; // expired since the listing
        }
        vorn::cli::RawItem item;
        item.key = key;
        const auto *bytes = static_cast<const uint8_t *>(raw.data());
        item.raw.assign(bytes, bytes + raw.size());
        item.expires = src->getExpireTimeForKey(key);
        if (!vorn::cli::reproducible(item.raw)) {
            unreadable++; // bytes no setter writes: not a value a host stored
            continue;
        }
        items.push_back(std::move(item));
    }
    src->close();
    VORN *dst = openStore(target, true, false);
    size_t expired = 0;
    const size_t written = writeItems(target, dst, items, state.keyExpire, expired);
    printf("salvaged %zu keys into %s\n", written, describe(target).c_str());
    reportExpired(expired);
    if (unreadable > 0) {
        fprintf(stderr, "vorn: %zu values did not decode and were left out\n", unreadable);
    }
}

bool isDirectory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"Inspect and repair corvane_vorn stores.", "vorn"};
    app.require_subcommand(1);
    // Options of the program are accepted after the command as well
    // (subcommands inherit this).
    app.fallthrough();
    app.set_version_flag("--version", std::string("vorn ") + VORN_VERSION_STRING, "print the version and exit");
    Options o;
    std::optional<std::string> keyFile;
    bool multiProcess = false;
    app.add_option("--root", o.root, "directory holding the stores")->option_text("DIR (.)");
    app.add_option("--id", o.id, "store id")->option_text("ID (preferences)");
    auto *keyOption =
        app.add_option("--crypt-key", o.cryptKey, "key of an encrypted store (visible to other users in ps)")
            ->option_text("KEY");
    app.add_option("--crypt-key-file", keyFile, "read the key from FILE ('-': standard input)")
        ->option_text("FILE")
        ->excludes(keyOption);
    app.add_flag("--aes256", o.aes256, "the key is a 32-byte AES-256 key");
    auto *single = app.add_flag("--single-process", o.singleProcess,
                                "open without inter-process locks (no other process may use the store)");
    app.add_flag("--multi-process", multiProcess, "the default; accepted for compatibility")->excludes(single);
    app.add_flag("--read-only", o.readOnly, "map the files read-only; writing commands are refused");
    app.add_flag("--verbose", o.verbose, "show the library's log on stderr");

    const std::map<std::string, ValueType> typeMap = vorn::cli::typeNames();
    std::vector<std::string> typeList;
    for (const auto &entry : typeMap) {
        typeList.push_back(entry.first);
    }
    auto addType = [&](CLI::App *cmd, std::string &type) {
        return cmd->add_option("--type", type, "value type")->check(CLI::IsMember(typeList))->capture_default_str();
    };

    std::string key, value, dir, fromId, toId, file;
    std::vector<std::string> keys;
    std::string getType = "string", setType = "string";
    std::optional<uint32_t> expire;
    std::optional<std::string> newKey, fromKey;
    bool json = false, none = false, rekeyAes256 = false;

    auto *get = app.add_subcommand("get", "KEY [--type T] [--json]: print the value of KEY as type T");
    get->add_option("KEY", key)->required();
    auto *getTypeOption = addType(get, getType);
    get->add_flag("--json", json, "as a JSON object: the key as dump --json writes it, with --type also its value");

    auto *set = app.add_subcommand("set", "KEY VALUE [--type T] [--expire SECONDS]: store VALUE under KEY");
    set->add_option("KEY", key)->required();
    set->add_option("VALUE", value, "text; hex for bytes; a JSON array for strings")->required();
    addType(set, setType);
    set->add_option("--expire", expire, "seconds until the key expires (switches expiry on)");

    auto *rm = app.add_subcommand("rm", "KEY...: remove keys");
    rm->add_option("KEY", keys)->required();

    auto *ls = app.add_subcommand("ls", "[--json]: list the keys");
    ls->add_flag("--json", json, "as a JSON array of strings ({\"keyHex\": HEX} for a key that is not UTF-8)");
    auto *dump = app.add_subcommand("dump", "[--json]: every key with its value and expiry time");
    dump->add_flag("--json", json, "as a JSON array, the input of load");
    auto *load = app.add_subcommand(
        "load", "FILE|-: store every key of FILE (what dump --json writes) with its value bytes and expiry time");
    load->add_option("FILE", file, "a file, or '-' for standard input")->required();
    auto *stats = app.add_subcommand("stats", "[--json]: sizes, sequence, meta version, flags");
    stats->add_flag("--json", json, "as a JSON object");
    auto *verify = app.add_subcommand("verify", "check the stream against its CRC without opening the store");
    auto *trim = app.add_subcommand("trim", "compact the stream and shrink the file");
    auto *clear = app.add_subcommand("clear", "remove every key");

    auto *rekey = app.add_subcommand("rekey", "NEWKEY [--aes256] | --none: encrypt with NEWKEY, or store in clear");
    auto *newKeyOption = rekey->add_option("NEWKEY", newKey);
    auto *noneFlag = rekey->add_flag("--none", none, "store in clear");
    rekey->add_flag("--aes256", rekeyAes256, "NEWKEY is a 32-byte AES-256 key")->needs(newKeyOption);
    newKeyOption->excludes(noneFlag);

    auto *backup = app.add_subcommand("backup", "DIR: copy the store's two files into DIR");
    backup->add_option("DIR", dir)->required();
    auto *restore = app.add_subcommand("restore", "DIR: replace the store with its copy in DIR");
    restore->add_option("DIR", dir)->required();
    auto *import = app.add_subcommand(
        "import", "--from-id ID [--from-crypt-key KEY]: copy every key of another store into this one");
    import->add_option("--from-id", fromId, "id of the source store (same root)")->required();
    import->add_option("--from-crypt-key", fromKey, "key of an encrypted source store");
    auto *salvage = app.add_subcommand(
        "salvage",
        "--to ID: copy what a damaged store still holds into the new store ID; the damaged files stay as they are");
    salvage->add_option("--to", toId, "id of the new store (same root and key)")->required();

    app.footer("Types (--type): string (the default), bytes (hex), bool, int32, uint32, int64, uint64, float, double, "
               "strings (a JSON array). Text output escapes backslash, control characters and bytes that are not "
               "UTF-8 (\\\\ \\t \\n \\r \\xHH).\n\n"
               "The key of an encrypted store comes from --crypt-key or --crypt-key-file (one of them), else from "
               "the environment variable VORN_CRYPT_KEY (when set and not empty), else there is none. A key file "
               "holds the key, without one trailing newline.\n\n"
               "Options before the command may also follow it. Stores are opened for several processes unless "
               "--single-process.\n\n"
               "Exit status: 0 success; 1 the command failed (no such store or key, a wrong or missing crypt key, a "
               "value not of the type asked for, a damaged store, a write refused); 2 bad usage.");

    try {
        app.parse(argc, argv);
        if (rekey->parsed() && !newKey && !none) {
            throw CLI::RequiredError("rekey: NEWKEY or --none");
        }
        if (load->parsed() && file == "-" && keyFile && *keyFile == "-") {
            throw CLI::ValidationError("load -", "standard input cannot hold both the key and the dump");
        }
        const char *keyVariable = getenv("VORN_CRYPT_KEY");
        if (o.aes256 && !o.cryptKey && !keyFile && !(keyVariable && *keyVariable)) {
            throw CLI::ValidationError("--aes256", "needs a key (--crypt-key, --crypt-key-file or VORN_CRYPT_KEY)");
        }
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    // Commands that may create the root directory; every other one first
    // checks that the store could exist, so that reading a missing store
    // creates nothing (initialising the library makes the root).
    const bool createsRoot = set->parsed() || load->parsed() || restore->parsed();
    const bool writes = createsRoot || rm->parsed() || trim->parsed() || clear->parsed() || rekey->parsed() ||
                        import->parsed() || salvage->parsed();
    int status = 0;
    bool initialized = false;
    try {
        if (keyFile) {
            o.cryptKey = readKeyFile(*keyFile);
        } else if (!o.cryptKey) {
            const char *fromEnvironment = getenv("VORN_CRYPT_KEY");
            if (fromEnvironment && *fromEnvironment) {
                o.cryptKey = std::string(fromEnvironment);
            }
        }
        if (writes && o.readOnly) {
            fail(describe(o) + " is opened read-only (--read-only): this command writes");
        }
        if (!createsRoot && !isDirectory(o.root)) {
            Options missing = o;
            if (import->parsed()) {
                missing.id = fromId;
            }
            fail("no " + describe(missing));
        }
        VORN::initializeVORN(o.root, o.verbose ? VORNLogInfo : VORNLogNone);
        initialized = true;
        if (get->parsed()) {
            cmdGet(o, key, typeMap.at(getType), json, getTypeOption->count() > 0);
        } else if (set->parsed()) {
            cmdSet(o, key, value, typeMap.at(setType), expire);
        } else if (rm->parsed()) {
            cmdRm(o, keys);
        } else if (ls->parsed()) {
            cmdLs(o, json);
        } else if (dump->parsed()) {
            cmdDump(o, json);
        } else if (load->parsed()) {
            cmdLoad(o, file);
        } else if (stats->parsed()) {
            cmdStats(o, json);
        } else if (verify->parsed()) {
            status = cmdVerify(o);
        } else if (trim->parsed()) {
            cmdTrim(o);
        } else if (clear->parsed()) {
            cmdClear(o);
        } else if (rekey->parsed()) {
            cmdRekey(o, none ? std::nullopt : newKey, rekeyAes256);
        } else if (backup->parsed()) {
            cmdBackup(o, dir);
        } else if (restore->parsed()) {
            cmdRestore(o, dir);
        } else if (import->parsed()) {
            cmdImport(o, fromId, fromKey);
        } else if (salvage->parsed()) {
            cmdSalvage(o, toId);
        }
    } catch (const Failure &f) {
        fprintf(stderr, "vorn: %s\n", f.message.c_str());
        status = 1;
    }
    if (initialized) {
        VORN::onExit();
    }
    if (fflush(stdout) != 0) {
        fprintf(stderr, "vorn: cannot write to standard output\n");
        return 1;
    }
    return status;
}
