#define VORN_LOG_SOURCE "MemoryFile"

#include "platform/MemoryFile.h"

#include "log/VORNLog.h"
#include "platform/InterProcessLock.h"
#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace {
// 0 until initializeDefaultMmapSize(); read through mmapUnitSize().
size_t g_mmapSize = 0;
} // namespace

namespace vorn {

namespace {

// Used only when sysconf cannot tell the page size.
constexpr size_t kFallbackPageSize = 4096;

// Zero filling writes from one constant block of this many bytes: a file
// that doubles to 8 MiB costs 128 writes rather than 2048.
constexpr size_t kZeroBlockSize = 64 * 1024;

// Bytes isDiskOfMMAPFileCorrupted reads from the start of the file.
constexpr size_t kProbeReadSize = 4;

constexpr mode_t kCreateMode = S_IRWXU; // 0700

int toOpenFlags(OpenFlag flag) {
    int flags = 0;
    bool read = (flag & OpenFlag::ReadOnly) == OpenFlag::ReadOnly;
    bool write = (flag & OpenFlag::WriteOnly) == OpenFlag::WriteOnly;
    if (read && write) {
        flags = O_RDWR;
    } else if (write) {
        flags = O_WRONLY;
    } else {
        flags = O_RDONLY;
    }
    if ((flag & OpenFlag::Create) == OpenFlag::Create) {
        flags |= O_CREAT;
    }
    if ((flag & OpenFlag::Exclusive) == OpenFlag::Exclusive) {
        flags |= O_EXCL;
    }
    if ((flag & OpenFlag::Truncate) == OpenFlag::Truncate) {
        flags |= O_TRUNC;
    }
    return flags | O_CLOEXEC;
}

// The smallest multiple of `unit` that is at least `size` and at least one
// unit; false when that does not fit in size_t.
bool roundUpToUnits(size_t size, size_t unit, size_t &rounded) {
    if (size <= unit) {
        rounded = unit;
        return true;
    }
    size_t units = size / unit + (size % unit != 0 ? 1 : 0);
    if (units > std::numeric_limits<size_t>::max() / unit) {
        return false;
    }
    rounded = units * unit;
    return true;
}

// Lengths that cannot be represented as off_t are refused before any call.
bool fitsFileOffset(size_t size) {
    return size <= static_cast<size_t>(std::numeric_limits<off_t>::max());
}

} // namespace

size_t getPageSize() {
    long pageSize = sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? static_cast<size_t>(pageSize) : kFallbackPageSize;
}

size_t initializeDefaultMmapSize() {
    g_mmapSize = getPageSize();
    return g_mmapSize;
}

size_t recordedMmapUnitSize() {
    return g_mmapSize;
}

void forgetMmapUnitSize() {
    g_mmapSize = 0;
}

size_t mmapUnitSize() {
    size_t unit = g_mmapSize;
    return unit != 0 ? unit : getPageSize();
}

bool getFileSize(int fd, size_t &size) {
    struct stat info = {};
    if (sys().fstat(fd, &info) != 0) {
        return false;
    }
    size = static_cast<size_t>(info.st_size);
    return true;
}

int openRegularFile(const std::string &path, int flags, mode_t mode, bool &refused) {
    refused = false;
    const int fd = sys().open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) {
        const int error = errno;
        // ELOOP also comes from a chain of links in the directories; only a
        // link as the last component is this refusal. (Some systems answer
        // EMLINK instead.)
        struct stat info = {};
        if ((error == ELOOP || error == EMLINK) &&
            sys().fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
            VORNError("refuse to open [%s]: a symbolic link", path.c_str());
            refused = true;
            errno = ELOOP;
            return -1;
        }
        errno = error;
        return -1;
    }
    struct stat info = {};
    if (sys().fstat(fd, &info) != 0) {
        const int error = errno;
        sys().close(fd);
        errno = error;
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        VORNError("refuse to open [%s]: not a regular file, mode 0%o", path.c_str(),
                  static_cast<unsigned>(info.st_mode));
        sys().close(fd);
        refused = true;
        errno = EINVAL;
        return -1;
    }
    // Reads and writes of a regular file never wait anyway; cleared so the
    // descriptor behaves as an ordinary one wherever it is handed.
    const int statusFlags = sys().fcntlInt(fd, F_GETFL, 0);
    if (statusFlags < 0 || sys().fcntlInt(fd, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        sys().close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// ---------------------------------------------------------------------------
// File

File::File(std::string path, OpenFlag flag) : m_path(std::move(path)), m_fd(-1), m_flag(flag) {
    open();
}

File::~File() {
    close();
}

bool File::open() {
    if (isFileValid()) {
        return true;
    }
    bool refused = false;
    m_fd = openRegularFile(m_path, toOpenFlags(m_flag), kCreateMode, refused);
    if (m_fd < 0) {
        if (refused) {
            return false; // logged
        }
        int error = errno;
        VORNError("fail to open [%s], flag 0x%x, %d(%s)", m_path.c_str(), static_cast<uint32_t>(m_flag), error,
                  strerror(error));
        return false;
    }
    VORNInfo("open fd[%d], flag 0x%x, %s", m_fd, static_cast<uint32_t>(m_flag), m_path.c_str());
    return true;
}

void File::close() {
    if (!isFileValid()) {
        return;
    }
    VORNInfo("closing fd[%d], %s", m_fd, m_path.c_str());
    if (sys().close(m_fd) != 0) {
        int error = errno;
        VORNError("fail to close [%s], %d(%s)", m_path.c_str(), error, strerror(error));
    }
    m_fd = -1;
}

size_t File::getActualFileSize() const {
    struct stat info = {};
    int ret = isFileValid() ? sys().fstat(m_fd, &info) : sys().stat(m_path.c_str(), &info);
    return ret == 0 ? static_cast<size_t>(info.st_size) : 0;
}

// ---------------------------------------------------------------------------
// MemoryFile

MemoryFile::MemoryFile(std::string path, size_t expectedCapacity, bool readOnly, bool mayflyFD, bool mapNow)
    : m_diskFile(std::move(path), readOnly ? OpenFlag::ReadOnly : (OpenFlag::ReadWrite | OpenFlag::Create)),
      m_ptr(nullptr), m_size(0), m_readOnly(readOnly), m_isMayflyFD(mayflyFD) {
    if (mapNow) {
        reloadFromFile(expectedCapacity);
    }
}

MemoryFile::~MemoryFile() {
    doCleanMemoryCache();
}

bool MemoryFile::openIfNeeded() {
    return m_diskFile.isFileValid() || m_diskFile.open();
}

void MemoryFile::cleanMayflyFD() {
    if (m_isMayflyFD && m_diskFile.isFileValid()) {
        m_diskFile.close();
    }
}

int MemoryFile::getFd() {
    if (m_isMayflyFD && !m_diskFile.isFileValid()) {
        m_diskFile.open();
    }
    return m_diskFile.getFd();
}

size_t MemoryFile::getActualFileSize() const {
    if (m_diskFile.isFileValid() || m_isMayflyFD) {
        return m_diskFile.getActualFileSize();
    }
    return 0;
}

void MemoryFile::reloadFromFile(size_t expectedCapacity) {
    if (isFileValid()) {
        VORNWarning("calling reloadFromFile while the cache [%s] is still valid", getPath().c_str());
        doCleanMemoryCache();
    } else if (m_ptr) {
        doCleanMemoryCache();
    }
    if (!openIfNeeded()) {
        return;
    }

    const size_t unit = mmapUnitSize();
    size_t expected = 0;
    if (!roundUpToUnits(expectedCapacity, unit, expected) || !fitsFileOffset(expected)) {
        VORNError("fail to truncate [%s] to size %zu, %s", getPath().c_str(), expectedCapacity, strerror(EFBIG));
        cleanMayflyFD();
        return;
    }

    // Held while the length is read and while the file grows, so that two
    // processes opening one new file do not both extend and zero it.
    FileLock fileLock(m_diskFile.getFd());
    fileLock.lock(LockType::Shared);

    size_t fileSize = 0;
    if (vorn::getFileSize(m_diskFile.getFd(), fileSize)) {
        m_size = fileSize;
    }
    auto isLongEnough = [&]() { return m_size >= expected && m_size % unit == 0; };

    if (m_readOnly || isLongEnough()) {
        mmapOrCleanup(&fileLock);
    } else {
        fileLock.lock(LockType::Exclusive);
        // The upgrade may have let another process in (the shared lock is
        // given up while waiting); it may have grown the file and written to
        // it. Decide on the length it has now, and only ever grow it.
        if (vorn::getFileSize(m_diskFile.getFd(), fileSize)) {
            m_size = fileSize;
        }
        if (isLongEnough()) {
            mmapOrCleanup(&fileLock);
        } else {
            size_t grown = (m_size / unit + 1) * unit;
            truncate(std::max(expected, grown), &fileLock);
        }
        fileLock.unlock(LockType::Exclusive);
    }
    fileLock.unlock(LockType::Shared);

    if (!m_ptr) {
        // A failed growth leaves the length it started from; nothing is mapped.
        m_size = 0;
    }
}

bool MemoryFile::truncate(size_t size, FileLock *fileLock) {
    if (m_isMayflyFD && !m_diskFile.isFileValid()) {
        m_diskFile.open();
    }
    if (!m_diskFile.isFileValid()) {
        return false;
    }
    const size_t oldSize = m_size;
    if (size == oldSize) {
        return true;
    }
    if (m_readOnly) {
        return false;
    }

    const int fd = m_diskFile.getFd();
    const size_t unit = mmapUnitSize();
    size_t newSize = 0;
    if (!roundUpToUnits(size, unit, newSize) || !fitsFileOffset(newSize)) {
        VORNError("fail to truncate [%s] to size %zu, %s", getPath().c_str(), size, strerror(EFBIG));
        return false;
    }

    // The length on disk right now: another descriptor (another process) may
    // have grown the file past our mapping and written there.
    size_t diskSize = oldSize;
    bool knowsDiskSize = vorn::getFileSize(fd, diskSize);
    if (newSize > oldSize && knowsDiskSize && diskSize > newSize) {
        // A growth never cuts a longer file; cover it whole instead.
        size_t rounded = diskSize;
        if (roundUpToUnits(diskSize, unit, rounded) && fitsFileOffset(rounded)) {
            newSize = rounded;
        }
    }

    m_size = newSize;
    if (!knowsDiskSize || diskSize != newSize) {
        if (sys().ftruncate(fd, static_cast<off_t>(newSize)) != 0) {
            VORNError("fail to truncate [%s] to size %zu, %s", getPath().c_str(), newSize, strerror(errno));
            m_size = oldSize;
            return false;
        }
    }
    if (newSize > diskSize) {
        // Only the part the file did not have before: what is below diskSize
        // belongs to whoever wrote it. Its blocks are reserved now, so that a
        // full disk fails the growth here and never later, with SIGBUS, when
        // a store into the mapping needs a block.
        if (!reserveFileRange(fd, diskSize, newSize - diskSize)) {
            VORNError("fail to zeroFile [%s] to size %zu, %s", getPath().c_str(), newSize, strerror(errno));
            m_size = oldSize;
            if (sys().ftruncate(fd, static_cast<off_t>(diskSize)) != 0) {
                VORNError("failed to truncate back [%s] to size %zu, %s", getPath().c_str(), diskSize, strerror(errno));
            } else {
                VORNError("success to truncate [%s] back to size %zu", getPath().c_str(), diskSize);
                VORNError("after truncate, file size = %zu", getActualFileSize());
            }
            return false;
        }
    }

    if (m_ptr && m_ptr != MAP_FAILED) {
        if (remapInPlace(oldSize, fileLock)) {
            return true;
        }
        if (sys().munmap(m_ptr, oldSize) != 0) {
            VORNError("fail to munmap [%s], %s", getPath().c_str(), strerror(errno));
        }
    }
    return mmapOrCleanup(fileLock);
}

void MemoryFile::releaseMayflyDescriptor(FileLock *fileLock) {
    if (m_isMayflyFD) {
        if (fileLock) {
            // The descriptor is about to be closed: its flock goes first.
            fileLock->destroyAndUnLock();
        }
        cleanMayflyFD();
    }
}

bool MemoryFile::remapInPlace(size_t oldSize, FileLock *fileLock) {
    // Only while the descriptor is the mapped file: one opened again by path
    // may be another file by now, which a fresh mapping would pick up.
    struct stat info = {};
    if (!m_hasIdentity || sys().fstat(m_diskFile.getFd(), &info) != 0 || info.st_dev != m_device ||
        info.st_ino != m_inode) {
        return false;
    }
    // Moving the mapping keeps its page tables. Unmapping a file of a
    // gigabyte and mapping it again takes tens of milliseconds in the write
    // that grows it, and a page fault later for every page it had resident.
    void *moved = sys().remap(m_ptr, oldSize, m_size);
    if (moved == MAP_FAILED) {
        return false; // the old mapping stands; unmapped and mapped again
    }
    VORNInfo("mmap to address [%p], oldPtr [%p], [%s]", moved, m_ptr, getPath().c_str());
    m_ptr = moved;
    releaseMayflyDescriptor(fileLock);
    return true;
}

bool MemoryFile::mmapOrCleanup(FileLock *fileLock) {
    void *oldPtr = m_ptr;
    int protection = m_readOnly ? PROT_READ : (PROT_READ | PROT_WRITE);
    void *ptr = sys().mmap(oldPtr, m_size, protection, MAP_SHARED, m_diskFile.getFd(), 0);
    if (ptr == MAP_FAILED) {
        VORNError("fail to mmap [%s], mode 0x%x, %s", getPath().c_str(), protection, strerror(errno));
        m_ptr = nullptr;
        if (fileLock) {
            // The descriptor is about to be closed: release the flock on it
            // now rather than later through a number that may be reused.
            fileLock->destroyAndUnLock();
        }
        doCleanMemoryCache();
        return false;
    }
    m_ptr = ptr;
    VORNInfo("mmap to address [%p], oldPtr [%p], [%s]", m_ptr, oldPtr, getPath().c_str());
    struct stat info = {};
    m_hasIdentity = sys().fstat(m_diskFile.getFd(), &info) == 0;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    releaseMayflyDescriptor(fileLock);
    return true;
}

bool MemoryFile::isReplacedAtPath() const {
    if (!m_ptr || !m_hasIdentity) {
        return false;
    }
    struct stat info = {};
    if (sys().fstatat(AT_FDCWD, getPath().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || errno == ENOTDIR;
    }
    return info.st_dev != m_device || info.st_ino != m_inode;
}

bool MemoryFile::msync(SyncFlag syncFlag) {
    if (m_readOnly) {
        return true;
    }
    if (!m_ptr) {
        return false;
    }
    int flags = (syncFlag == SyncFlag::Sync) ? MS_SYNC : MS_ASYNC;
    if (sys().msync(m_ptr, m_size, flags) != 0) {
        VORNError("fail to msync [%s], %s", getPath().c_str(), strerror(errno));
        return false;
    }
    return true;
}

void MemoryFile::doCleanMemoryCache() {
    if (m_ptr && m_ptr != MAP_FAILED) {
        if (sys().munmap(m_ptr, m_size) != 0) {
            VORNError("fail to munmap [%s], %s", getPath().c_str(), strerror(errno));
        } else {
            VORNInfo("munmap from address [%p], [%s]", m_ptr, getPath().c_str());
        }
    }
    m_ptr = nullptr;
    m_hasIdentity = false;
    m_diskFile.close();
    m_size = 0;
}

// ---------------------------------------------------------------------------
// Free helpers

bool reserveFileRange(int fd, size_t startPos, size_t size) {
    if (fd < 0) {
        return false;
    }
    if (!fitsFileOffset(startPos) || !fitsFileOffset(startPos + size)) {
        errno = EOVERFLOW;
        return false;
    }
    const int error = sys().reserve(fd, static_cast<off_t>(startPos), static_cast<off_t>(size));
    if (error == 0) {
        return true; // reserved blocks read as zeros
    }
    if (error == EOPNOTSUPP || error == EINVAL) {
        // The file system cannot reserve: writing zeros allocates the blocks.
        return zeroFillFile(fd, startPos, size);
    }
    VORNError("fail to reserve fd[%d], error:%s", fd, strerror(error));
    errno = error; // for the caller's own message
    return false;
}

bool zeroFillFile(int fd, size_t startPos, size_t size) {
    if (fd < 0) {
        return false;
    }
    if (!fitsFileOffset(startPos) || sys().lseek(fd, static_cast<off_t>(startPos), SEEK_SET) < 0) {
        int error = fitsFileOffset(startPos) ? errno : EOVERFLOW;
        VORNError("fail to lseek fd[%d], error:%s", fd, strerror(error));
        errno = error;
        return false;
    }
    static const char zeros[kZeroBlockSize] = {};
    // A short write is continued, not counted as done: every byte of the range
    // must reach the file.
    while (size > 0) {
        size_t chunk = std::min(size, kZeroBlockSize);
        ssize_t written = sys().write(fd, zeros, chunk);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            // No progress without an error means the device takes nothing more.
            int error = written < 0 ? errno : ENOSPC;
            VORNError("fail to write fd[%d], error:%s", fd, strerror(error));
            errno = error; // for the caller's own message
            return false;
        }
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool isDiskOfMMAPFileCorrupted(MemoryFile *file, bool &needReportReadFail) {
    File &diskFile = file->m_diskFile;
    if (file->m_isMayflyFD && !diskFile.isFileValid()) {
        diskFile.open();
    }
    const int fd = diskFile.getFd();

    // pread leaves the descriptor's offset where it was. errno is cleared
    // first so that a stale value from an earlier call can never be taken for
    // this read's error.
    char probe[kProbeReadSize];
    errno = 0;
    ssize_t ret = (fd >= 0) ? sys().pread(fd, probe, sizeof(probe), 0) : -1;
    int error = (fd >= 0) ? errno : EBADF;

    // Bytes read, or 0 at the end of an empty file: the disk answered.
    if (ret >= 0) {
        file->cleanMayflyFD();
        return false;
    }

    needReportReadFail = true;
    VORNError("fail to read [%s] from fd [%d], errno: %d (%s)", diskFile.getPath().c_str(), fd, error, strerror(error));
    if (error == EIO || error == ENXIO || error == EINVAL || error == EILSEQ) {
        VORNWarning("file fail to read, consider it illegal, delete now: [%s]", diskFile.getPath().c_str());
        return true;
    }
    file->cleanMayflyFD();
    return false;
}

} // namespace vorn
