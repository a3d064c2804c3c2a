#define VORN_LOG_SOURCE "JournalFile"

#include "platform/JournalFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "log/VORNLog.h"
#include "platform/MemoryFile.h"
#include "platform/SystemCalls.h"

namespace vorn {

namespace {

// Appends are gathered up to this many bytes before one write.
constexpr size_t kBufferCapacity = 64 * 1024;

} // namespace

JournalFile::JournalFile(std::string path) : m_path(std::move(path)) {}

JournalFile::~JournalFile() {
    close();
}

bool JournalFile::create() {
    close();
    // Never written through whatever sits at the name: a symbolic link
    // planted there would have its target truncated and overwritten. A
    // leftover is removed first (unlinking a link removes the link, not its
    // target), then the file is made new: O_EXCL fails on anything that
    // appeared at the name meanwhile, and on a directory unlink cannot remove.
    if (sys().unlink(m_path.c_str()) != 0 && errno != ENOENT) {
        VORNWarning("fail to remove leftover [%s], %d(%s)", m_path.c_str(), errno, strerror(errno));
    }
    m_fd = sys().open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRWXU);
    if (m_fd < 0) {
        m_lastError = errno;
        VORNError("fail to create [%s], %d(%s)", m_path.c_str(), errno, strerror(errno));
        return false;
    }
    m_written = 0;
    m_lastError = 0;
    m_buffer.clear();
    m_buffer.reserve(kBufferCapacity);
    return true;
}

bool JournalFile::openForReading() {
    close();
    bool refused = false;
    m_fd = openRegularFile(m_path, O_RDONLY | O_CLOEXEC, 0, refused);
    if (m_fd < 0) {
        if (!refused && errno != ENOENT) {
            VORNError("fail to open [%s], %d(%s)", m_path.c_str(), errno, strerror(errno));
        }
        return false;
    }
    return true;
}

bool JournalFile::append(const void *bytes, size_t length) {
    if (m_fd < 0) {
        return false;
    }
    auto source = static_cast<const uint8_t *>(bytes);
    while (length > 0) {
        const size_t room = kBufferCapacity - m_buffer.size();
        const size_t n = length < room ? length : room;
        m_buffer.insert(m_buffer.end(), source, source + n);
        source += n;
        length -= n;
        if (m_buffer.size() == kBufferCapacity && !flush()) {
            return false;
        }
    }
    return true;
}

bool JournalFile::flush() {
    if (m_fd < 0) {
        return false;
    }
    if (m_buffer.empty()) {
        return true;
    }
    const uint64_t offset = m_written;
    std::vector<uint8_t> pending;
    pending.swap(m_buffer);
    m_buffer.reserve(kBufferCapacity);
    if (!writeAt(offset, pending.data(), pending.size())) {
        return false;
    }
    m_written += pending.size();
    return true;
}

bool JournalFile::sync() {
    if (!flush()) {
        return false;
    }
    while (sys().fsync(m_fd) != 0) {
        if (errno != EINTR) {
            m_lastError = errno;
            VORNError("fail to fsync [%s], %d(%s)", m_path.c_str(), m_lastError, strerror(m_lastError));
            return false;
        }
    }
    return true;
}

bool JournalFile::writeAt(uint64_t offset, const void *bytes, size_t length) {
    if (m_fd < 0) {
        return false;
    }
    if (!m_buffer.empty() && !flush()) {
        return false;
    }
    auto source = static_cast<const uint8_t *>(bytes);
    while (length > 0) {
        const ssize_t n = sys().pwrite(m_fd, source, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A write of 0 bytes makes no progress: counted as a full disk.
            m_lastError = n < 0 ? errno : ENOSPC;
            VORNError("fail to write [%s], %d(%s)", m_path.c_str(), m_lastError, strerror(m_lastError));
            return false;
        }
        source += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool JournalFile::readAt(uint64_t offset, void *bytes, size_t length) const {
    if (m_fd < 0) {
        return false;
    }
    auto target = static_cast<uint8_t *>(bytes);
    while (length > 0) {
        const ssize_t n = sys().pread(m_fd, target, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            VORNError("fail to read [%s], %d(%s)", m_path.c_str(), errno, strerror(errno));
            return false;
        }
        if (n == 0) {
            return false; // the file ends early
        }
        target += n;
        length -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

int64_t JournalFile::size() const {
    struct stat info = {};
    if (m_fd < 0 || sys().fstat(m_fd, &info) != 0) {
        VORNError("fail to stat [%s], %d(%s)", m_path.c_str(), errno, strerror(errno));
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

void JournalFile::close() {
    if (m_fd >= 0) {
        sys().close(m_fd);
        m_fd = -1;
    }
    m_buffer.clear();
    m_written = 0;
}

bool JournalFile::remove() {
    close();
    if (sys().unlink(m_path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    VORNError("fail to remove [%s], %d(%s)", m_path.c_str(), errno, strerror(errno));
    return false;
}

} // namespace vorn
