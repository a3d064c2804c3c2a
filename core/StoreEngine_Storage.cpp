#define VORN_LOG_SOURCE "VORN"

// The store's key as seen by a process that follows another one's re-key,
// and the operations on a store's files by id: validity, removal, existence.

#include "core/StoreEngine.h"
#include "core/StoreRegistry.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>

#include "core/VORNMetaInfo.h"
#include "core/VORNNaming.h"
#include "core/VORNRewriteJournal.h"
#include "core/VORNStorage.h"
#include "crypt/AESCrypt.h"
#include "encoding/LittleEndian.h"
#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
#include "platform/VORNFileUtil.h"

using namespace vorn;

namespace vorn {

void warnNoDefaultNameSpace() {
    _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, "defaultNameSpace", __LINE__,
                      "VORN has not been initialized, there's no default NameSpace.");
}

bool checkStoreRoot(const std::string *rootPath) {
    if (rootPath ? !rootPath->empty() : !vorn::globalRootDir().empty()) {
        return true;
    }
    warnNoDefaultNameSpace();
    return false;
}

std::pair<std::string, std::string> getStorage(const std::string &mmapID, const std::string *rootPath,
                                               std::string &outMmapKey) {
    const std::string &root = resolveRootPath(rootPath ? *rootPath : vorn::realGlobalRootDir());
    std::string dataPath = storeDataPath(mmapID, &root, false);
    outMmapKey = storeRegistryKey(dataPath);
    std::string metaPath = crcPathWithPath(dataPath);
    if (!isFileExist(dataPath)) {
        VORNInfo("file not exist %s", dataPath.c_str());
        dataPath.clear();
    }
    if (!isFileExist(metaPath)) {
        VORNInfo("crc file not exist %s", metaPath.c_str());
        metaPath.clear();
    }
    return {dataPath, metaPath};
}

} // namespace vorn

bool StoreEngine::isSameEffectiveKey(const std::string &key, bool aes256) const {
    if (!m_crypter || m_crypter->isAES256() != aes256) {
        return false;
    }
    const size_t length = m_crypter->keyLength();
    uint8_t current[kAES256KeyLength] = {};
    m_crypter->getKey(current);
    uint8_t wanted[kAES256KeyLength] = {};
    memcpy(wanted, key.data(), std::min(key.size(), length));
    return memcmp(current, wanted, length) == 0;
}

void StoreEngine::installCipher(AESCrypt *cipher) {
    // The index and the cipher's position belong to the old key: a write
    // through them would encrypt with a keystream positioned for another key.
    clearMemoryCache(false);
    delete m_crypter;
    m_crypter = cipher;
    m_index.becomeKind(m_crypter != nullptr);
}

void StoreEngine::checkReSetCryptKey(const std::string *cryptKey, bool aes256) {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    const bool wantsKey = cryptKey && !cryptKey->empty();
    if (m_crypter) {
        if (wantsKey) {
            if (isSameEffectiveKey(*cryptKey, aes256)) {
                return;
            }
            VORNInfo("setting new aes key");
            installCipher(new AESCrypt(cryptKey->data(), cryptKey->size(), nullptr, 0, aes256));
        } else {
            VORNInfo("reset aes key");
            installCipher(nullptr);
        }
    } else {
        if (!wantsKey) {
            return;
        }
        VORNInfo("setting new aes key");
        installCipher(new AESCrypt(cryptKey->data(), cryptKey->size(), nullptr, 0, aes256));
    }
    refreshIfNeeded();
}

std::string StoreEngine::cryptKey() const {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    if (!m_crypter) {
        return std::string();
    }
    char key[kAES256KeyLength] = {};
    m_crypter->getKey(key);
    return std::string(key, strnlen(key, m_crypter->keyLength()));
}

bool StoreEngine::isFileValid() {
    ScopedLock<ThreadLock> lock(m_sync.threadLock());
    return m_stream.isMapped();
}

namespace {

// The CRC check of a store's two files as they are on disk. The caller holds
// the store's shared inter-process lock, so no writer changes either file
// between the two reads.
bool storedStreamChecksOut(const std::string &dataPath, const std::string &metaPath) {
    std::unique_ptr<VornBuffer> data(readWholeFile(dataPath));
    std::unique_ptr<VornBuffer> meta(readWholeFile(metaPath));
    if (!meta) {
        // An empty meta file is one an open created and no operation has
        // filled in yet (the first one maps it as a page of zeros): it reads
        // as that page, a record of zeros.
        File metaFile(metaPath, OpenFlag::ReadOnly);
        if (metaFile.isFileValid() && metaFile.getActualFileSize() == 0) {
            meta = std::make_unique<VornBuffer>();
        }
    }
    if (!data || !meta) {
        return false;
    }
    // Every field is read only where the file has it: a cut meta or data
    // file is invalid, never read past.
    if (meta->size() != 0 && meta->size() < kFixed32Size) {
        return false;
    }
    const auto metaBytes = static_cast<const uint8_t *>(meta->data());
    const auto dataBytes = static_cast<const uint8_t *>(data->data());
    const uint32_t recorded = meta->size() == 0 ? 0 : decodeFixed32(metaBytes + offsetof(VORNMetaInfo, m_crcDigest));
    if (data->size() < kDataFileHeaderSize) {
        return recorded == 0;
    }
    size_t length = decodeFixed32(dataBytes);
    if (meta->size() >= kMetaInfoSize) {
        VORNMetaInfo info;
        info.read(metaBytes);
        if (info.m_version >= MetaVersionActualSize) {
            length = info.m_actualSize;
        }
    }
    if (length > data->size() - kDataFileHeaderSize) {
        return false;
    }
    return streamCRC32(0, dataBytes + kDataFileHeaderSize, length) == recorded;
}

// What the operations on a store by id need before they look for its files:
// the library set up, an id, and a root (warned about when missing).
bool canWorkOnStoreByID(const std::string &mmapID, const std::string *rootPath) {
    return registryLock() && !mmapID.empty() && checkStoreRoot(rootPath);
}

} // namespace

