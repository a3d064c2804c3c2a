#define VORN_LOG_SOURCE "MemoryFile"

#include "platform/VORNFileUtil.h"

#include "encoding/VornBuffer.h"
#include "log/VORNLog.h"
#include "platform/MemoryFile.h"
#include "platform/SystemCalls.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

namespace fs = std::filesystem;

namespace vorn {

namespace {

// Mode of directories mkPath creates (the umask applies).
constexpr mode_t kDirectoryMode = 0777;

// Name part of copyFile's temporary files: "<dir>/VORN.XXXXXX".
constexpr const char *kTempFileName = "VORN";

// Attempts of getUniqueFileName before it gives up.
constexpr int kUniqueNameAttempts = 64;

// Writes all `size` bytes, continuing after short writes.
bool writeAll(int fd, const char *bytes, size_t size) {
    while (size > 0) {
        ssize_t written = sys().write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Copies the open `srcFile` to offset 0 of `dstFD`, one page at a time.
bool copyOpenFileContent(const File &srcFile, int dstFD, bool needTruncate) {
    const std::string &srcPath = srcFile.getPath();
    const size_t bufferSize = getPageSize();
    std::unique_ptr<char, decltype(&free)> buffer(static_cast<char *>(malloc(bufferSize)), &free);
    if (!buffer) {
        int error = errno;
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "copyFileContent", __LINE__, "fail to malloc size %zu, %d(%s)",
                          bufferSize, error, strerror(error));
        return false;
    }
    if (sys().lseek(dstFD, 0, SEEK_SET) < 0) {
        int error = errno;
        _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "copyFileContent", __LINE__, "fail to write fd [%d], %d(%s)",
                          dstFD, error, strerror(error));
        return false;
    }

    // Read until end of file: a read may return less than a page before the
    // end, so a short read does not mean the copy is complete.
    size_t copied = 0;
    while (true) {
        ssize_t got = sys().read(srcFile.getFd(), buffer.get(), bufferSize);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            int error = errno;
            _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "copyFileContent", __LINE__,
                              "fail to read file [%s], %d(%s)", srcPath.c_str(), error, strerror(error));
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!writeAll(dstFD, buffer.get(), static_cast<size_t>(got))) {
            int error = errno;
            _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "copyFileContent", __LINE__,
                              "fail to write fd [%d], %d(%s)", dstFD, error, strerror(error));
            return false;
        }
        copied += static_cast<size_t>(got);
    }

    if (needTruncate) {
        size_t dstSize = 0;
        if (!getFileSize(dstFD, dstSize)) {
            dstSize = 0;
        }
        if (dstSize != copied && sys().ftruncate(dstFD, static_cast<off_t>(copied)) != 0) {
            int error = errno;
            _VORNLogWithLevel(VORNLogError, VORN_LOG_SOURCE, "copyFileContent", __LINE__,
                              "fail to truncate [%d] to size [%zu], %d(%s)", dstFD, copied, error, strerror(error));
            return false;
        }
    }
    _VORNLogWithLevel(VORNLogInfo, VORN_LOG_SOURCE, "copyFileContent", __LINE__,
                      "copy content from %s to fd[%d] finish", srcPath.c_str(), dstFD);
    return true;
}

// mkstemp in `dirPath`; the descriptor, or -1. `tempPath` receives the name.
int createUniqueTempFile(const std::string &dirPath, std::string &tempPath) {
    std::string pattern = dirPath;
    if (pattern.empty() || pattern.back() != '/') {
        pattern += '/';
    }
    pattern += kTempFileName;
    pattern += ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = sys().mkstemp(name.data());
    if (fd < 0) {
        int error = errno;
        VORNError("fail to create unique temp file [%s], %d(%s)", name.data(), error, strerror(error));
        return -1;
    }
    tempPath.assign(name.data());
    return fd;
}

} // namespace

