#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "encoding/VornBuffer.h"
#include "log/VORNHandler.h"

// Internal types the private part names only through pointers and
// declarations: the public header needs none of their headers (nor OpenSSL's).
namespace vorn {
struct IndexEntry;
struct CryptIndexEntry;
template <typename Holder> class VornIndex;
using VORNMap = VornIndex<IndexEntry>;
using VORNMapCrypt = VornIndex<CryptIndexEntry>;
class MemoryFile;
class AESCrypt;
class CodedOutputData;
class FileLock;
class InterProcessLock;
class OpenModeLock;
class ThreadLock;
struct VORNMetaInfo;
struct MetaCheckBlock;
class NameSpace;
} // namespace vorn

// Mode bits of an open; every other bit is ignored.
enum VORNMode : uint32_t {
    VORN_SINGLE_PROCESS = 0x1,
    // Inter-process file locks are active and every operation first checks
    // whether another process changed the store.
    VORN_MULTI_PROCESS = 0x2,
    // Both files are opened and mapped read-only; modifying operations are
    // refused with "[<id>] file readonly".
    VORN_READ_ONLY = 0x20,
};

// Options of an open. Pointers are borrowed for the duration of the call.
struct VORNConfig {
    VORNMode mode = VORN_SINGLE_PROCESS;
    bool aes256 = false;                         // 32-byte key (AES-256) instead of 16 (AES-128)
    const std::string *cryptKey = nullptr;       // null or empty: a plain store
    const std::string *rootPath = nullptr;       // null: the global root
    size_t expectedCapacity = 0;                 // wished initial data file size, bytes
    std::optional<bool> enableKeyExpire;         // set: switch per-key expiry on or off at open
    uint32_t expiredInSeconds = 0;               // default expiry when enableKeyExpire is true
    bool enableCompareBeforeSet = false;         // skip writes of unchanged values
    std::optional<VORNRecoverStrategic> recover; // set: fixed answer to damage, overriding the handler
    uint32_t itemSizeLimit = 0;                  // largest encoded item a write accepts; 0 = no limit
};

// One persistent key-value store: a memory-mapped data file holding an
// append-only stream of records, and a meta file holding its 112-byte record.
//
// Ownership: the process-wide registry owns every instance; there is one per
// store (id + root) per process, shared by every caller, alive until close()
// or onExit(). Never delete an instance yourself.
//
// Locking: every operation takes the instance's recursive thread lock, then
// (multi-process stores only) the shared or exclusive flock on the meta file.
// Host callbacks run on the calling thread with those locks held.
//
// Failures are results (false, null, default values) plus a log line; the
// store does not throw, except that allocation failures while opening
// propagate.
//
// Sharp edges:
// - A VornBuffer that borrows from the store is valid only under the store's
//   lock and until its next write.
// - Don't use a store across fork(): a child shares the parent's flock state
//   (flock locks belong to the open file description), so the locks no longer
//   exclude the two processes. Open stores in the child after the fork.
// - Network file systems are not supported (flock and shared mappings).
class VORN_EXPORT VORN {
public:
    // Process set-up. The first call fixes the global root (later roots are
    // ignored); every call sets the log level and the handler (borrowed).
    static void initializeVORN(const std::string &rootDir, VORNLogLevel logLevel = VORNLogInfo,
                               vorn::VORNHandler *handler = nullptr);

    // The root passed to the first initializeVORN, unresolved.
    static const std::string &getRootDir();

    // Open (or find the open instance of) a store. Returns null for an empty
    // id, before the library is initialised (initializeVORN or nameSpace),
    // after onExit, and when no root is given and no global root was set.
    // A store that is already open is returned as it is: the config of the
    // second call is ignored entirely.
    static VORN *vornWithID(const std::string &mmapID, const VORNConfig &config);
    static VORN *vornWithID(const std::string &mmapID, VORNMode mode = VORN_SINGLE_PROCESS,
                            const std::string *cryptKey = nullptr, const std::string *rootPath = nullptr,
                            size_t expectedCapacity = 0, bool aes256 = false);
    // The store "vorn.default".
    static VORN *defaultVORN(const VORNConfig &config);
    static VORN *defaultVORN(VORNMode mode = VORN_SINGLE_PROCESS, const std::string *cryptKey = nullptr,
                             bool aes256 = false);
    // Last step of every open; the config's rootPath must already be resolved.
    static VORN *getVORNWithID(const std::string &mmapID, const VORNConfig &config);

