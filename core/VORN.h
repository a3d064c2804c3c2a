#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"
#include "log/VORNExport.h"
#include "log/VORNHandler.h"
#include "platform/MemoryFile.h"

namespace vorn {
class AESCrypt;
class CodedOutputData;
class FileLock;
class InterProcessLock;
class ThreadLock;
struct VORNMetaInfo;
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
    bool aes256 = false;                        // 32-byte key (AES-256) instead of 16 (AES-128)
    const std::string *cryptKey = nullptr;      // null or empty: a plain store
    const std::string *rootPath = nullptr;      // null: the global root
    size_t expectedCapacity = 0;                // wished initial data file size, bytes
    std::optional<bool> enableKeyExpire;        // set: switch per-key expiry on or off at open
    uint32_t expiredInSeconds = 0;              // default expiry when enableKeyExpire is true
    bool enableCompareBeforeSet = false;        // skip writes of unchanged values
    std::optional<VORNRecoverStrategic> recover; // set: fixed answer to damage, overriding the handler
    uint32_t itemSizeLimit = 0;                 // largest encoded item a write accepts; 0 = no limit
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

    VORN(const VORN &) = delete;
    VORN &operator=(const VORN &) = delete;

private:
    friend class VORNTestPeer;

    // Used only by the registry.
    VORN(const std::string &mmapID, const VORNConfig &config);
    ~VORN();

    std::string m_mmapKey;
    const std::string m_mmapID;
    const VORNMode m_mode;
    std::string m_path;
    std::string m_crcPath;
    vorn::VORNMap *m_dic;
    vorn::VORNMapCrypt *m_dicCrypt;

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
};

// Every open instance by registry key; null before the library's minimal
// initialisation and again after VORN::onExit.
extern VORN_EXPORT std::unordered_map<std::string, VORN *> *g_instanceDic;
// Guards g_instanceDic, and changes of the log level and handler. Created once,
// never freed; null until the library's minimal initialisation.
extern VORN_EXPORT vorn::ThreadLock *g_instanceLock;
