#pragma once

// The one way tests reach a store's private state: VORNTestPeer for the
// engine's state and entry points, VORNMaintenanceTestPeer for the expiry
// switch done through the engine alone. Test files use these, never the
// engine's members directly, so that a change inside the engine changes
// this header and nothing else.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/StoreEngine.h"
#include "core/VORN.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/CodedInputData.h"
#include "encoding/LittleEndian.h"
#include "encoding/VornBuffer.h"
#include "encoding/VornIndex.h"
#include "platform/InterProcessLock.h"
#include "platform/MemoryFile.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"

// Lets tests look at a store's private state.
class VORNTestPeer {
public:
    static vorn::StoreEngine *engine(const VORN *vorn) { return vorn->m_engine; }
    static bool isEncrypted(const VORN *vorn) { return engine(vorn)->m_crypter != nullptr && engine(vorn)->m_index.encrypted(); }
    static bool isPlain(const VORN *vorn) { return engine(vorn)->m_crypter == nullptr && !engine(vorn)->m_index.encrypted(); }
    static const std::string &dataPath(const VORN *vorn) { return engine(vorn)->m_path; }
    static const std::string &metaPath(const VORN *vorn) { return engine(vorn)->m_metaPath; }
    static const std::string &registryKey(const VORN *vorn) { return engine(vorn)->m_registryKey; }
    static size_t expectedCapacity(const VORN *vorn) { return engine(vorn)->m_expectedCapacity; }
    static bool needsLoad(const VORN *vorn) { return engine(vorn)->m_needLoadFromFile; }

    // ---- The engine, called the way the typed interface calls it ----

    // Stores value in the data-holder form (the string setters' form).
    static bool set(VORN *vorn, std::string_view key, const std::string &value) {
        return engine(vorn)->setDataForKey(copyOf(value), key, true);
    }
    // Stores value bytes as given (the scalar setters' form).
    static bool setRaw(VORN *vorn, std::string_view key, const std::string &value) {
        return engine(vorn)->setDataForKey(copyOf(value), key, false);
    }
    // The value stored by set(), unwrapped; nothing when absent or not a
    // data-holder value.
    static std::optional<std::string> get(VORN *vorn, std::string_view key) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        vorn::ScopedLock<vorn::InterProcessLock> shared(engine(vorn)->m_sync.sharedLock());
        vorn::VornBuffer stored = engine(vorn)->getDataForKey(key);
        if (stored.size() == 0) {
            return std::nullopt;
        }
        try {
            vorn::VornBuffer real = vorn::CodedInputData::readRealData(stored);
            return std::string(static_cast<const char *>(real.data()), real.size());
        } catch (std::exception &) {
            return std::nullopt;
        }
    }
    // The stored value bytes; empty when absent.
    static std::string getRaw(VORN *vorn, std::string_view key) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        vorn::ScopedLock<vorn::InterProcessLock> shared(engine(vorn)->m_sync.sharedLock());
        vorn::VornBuffer stored = engine(vorn)->getRawDataForKey(key);
        return std::string(static_cast<const char *>(stored.data()), stored.size());
    }
    static bool remove(VORN *vorn, std::string_view key) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(engine(vorn)->m_sync.exclusiveLock());
        engine(vorn)->refreshIfNeeded();
        return engine(vorn)->removeDataForKey(key);
    }
    static bool fullWriteback(VORN *vorn) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        engine(vorn)->refreshIfNeeded();
        return engine(vorn)->fullWriteback(nullptr, false);
    }
    // Loads the store (or applies other processes' changes) as an operation would.
    static void load(VORN *vorn) { engine(vorn)->checkContentChanged(); }

    // The keys of the index, sorted (after loading, as an operation would).
    static std::vector<std::string> keys(VORN *vorn);
    static size_t keyCount(VORN *vorn) {
        load(vorn);
        return engine(vorn)->m_index.size();
    }
    static size_t actualSize(const VORN *vorn) { return engine(vorn)->m_stream.size(); }
    static uint32_t crcDigest(const VORN *vorn) { return engine(vorn)->m_stream.crc(); }
    static vorn::VORNMetaInfo metaInfo(const VORN *vorn) { return engine(vorn)->m_meta.record(); }
    static size_t mappedFileSize(const VORN *vorn) { return engine(vorn)->m_stream.fileSize(); }
    static bool dataFileValid(const VORN *vorn) { return engine(vorn)->m_stream.isMapped(); }
    static bool streamUndecodable(const VORN *vorn) { return engine(vorn)->m_streamUndecodable; }
    static vorn::FileLock *fileLock(const VORN *vorn) { return engine(vorn)->m_sync.fileLock(); }
    static int metaFd(const VORN *vorn) { return engine(vorn)->m_meta.file().getFd(); }
    static void *dataMemory(const VORN *vorn) { return engine(vorn)->m_stream.file().getMemory(); }
    static void *metaMemory(const VORN *vorn) { return engine(vorn)->m_meta.page(); }
    // The explicit compaction, from a caller that holds only the thread lock
    // and has not looked for other processes' changes itself.
    static bool fullWritebackAsIs(VORN *vorn) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        return engine(vorn)->fullWriteback(nullptr, false);
    }
    static vorn::AESCrypt *crypter(const VORN *vorn) { return engine(vorn)->m_crypter; }
    // Offset of key's record in the stream; -1 when absent.
    static long long recordOffset(VORN *vorn, std::string_view key);
    // Whether key's entry of an encrypted store keeps its value by position.
    static bool heldByPosition(VORN *vorn, std::string_view key);
    static void setItemSizeLimit(VORN *vorn, uint32_t limit) { engine(vorn)->m_itemSizeLimit = limit; }
    static void setCompareBeforeSet(VORN *vorn, bool on) { engine(vorn)->m_enableCompareBeforeSet = on; }
    static bool ensureMemorySize(VORN *vorn, size_t newSize) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(engine(vorn)->m_sync.exclusiveLock());
        engine(vorn)->refreshIfNeeded();
        return engine(vorn)->ensureMemorySize(newSize);
    }
    static size_t spaceLeft(const VORN *vorn);
    static bool writeActualSize(VORN *vorn, size_t size, uint32_t crc, const void *iv, bool increaseSequence) {
        return engine(vorn)->writeActualSize(size, crc, iv, increaseSequence);
    }
    static uint32_t readActualSize(VORN *vorn) { return engine(vorn)->readActualSize(); }
    // Rewrites the whole stream from (key, value bytes) pairs.
    static bool writeBackPairs(VORN *vorn, const std::vector<std::pair<std::string, std::string>> &pairs) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(engine(vorn)->m_sync.exclusiveLock());
        engine(vorn)->refreshIfNeeded();
        std::vector<std::pair<std::string, vorn::VornBuffer>> list;
        for (const auto &pair : pairs) {
            list.emplace_back(pair.first, copyOf(pair.second));
        }
        return engine(vorn)->doFullWriteBack(std::move(list));
    }
    // Stores raw value bytes given as a buffer (which may claim any size).
    static bool setBuffer(VORN *vorn, std::string_view key, vorn::VornBuffer &&value, bool isDataHolder) {
        return engine(vorn)->setDataForKey(std::move(value), key, isDataHolder);
    }
    // Puts `info` into the store's in-memory record and its meta mapping.
    static void seedMeta(VORN *vorn, const vorn::VORNMetaInfo &info) {
        engine(vorn)->m_meta.record() = info;
        info.write(engine(vorn)->m_meta.page());
    }