    // A handle on a root other than the global one, resolved once per spelling.
    static vorn::NameSpace nameSpace(const std::string &rootPath);
    // The global root; without initializeVORN it logs a warning and refers to
    // an empty root, whose opens are refused.
    static vorn::NameSpace defaultNameSpace();

    // Flush every open store to disk and destroy it. Opens fail afterwards.
    static void onExit();

    static void setLogLevel(VORNLogLevel level);
    static void registerHandler(vorn::VORNHandler *handler);
    static void unRegisterHandler();

    const std::string &mmapID() const { return m_mmapID; }

    // Unregister and destroy this instance; the pointer is invalid afterwards.
    void close();

    // Forget the loaded contents; the next access reloads from disk. Unless
    // keepMmap, the data file is unmapped too.
    void clearMemoryCache(bool keepMmap = false);

    // Flush both mapped files (Sync waits for the disk). Does nothing while the
    // contents are not loaded.
    void sync(vorn::SyncFlag flag = vorn::SyncFlag::Sync);

    // Loads the store if it is not loaded yet, or applies what another process
    // changed since this process last looked (multi-process stores); the
    // handler hears onContentLoaded / onContentChanged.
    void checkContentChanged();

    // The exclusive inter-process lock, held across calls: between lock() and
    // unlock() no other process reads or writes the store, while this
    // process's own operations go on (they take the lock again, recursively).
    // Each call holds the thread lock only while it runs. Single-process
    // stores: lock() and unlock() do nothing and try_lock() returns false.
    // try_lock() does not wait. A child forked while a lock is held shares it
    // (see the note on fork above).
    void lock();
    void unlock();
    bool try_lock();

    // The instance's recursive thread lock itself, held across calls.
    void lock_thread();
    void unlock_thread();
    bool try_lock_thread();

    // ==== Typed values (VORN_Typed.cpp) ====
    //
    // Values carry no type tag: read a key with the getter that matches its
    // setter. Value bytes: bool 1 byte (01/00); integers as varints (a
    // negative int32 or int64 takes 10 bytes); float and double 4 and 8 bytes
    // little-endian; strings and buffers as varint length + bytes; a list of
    // strings as varint total length, then each string as varint length +
    // bytes. With expiry on, 4 more bytes (the expiry time) follow, which no
    // getter ever returns.
    //
    // Keys are borrowed for the call; an empty key is refused everywhere.
    //
    // Setters return true when the value was stored; false (with the store's
    // log line) for an empty key, a read-only or unusable store, or a record
    // beyond the size limits. The forms without expireDuration use the
    // store's default duration (enableAutoKeyExpire; 0 = never expires);
    // expireDuration is in seconds from now, 0 = never. The duration only
    // counts while expiry is on. Scalars and values of up to 16 bytes are
    // written without heap allocation.
    bool set(bool value, std::string_view key);
    bool set(bool value, std::string_view key, uint32_t expireDuration);
    bool set(int32_t value, std::string_view key);
    bool set(int32_t value, std::string_view key, uint32_t expireDuration);
    bool set(uint32_t value, std::string_view key);
    bool set(uint32_t value, std::string_view key, uint32_t expireDuration);
    bool set(int64_t value, std::string_view key);
    bool set(int64_t value, std::string_view key, uint32_t expireDuration);
    bool set(uint64_t value, std::string_view key);
    bool set(uint64_t value, std::string_view key, uint32_t expireDuration);
    bool set(float value, std::string_view key);
    bool set(float value, std::string_view key, uint32_t expireDuration);
    bool set(double value, std::string_view key);
    bool set(double value, std::string_view key, uint32_t expireDuration);
    // A null value removes the key: true when it was removed or was not
    // there, false when the store refused the removal (an empty key, a
    // read-only or unusable store, a failed write).
    bool set(const char *value, std::string_view key);
    bool set(const char *value, std::string_view key, uint32_t expireDuration);
    bool set(const std::string &value, std::string_view key);
    bool set(const std::string &value, std::string_view key, uint32_t expireDuration);
    bool set(std::string_view value, std::string_view key);
    bool set(std::string_view value, std::string_view key, uint32_t expireDuration);
    bool set(const vorn::VornBuffer &value, std::string_view key);
    bool set(const vorn::VornBuffer &value, std::string_view key, uint32_t expireDuration);
    bool set(const std::vector<std::string> &value, std::string_view key);
    bool set(const std::vector<std::string> &value, std::string_view key, uint32_t expireDuration);

