#define VORN_LOG_SOURCE "OpenModeLock"

#include "platform/OpenModeLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log/VORNLog.h"

namespace vorn {

namespace {

// A byte no store file ever holds (files stay far below 2^62 bytes) and that
// nothing else in the library locks: the library takes no other byte-range
// locks, and flock(2) locks are a separate kind on Linux.
constexpr off_t kOpenModeLockOffset = static_cast<off_t>(1) << 62;

} // namespace

OpenModeLock::Result OpenModeLock::acquire(const std::string &path, bool exclusive, bool create) {
    release();
#ifdef __APPLE__
    (void) path;
    (void) exclusive;
    (void) create;
    return Result::Held;
#else
    // An exclusive fcntl lock needs a descriptor open for writing. O_NONBLOCK
    // keeps a FIFO planted at the path from blocking the open.
    int flags = (exclusive || create ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    if (create) {
        flags |= O_CREAT;
    }
    const int fd = ::open(path.c_str(), flags, S_IRWXU);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT && !create) {
            return Result::NoFile;
        }
        VORNError("fail to open [%s] for its open-mode lock, %d(%s)", path.c_str(), error, strerror(error));
        return Result::Failed;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        VORNError("[%s] is not a regular file, no open-mode lock taken", path.c_str());
        return Result::Failed;
    }
    struct flock region = {};
    region.l_type = exclusive ? F_WRLCK : F_RDLCK;
    region.l_whence = SEEK_SET;
    region.l_start = kOpenModeLockOffset;
    region.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &region) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN || error == EACCES) {
            return Result::Conflict;
        }
        VORNError("fail to lock [%s] for its open mode, %d(%s)", path.c_str(), error, strerror(error));
        return Result::Failed;
    }
    m_fd = fd;
    return Result::Held;
#endif
}

void OpenModeLock::release() {
    if (m_fd >= 0) {
        // Closing the descriptor releases its open-file-description lock.
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace vorn
