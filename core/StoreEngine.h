#pragma once

// The store engine behind VORN's public face: one instance per open store,
// made of parts (docs/ARCHITECTURE.md): DataStream (the data file),
// MetaRecord (the meta page), KeyIndex, ProcessSync (the locks), and, for a
// load and a rewrite, Loader and Compactor. The engine decides the order of
// every operation; the parts keep their own invariants.
//
// Ownership: the registry owns the engine, the engine owns its VORN handle
// and its parts. Locking: every public operation takes what it needs through
// a ReadGuard or WriteGuard (or, for the holds a caller keeps across calls,
// lock()/lock_thread()/shared_lock()); private functions state what they
// REQUIRE. Failure: results and one log line per refused operation; nothing
// throws past this class except allocation failures.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Compactor.h"
#include "core/DataStream.h"
#include "core/KeyIndex.h"
#include "core/MetaRecord.h"
#include "core/ProcessSync.h"
#include "core/Status.h"
#include "core/VORN.h"
#include "encoding/VornBuffer.h"
#include "log/VORNHandler.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

class VORNTestPeer;
class VORNMaintenanceTestPeer;

namespace vorn {

class OpenModeLock;

class StoreEngine {
public:
    // Opens nothing that waits: files are mapped and locks taken at the
    // first operation. Takes ownership of openModeLock (may be null).
    StoreEngine(const std::string &mmapID, const std::string &dataPath, const VORNConfig &config,
                const std::string &registryKey, OpenModeLock *openModeLock);
    ~StoreEngine();
    StoreEngine(const StoreEngine &) = delete;
    StoreEngine &operator=(const StoreEngine &) = delete;

    const std::string &mmapID() const { return m_mmapID; }
    const std::string &registryKey() const { return m_registryKey; }
    // The public handle the registry hands out; owned by this engine.
    VORN *handle() const { return m_handle; }
    // Unregisters and destroys this engine and its handle.
    void close();

    // ---- The instance operations of the public face, same contracts ----
    void clearMemoryCache(bool keepMmap = false);
    void sync(SyncFlag flag = SyncFlag::Sync);
    void checkContentChanged();
    void lock();
    void unlock();
    bool try_lock();
    void lock_thread();
    void unlock_thread();
    bool try_lock_thread();
    bool containsKey(std::string_view key);
    size_t count(bool filterExpire = false);
    std::vector<std::string> allKeys(bool filterExpire = false);
    size_t totalSize();
    size_t actualSize();
    bool removeValueForKey(std::string_view key);
    bool removeValuesForKeys(const std::vector<std::string> &keys);
    void shared_lock();
    void shared_unlock();
    bool enableAutoKeyExpire(uint32_t expiredInSeconds = 0);
    bool disableAutoKeyExpire();
    uint32_t getExpireTimeForKey(std::string_view key);
    bool enableCompareBeforeSet();
    bool disableCompareBeforeSet();
    static uint32_t safeExpirationPlusCurrentTime(uint32_t seconds);
    static uint32_t getCurrentTimeInSecond();
    void clearAll(bool keepSpace = false);
    void trim();
    bool reKey(const std::string &cryptKey, bool aes256 = false);
    void checkReSetCryptKey(const std::string *cryptKey, bool aes256 = false);
    std::string cryptKey() const;
    size_t importFrom(StoreEngine *src);
    bool isFileValid();
    static bool isFileValid(const std::string &mmapID, const std::string *rootPath = nullptr);
    static bool removeStorage(const std::string &mmapID, const std::string *rootPath = nullptr);
    static bool checkExist(const std::string &mmapID, const std::string *rootPath = nullptr);
    VORN::Inspection inspect();
    VornBuffer rawValue(std::string_view key);
    static bool backupOneToDirectory(const std::string &mmapID, const std::string &dstDir, const std::string *srcDir = nullptr);
    static bool restoreOneFromDirectory(const std::string &mmapID, const std::string &srcDir, const std::string *dstDir = nullptr);
    static size_t backupAllToDirectory(const std::string &dstDir, const std::string *srcDir = nullptr);
    static size_t restoreAllFromDirectory(const std::string &srcDir, const std::string *dstDir = nullptr);