    // Scalar getters: the stored value, or defaultValue when the key is empty,
    // absent, expired or not decodable as the type (the last one logged at
    // error level). *hasValue (when given) says whether the value was found
    // and decoded. Bytes after the value are ignored.
    bool getBool(std::string_view key, bool defaultValue = false, bool *hasValue = nullptr);
    int32_t getInt32(std::string_view key, int32_t defaultValue = 0, bool *hasValue = nullptr);
    uint32_t getUInt32(std::string_view key, uint32_t defaultValue = 0, bool *hasValue = nullptr);
    int64_t getInt64(std::string_view key, int64_t defaultValue = 0, bool *hasValue = nullptr);
    uint64_t getUInt64(std::string_view key, uint64_t defaultValue = 0, bool *hasValue = nullptr);
    float getFloat(std::string_view key, float defaultValue = 0, bool *hasValue = nullptr);
    double getDouble(std::string_view key, double defaultValue = 0, bool *hasValue = nullptr);

    // String, buffer and list getters: true with the value in `result`;
    // false with `result` unchanged when the key is empty, absent, expired or
    // not decodable (logged). inplaceModification reuses result's storage.
    bool getString(std::string_view key, std::string &result, bool inplaceModification = true);
    bool getBytes(std::string_view key, vorn::VornBuffer &result);
    // An owned copy; empty when absent or not decodable.
    vorn::VornBuffer getBytes(std::string_view key);
    bool getVector(std::string_view key, std::vector<std::string> &result);

    // The stored value's size in bytes (without an expiry time). With
    // actualSize, a string or buffer value counts without its length prefix.
    // 0 for an absent key (an actualSize query also logs the failed decode).
    size_t getValueSize(std::string_view key, bool actualSize);
    // Copies the value (a string or buffer without its length prefix) to ptr
    // and returns its size; -1, with nothing written, when the key is empty or
    // absent, the value does not decode, or it does not fit in `size` bytes.
    int32_t writeValueToBuffer(std::string_view key, void *ptr, int32_t size);

    // Whether key holds a value (an expired one is deleted and counts as absent).
    bool containsKey(std::string_view key);
    // Keys in the store. With filterExpire (and expiry on), expired keys are
    // dropped first, which rewrites the data file when any had expired.
    size_t count(bool filterExpire = false);
    std::vector<std::string> allKeys(bool filterExpire = false);
    // The data file's mapped size, and the bytes its records take.
    size_t totalSize();
    size_t actualSize();

    // Appends a deletion record. False for an empty or absent key, or a
    // read-only store.
    bool removeValueForKey(std::string_view key);
    // Several keys at once: one rewrite of the data file instead of one
    // deletion record per key. True when nothing was to be removed.
    bool removeValuesForKeys(const std::vector<std::string> &keys);

    // The thread lock plus the shared inter-process lock, held across calls
    // so that several reads see one state and no other process writes in
    // between. Pair them on one thread. A write by this process in between
    // has to turn the shared lock into an exclusive one, and another process
    // may get in while it waits.
    void shared_lock();
    void shared_unlock();

    // ==== Key expiry and compare-before-set (VORN_Expiry.cpp) ====
    //
    // Expiry is a property of the store's files (a meta flag every process and
    // later open sees): while on, every value ends with a 4-byte expiry time,
    // reads hide and delete expired values, and compactions drop them.
    // Switching it on or off rewrites every value (a new sequence).
    // Compare-before-set belongs to this object only: a write of the value
    // already stored is skipped. It is never combined with expiry or
    // encryption.

