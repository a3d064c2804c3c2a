#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/types.h>

#include "log/VORNHandler.h"

namespace vorn {

class FileLock;

// The system page size, from sysconf(_SC_PAGESIZE).
size_t getPageSize();

// The unit of every mapped-file length, in bytes, is the system page size.
// Records getPageSize() as that unit and returns it. Call it from the
// library's one-time initialisation (ThreadLock::ThreadOnce), before other
// threads read the unit; calling it again stores the same value.
size_t initializeDefaultMmapSize();

// The recorded unit, or getPageSize() while none is recorded: MemoryFile
// does not depend on the initialisation.
size_t mmapUnitSize();
// The unit initializeDefaultMmapSize() recorded; 0 before. For tests, and
// forgetting it brings back the state before the initialisation.
size_t recordedMmapUnitSize();
void forgetMmapUnitSize();

// Flags of File::open, a bit set. ReadWrite is ReadOnly | WriteOnly; without
// either access bit a file is opened read-only. O_CLOEXEC is always added and
// new files get mode 0700 (minus the umask).
enum class OpenFlag : uint32_t {
    ReadOnly = 1 << 0,
    WriteOnly = 1 << 1,
    ReadWrite = ReadOnly | WriteOnly,
    Create = 1 << 2,
    Exclusive = 1 << 3,
    Truncate = 1 << 4,
};

constexpr OpenFlag operator|(OpenFlag left, OpenFlag right) {
    return static_cast<OpenFlag>(static_cast<uint32_t>(left) | static_cast<uint32_t>(right));
}
constexpr OpenFlag operator&(OpenFlag left, OpenFlag right) {
    return static_cast<OpenFlag>(static_cast<uint32_t>(left) & static_cast<uint32_t>(right));
}

// open(2) for a store's own files (data, meta, rewrite journal) and for the
// files backup and restore write. A symbolic link planted at such a name
// would make the store's writes land in the link's target, and a FIFO there
// would block a read-only open: so the last path component is never followed
// (O_NOFOLLOW; directories above it are the host's business), O_NONBLOCK is
// set for the open itself and cleared right after, and the descriptor is kept
// only when it refers to a regular file. O_NOCTTY is added as well.
//
// Returns the descriptor, or -1 with errno set. `refused` is set when the
// failure was a symbolic link (errno ELOOP; logged "refuse to open [%s]: a
// symbolic link") or a file that is not a regular one (errno EINVAL; logged
// "refuse to open [%s]: not a regular file, mode 0%o"); other failures are
// left for the caller to report.
int openRegularFile(const std::string &path, int flags, mode_t mode, bool &refused);

// A file descriptor opened from a path, owned and closed by this object.
//
// The constructor opens the file at once; whether that worked shows in
// isFileValid() (failures are logged, source "MemoryFile"). Opens go through
// openRegularFile: a symbolic link or a file that is not a regular one is
// refused, on every reopen of a mayfly descriptor too. Not copyable, not
// thread-safe.
class File {
public:
    File(std::string path, OpenFlag flag);
    ~File();

    // True when open afterwards. Logs "open fd[%d], flag 0x%x, %s", or
    // "fail to open [%s], flag 0x%x, %d(%s)", or openRegularFile's refusal.
    bool open();
    // The descriptor number is given up even when close(2) reports an error:
    // by then the descriptor is released, and closing the number again could
    // close an unrelated file opened meanwhile.
    void close();

    // fstat size of the open descriptor, else stat size of the path; 0 when
    // neither works.
    size_t getActualFileSize() const;

    const std::string &getPath() const { return m_path; }
    int getFd() const { return m_fd; }
    OpenFlag getFlag() const { return m_flag; }
    bool isFileValid() const { return m_fd >= 0; }

    File(const File &) = delete;
    File &operator=(const File &) = delete;

private:
    std::string m_path;
    int m_fd;
    OpenFlag m_flag;
};

// A file mapped in whole with a shared mapping (MAP_SHARED): stores into the
// mapping reach the file and every process mapping it.
//
// Size: a writable file is kept at a whole number of units (mmapUnitSize(),
// at least one) and the mapping covers it exactly; growing the file fills the
// new part with zeros. A read-only file is mapped at its actual length.
//
// Mayfly descriptor: when `mayflyFD` is set the descriptor is opened only for
// the moment it is needed (stat, grow, map) and closed once the mapping
// exists, so a mapped mayfly file holds no descriptor.
//
// Failure: nothing throws. Failures are logged (source "MemoryFile") and show
// as a false result or as an unmapped file (isFileValid() false,
// getMemory() null, getFileSize() 0). A failed growth keeps the old length and
// the old mapping.
//
// Borrowed memory: getMemory() is valid until the next truncate(),
// reloadFromFile() or doCleanMemoryCache(); bytes past getFileSize() are not
// mapped.
//
// Thread safety: none of its own; the store calls it under its locks. The
// only inter-process locking here is in reloadFromFile(), which holds a flock
// on the file's own descriptor while it reads and grows the file.
class MemoryFile {
public:
    // Opens (creating a writable file) and maps the file, growing it to at
    // least `expectedCapacity` bytes rounded up to whole units. Check
    // isFileValid() afterwards. With `mapNow` false it only opens the
    // descriptor and takes no lock: the first reloadFromFile() maps it.
    explicit MemoryFile(std::string path, size_t expectedCapacity = 0, bool readOnly = false, bool mayflyFD = false,
                        bool mapNow = true);
    ~MemoryFile();

