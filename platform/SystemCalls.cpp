#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vorn {

namespace {

// Thin forwarders: several of these are variadic, macros or renamed symbols on
// some systems (open, stat on older glibc and macOS), so the table never holds
// the address of a libc symbol directly.
int callOpen(const char *path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
int callClose(int fd) {
    return ::close(fd);
}
ssize_t callRead(int fd, void *buffer, size_t count) {
    return ::read(fd, buffer, count);
}
ssize_t callPread(int fd, void *buffer, size_t count, off_t offset) {
    return ::pread(fd, buffer, count, offset);
}
ssize_t callWrite(int fd, const void *buffer, size_t count) {
    return ::write(fd, buffer, count);
}
ssize_t callPwrite(int fd, const void *buffer, size_t count, off_t offset) {
    return ::pwrite(fd, buffer, count, offset);
}
off_t callLseek(int fd, off_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}
int callFstat(int fd, struct stat *info) {
    return ::fstat(fd, info);
}
int callStat(const char *path, struct stat *info) {
    return ::stat(path, info);
}
int callFstatat(int dirFd, const char *path, struct stat *info, int flags) {
    return ::fstatat(dirFd, path, info, flags);
}
int callFtruncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}
void *callMmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(address, length, protection, flags, fd, offset);
}
int callMunmap(void *address, size_t length) {
    return ::munmap(address, length);
}
int callMsync(void *address, size_t length, int flags) {
    return ::msync(address, length, flags);
}
int callFlock(int fd, int operation) {
    return ::flock(fd, operation);
}
int callUnlink(const char *path) {
    return ::unlink(path);
}
int callRename(const char *from, const char *to) {
    return ::rename(from, to);
}
int callMkdir(const char *path, mode_t mode) {
    return ::mkdir(path, mode);
}
int callAccess(const char *path, int mode) {
    return ::access(path, mode);
}
int callMkstemp(char *pathTemplate) {
    return ::mkstemp(pathTemplate);
}
DIR *callOpendir(const char *path) {
    return ::opendir(path);
}
struct dirent *callReaddir(DIR *dir) {
    return ::readdir(dir);
}
int callClosedir(DIR *dir) {
    return ::closedir(dir);
}
int callFcntlInt(int fd, int command, int argument) {
    return ::fcntl(fd, command, argument);
}
int callReserve(int fd, off_t offset, off_t length) {
#ifdef __APPLE__
    (void)fd;
    (void)offset;
    (void)length;
    return EOPNOTSUPP;
#else
    return ::posix_fallocate(fd, offset, length);
#endif
}
int callFsync(int fd) {
    return ::fsync(fd);
}
void *callRemap(void *address, size_t oldLength, size_t newLength) {
#ifdef __linux__
    return ::mremap(address, oldLength, newLength, MREMAP_MAYMOVE);
#else
    (void)address;
    (void)oldLength;
    (void)newLength;
    errno = ENOSYS;
    return MAP_FAILED;
#endif
}

// constexpr, so that the live table is constant-initialised and usable from
// any static initialiser.
constexpr SystemCalls kRealSystemCalls = {
    callOpen,   callClose,   callRead,      callPread,   callWrite,   callPwrite,  callLseek,    callFstat,
    callStat,   callFstatat, callFtruncate, callMmap,    callMunmap,  callMsync,   callFlock,    callUnlink,
    callRename, callMkdir,   callAccess,    callMkstemp, callOpendir, callReaddir, callClosedir, callFcntlInt,
    callReserve, callFsync,   callRemap,
};

SystemCalls g_systemCalls = kRealSystemCalls;

} // namespace

SystemCalls &sys() {
    return g_systemCalls;
}

const SystemCalls &realSystemCalls() {
    return kRealSystemCalls;
}

} // namespace vorn