    // Switches expiry on, or (when already on) only sets the default duration
    // for setters given none; existing values get now + expiredInSeconds (or
    // 0, never, for 0). Switches compare-before-set off. False (logged) for a
    // read-only or unusable store, or when the rewrite fails.
    bool enableAutoKeyExpire(uint32_t expiredInSeconds = 0);
    // Switches expiry off; expired keys and values too short to carry an
    // expiry time are dropped by the rewrite. Resets the default duration.
    bool disableAutoKeyExpire();
    // The expiry time stored for key (seconds since the epoch); 0 when it
    // never expires, is absent, or expiry is off.
    uint32_t getExpireTimeForKey(std::string_view key);
    // False, with nothing changed, for an encrypted store or with expiry on.
    bool enableCompareBeforeSet();
    bool disableCompareBeforeSet();

    // now + seconds, at most 0xFFFFFFFF.
    static uint32_t safeExpirationPlusCurrentTime(uint32_t seconds);
    // Seconds since the Unix epoch, as expiry times count them.
    static uint32_t getCurrentTimeInSecond();

    // ==== Maintenance (VORN_Maintenance.cpp, VORN_Storage.cpp) ====
    // The instance operations hold the thread lock and (multi-process stores)
    // the exclusive inter-process lock for their whole run. Every rewrite
    // starts a new sequence, so other processes reload (and remap) before
    // their next operation. Read-only stores refuse with "[<id>] file readonly".

    // Drops every key: the stream restarts empty under a new random vector.
    // Unless keepSpace, the data file goes back to its opening size. The old
    // record bytes are not erased.
    void clearAll(bool keepSpace = false);

    // Compacts the stream, then shrinks the data file by halving its size
    // while it stays above twice the stream length + 8, never below the
    // opening size.
    void trim();

    // Rewrites the stream under cryptKey (AES-256 when aes256), encrypts a
    // plain store, or with an empty key writes the stream in clear. Stale
    // bytes past the new stream are zeroed, so neither old plaintext nor old
    // ciphertext stays in the file. True when the store now uses the
    // requested key (including when it already did). False: nothing was
    // rewritten and the old key stays. Other processes that have the store
    // open must be given the new key with checkReSetCryptKey().
    bool reKey(const std::string &cryptKey, bool aes256 = false);

    // Adopts a key another process set with reKey(), writing nothing: null or
    // empty makes the store plain. Keys are compared as the cipher uses them
    // (cut or zero-padded to 16 or 32 bytes, and the key size); when that
    // changes, the loaded contents are dropped and read again with the new key.
    void checkReSetCryptKey(const std::string *cryptKey, bool aes256 = false);

    // The key bytes up to the first zero byte (at most 32); empty for a plain store.
    std::string cryptKey() const;

    // Copies every key of src into this store: each value as src stores it,
    // without src's expiry time, plus this store's expiry time when expiry is
    // on here. Returns how many writes succeeded; 0 for a null src, for
    // src == this and for a read-only target. Both stores stay locked for the
    // whole copy, always in the order of their registry keys, so imports in
    // opposite directions (threads or processes) cannot deadlock.
    size_t importFrom(VORN *src);

    // Whether the data file is mapped and usable.
    bool isFileValid();

    // By id and root (null: the global root), whether or not the store is
    // open. Refused (false, with a warning) when no root is given and no
    // global root was set, or the root is empty; false for an empty id and
    // before the library is initialised.
    //
    // isFileValid: true when the store has no data file, false when its meta
    // file is missing, else whether the recorded CRC matches the stream. Reads
    // both files under the shared lock on the meta file (through the open
    // instance, when this process has one), so it waits for a writer, also
    // for another process that holds lock().
    static bool isFileValid(const std::string &mmapID, const std::string *rootPath = nullptr);
    // Deletes both files. An instance open in this process is closed first
    // (its pointer becomes invalid); then the exclusive lock on the meta file
    // waits for other processes inside an operation on the store, and the
    // meta record is emptied under a new sequence: a multi-process instance
    // in another process finds no key at its next operation and writes into
    // new files at the path. False when neither file exists.
    static bool removeStorage(const std::string &mmapID, const std::string *rootPath = nullptr);
    // Whether both files exist.
    static bool checkExist(const std::string &mmapID, const std::string *rootPath = nullptr);