bool mkPath(const std::string &path) {
    if (path.empty()) {
        return false;
    }
    size_t position = 0;
    while (true) {
        position = path.find_first_not_of('/', position);
        if (position == std::string::npos) {
            // Only separators left: everything before them exists.
            return true;
        }
        size_t end = path.find('/', position);
        if (end == std::string::npos) {
            end = path.size();
        }
        const bool isLast = path.find_first_not_of('/', end) == std::string::npos;
        const std::string prefix = path.substr(0, end);

        struct stat info = {};
        if (sys().stat(prefix.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) {
                VORNWarning("%s: %s", prefix.c_str(), strerror(ENOTDIR));
                return false;
            }
        } else {
            bool failed = true;
            if (errno == ENOENT) {
                failed = sys().mkdir(prefix.c_str(), kDirectoryMode) != 0;
                if (failed && errno == EEXIST) {
                    // Made by someone else meanwhile: fine if it is a directory.
                    int error = errno;
                    failed = !(sys().stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
                    errno = error;
                }
            }
            if (failed) {
                VORNWarning("%s : %s", prefix.c_str(), strerror(errno));
                if (isLast) {
                    return false;
                }
            }
        }
        if (isLast) {
            return true;
        }
        position = end;
    }
}

bool isFileExist(const std::string &path) {
    if (path.empty()) {
        return false;
    }
    return sys().access(path.c_str(), F_OK) == 0;
}

VornBuffer *readWholeFile(const std::string &path) {
    // A store's files are read this way: a link or a FIFO planted at the name
    // is refused (logged) rather than read through or waited on.
    bool refused = false;
    int fd = openRegularFile(path, O_RDONLY | O_CLOEXEC, 0, refused);
    if (fd < 0) {
        if (!refused) {
            VORNWarning("fail to open %s: %s", path.c_str(), strerror(errno));
        }
        return nullptr;
    }
    VornBuffer *buffer = nullptr;
    off_t length = sys().lseek(fd, 0, SEEK_END);
    if (length > 0) {
        size_t wanted = static_cast<size_t>(length);
        size_t total = 0;
        try {
            buffer = new VornBuffer(wanted);
            if (sys().lseek(fd, 0, SEEK_SET) < 0) {
                throw std::runtime_error(strerror(errno));
            }
            char *bytes = static_cast<char *>(buffer->data());
            while (total < wanted) {
                ssize_t got = sys().read(fd, bytes + total, wanted - total);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got < 0) {
                    throw std::runtime_error(strerror(errno));
                }
                if (got == 0) {
                    break; // the file shrank since its length was taken
                }
                total += static_cast<size_t>(got);
            }
            if (total < wanted) {
                // Never hand out bytes that were not read.
                VornBuffer *shorter = total > 0 ? new VornBuffer(bytes, total, VornBufferCopy) : nullptr;
                delete buffer;
                buffer = shorter;
            }
        } catch (const std::exception &e) {
            VORNWarning("fail to read %s: %s", path.c_str(), e.what());
            delete buffer;
            buffer = nullptr;
        }
    }
    sys().close(fd);
    return buffer;
}

std::string absolutePath(const std::string &path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) {
        VORNError("fail to absolute() path %s, error: %s", path.c_str(), error.message().c_str());
        return path;
    }
    try {
        return fs::weakly_canonical(absolute).string();
    } catch (const std::exception &e) {
        VORNError("fail to weakly_canonical() path %s, error: %s", absolute.c_str(), e.what());
        return absolute.string();
    }
}

bool tryAtomicRename(const std::string &srcPath, const std::string &dstPath) {
    if (sys().rename(srcPath.c_str(), dstPath.c_str()) != 0) {
        int error = errno;
        VORNError("fail to rename [%s] to [%s], %d(%s)", srcPath.c_str(), dstPath.c_str(), error, strerror(error));
        return false;
    }
    return true;
}

bool copyFileContent(const std::string &srcPath, int dstFD, bool needTruncate) {
    if (dstFD < 0) {
        return false;
    }
    File srcFile(srcPath, OpenFlag::ReadOnly);
    if (!srcFile.isFileValid()) {
        return false;
    }
    return copyOpenFileContent(srcFile, dstFD, needTruncate);
}

bool copyFileContent(const std::string &srcPath, int dstFD) {
    return copyFileContent(srcPath, dstFD, true);
}

bool copyFileContent(const std::string &srcPath, const std::string &dstPath) {
    // The source is opened before the target is truncated: a missing or
    // unreadable source must not empty the target.
    File srcFile(srcPath, OpenFlag::ReadOnly);
    if (!srcFile.isFileValid()) {
        return false;
    }
    File dstFile(dstPath, OpenFlag::WriteOnly | OpenFlag::Create | OpenFlag::Truncate);
    if (!dstFile.isFileValid()) {
        return false;
    }
    if (copyOpenFileContent(srcFile, dstFile.getFd(), false)) {
        VORNInfo("copy content from %s to [%s] finish", srcPath.c_str(), dstPath.c_str());
        return true;
    }
    VORNError("fail to copyfile(): target file %s", dstPath.c_str());
    return false;
}

