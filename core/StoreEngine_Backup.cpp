#define VORN_LOG_SOURCE "VORN"

// Backup and restore: copying a store's two files between its root and a
// backup directory of the same layout. A store open in this process goes
// through its instance (synced and locked; a restore overwrites its files in
// place and reloads it); a store that is not open is copied under the
// inter-process lock of its meta file, the lock other processes take for
// every operation on it.
//
// Guards against destroying data: source and target are compared as
// directories whatever their spelling, and as files by identity (a copy of a
// file onto itself empties it); a backup's meta record is checked before any
// file of the store is touched; a restore never creates or changes anything
// in the backup directory.

#include "core/StoreEngine.h"
#include "core/StoreRegistry.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "core/VORNMetaInfo.h"
#include "core/VORNNaming.h"
#include "core/VORNRewriteJournal.h"
#include "core/VORNStorage.h"
#include "encoding/LittleEndian.h"
#include "encoding/VornBuffer.h"
#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/OpenModeLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
#include "platform/VORNFileUtil.h"

using namespace vorn;

namespace {

bool endsWith(const std::string &str, const std::string &suffix) {
    return str.size() >= suffix.size() && str.compare(str.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The part of a path after its last "/", or the whole path.
std::string filename(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether two paths name one existing file or directory (same device and
// inode: hard links, symbolic links and bind mounts included).
bool isSameFile(const std::string &left, const std::string &right) {
    std::error_code error;
    const bool same = std::filesystem::equivalent(left, right, error);
    return !error && same;
}

std::string normalDirectory(const std::string &path) {
    std::string resolved = absolutePath(path);
    while (resolved.size() > 1 && resolved.back() == '/') {
        resolved.pop_back();
    }
    return resolved;
}

// One directory in two spellings ("data", "data/", "./data", a symbolic
// link, an absolute path), whether or not it exists yet.
bool isSameDirectory(const std::string &left, const std::string &right) {
    return left == right || isSameFile(left, right) || normalDirectory(left) == normalDirectory(right);
}

// Where a backup directory keeps the data file of mmapID: the store-root
// layout, computed without creating the "specialCharacter" directory there.
std::string backupDataPath(const std::string &mmapID, const std::string &dir) {
    if (needsHashedName(mmapID)) {
        return dir + "/" + kSpecialCharacterDirectory + "/" + md5(mmapID);
    }
    return dir + "/" + mmapID;
}

// The backup's meta record, if it can be restored: a readable meta file
// holding a whole record of a known version whose stream length fits the
// backup's data file.
// A rewrite journal travels with its store's files: a copy taken while a dead
// process's journal is waiting needs it to finish that rewrite, and a
// destination must not keep one that belongs to the files it held before.
bool carryRewriteJournal(const std::string &srcPath, const std::string &dstPath) {
    const std::string source = rewriteJournalPath(srcPath);
    const std::string target = rewriteJournalPath(dstPath);
    if (isFileExist(source)) {
        return copyFile(source, target);
    }
    if (isFileExist(target)) {
        deleteFile(target);
    }
    return true;
}

bool readBackupRecord(const std::string &mmapKey, const std::string &srcPath, VORNMetaInfo &record,
                      MetaCheckBlock &block, bool &hasBlock) {
    File dataFile(srcPath, OpenFlag::ReadOnly);
    if (!dataFile.isFileValid()) {
        return false; // logged by File
    }
    const size_t dataSize = dataFile.getActualFileSize();
    const std::string metaPath = crcPathWithPath(srcPath);
    std::unique_ptr<VornBuffer> meta(readWholeFile(metaPath));
    bool usable = meta && meta->size() >= kMetaInfoSize && dataSize >= kDataFileHeaderSize;
    if (usable) {
        record.read(meta->data());
        hasBlock = readCheckBlock(meta->data(), meta->size(), block) && block.sequence == record.m_sequence &&
                   block.recordCRC == recordFieldsCRC(record);
        usable = record.m_version < MetaVersionSpecious &&
                 (record.m_version < MetaVersionActualSize || record.m_actualSize <= dataSize - kDataFileHeaderSize);
    }
    if (!usable) {
        _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, "restoreOneFromDirectory", __LINE__,
                          "vorn[%s]: backup meta file [%s] holds no usable record, nothing restored", mmapKey.c_str(),
                          metaPath.c_str());
    }
    return usable;
}

// Puts the backup's record over a store's mapped meta page under a sequence
// past the live one: every process that has the store open has loaded the
// live sequence or an older one, so each of them reloads in full, whatever
// the backup's own sequence, size and CRC happen to be.
//
// The check block that follows says what the backup's own block said of the
// key (unknown without one) and asks for a fresh vector: the live stream may
// have run past the backup's end under the same vector, so an encrypted
// store must not append there under it again.
void writeRestoredRecord(void *page, size_t pageSize, const VORNMetaInfo &record, const MetaCheckBlock *backupBlock) {
    VORNMetaInfo restored = record;
    restored.m_sequence = decodeFixed32(static_cast<const uint8_t *>(page) + offsetof(VORNMetaInfo, m_sequence)) + 1;
    restored.write(page);
    if (pageSize < kMetaWithCheckBlockSize) {
        return;
    }
    MetaCheckBlock block = makeCheckBlock(restored, nullptr, CheckBlockFreshVectorNeeded);
    if (backupBlock) {
        block.keyState = backupBlock->keyState;
        memcpy(block.keyCheck, backupBlock->keyCheck, sizeof(block.keyCheck));
    } else {
        block.keyState = CheckKeyUnknown;
    }
    sealCheckBlock(block);
    memcpy(static_cast<uint8_t *>(page) + kCheckBlockOffset, &block, sizeof(block));
}

} // namespace

StoreEngine *StoreEngine::findOpenInstance(const std::string &mmapKey, const std::string &path, bool compareFullPath) {
    if (!openStores()) {
        return nullptr;
    }
    if (!compareFullPath) {
        auto found = openStores()->find(mmapKey);
        if (found != openStores()->end()) {
            return found->second;
        }
    }
    // By the data file itself, so that no spelling of the path lets a copy
    // go around an instance that maps the file.
    for (auto &pair : *openStores()) {
        if (pair.second->m_path == path || isSameFile(pair.second->m_path, path)) {
            return pair.second;
        }
    }
    return nullptr;
}

// ---- One store ----

bool StoreEngine::backupOneToDirectory(const std::string &mmapID, const std::string &dstDir, const std::string *srcDir) {
    if (mmapID.empty() || dstDir.empty() || !checkStoreRoot(srcDir)) {
        return false;
    }
    const std::string &root = srcDir ? *srcDir : vorn::realGlobalRootDir();
    if (isSameDirectory(root, dstDir)) {
        return true;
    }
    mkPath(dstDir);
    // Only the directory is resolved: a symbolic link planted at the file's
    // own name must be replaced by the copy, not followed to a file elsewhere.
    const std::string dstRoot = absolutePath(dstDir);
    const std::string dstPath = mappedKVPathWithID(mmapID, &dstRoot, true);
    const std::string &resolved = resolveRootPath(root);
    const std::string srcPath = mappedKVPathWithID(mmapID, &resolved, true);
    const std::string mmapKey = storeRegistryKey(srcPath);
    return backupOneToDirectory(mmapKey, dstPath, srcPath, false);
}

bool StoreEngine::restoreOneFromDirectory(const std::string &mmapID, const std::string &srcDir, const std::string *dstDir) {
    if (mmapID.empty() || srcDir.empty() || !checkStoreRoot(dstDir)) {
        return false;
    }
    const std::string &root = dstDir ? *dstDir : vorn::realGlobalRootDir();
    if (isSameDirectory(root, srcDir)) {
        return true;
    }
    mkPath(root);
    const std::string &resolved = resolveRootPath(root);
    const std::string srcPath = backupDataPath(mmapID, srcDir);
    const std::string dstPath = mappedKVPathWithID(mmapID, &resolved, true);
    const std::string mmapKey = storeRegistryKey(dstPath);
    return restoreOneFromDirectory(mmapKey, srcPath, dstPath, false);
}

bool StoreEngine::backupOneToDirectory(const std::string &mmapKey, const std::string &dstPath, const std::string &srcPath,
                                bool compareFullPath) {
    if (!registryLock()) {
        return false;
    }
    ScopedLock<ThreadLock> registry(registryLock());
    StoreEngine *vorn = findOpenInstance(mmapKey, srcPath, compareFullPath);
    if (isSameFile(vorn ? vorn->m_path : srcPath, dstPath)) {
        return true; // the backup is the store itself
    }
    if (!vorn) {
        return backupOneToDirectoryByFilePath(mmapKey, dstPath, srcPath);
    }

    VORNInfo("backup one cached vorn[%s] from [%s] to [%s]", mmapKey.c_str(), srcPath.c_str(), dstPath.c_str());
    ReadGuard guard(vorn->m_sync);
    vorn->sync(SyncFlag::Sync);
    const bool ret = copyFile(vorn->m_path, dstPath) && copyFile(vorn->m_metaPath, crcPathWithPath(dstPath)) &&
                     carryRewriteJournal(vorn->m_path, dstPath);
    VORNInfo("finish backup one vorn[%s], ret: %d", mmapKey.c_str(), ret ? 1 : 0);
    return ret;
}

bool StoreEngine::backupOneToDirectoryByFilePath(const std::string &mmapKey, const std::string &dstPath,
                                          const std::string &srcPath) {
    File dataFile(srcPath, OpenFlag::ReadOnly);
    if (!dataFile.isFileValid()) {
        return false;
    }
    VORNInfo("backup one vorn[%s] from [%s] to [%s]", mmapKey.c_str(), srcPath.c_str(), dstPath.c_str());
    const std::string srcMetaPath = crcPathWithPath(srcPath);
    File metaFile(srcMetaPath, OpenFlag::ReadOnly);
    if (!metaFile.isFileValid()) {
        return false; // no meta file: nothing worth a backup
    }
    // Writers in other processes hold the meta file's lock exclusively: the
    // shared lock keeps them from tearing the copy. The data file's lock holds
    // off a process that is creating or growing the file right now.
    FileLock metaLock(metaFile.getFd());
    metaLock.lock(LockType::Shared);
    FileLock dataLock(dataFile.getFd());
    dataLock.lock(LockType::Shared);
    const bool ret = copyFile(srcPath, dstPath) && copyFile(srcMetaPath, crcPathWithPath(dstPath)) &&
                     carryRewriteJournal(srcPath, dstPath);
    VORNInfo("finish backup one vorn[%s]", mmapKey.c_str());
    dataLock.destroyAndUnLock();
    metaLock.destroyAndUnLock();
    return ret;
}

bool StoreEngine::restoreOneFromDirectory(const std::string &mmapKey, const std::string &srcPath, const std::string &dstPath,
                                   bool compareFullPath) {
    if (!registryLock()) {
        return false;
    }
    ScopedLock<ThreadLock> registry(registryLock());
    StoreEngine *vorn = findOpenInstance(mmapKey, dstPath, compareFullPath);
    if (isSameFile(srcPath, vorn ? vorn->m_path : dstPath)) {
        return true; // the backup is the store itself
    }
    VORNMetaInfo record;
    MetaCheckBlock backupBlock;
    bool hasBlock = false;
    if (!readBackupRecord(mmapKey, srcPath, record, backupBlock, hasBlock)) {
        return false;
    }
    const MetaCheckBlock *block = hasBlock ? &backupBlock : nullptr;
    if (!vorn) {
        return restoreOneFromDirectoryByFilePath(mmapKey, srcPath, dstPath, record, block);
    }

    VORNInfo("restore one cached vorn[%s] from [%s] to [%s]", mmapKey.c_str(), srcPath.c_str(), dstPath.c_str());
    ScopedLock<ThreadLock> lock(vorn->m_sync.threadLock());
    if (!vorn->m_meta.isMapped()) {
        // Not mapped yet (no operation so far). Mapped before the hold is
        // taken: mapping takes and drops a flock on the hold's descriptor.
        vorn->reloadMetaFile();
    }
    ScopedLock<InterProcessLock> exclusive(vorn->m_sync.exclusiveLock());
    vorn->sync(SyncFlag::Sync);
    bool ret = false;
    if (vorn->isReadOnly()) {
        VORNWarning("[%s] file readonly", vorn->m_mmapID.c_str());
    } else if (!vorn->m_meta.holdsRecord()) {
        // The data file is not touched unless its record can follow it.
        VORNError("file [%s] not valid", vorn->m_metaPath.c_str());
    } else {
        const int fd = vorn->m_stream.file().getFd();
        {
            // Holds off a process that is creating or growing the file.
            FileLock dataLock(fd);
            dataLock.lock(LockType::Exclusive);
            ret = copyFileContent(srcPath, fd);
            dataLock.destroyAndUnLock();
        }
        vorn->m_stream.file().cleanMayflyFD();
        if (ret) {
            writeRestoredRecord(vorn->m_meta.page(), vorn->m_meta.pageSize(), record, block);
            vorn->m_meta.file().msync(SyncFlag::Sync);
            ret = carryRewriteJournal(srcPath, vorn->m_path);
        }
    }
    // The data file may have a new length under the old mapping: unmap it
    // (also when the contents were never loaded) before anything reads it.
    vorn->clearMemoryCache(false);
    vorn->m_stream.file().doCleanMemoryCache();
    vorn->loadFromFile();
    if (vorn->isMultiProcess()) {
        vorn->notifyContentChanged();
    }
    VORNInfo("finish restore one vorn[%s], ret: %d", mmapKey.c_str(), ret ? 1 : 0);
    return ret;
}

bool StoreEngine::restoreOneFromDirectoryByFilePath(const std::string &mmapKey, const std::string &srcPath,
                                             const std::string &dstPath, const VORNMetaInfo &record,
                                             const MetaCheckBlock *backupBlock) {
    // A single-process opener elsewhere maps the files and relies on no one
    // else touching them: checked before anything is touched, and held
    // through the copy so that none starts meanwhile.
    OpenModeLock modeLock;
    if (modeLock.acquire(dstPath, false, false) == OpenModeLock::Result::Conflict) {
        VORNError("[%s] is open in another process in single-process mode", dstPath.c_str());
        return false;
    }
    // Mapped through its own descriptor, which also carries the lock: a
    // second descriptor's flock would exclude this one.
    MemoryFile metaFile(crcPathWithPath(dstPath), 0, false, false);
    if (!metaFile.isFileValid() || metaFile.getFileSize() < kMetaInfoSize) {
        return false;
    }
    VORNInfo("restore one vorn[%s] from [%s] to [%s]", mmapKey.c_str(), srcPath.c_str(), dstPath.c_str());
    // The lock open instances in other processes take for every operation.
    FileLock metaLock(metaFile.getFd());
    metaLock.lock(LockType::Exclusive);
    bool ret = false;
    {
        File dataFile(dstPath, OpenFlag::ReadWrite | OpenFlag::Create);
        if (dataFile.isFileValid()) {
            // Rewritten in place, never emptied first; its lock holds off a
            // process that is creating or growing the file.
            FileLock dataLock(dataFile.getFd());
            dataLock.lock(LockType::Exclusive);
            ret = copyFileContent(srcPath, dataFile.getFd());
            dataLock.destroyAndUnLock();
        }
    }
    if (ret) {
        writeRestoredRecord(metaFile.getMemory(), metaFile.getFileSize(), record, backupBlock);
        metaFile.msync(SyncFlag::Sync);
        ret = carryRewriteJournal(srcPath, dstPath);
    }
    VORNInfo("finish restore one vorn[%s]", mmapKey.c_str());
    metaLock.destroyAndUnLock();
    return ret;
}

// ---- Every store of a directory ----

namespace {

// The stores of `dir`: its regular files that have a ".crc" companion; a data
// file without one is logged and left out. `function` names the caller in
// that message.
std::vector<std::string> storeFilesIn(const std::string &dir, const char *function) {
    std::unordered_set<std::string> dataPaths;
    std::unordered_set<std::string> metaPaths;
    walkInDir(dir, WalkType::RegularFile, [&](const std::string &path, WalkType) {
        if (endsWith(path, kRewriteJournalSuffix)) {
            return; // travels with its store (carryRewriteJournal)
        }
        if (endsWith(path, kMetaFileSuffix)) {
            metaPaths.insert(path);
        } else {
            dataPaths.insert(path);
        }
    });
    std::vector<std::string> stores;
    for (const std::string &path : dataPaths) {
        const std::string metaPath = crcPathWithPath(path);
        if (metaPaths.count(metaPath) == 0) {
            _VORNLogWithLevel(VORNLogWarning, VORN_LOG_SOURCE, function, __LINE__, "crc not exist [%s]",
                              metaPath.c_str());
            continue;
        }
        stores.push_back(path);
    }
    return stores;
}

} // namespace

size_t StoreEngine::backupAllToDirectory(const std::string &dstDir, const std::string *srcDir) {
    if (dstDir.empty() || !checkStoreRoot(srcDir)) {
        return 0;
    }
    const std::string &root = srcDir ? *srcDir : vorn::realGlobalRootDir();
    if (isSameDirectory(root, dstDir)) {
        return 1;
    }
    return copyAllStores(root, dstDir, false);
}

size_t StoreEngine::restoreAllFromDirectory(const std::string &srcDir, const std::string *dstDir) {
    if (srcDir.empty() || !checkStoreRoot(dstDir)) {
        return 0;
    }
    const std::string &root = dstDir ? *dstDir : vorn::realGlobalRootDir();
    if (isSameDirectory(root, srcDir)) {
        return 1;
    }
    return copyAllStores(srcDir, root, true);
}

size_t StoreEngine::copyAllStores(const std::string &fromDir, const std::string &toDir, bool restoring) {
    size_t count = copyStoresIn(fromDir, toDir, false, restoring);
    const std::string specialDir = fromDir + "/" + kSpecialCharacterDirectory;
    if (isFileExist(specialDir)) {
        count += copyStoresIn(specialDir, toDir + "/" + kSpecialCharacterDirectory, true, restoring);
    }
    return count;
}

size_t StoreEngine::copyStoresIn(const std::string &fromDir, const std::string &toDir, bool compareFullPath, bool restoring) {
    const std::vector<std::string> stores =
        storeFilesIn(fromDir, restoring ? "restoreAllFromDirectory" : "backupAllToDirectory");
    if (stores.empty()) {
        return 0;
    }
    mkPath(toDir);
    // The registry key is the one the store has (or will have) where it is
    // opened: at the source of a backup, at the target of a restore.
    const std::string &storeDir = restoring ? toDir : fromDir;
    size_t count = 0;
    for (const std::string &path : stores) {
        const std::string name = filename(path);
        const std::string mmapKey = compareFullPath ? name : storeRegistryKey(resolveRootPath(storeDir) + "/" + name);
        const std::string target = toDir + "/" + name;
        const bool copied = restoring ? restoreOneFromDirectory(mmapKey, path, target, compareFullPath)
                                      : backupOneToDirectory(mmapKey, target, path, compareFullPath);
        count += copied ? 1 : 0;
    }
    return count;
}