    // ==== Inspection (VORN_Inspect.cpp) ====
    // Read-only views for tools and diagnostics; they never write either file.

    // The store's state as one snapshot, taken under the thread lock and the
    // shared inter-process lock after loading or refreshing the contents.
    struct Inspection {
        size_t keyCount = 0;      // keys in the index (expired ones included)
        size_t actualSize = 0;    // bytes the record stream takes
        size_t fileSize = 0;      // mapped size of the data file
        uint32_t sequence = 0;    // the meta record's rewrite counter
        uint32_t metaVersion = 0; // the meta record's format version
        uint64_t metaFlags = 0;   // the meta record's flags (bit 0: key expiry)
        bool encrypted = false;   // the store has a cipher
        bool keyExpire = false;   // values carry a 4-byte expiry time
        bool readOnly = false;    // opened with VORN_READ_ONLY
        // The key given does not open the store: a wrong key, no key for an
        // encrypted store, or a key for a plain one. Nothing is loaded and
        // every write is refused until a matching key is set.
        bool keyMismatch = false;
    };
    Inspection inspect();

    // An owned copy of the value bytes stored for key, as the setter encoded
    // them (no type tag; without the expiry time); empty when the key is
    // empty or absent. An expired key reads as absent and, on a writable
    // store, is deleted as every read does.
    vorn::VornBuffer rawValue(std::string_view key);

    // ==== Backup and restore (VORN_Backup.cpp) ====
    // A backup directory has the layout of a store root: "<id>" and
    // "<id>.crc", ids with special characters under "specialCharacter". The
    // store root is the given one or (null) the global root. A store open in
    // this process is synced and locked through its instance, and a restore
    // reloads it in place; a store that is not open is copied under the
    // inter-process lock of its meta file. A restore gives the store a new
    // sequence, so processes that have it open reload. Source and target
    // naming one directory (in any spelling), or one file, is success with
    // nothing copied (the all-stores forms then return 1).
    //
    // Backup: true when both files were copied into dstDir.
    static bool backupOneToDirectory(const std::string &mmapID, const std::string &dstDir,
                                     const std::string *srcDir = nullptr);
    // Restore: true when both files were copied from srcDir. The backup's meta
    // record is checked (readable, a whole record of a known version, a stream
    // length that fits the data file) before the store's files are touched;
    // nothing is ever created or changed in srcDir.
    static bool restoreOneFromDirectory(const std::string &mmapID, const std::string &srcDir,
                                        const std::string *dstDir = nullptr);
    // Every store of the directory (data files with a ".crc" companion);
    // returns how many were copied.
    static size_t backupAllToDirectory(const std::string &dstDir, const std::string *srcDir = nullptr);
    static size_t restoreAllFromDirectory(const std::string &srcDir, const std::string *dstDir = nullptr);

    VORN(const VORN &) = delete;
    VORN &operator=(const VORN &) = delete;

private:
    friend class VORNTestPeer;

    // What a full write-back writes: the exact length of the new item stream
    // (item-size holder included), and the records it must write from memory
    // as one encoded pair list (varint length L, then L bytes of records);
    // the buffer is empty when every live record is already in the file.
    using PreparedData = std::pair<vorn::VornBuffer, size_t>;
    // A record writer's result: success, and the entry of the new record.
    using WriteResult = std::pair<bool, vorn::IndexEntry>;

