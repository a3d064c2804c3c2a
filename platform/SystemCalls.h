#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace vorn {

// Every operating-system call the library makes on files, mappings and file
// locks goes through this table, so that nothing outside platform/ calls
// open/mmap/flock directly and a test can swap one entry for a failing or
// observing stand-in (see ScopedSystemCallsOverride).
//
// The entries have the signatures and the errno conventions of the POSIX calls
// they are named after. `open` always receives a mode (ignored without O_CREAT).
//
// Thread safety: the table is plain data read without a lock. Replace entries
// only while no other thread uses the library (tests do it single-threaded).
struct SystemCalls {
    int (*open)(const char *path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void *buffer, size_t count);
    ssize_t (*pread)(int fd, void *buffer, size_t count, off_t offset);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    ssize_t (*pwrite)(int fd, const void *buffer, size_t count, off_t offset);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*fstat)(int fd, struct stat *info);
    int (*stat)(const char *path, struct stat *info);
    int (*fstatat)(int dirFd, const char *path, struct stat *info, int flags);
    int (*ftruncate)(int fd, off_t length);
    void *(*mmap)(void *address, size_t length, int protection, int flags, int fd, off_t offset);
    int (*munmap)(void *address, size_t length);
    int (*msync)(void *address, size_t length, int flags);
    int (*flock)(int fd, int operation);
    int (*unlink)(const char *path);
    int (*rename)(const char *from, const char *to);
    int (*mkdir)(const char *path, mode_t mode);
    int (*access)(const char *path, int mode);
    int (*mkstemp)(char *pathTemplate);
    DIR *(*opendir)(const char *path);
    struct dirent *(*readdir)(DIR *dir);
    int (*closedir)(DIR *dir);
    // fcntl for the commands that take an int argument (F_GETFL, F_SETFL).
    int (*fcntlInt)(int fd, int command, int argument);
    // posix_fallocate: 0, or the error number itself (errno is not set).
    // Where the system has none (macOS) it returns EOPNOTSUPP.
    int (*reserve)(int fd, off_t offset, off_t length);
    int (*fsync)(int fd);
    // Moves a shared mapping to `newLength` bytes, keeping its pages
    // (mremap with MREMAP_MAYMOVE): the new address, or MAP_FAILED with errno
    // set. Where the system has none (macOS) it fails with ENOSYS and the
    // caller unmaps and maps again.
    void *(*remap)(void *address, size_t oldLength, size_t newLength);
};

// The table in use. Platform code calls through it: `sys().open(...)`.
SystemCalls &sys();

// A table whose entries are the real system calls.
const SystemCalls &realSystemCalls();

// Test helper: gives access to the live table and puts back, when it goes out
// of scope, every entry as it was at construction.
class ScopedSystemCallsOverride {
public:
    ScopedSystemCallsOverride() : m_saved(sys()) {}
    ~ScopedSystemCallsOverride() { sys() = m_saved; }

    SystemCalls *operator->() { return &sys(); }

    ScopedSystemCallsOverride(const ScopedSystemCallsOverride &) = delete;
    ScopedSystemCallsOverride &operator=(const ScopedSystemCallsOverride &) = delete;

private:
    SystemCalls m_saved;
};

} // namespace vorn
