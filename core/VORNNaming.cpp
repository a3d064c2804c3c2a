#include "core/VORNNaming.h"

#include <openssl/evp.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "core/VORNRewriteJournal.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
#include "platform/VORNFileUtil.h"

namespace {
std::string g_globalRootDir;
std::string g_realGlobalRootDir;
} // namespace

namespace {

// Spelling of a root as some caller gave it -> its resolved form. Entries are
// never removed, and unordered_map never moves its values, so references to
// the resolved strings stay valid for the life of the process.
std::unordered_map<std::string, std::string> g_realRootMap;
vorn::ThreadLock *g_namespaceLock = nullptr;
pthread_once_t g_namespaceLockOnce = PTHREAD_ONCE_INIT;
pthread_once_t g_specialDirOnce = PTHREAD_ONCE_INIT;

bool isGlobalRoot(const std::string *rootPath) { return rootPath == nullptr || rootPath == &vorn::realGlobalRootDir(); }

void createNamespaceLock() {
    g_namespaceLock = new vorn::ThreadLock();
}

char lowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(const char *left, size_t length, const char *right) {
    if (length != strlen(right)) {
        return false;
    }
    for (size_t i = 0; i < length; i++) {
        if (lowerASCII(left[i]) != lowerASCII(right[i])) {
            return false;
        }
    }
    return true;
}

bool endsWithIgnoringCase(const std::string &value, const char *suffix) {
    const size_t length = strlen(suffix);
    return value.size() >= length && equalsIgnoringCase(value.data() + value.size() - length, length, suffix);
}

void createGlobalSpecialDirectory() { vorn::mkPath(vorn::realGlobalRootDir() + "/" + vorn::kSpecialCharacterDirectory); }

} // namespace

namespace vorn {

const std::string &globalRootDir() {
    return g_globalRootDir;
}

const std::string &realGlobalRootDir() {
    return g_realGlobalRootDir;
}

bool setGlobalRoot(const std::string &rootDir) {
    if (!g_globalRootDir.empty()) {
        return false;
    }
    g_globalRootDir = rootDir;
    g_realGlobalRootDir = resolveRootPath(rootDir);
    return true;
}

std::string md5(const std::string &value) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(value.data(), value.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        length = 0;
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; i++) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0f]);
    }
    return text;
}

bool hasSpecialCharacter(const std::string &id) {
    for (char c : id) {
        switch (c) {
        case '\\':
        case '/':
        case ':':
        case '*':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
        case '\0':
            return true;
        default:
            break;
        }
    }
    return false;
}

bool needsHashedName(const std::string &id) {
    if (hasSpecialCharacter(id) || id == "." || id == "..") {
        return true;
    }
    if (equalsIgnoringCase(id.data(), id.size(), kSpecialCharacterDirectory) ||
        endsWithIgnoringCase(id, kMetaFileSuffix)) {
        return true;
    }
    const size_t longestSuffix = std::max(strlen(kMetaFileSuffix), strlen(kRewriteJournalSuffix));
    return id.size() > maxFileNameLength() - longestSuffix;
}

std::string storeRegistryKey(const std::string &dataPath) { return md5(dataPath); }

void mkSpecialCharacterFileDirectory() { pthread_once(&g_specialDirOnce, createGlobalSpecialDirectory); }

std::string encodeFilePath(const std::string &mmapID, const std::string *rootPath, bool createDirectory) {
    if (!needsHashedName(mmapID)) {
        return mmapID;
    }
    if (!createDirectory) {
        // Nothing to make.
    } else if (isGlobalRoot(rootPath)) {
        mkSpecialCharacterFileDirectory();
    } else {
        // A custom root gets its directory back even if it was removed meanwhile.
        mkPath(*rootPath + "/" + kSpecialCharacterDirectory);
    }
    return std::string(kSpecialCharacterDirectory) + "/" + md5(mmapID);
}

std::string storeDataPath(const std::string &mmapID, const std::string *rootPath, bool createDirectory) {
    const std::string name = encodeFilePath(mmapID, rootPath, createDirectory);
    return (isGlobalRoot(rootPath) ? vorn::realGlobalRootDir() : *rootPath) + "/" + name;
}

const std::string &resolveRootPath(const std::string &rootPath) {
    pthread_once(&g_namespaceLockOnce, createNamespaceLock);
    ScopedLock<ThreadLock> guard(g_namespaceLock);
    auto found = g_realRootMap.find(rootPath);
    if (found != g_realRootMap.end()) {
        return found->second;
    }
    std::string resolved = absolutePath(rootPath);
    if (!resolved.empty() && resolved.back() == '/') {
        resolved.pop_back();
    }
    return g_realRootMap.emplace(rootPath, std::move(resolved)).first->second;
}

} // namespace vorn

std::string mmapedKVKey(const std::string &mmapID, const std::string *rootPath, bool isAbsolutePath) {
    if (isGlobalRoot(rootPath)) {
        return vorn::md5(vorn::realGlobalRootDir() + "/" + mmapID);
    }
    std::string path = *rootPath + "/" + mmapID;
    return vorn::md5(isAbsolutePath ? path : vorn::absolutePath(path));
}

std::string legacyMmapedKVKey(const std::string &mmapID, const std::string *rootPath) {
    if (rootPath && *rootPath != vorn::globalRootDir()) {
        return vorn::md5(*rootPath + "/" + mmapID);
    }
    return mmapID;
}

std::string mappedKVPathWithID(const std::string &mmapID, const std::string *rootPath, bool isAbsolutePath) {
    std::string path = vorn::storeDataPath(mmapID, rootPath, true);
    return isAbsolutePath || isGlobalRoot(rootPath) ? path : vorn::absolutePath(path);
}

std::string crcPathWithPath(const std::string &kvPath) { return kvPath + vorn::kMetaFileSuffix; }