    // ---- For the typed face (core/VORN_Typed.cpp) ----
    bool setPlainValue(std::string_view key, VornBuffer &&value, const uint32_t *expireDuration);
    bool setBytesValue(std::string_view key, const void *bytes, size_t length, const uint32_t *expireDuration);
    // The null-value setters: Ok when key was removed or absent; a refusal
    // (an empty key, a read-only or unusable store, a failed write) for the
    // caller to log with logRefusal (failed writes are logged already).
    Status removeForNullValue(std::string_view key);
    // Writes the log line of a refused operation, under `function`'s name.
    void logRefusal(const char *function, Status status) const;
    // Runs use(value bytes) under the thread lock and the shared
    // inter-process lock, after loading or refreshing; the bytes may borrow
    // from the mapping for the length of the call. Empty bytes: the key is
    // absent (or expired).
    template <typename Use> auto withValue(std::string_view key, Use use) {
        ReadGuard guard(m_sync);
        return use(getDataForKey(key));
    }

private:
    friend class ::VORN;
    friend class ::VORNTestPeer;

    // A record writer's result: success, and the entry of the new record.
    using WriteResult = std::pair<bool, IndexEntry>;

    // ---- Data file and meta bookkeeping (StoreEngine_Record.cpp) ----
    // Locks: the caller holds m_sync.threadLock() and the inter-process lock the operation
    // needs (shared to read, exclusive to write).

    // Item stream length: the meta record's (version 3 on), else the data
    // file's leading field (0 while the data file is not mapped).
    uint32_t readActualSize();
    // Records a new stream length and CRC (and optionally a new vector and a
    // sequence step) in memory and in the meta mapping. False, with nothing
    // written, for a read-only store or an unmapped meta file.
    bool writeActualSize(size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence);
    // As above, for a stream written under `streamCipher` (null: in clear),
    // which the check block then vouches for; a re-key records the new cipher.
    bool writeActualSize(size_t size, uint32_t crcDigest, const void *iv, bool increaseSequence,
                         const AESCrypt *streamCipher);
    // Rewrites an encrypted stream under a new vector before an append; false
    // (the append must not happen) when that rewrite fails.
    bool renewVectorBeforeAppend();
    // Records the stream's new length and CRC after an append (two 4-byte
    // fields of the meta mapping), and a check block when none is current.
    void recordAppendInMeta();

    // ---- Loading and recovery (StoreEngine_Load.cpp); the thread lock held ----
    void loadFromFile();
    void loadMetaInfoAndCheck();
    void checkFileHasDiskError();
    void partialLoadFromFile();
    // Maps the meta file again and moves the inter-process lock to its
    // (possibly new) descriptor, keeping the holds this process has.
    void reloadMetaFile();
    // ProcessSync's prepareHold: maps the meta file when it is not yet, so
    // that no hold is ever taken on a descriptor whose file is still to be
    // mapped. REQUIRES: the thread lock held.
    static void mapMetaBeforeHold(void *engine);
    // A rewrite that a dead process left half done: copies the new stream
    // from its complete journal, installs the record the journal names, and
    // removes the journal. True when the store now holds that stream. Only
    // for a writable store, under the exclusive lock, when the meta record
    // does not check out against the stream.
    bool finishInterruptedRewrite();

    // ---- Cross-process changes (StoreEngine_Refresh.cpp) ----
    // the thread lock held; takes the shared inter-process lock itself. A loaded
    // single-process store whose open config is applied has nothing to
    // check: no call.
    void refreshIfNeeded() {
        if (m_needLoadFromFile || isMultiProcess() || m_openConfigPending) {
            loadOrRefresh();
        }
    }
    // The work of refreshIfNeeded: the open config's switches (applyOpenConfig),
    // the first load, or the comparison with the shared meta record and the
    // reload it calls for.
    void loadOrRefresh();
    // Before a full load of a multi-process store: when another process has
    // removed the store (or put new files in its place), the files this one
    // maps are no longer the store's. Maps the meta file at the path again,
    // moving the inter-process lock with its holds, and unmaps the data file
    // so that the load maps the one at the path. False when no meta file
    // could be opened there (a read-only store of a removed store): the store
    // keeps the old, emptied record, loads nothing and looks again at its
    // next operation. REQUIRES: the thread lock held.
    bool reopenFilesIfReplaced();
    void notifyContentChanged();
    void notifyContentLoaded();
    bool isMultiProcess() const { return (m_mode & VORN_MULTI_PROCESS) != 0; }
    bool isReadOnly() const { return (m_mode & VORN_READ_ONLY) != 0; }