bool copyFile(const std::string &srcPath, const std::string &dstPath) {
    // The temporary file lives beside the target: a rename only replaces a
    // file atomically within one file system.
    std::string dirPath = fs::path(dstPath).parent_path().string();
    if (dirPath.empty()) {
        dirPath = ".";
    }
    std::string tempPath;
    int tempFD = createUniqueTempFile(dirPath, tempPath);
    if (tempFD < 0) {
        return false;
    }

    bool done = false;
    if (copyFileContent(srcPath, tempFD, false)) {
        VORNInfo("copyfile [%s] to [%s]", srcPath.c_str(), tempPath.c_str());
        if (tryAtomicRename(tempPath, dstPath)) {
            done = true;
        } else {
            VORNInfo("rename fail, try copy file content instead.");
            if (copyFileContent(tempPath, dstPath)) {
                done = true;
                sys().unlink(tempPath.c_str());
            }
        }
        if (done) {
            VORNInfo("copyfile [%s] to [%s] finish.", srcPath.c_str(), dstPath.c_str());
        }
    }
    sys().close(tempFD);
    if (!done) {
        sys().unlink(tempPath.c_str());
    }
    return done;
}

void walkInDir(const std::string &dirPath, WalkType type,
               const std::function<void(const std::string &, WalkType)> &walker) {
    DIR *dir = sys().opendir(dirPath.c_str());
    if (!dir) {
        int error = errno;
        VORNError("opendir failed: %d(%s), %s", error, strerror(error), dirPath.c_str());
        return;
    }
    std::string prefix = dirPath;
    if (prefix.empty() || prefix.back() != '/') {
        prefix += '/';
    }
    const bool wantFiles = (type & WalkType::RegularFile) == WalkType::RegularFile;
    const bool wantDirectories = (type & WalkType::Directory) == WalkType::Directory;

    while (struct dirent *entry = sys().readdir(dir)) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        unsigned char kind = entry->d_type;
        if (kind == DT_UNKNOWN) {
            // Some file systems leave the type out of directory entries; ask
            // the entry itself (without following a symbolic link).
            struct stat info = {};
            if (sys().fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
                kind = S_ISREG(info.st_mode) ? DT_REG : (S_ISDIR(info.st_mode) ? DT_DIR : DT_UNKNOWN);
            }
        }
        if (kind == DT_REG && wantFiles) {
            walker(prefix + name, WalkType::RegularFile);
        } else if (kind == DT_DIR && wantDirectories) {
            walker(prefix + name, WalkType::Directory);
        }
    }
    sys().closedir(dir);
}

bool deleteFile(const std::string &path) {
    if (sys().unlink(path.c_str()) != 0) {
        int error = errno;
        VORNError("fail to delete file [%s], %d (%s)", path.c_str(), error, strerror(error));
        return false;
    }
    return true;
}

std::optional<std::string> getUniqueFileName(const std::string &dirPath, const std::string &baseName) {
    uint64_t seed;
    try {
        std::random_device device("/dev/urandom");
        seed = device();
    } catch (const std::exception &) {
        // No random device: the time and the process id still keep two
        // processes apart; the exclusive create guards the rest.
        seed = static_cast<uint64_t>(time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 32);
    }
    std::mt19937_64 engine(seed);
    std::uniform_int_distribution<uint64_t> distribution;
    return getUniqueFileName(dirPath, baseName, [&]() { return distribution(engine); });
}

std::optional<std::string> getUniqueFileName(const std::string &dirPath, const std::string &baseName,
                                             const std::function<uint64_t()> &nextNumber) {
    struct stat info = {};
    if (sys().stat(dirPath.c_str(), &info) != 0) {
        return std::nullopt;
    }
    for (int attempt = 0; attempt < kUniqueNameAttempts; attempt++) {
        std::string name = baseName + "." + std::to_string(nextNumber()) + ".tmp";
        std::string path = (fs::path(dirPath) / name).string();
        if (sys().access(path.c_str(), F_OK) == 0) {
            continue;
        }
        // Exclusive: a file made under this name since the check above is
        // never taken over.
        File file(path, OpenFlag::ReadWrite | OpenFlag::Create | OpenFlag::Exclusive);
        if (file.isFileValid()) {
            file.close();
            return path;
        }
    }
    return std::nullopt;
}

size_t maxFileNameLength() { return NAME_MAX; }

void deleteOrRenameFile(const std::string &path) {
    if (deleteFile(path)) {
        return;
    }
    const size_t slash = path.find_last_of('/');
    const std::string directory = (slash == std::string::npos) ? "." : path.substr(0, slash);
    const std::string name = (slash == std::string::npos) ? path : path.substr(slash + 1);
    auto uniqueName = getUniqueFileName(directory, name);
    if (uniqueName) {
        tryAtomicRename(path, *uniqueName);
    }
}


} // namespace vorn