    // ---- Data file and meta bookkeeping (VORN_Meta.cpp) ----
    // Locks: the caller holds m_lock and the inter-process lock the operation
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
                         const vorn::AESCrypt *streamCipher);
    // The check block after the record: written current for the in-memory
    // record (no-op for a read-only store or a short meta mapping); resealed
    // after a repair of the record's fields, keeping what it says of the key.
    void writeCheckBlock(const vorn::AESCrypt *streamCipher, uint8_t blockFlags);
    void resealCheckBlock();
    // Reads the check block against the record just loaded: sets
    // m_keyMismatch, m_metaDamaged (the host chose to discard a record that
    // disagrees with its block), m_needFreshVector and m_checkBlockCurrent;
    // repairs a damaged vector when the host chose to recover.
    void evaluateCheckBlock();
    // Rewrites an encrypted stream under a new vector before an append; false
    // (the append must not happen) when that rewrite fails.
    bool renewVectorBeforeAppend();
    void oldStyleWriteActualSize(size_t size);
    // crc32 over the first actualSize stream bytes == crcDigest; leaves the
    // computed value in m_crcDigest. False without a message when the data
    // file is unmapped or actualSize does not fit in it.
    bool checkFileCRCValid(size_t actualSize, uint32_t crcDigest);
    // Extends m_crcDigest over bytes just appended and records it with the
    // new m_actualSize (two 4-byte fields of the meta mapping).
    void updateCRCDigest(const uint8_t *ptr, size_t length);

    // ---- Loading and recovery (VORN_IO.cpp); m_lock held ----
    void loadFromFile();
    void loadMetaInfoAndCheck();
    void checkFileHasDiskError();
    void checkDataValid(bool &loadFromFile, bool &needFullWriteback);
    void partialLoadFromFile();
    // Maps the meta file again and moves the inter-process lock to its
    // (possibly new) descriptor, keeping the holds this process has.
    void reloadMetaFile();
    // m_output over the whole room of the mapped data file, at `position`.
    void resetOutput(size_t position);
    // A rewrite that a dead process left half done: copies the new stream
    // from its complete journal, installs the record the journal names, and
    // removes the journal. True when the store now holds that stream. Only
    // for a writable store, under the exclusive lock, when the meta record
    // does not check out against the stream.
    bool finishInterruptedRewrite();

    // ---- Cross-process changes (VORN_CrossProcess.cpp) ----
    // m_lock held; takes the shared inter-process lock itself. A loaded
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
    // next operation. REQUIRES: m_lock held.
    bool reopenFilesIfReplaced();
    void notifyContentChanged();
    void notifyContentLoaded();
    bool isMultiProcess() const { return (m_mode & VORN_MULTI_PROCESS) != 0; }
    bool isReadOnly() const { return (m_mode & VORN_READ_ONLY) != 0; }

    // ---- Writing (VORN_Write.cpp) ----
    // setDataForKey takes m_lock and the exclusive inter-process lock itself;
    // the others expect the caller to hold m_lock, and the writers take the
    // exclusive lock again. A value is stored as given (isDataHolder false) or
    // with a varint length in front (isDataHolder true: the data-holder form).
    bool setDataForKey(vorn::VornBuffer &&data, std::string_view key, bool isDataHolder = false);
    // setDataForKey for a caller that holds m_lock and the exclusive lock and
    // has run refreshIfNeeded under them: a write takes each lock once.
    bool setDataForKeyLocked(vorn::VornBuffer &&data, std::string_view key, bool isDataHolder);
    // The byte-string form: the data-holder form, or, with expiry on, the
    // wrapped bytes plus the 4-byte expiry time of expireDuration seconds.
    bool setDataForKey(vorn::VornBuffer &&data, std::string_view key, uint32_t expireDuration);
    WriteResult appendDataWithKey(const vorn::VornBuffer &data, std::string_view key, bool isDataHolder);
    WriteResult appendDataWithKey(const vorn::VornBuffer &data, const vorn::IndexEntry &kvHolder,
                                  bool isDataHolder);
    // roomMade: the caller has run checkRecordLimits and ensureMemorySize for
    // this very record under the exclusive lock it still holds.
    WriteResult doAppendDataWithKey(const vorn::VornBuffer &data, const vorn::VornBuffer &keyData, bool isDataHolder,
                                    uint32_t originKeyLength, bool roomMade = false);
    bool checkSizeLimit(size_t size, const vorn::VornBuffer &keyData, uint32_t keyLength);
    // Appends a deletion record. REQUIRES: m_lock and the exclusive lock held.
    bool removeDataForKey(std::string_view key);
    // The null-value setters: takes the locks; true when key was removed or
    // absent, false when the store refused (see set(const char *, key)).
    bool removeForNullValue(std::string_view key);
    // The stored value bytes (expiry suffix included); empty when absent.
    // Plain stores: borrowed from the mapping. REQUIRES: m_lock and the shared
    // lock held while the result is used.
    vorn::VornBuffer getRawDataForKey(std::string_view key);
    // getRawDataForKey without its refreshIfNeeded, for a caller that has run
    // that under the locks it still holds.
    vorn::VornBuffer lookupRawData(std::string_view key);
    // As getRawDataForKey, without the expiry suffix when expiry is on. Loads
    // or refreshes first: only the files say whether values carry an expiry
    // time (a first load, or another process switching expiry).
    vorn::VornBuffer getDataForKey(std::string_view key) {
        refreshIfNeeded();
        return m_enableKeyExpire ? getDataWithoutMTimeForKey(key) : lookupRawData(key);
    }
    // Refuses (logged) a record before any byte is written: a value of 2^31
    // bytes or more, or a key part (key length varint, key, value length
    // varint) of 65536 bytes or more, which no load could index.
    bool checkRecordLimits(const char *function, uint32_t originKeyLength, uint64_t dataSize, bool isDataHolder);
    // Whether both files are mapped and the store may be written; logs why not.
    bool checkWritable(const char *function);
    // True for a read-only store, after logging "[<id>] file readonly" under
    // `function`'s name; taken before any lock.
    bool refuseReadOnly(const char *function);
    // refreshIfNeeded, then whether the data file is mapped (else logged
    // "[<id>] file not valid" under `function`'s name). m_lock and the
    // exclusive inter-process lock held.
    bool loadDataFile(const char *function);

    // ---- Expansion and full write-back (VORN_WriteBack.cpp) ----
    // m_lock and the exclusive inter-process lock held (fullWriteback takes it).
    // newCrypter, the cipher of the rewritten stream: null for the store's own
    // (if any), vorn::clearCipherChoice() for a stream in clear, else that
    // cipher (re-keying). Any cipher starts a new random vector. A write-back
    // refuses a stream whose end would pass 4 GiB.
    bool ensureMemorySize(size_t newSize);
    bool expandAndWriteBack(size_t newSize, PreparedData preparedData, bool needSync,
                            vorn::AESCrypt *newCrypter = nullptr);
    bool fullWriteback(vorn::AESCrypt *newCrypter = nullptr, bool onlyWhileExpire = false);
    bool doFullWriteBack(PreparedData preparedData, vorn::AESCrypt *newCrypter, bool needSync);
    bool doFullWriteBack(std::vector<std::pair<std::string, vorn::VornBuffer>> &&pairs);
    // totalSize 0 when the values held in memory could not be encoded.
    PreparedData prepareEncode() const;
    // A failed remap left the data file unmapped: forget the index so that the
    // next access reloads (or fails cleanly), never reading a null mapping.
    void dropContentAfterUnmap();

    // The expiry time stored for a write of expireDuration seconds: 0 (never)
    // for 0, else now + duration, at most 0xFFFFFFFF.
    static uint32_t expireTimeForDuration(uint32_t expireDuration);
    // A copy of value with the 4-byte little-endian expiry time appended.
    static vorn::VornBuffer withExpireTime(const vorn::VornBuffer &value, uint32_t expireTime);
    // The checks shared by switching expiry on and off: contents loaded and
    // refreshed, both files valid, a stream that decodes (a rewrite from an
    // index left empty by an undecodable stream would destroy it). m_lock and
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

    // ---- Typed values (VORN_Typed.cpp) ----
    // Stores finished value bytes (a scalar or a list), adding the expiry time
    // of *expireDuration (null: the default duration) when the store, once
    // loaded or refreshed under the exclusive lock, records expiry. Takes
    // m_lock and the exclusive inter-process lock itself.
    bool setPlainValue(std::string_view key, vorn::VornBuffer &&value, const uint32_t *expireDuration);
    // The byte-string setters' shared step, with the default duration read
    // under m_lock when expireDuration is null.
    bool setBytesValue(std::string_view key, const void *bytes, size_t length, const uint32_t *expireDuration);
    // The expiry purge of count(true) and allKeys(true). m_lock held.
    void purgeExpiredKeys();

    // ---- Key expiry (VORN_Expiry.cpp) ----
    // Applies the config's enableKeyExpire (from applyOpenConfig); loads the store.
    void applyKeyExpireConfig(const VORNConfig &config);
    // Applies the expiry and compare-before-set switches of the config this
    // instance was opened with, once, at its first operation: they need the
    // store's inter-process lock, which an open never waits for.
    void applyOpenConfig();
    // The value without its expiry time; an expired key is deleted (a
    // deletion record is appended) and reads as empty. Takes m_lock and the
    // shared lock (the exclusive one to delete). Borrowed results as
    // getRawDataForKey.
    vorn::VornBuffer getDataWithoutMTimeForKey(std::string_view key);
    // Drops expired keys from the index (the files are not touched); returns
    // how many. m_lock held; takes the shared lock.
    size_t filterExpiredKeys();

    // ---- Maintenance internals (VORN_Maintenance.cpp, VORN_Storage.cpp) ----
    friend class VORNMaintenanceTestPeer;

    // Whether key/aes256 make the same cipher key as m_crypter's. m_lock held.
    bool isSameEffectiveKey(const std::string &key, bool aes256) const;
    // Makes `cipher` (null: none) the store's cipher and the index of that
    // mode the only one, after dropping the loaded contents. Takes ownership.
    // m_lock held.
    void installCipher(vorn::AESCrypt *cipher);
    // Zeroes the data file past the stream and flushes it. m_lock and the
    // exclusive lock held, contents loaded.
    void zeroStreamTail();
    // reKey's rewrite: the stream compacted under `choice` (a new cipher the
    // store then owns, or vorn::clearCipherChoice() for a stream in clear),
    // the tail zeroed, the cipher installed. On failure a new cipher is
    // deleted and the store keeps its own.
    bool rewriteUnderCipher(vorn::AESCrypt *choice);

    // ---- Backup and restore internals (VORN_Backup.cpp) ----
    // Each takes g_instanceLock for its whole run. mmapKey names the store in
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
                                                  const std::string &dstPath, const vorn::VORNMetaInfo &record,
                                                  const vorn::MetaCheckBlock *backupBlock);
    // The open instance whose files are at `path` (the data file), or null.
    // g_instanceLock held.
    static VORN *findOpenInstance(const std::string &mmapKey, const std::string &path, bool compareFullPath);

    // Used only by the registry.
    VORN(const std::string &mmapID, const std::string &dataPath, const VORNConfig &config);
    ~VORN();

    std::string m_registryKey;
    const std::string m_mmapID;
    const VORNMode m_mode;
    std::string m_path;
    std::string m_metaPath;
    vorn::VORNMap *m_plainIndex;
    vorn::VORNMapCrypt *m_cryptIndex;

    size_t m_expectedCapacity;
    vorn::MemoryFile *m_file;
    size_t m_actualSize;
    vorn::CodedOutputData *m_output;

    bool m_needLoadFromFile;
    bool m_hasFullWriteback;

    uint32_t m_crcDigest;
    vorn::MemoryFile *m_metaFile;
    vorn::VORNMetaInfo *m_metaInfo;

    vorn::AESCrypt *m_crypter;

    vorn::ThreadLock *m_lock;
    vorn::FileLock *m_fileLock;
    vorn::InterProcessLock *m_sharedProcessLock;
    vorn::InterProcessLock *m_exclusiveProcessLock;

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
    // The meta file holds a block vouching for the current record and key;
    // while false, the next append writes one.
    bool m_checkBlockCurrent = false;
    // The encrypted stream's end moved back under its current vector (a
    // restore, a fallback to the last confirmed state, a salvage): the next
    // append first rewrites under a fresh vector, so that no key stream
    // position ever carries two different plaintexts.
    bool m_needFreshVector = false;

    // Held on the data file from the open to the destructor; null when the
    // data file could not be opened for it (e.g. read-only, file missing).
    vorn::OpenModeLock *m_openModeLock;
    // The open config's switches still to apply (applyOpenConfig).
    bool m_openConfigPending;
    std::optional<bool> m_openEnableKeyExpire;
    uint32_t m_openExpiredInSeconds;
    bool m_openCompareBeforeSet;
};

// Every open instance by registry key; null before the library's minimal
// initialisation and again after VORN::onExit.
extern VORN_EXPORT std::unordered_map<std::string, VORN *> *g_instanceDic;
// Guards g_instanceDic, and changes of the log level and handler. Created once,
// never freed; null until the library's minimal initialisation.
extern VORN_EXPORT vorn::ThreadLock *g_instanceLock;