    // ---- Writing (StoreEngine_Write.cpp) ----
    // A value is stored as given (isDataHolder false) or with a varint
    // length in front (isDataHolder true: the data-holder form). This form
    // takes the locks (a WriteGuard) and refreshes itself.
    bool setDataForKey(VornBuffer &&data, std::string_view key, bool isDataHolder = false);
    // The same for a caller that holds `guard` and has refreshed under it:
    // a write takes each lock once. Refusals are logged here, once.
    bool setDataForKey(const WriteGuard &guard, VornBuffer &&data, std::string_view key, bool isDataHolder);
    // The byte-string form: the data-holder form, or, with expiry on, the
    // wrapped bytes plus the 4-byte expiry time of expireDuration seconds.
    bool setDataForKey(VornBuffer &&data, std::string_view key, uint32_t expireDuration);
    WriteResult appendDataWithKey(const VornBuffer &data, std::string_view key, bool isDataHolder);
    // roomMade: the caller has run checkRecordLimits and ensureMemorySize for
    // this very record under the exclusive lock it still holds.
    // cipherState (encrypted stores, values kept by position) receives the
    // cipher's state at the record's first byte.
    WriteResult doAppendDataWithKey(const VornBuffer &data, const VornBuffer &keyData, bool isDataHolder,
                                    uint32_t originKeyLength, bool roomMade = false,
                                    AESCryptStatus *cipherState = nullptr);
    bool checkSizeLimit(size_t size, const VornBuffer &keyData, uint32_t keyLength);
    // Appends a deletion record. REQUIRES: m_sync.threadLock() and the exclusive lock held.
    bool removeDataForKey(std::string_view key);
    // The stored value bytes (expiry suffix included); empty when absent.
    // Plain stores: borrowed from the mapping. REQUIRES: m_sync.threadLock() and the shared
    // lock held while the result is used.
    VornBuffer getRawDataForKey(std::string_view key);
    // getRawDataForKey without its refreshIfNeeded, for a caller that has run
    // that under the locks it still holds.
    VornBuffer lookupRawData(std::string_view key);
    // As getRawDataForKey, without the expiry suffix when expiry is on. Loads
    // or refreshes first: only the files say whether values carry an expiry
    // time (a first load, or another process switching expiry).
    VornBuffer getDataForKey(std::string_view key) {
        refreshIfNeeded();
        return m_enableKeyExpire ? getDataWithoutMTimeForKey(key) : lookupRawData(key);
    }
    // Refuses (logged) a record before any byte is written: a value of 2^31
    // bytes or more, or a key part (key length varint, key, value length
    // varint) of 65536 bytes or more, which no load could index.
    bool checkRecordLimits(const char *function, uint32_t originKeyLength, uint64_t dataSize, bool isDataHolder);
    // Whether both files are mapped and the store may be written.
    Status writeStatus() const;
    // writeStatus, with the refusal logged under `function`'s name.
    bool checkWritable(const char *function);
    // True for a read-only store, after logging "[<id>] file readonly" under
    // `function`'s name; taken before any lock.
    bool refuseReadOnly(const char *function);
    // refreshIfNeeded, then whether the data file is mapped (else logged
    // "[<id>] file not valid" under `function`'s name). m_sync.threadLock() and the
    // exclusive inter-process lock held.
    bool loadDataFile(const char *function);

