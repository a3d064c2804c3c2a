#pragma once

// A store's locks: a recursive thread lock for this process's threads, and,
// for a multi-process store, the flock on the meta file's descriptor, held
// shared to read and exclusive to write. Flock holds are counted (FileLock):
// a nested hold costs no system call, and an exclusive hold taken over a
// shared one converts the flock (which may let another process in between:
// callers look at the files again after such an upgrade).
//
// Lock order: thread lock, then the inter-process lock; two stores are
// always taken in the order of their registry keys.
//
// The guards are how operations hold the locks: ReadGuard for reads (thread
// lock + shared), WriteGuard for writes (thread lock + exclusive). Internal
// functions that need a hold say so (REQUIRES) and do not take it again.
// Recursion stays where the public face promises it (lock(), lock_thread(),
// shared_lock(): holds a caller keeps across calls).
//
// Before the first inter-process hold of a multi-process store, the engine's
// `prepareHold` runs under the thread lock: mapping the meta file takes and
// drops a flock of its own on the descriptor that carries the holds, so it
// must happen before a hold is taken, never under one (another process could
// get in while the hold is gone, and wait for a second store this process
// holds: a deadlock).

#include "core/MetaRecord.h"
#include "platform/InterProcessLock.h"
#include "platform/ThreadLock.h"

namespace vorn {

class ProcessSync {
public:
    // The locks live on `meta`'s descriptor (unused for single-process
    // stores, whose inter-process locks do nothing). mapMeta(context) is
    // called before an inter-process hold of a multi-process store whose
    // meta file is not mapped yet.
    ProcessSync(bool multiProcess, const MetaRecord &meta, void (*mapMeta)(void *), void *context);
    // Releases this process's flock before the descriptor is closed.
    ~ProcessSync();
    ProcessSync(const ProcessSync &) = delete;
    ProcessSync &operator=(const ProcessSync &) = delete;

    ThreadLock *threadLock() { return &m_thread; }
    InterProcessLock *sharedLock() { return &m_shared; }
    InterProcessLock *exclusiveLock() { return &m_exclusive; }
    FileLock *fileLock() { return &m_fileLock; }

    // Maps the meta file of a multi-process store when it is not mapped
    // yet. REQUIRES: thread lock held, no inter-process hold.
    void prepareHold() {
        if (m_multiProcess && !m_meta.isMapped()) {
            m_mapMeta(m_context);
        }
    }

    class ReadGuard {
    public:
        explicit ReadGuard(ProcessSync &sync) : m_sync(sync) {
            m_sync.m_thread.lock();
            m_sync.prepareHold();
            m_sync.m_shared.lock();
        }
        ~ReadGuard() {
            m_sync.m_shared.unlock();
            m_sync.m_thread.unlock();
        }
        ReadGuard(const ReadGuard &) = delete;
        ReadGuard &operator=(const ReadGuard &) = delete;

    private:
        ProcessSync &m_sync;
    };

    class WriteGuard {
    public:
        explicit WriteGuard(ProcessSync &sync) : m_sync(sync) {
            m_sync.m_thread.lock();
            m_sync.prepareHold();
            m_sync.m_exclusive.lock();
        }
        ~WriteGuard() {
            m_sync.m_exclusive.unlock();
            m_sync.m_thread.unlock();
        }
        WriteGuard(const WriteGuard &) = delete;
        WriteGuard &operator=(const WriteGuard &) = delete;

    private:
        ProcessSync &m_sync;
    };

private:
    const bool m_multiProcess;
    const MetaRecord &m_meta;
    void (*const m_mapMeta)(void *);
    void *const m_context;
    ThreadLock m_thread;
    FileLock m_fileLock;
    InterProcessLock m_shared;
    InterProcessLock m_exclusive;
};

using ReadGuard = ProcessSync::ReadGuard;
using WriteGuard = ProcessSync::WriteGuard;

} // namespace vorn
