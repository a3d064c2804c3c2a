#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/VornBuffer.h"
#include "log/VORNHandler.h"

namespace vorn {
class NameSpace;
class StoreEngine; // the engine behind the public face (internal)
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

    const std::string &mmapID() const;

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

    // ==== Typed values ====
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

    // ==== Key expiry and compare-before-set ====
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

    // ==== Maintenance ====
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

    // ==== Inspection ====
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

    // ==== Backup and restore ====
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
    friend class vorn::StoreEngine;
    friend class VORNTestPeer;
    friend class VORNMaintenanceTestPeer;

    // Created and destroyed by the engine, which the registry owns.
    explicit VORN(vorn::StoreEngine *engine) : m_engine(engine) {}
    ~VORN() = default;

    vorn::StoreEngine *const m_engine;
};