    // ---- Expansion and full write-back (StoreEngine_Compact.cpp) ----
    // m_sync.threadLock() and the exclusive inter-process lock held (fullWriteback takes it).
    // newCrypter, the cipher of the rewritten stream: null for the store's own
    // (if any), clearCipherChoice() for a stream in clear, else that
    // cipher (re-keying). Any cipher starts a new random vector. A write-back
    // refuses a stream whose end would pass 4 GiB.
    bool ensureMemorySize(size_t newSize);
    // The file doubled (or more) around the stream as it stands, for a
    // record of newSize bytes: no rewrite, no new sequence.
    bool growInPlace(size_t newSize);
    // Doubles the file until lenNeeded + futureUsage fit (logged under
    // `function`'s name); false, with the index dropped when the mapping was
    // lost, when it could not grow.
    bool growFile(const char *function, size_t newSize, uint64_t lenNeeded, uint64_t futureUsage);
    bool expandAndWriteBack(size_t newSize, PreparedStream preparedData, bool needSync,
                            AESCrypt *newCrypter = nullptr);
    bool fullWriteback(AESCrypt *newCrypter = nullptr, bool onlyWhileExpire = false);
    bool doFullWriteBack(PreparedStream preparedData, AESCrypt *newCrypter, bool needSync);
    bool doFullWriteBack(std::vector<std::pair<std::string, VornBuffer>> &&pairs);
    // A failed remap left the data file unmapped: forget the index so that the
    // next access reloads (or fails cleanly), never reading a null mapping.
    void dropContentAfterUnmap();

    // The expiry time stored for a write of expireDuration seconds: 0 (never)
    // for 0, else now + duration, at most 0xFFFFFFFF.
    static uint32_t expireTimeForDuration(uint32_t expireDuration);
    // A copy of value with the 4-byte little-endian expiry time appended.
    static VornBuffer withExpireTime(const VornBuffer &value, uint32_t expireTime);
    // The checks shared by switching expiry on and off: contents loaded and
    // refreshed, both files valid, a stream that decodes (a rewrite from an
    // index left empty by an undecodable stream would destroy it). m_sync.threadLock() and
    // the exclusive inter-process lock held; `caller` names the operation in
    // the log lines.
    bool readyToSwitchExpiry(const char *caller);
    // A store that holds nothing needs no rewrite when its expiry flag
    // changes: writes the meta record alone and returns true (logged under
    // `caller`'s name, `writeBack` spelled as that caller's line spells it).
    // False, nothing done, when there are values to rewrite.
    bool recordExpiryFlagOfNewFile(const char *caller, const char *writeBack);
    // enableCompareBeforeSet and disableCompareBeforeSet; `caller` names the
    // operation in its log line.
    bool switchCompareBeforeSet(bool enable, const char *caller);

    // The expiry purge of count(true) and allKeys(true). the thread lock held.
    void purgeExpiredKeys();

    // ---- Key expiry (StoreEngine_Expiry.cpp) ----
    // Applies the config's enableKeyExpire (from applyOpenConfig); loads the store.
    void applyKeyExpireConfig(const VORNConfig &config);
    // Applies the expiry and compare-before-set switches of the config this
    // instance was opened with, once, at its first operation: they need the
    // store's inter-process lock, which an open never waits for.
    void applyOpenConfig();
    // The value without its expiry time; an expired key is deleted (a
    // deletion record is appended) and reads as empty. REQUIRES: the thread
    // lock and the shared lock held, refreshed under them (it takes the
    // exclusive one to delete). Borrowed results as getRawDataForKey.
    VornBuffer getDataWithoutMTimeForKey(std::string_view key);
    // Drops expired keys from the index (the files are not touched); returns
    // how many. the thread lock held; takes the shared lock.
    size_t filterExpiredKeys();

    // ---- Maintenance internals (StoreEngine_Maintenance.cpp, StoreEngine_Storage.cpp) ----

    // Whether key/aes256 make the same cipher key as m_crypter's. the thread lock held.
    bool isSameEffectiveKey(const std::string &key, bool aes256) const;
    // Makes `cipher` (null: none) the store's cipher and the index of that
    // mode the only one, after dropping the loaded contents. Takes ownership.
    // the thread lock held.
    void installCipher(AESCrypt *cipher);
    // reKey's rewrite: the stream compacted under `choice` (a new cipher the
    // store then owns, or clearCipherChoice() for a stream in clear),
    // the tail zeroed, the cipher installed. On failure a new cipher is
    // deleted and the store keeps its own.
    bool rewriteUnderCipher(AESCrypt *choice);