private:
    static vorn::VornBuffer copyOf(const std::string &value) {
        return vorn::VornBuffer(const_cast<char *>(value.data()), value.size(), vorn::VornBufferCopy);
    }
};

class VORNMaintenanceTestPeer {
public:
    static vorn::StoreEngine *engine(const VORN *vorn) { return vorn->m_engine; }
    // Switches key expiry on for a store that holds no keys yet, the way the
    // store records it: the flag in the meta record, under a new sequence.
    static void enableExpiry(VORN *vorn, uint32_t expiredInSeconds) {
        vorn::ScopedLock<vorn::ThreadLock> lock(engine(vorn)->m_sync.threadLock());
        vorn::ScopedLock<vorn::InterProcessLock> exclusive(engine(vorn)->m_sync.exclusiveLock());
        engine(vorn)->refreshIfNeeded();
        engine(vorn)->m_meta.record().setFlag(vorn::MetaFlagKeyExpire);
        engine(vorn)->m_meta.record().m_version = vorn::MetaVersionFlags;
        engine(vorn)->writeActualSize(0, 0, nullptr, true);
        engine(vorn)->m_enableKeyExpire = true;
        engine(vorn)->m_expiredInSeconds = expiredInSeconds;
    }
    static bool expiryOn(const VORN *vorn) { return engine(vorn)->m_enableKeyExpire; }

    // Stores value in the data-holder form; with expiry on, followed by the
    // expiry time of `duration` seconds (0: never).
    static bool setWithExpire(VORN *vorn, std::string_view key, const std::string &value, uint32_t duration) {
        vorn::VornBuffer data(const_cast<char *>(value.data()), value.size(), vorn::VornBufferCopy);
        return engine(vorn)->setDataForKey(std::move(data), key, duration);
    }

    // The 4-byte expiry time a raw stored value ends with.
    static uint32_t trailingTime(const std::string &raw) {
        return raw.size() < 4 ? 0 : vorn::decodeFixed32(raw.data() + raw.size() - 4);
    }
};