bool StoreEngine::isFileValid(const std::string &mmapID, const std::string *rootPath) {
    if (!canWorkOnStoreByID(mmapID, rootPath)) {
        return false;
    }
    // Writers hold the exclusive lock on the meta file while they change
    // either file: both are read under the shared one. The registry lock is
    // given up before that lock is waited for, so that opens of other stores
    // in this process do not wait for another process's lock() as well.
    std::pair<std::string, std::string> paths;
    StoreEngine *open = nullptr;
    {
        ScopedLock<ThreadLock> registry(registryLock());
        std::string key;
        paths = getStorage(mmapID, rootPath, key);
        if (paths.first.empty()) {
            return true;
        }
        if (paths.second.empty()) {
            return false;
        }
        open = findOpenInstance(key, paths.first, false);
        if (open) {
            // Held before the registry is let go: close() takes it before it
            // destroys the instance.
            open->m_sync.threadLock()->lock();
        }
    }
    if (open) {
        // Through the instance's own lock: this thread may hold it across
        // calls (lock()), and a second descriptor's flock would wait for
        // that hold forever.
        bool valid = false;
        {
            ScopedLock<InterProcessLock> shared(open->m_sync.sharedLock());
            valid = storedStreamChecksOut(paths.first, paths.second);
        }
        open->m_sync.threadLock()->unlock();
        return valid;
    }
    File metaFile(paths.second, OpenFlag::ReadOnly);
    if (!metaFile.isFileValid()) {
        return false;
    }
    FileLock fileLock(metaFile.getFd());
    fileLock.lock(LockType::Shared);
    const bool valid = storedStreamChecksOut(paths.first, paths.second);
    fileLock.destroyAndUnLock();
    return valid;
}

bool StoreEngine::removeStorage(const std::string &mmapID, const std::string *rootPath) {
    if (!canWorkOnStoreByID(mmapID, rootPath)) {
        return false;
    }
    ScopedLock<ThreadLock> lock(registryLock());
    std::string key;
    auto paths = getStorage(mmapID, rootPath, key);
    const std::string &dataPath = paths.first;
    const std::string &metaPath = paths.second;
    if (dataPath.empty() && metaPath.empty()) {
        return false;
    }
    VORNInfo("remove storage [%s]", mmapID.c_str());

    // Close this process's instance before taking the lock below: its own
    // holds (e.g. across lock()/unlock()) live on another descriptor of the
    // meta file, and flock would wait for them forever.
    if (openStores()) {
        auto found = openStores()->find(key);
        if (found != openStores()->end()) {
            found->second->close();
        }
    }

    if (metaPath.empty()) {
        deleteFile(dataPath);
        return true;
    }
    // Mapped through its own descriptor, which also carries the lock (a
    // second descriptor's flock would exclude this one). A meta file this
    // process may not write is still locked, through a read-only descriptor.
    MemoryFile metaMapping(metaPath, 0, false, false);
    std::unique_ptr<File> metaReadOnly;
    int metaFd = metaMapping.isFileValid() ? metaMapping.getFd() : -1;
    if (metaFd < 0) {
        metaReadOnly = std::make_unique<File>(metaPath, OpenFlag::ReadOnly);
        metaFd = metaReadOnly->getFd();
    }
    if (metaFd < 0) {
        if (!dataPath.empty()) {
            deleteFile(dataPath);
        }
        return true;
    }
    // Waits for every process inside an operation on the store.
    FileLock fileLock(metaFd);
    fileLock.lock(LockType::Exclusive);
    if (metaMapping.isFileValid() && metaMapping.getFileSize() >= kMetaInfoSize) {
        // Processes that keep the store open map this very page: a new
        // sequence sends each into a full reload at its next operation, where
        // it finds its files gone from the path and opens the ones there
        // instead of writing on into unlinked files. The size of 0 leaves
        // nothing to load for one that reads this record all the same.
        VORNMetaInfo record;
        record.read(metaMapping.getMemory());
        advanceMetaRecord(record, 0, 0, nullptr, true);
        record.write(metaMapping.getMemory());
    }
    if (!dataPath.empty()) {
        deleteFile(dataPath);
        // Removed before the meta file, whose lock keeps every writer out.
        RewriteJournalReader(dataPath).remove();
    }
    deleteFile(metaPath);
    fileLock.destroyAndUnLock();
    return true;
}

bool StoreEngine::checkExist(const std::string &mmapID, const std::string *rootPath) {
    if (!canWorkOnStoreByID(mmapID, rootPath)) {
        return false;
    }
    ScopedLock<ThreadLock> lock(registryLock());
    std::string key;
    auto paths = getStorage(mmapID, rootPath, key);
    return !paths.first.empty() && !paths.second.empty();
}
