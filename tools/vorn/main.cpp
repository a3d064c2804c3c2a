// vorn: inspect and repair stores from a shell.
//
//   vorn [--root DIR] [--id ID] [--crypt-key KEY [--aes256]] [--multi-process]
//        [--read-only] COMMAND ...
//
// Exit status: 0 success; 1 the command failed (missing store or key, wrong
// type, damaged or read-only store, refused write); 2 bad usage. Messages go
// to standard error, results to standard output. The library's own log is off
// unless --verbose.

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "core/VORN.h"
#include "tools/vorn/ValueFormat.h"

namespace {

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
    bool multiProcess = false;
    bool readOnly = false;
    bool verbose = false;
};

std::string describe(const Options &o) {
    return "store '" + o.id + "' under " + o.root;
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

// Opens the store. Read-only commands (and --read-only) map the files
// read-only; they and commands that change an existing store need it to exist.
VORN *openStore(const Options &o, bool writes, bool mustExist) {
    if (writes && o.readOnly) {
        fail(describe(o) + " is opened read-only (--read-only): this command writes");
    }
    if (mustExist || !writes) {
        requireSoundStore(o);
    } else if (!VORN::isFileValid(o.id)) {
        fail(describe(o) + " is damaged: the stream does not match its CRC (see `vorn verify`, `vorn restore`)");
    }
    uint32_t mode = o.multiProcess ? VORN_MULTI_PROCESS : VORN_SINGLE_PROCESS;
    if (!writes || o.readOnly) {
        mode |= VORN_READ_ONLY;
    }
    VORNConfig config;
    config.mode = static_cast<VORNMode>(mode);
    config.cryptKey = o.cryptKey ? &*o.cryptKey : nullptr;
    config.aes256 = o.aes256;
    VORN *store = VORN::vornWithID(o.id, config);
    if (!store || !store->isFileValid()) {
        fail("cannot open " + describe(o));
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

void cmdGet(const Options &o, const std::string &key, ValueType type) {
    VORN *store = openStore(o, false, true);
    vorn::VornBuffer raw = store->rawValue(key);
    if (raw.size() == 0 && !store->containsKey(key)) {
        fail("no key '" + key + "' in " + describe(o));
    }
    std::string text;
    if (!vorn::cli::formatValue(raw.data(), raw.size(), type, text)) {
        fail("key '" + key + "' does not hold a value of type " + vorn::cli::typeName(type));
    }
    printLine(text);
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
        fail("the write of key '" + key + "' was refused by " + describe(o));
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
            fail("the removal of key '" + key + "' was refused by " + describe(o));
        }
    }
    store->sync();
    if (!missing.empty()) {
        std::string list;
        for (const auto &key : missing) {
            list += (list.empty() ? "'" : ", '") + key + "'";
        }
        fail("no key " + list + " in " + describe(o) + " (the others were removed)");
    }
}

std::vector<std::string> sortedKeys(VORN *store) {
    std::vector<std::string> keys = store->allKeys();
    std::sort(keys.begin(), keys.end());
    return keys;
}

void cmdLs(const Options &o) {
    VORN *store = openStore(o, false, true);
    for (const auto &key : sortedKeys(store)) {
        printLine(key);
    }
}

void cmdDump(const Options &o, bool json) {
    VORN *store = openStore(o, false, true);
    nlohmann::json all = nlohmann::json::array();
    for (const auto &key : sortedKeys(store)) {
        vorn::VornBuffer raw = store->rawValue(key);
        std::string text;
        const bool isText = vorn::cli::printableString(raw.data(), raw.size(), text);
        const std::string hex = vorn::cli::hexOf(raw.data(), raw.size());
        const uint32_t expire = store->getExpireTimeForKey(key);
        if (json) {
            nlohmann::json item;
            item["key"] = key;
            if (isText) {
                item["text"] = text;
            } else {
                item["hex"] = hex;
            }
            item["expires"] = expire; // seconds since the epoch; 0 = never
            all.push_back(item);
        } else {
            const std::string shown = isText ? nlohmann::json(text).dump() : "hex:" + hex;
            printf("%s\t%s\t%s\n", key.c_str(), shown.c_str(), expiryText(expire).c_str());
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

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"Inspect and repair corvane_vorn stores."};
    app.require_subcommand(1);
    Options o;
    app.add_option("--root", o.root, "directory holding the stores")->capture_default_str();
    app.add_option("--id", o.id, "store id")->capture_default_str();
    auto *keyOption = app.add_option("--crypt-key", o.cryptKey, "key of an encrypted store");
    app.add_flag("--aes256", o.aes256, "the key is a 32-byte AES-256 key")->needs(keyOption);
    app.add_flag("--multi-process", o.multiProcess, "take inter-process locks (other processes use the store)");
    app.add_flag("--read-only", o.readOnly, "map the files read-only; writing commands are refused");
    app.add_flag("--verbose", o.verbose, "show the library's log on stderr");

    const std::map<std::string, ValueType> typeMap = vorn::cli::typeNames();
    std::vector<std::string> typeList;
    for (const auto &entry : typeMap) {
        typeList.push_back(entry.first);
    }
    auto addType = [&](CLI::App *cmd, std::string &type) {
        cmd->add_option("--type", type, "value type")->check(CLI::IsMember(typeList))->capture_default_str();
    };

    std::string key, value, dir, fromId;
    std::vector<std::string> keys;
    std::string getType = "string", setType = "string";
    std::optional<uint32_t> expire;
    std::optional<std::string> newKey, fromKey;
    bool json = false, none = false, rekeyAes256 = false;

    auto *get = app.add_subcommand("get", "print the value of KEY");
    get->add_option("KEY", key)->required();
    addType(get, getType);

    auto *set = app.add_subcommand("set", "store VALUE under KEY");
    set->add_option("KEY", key)->required();
    set->add_option("VALUE", value, "text; hex for bytes; a JSON array for strings")->required();
    addType(set, setType);
    set->add_option("--expire", expire, "seconds until the key expires (switches expiry on)");

    auto *rm = app.add_subcommand("rm", "remove keys");
    rm->add_option("KEY", keys)->required();

    auto *ls = app.add_subcommand("ls", "list the keys");
    auto *dump = app.add_subcommand("dump", "every key with its value and expiry time");
    dump->add_flag("--json", json, "as a JSON array");
    auto *stats = app.add_subcommand("stats", "sizes, sequence, meta version, flags");
    stats->add_flag("--json", json, "as a JSON object");
    auto *verify = app.add_subcommand("verify", "check the stream against its CRC without opening the store");
    auto *trim = app.add_subcommand("trim", "compact the stream and shrink the file");
    auto *clear = app.add_subcommand("clear", "remove every key");

    auto *rekey = app.add_subcommand("rekey", "encrypt with NEWKEY, or (--none) store in clear");
    auto *newKeyOption = rekey->add_option("NEWKEY", newKey);
    auto *noneFlag = rekey->add_flag("--none", none, "store in clear");
    rekey->add_flag("--aes256", rekeyAes256, "NEWKEY is a 32-byte AES-256 key")->needs(newKeyOption);
    newKeyOption->excludes(noneFlag);

    auto *backup = app.add_subcommand("backup", "copy the store's two files into DIR");
    backup->add_option("DIR", dir)->required();
    auto *restore = app.add_subcommand("restore", "replace the store with its copy in DIR");
    restore->add_option("DIR", dir)->required();
    auto *import = app.add_subcommand("import", "copy every key of another store into this one");
    import->add_option("--from-id", fromId, "id of the source store (same root)")->required();
    import->add_option("--from-crypt-key", fromKey, "key of an encrypted source store");

    try {
        app.parse(argc, argv);
        if (rekey->parsed() && !newKey && !none) {
            throw CLI::RequiredError("rekey: NEWKEY or --none");
        }
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    VORN::initializeVORN(o.root, o.verbose ? VORNLogInfo : VORNLogNone);
    int status = 0;
    try {
        if (get->parsed()) {
            cmdGet(o, key, typeMap.at(getType));
        } else if (set->parsed()) {
            cmdSet(o, key, value, typeMap.at(setType), expire);
        } else if (rm->parsed()) {
            cmdRm(o, keys);
        } else if (ls->parsed()) {
            cmdLs(o);
        } else if (dump->parsed()) {
            cmdDump(o, json);
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
        }
    } catch (const Failure &f) {
        fprintf(stderr, "vorn: %s\n", f.message.c_str());
        status = 1;
    }
    VORN::onExit();
    if (fflush(stdout) != 0) {
        fprintf(stderr, "vorn: cannot write to standard output\n");
        return 1;
    }
    return status;
}