    // (Re)maps the file, first growing it when it is shorter than
    // `expectedCapacity` rounded up to whole units or is not a whole number of
    // units. Growth happens under an exclusive flock on the file and only ever
    // lengthens it: the length is read again once the exclusive lock is held,
    // so a file another process has just grown (and written to) is neither
    // shortened nor zeroed.
    void reloadFromFile(size_t expectedCapacity = 0);

    // Sets the length to `size` rounded up to whole units (at least one) and
    // maps it again; a shrink cuts the file. Growth zero-fills from the length
    // the file has on disk right now (bytes another descriptor wrote past our
    // mapping are kept), and never cuts a file that is already longer than
    // the new size: the mapping then covers the longer file. False (old
    // mapping intact) when the length cannot be set or zero-filled; false and
    // unmapped when the new mapping fails. Read-only files refuse any change.
    // `fileLock`: null, or a FileLock on this file's own descriptor that the
    // caller holds; for a mayfly file it is released and detached right after
    // mapping, before the descriptor is closed.
    bool truncate(size_t size, FileLock *fileLock = nullptr);

    // True for a read-only file; false when nothing is mapped or msync fails.
    bool msync(SyncFlag syncFlag);

    // Unmaps, closes the descriptor and sets the size to 0.
    void doCleanMemoryCache();
    void clearMemoryCache() { doCleanMemoryCache(); }

    // Opens the descriptor when it is closed.
    bool openIfNeeded();
    // Closes the descriptor of a mayfly file.
    void cleanMayflyFD();
    // The descriptor, opening a mayfly file's first; -1 when that fails.
    int getFd();

    // The length on disk: fstat of an open descriptor, stat of the path for a
    // mayfly file without one; 0 for a closed non-mayfly file or on failure.
    size_t getActualFileSize() const;

    // Mapped, with a non-zero size, and (unless mayfly) an open descriptor.
    bool isFileValid() const { return (m_isMayflyFD || m_diskFile.isFileValid()) && m_size != 0 && m_ptr != nullptr; }

    void *getMemory() const { return m_ptr; }
    // The variable holding the mapping's address (null while unmapped), for
    // readers that must follow every remap: valid as long as this object.
    void *const *mappingAddress() const { return &m_ptr; }
    size_t getFileSize() const { return m_size; }
    const std::string &getPath() const { return m_diskFile.getPath(); }
    bool isReadOnly() const { return m_readOnly; }
    bool isMayflyFD() const { return m_isMayflyFD; }
    // Whether the file mapped now is no longer the one at its path: the path
    // names nothing (the file was removed) or another file (removed and made
    // again, or a link put in its place). Compares the device and inode seen
    // when the mapping was made with the path's own (links not followed);
    // the mapping keeps its file alive, so that inode number cannot have been
    // given to a new file meanwhile.
    // False while nothing is mapped, and when the path cannot be looked at
    // for another reason (the mapping is then kept).
    bool isReplacedAtPath() const;
    // Whether a descriptor is open right now (a mapped mayfly file has none).
    bool hasOpenDescriptor() const { return m_diskFile.isFileValid(); }

    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

private:
    bool mmapOrCleanup(FileLock *fileLock);
    // Moves the mapping of `oldSize` bytes to m_size bytes in place of an
    // unmap and a new map; false (nothing changed) where it cannot.
    bool remapInPlace(size_t oldSize, FileLock *fileLock);
    // A mapped mayfly file keeps no descriptor: closes it (and gives up
    // `fileLock`'s flock on it first).
    void releaseMayflyDescriptor(FileLock *fileLock);

    friend bool isDiskOfMMAPFileCorrupted(MemoryFile *file, bool &needReportReadFail);

    File m_diskFile;
    void *m_ptr;
    size_t m_size;
    bool m_readOnly;
    bool m_isMayflyFD;
    // The mapped file's identity, taken when the mapping was made.
    bool m_hasIdentity = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

// fstat of `fd`; on success stores the length in `size`, else leaves it alone.
bool getFileSize(int fd, size_t &size);

// Writes `size` zero bytes at `startPos`; the descriptor's offset is left
// after the written range. False (logged) on any failure; false without a
// message for a negative descriptor.
bool zeroFillFile(int fd, size_t startPos, size_t size);

// Allocates the blocks of [startPos, startPos + size) (posix_fallocate), or,
// where the file system cannot reserve them, writes zeros there. False
// (logged) when the disk has no room or another failure; errno is set.
bool reserveFileRange(int fd, size_t startPos, size_t size);

// Probes whether the file's first bytes can be read from disk. Returns true
// only for errors that mark the file unusable (EIO, ENXIO, EINVAL, EILSEQ):
// the caller then deletes or renames it; the descriptor stays open in that
// case. Any other read error sets `needReportReadFail` and returns false. A
// readable file, including an empty one (a read at end of file), is healthy:
// false, flag untouched.
bool isDiskOfMMAPFileCorrupted(MemoryFile *file, bool &needReportReadFail);

} // namespace vorn