    // ---- Backup and restore internals (StoreEngine_Backup.cpp) ----
    // Each takes registryLock() for its whole run. mmapKey names the store in
    // messages and, unless compareFullPath, finds its open instance in the
    // registry; otherwise (or when that finds none) an open instance is
    // looked for by its data file.
    static bool backupOneToDirectory(const std::string &mmapKey, const std::string &dstPath, const std::string &srcPath,
                                     bool compareFullPath);
    static bool restoreOneFromDirectory(const std::string &mmapKey, const std::string &srcPath,
                                        const std::string &dstPath, bool compareFullPath);
    // Every store of `fromDir` and of its special-character directory into
    // `toDir` (a backup, or with `restoring` a restore); how many were copied.
    static size_t copyAllStores(const std::string &fromDir, const std::string &toDir, bool restoring);
    // The stores of `fromDir` alone; keys by file name with compareFullPath.
    static size_t copyStoresIn(const std::string &fromDir, const std::string &toDir, bool compareFullPath,
                               bool restoring);
    // The store is not open in this process: copy under file locks.
    static bool backupOneToDirectoryByFilePath(const std::string &mmapKey, const std::string &dstPath,
                                               const std::string &srcPath);
    static bool restoreOneFromDirectoryByFilePath(const std::string &mmapKey, const std::string &srcPath,
                                                  const std::string &dstPath, const VORNMetaInfo &record,
                                                  const MetaCheckBlock *backupBlock);
    // The open instance whose files are at `path` (the data file), or null.
    // registryLock() held.
    static StoreEngine *findOpenInstance(const std::string &mmapKey, const std::string &path, bool compareFullPath);


    const std::string m_registryKey;
    const std::string m_mmapID;
    const VORNMode m_mode;
    // Held on the data file from the open to the destructor; null when the
    // data file could not be opened for it (e.g. read-only, file missing).
    // Declared before the files, so that it is released after them: another
    // process may take the store in an incompatible mode only once nothing
    // of it is mapped here.
    std::unique_ptr<OpenModeLock> m_openModeLock;
    std::string m_path;
    std::string m_metaPath;
    KeyIndex m_index;

    const size_t m_expectedCapacity; // the data file's opening size, whole pages
    DataStream m_stream;
    MetaRecord m_meta;
    // After the meta file: its flock lives on the meta file's descriptor.
    mutable ProcessSync m_sync;

    bool m_needLoadFromFile;
    bool m_hasFullWriteback;

    AESCrypt *m_crypter;


    bool m_enableKeyExpire;
    uint32_t m_expiredInSeconds;
    bool m_enableCompareBeforeSet;
    std::optional<VORNRecoverStrategic> m_recover;
    uint32_t m_itemSizeLimit;
    bool m_hasCheckedDiskError;

    // The stream's CRC checked out but it does not decode (an encrypted store
    // opened with the wrong key, or a plain store opened with one): loaded
    // with no keys, and every write is refused so that the bytes survive,
    // until a load that decodes (after the key is set right) or a clear.
    bool m_streamUndecodable;

    // The check block says the key given is not the store's (or that a key
    // is missing or superfluous): nothing is loaded, writes are refused (via
    // m_streamUndecodable) until a matching key is set.
    bool m_keyMismatch = false;
    // The meta record disagrees with its check block and the host chose to
    // discard: the load trusts no stream.
    bool m_metaDamaged = false;
    // The encrypted stream's end moved back under its current vector (a
    // restore, a fallback to the last confirmed state, a salvage): the next
    // append first rewrites under a fresh vector, so that no key stream
    // position ever carries two different plaintexts.
    bool m_needFreshVector = false;

    // The open config's switches still to apply (applyOpenConfig).
    bool m_openConfigPending;
    std::optional<bool> m_openEnableKeyExpire;
    uint32_t m_openExpiredInSeconds;
    bool m_openCompareBeforeSet;

    VORN *m_handle = nullptr;
    friend class ::VORNMaintenanceTestPeer;
};

} // namespace vorn
