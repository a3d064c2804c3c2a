#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vorn {

class VornBuffer;

// File utilities around a store's files. Stateless; none throws (absolutePath
// included); failures are logged (source "MemoryFile") and returned as false,
// null or an empty optional. Paths are byte strings with "/" as separator.

// Kinds of directory entries walkInDir reports; may be combined.
enum class WalkType : uint32_t {
    RegularFile = 1 << 0,
    Directory = 1 << 1,
};

constexpr WalkType operator|(WalkType left, WalkType right) {
    return static_cast<WalkType>(static_cast<uint32_t>(left) | static_cast<uint32_t>(right));
}
constexpr WalkType operator&(WalkType left, WalkType right) {
    return static_cast<WalkType>(static_cast<uint32_t>(left) & static_cast<uint32_t>(right));
}

// Creates every missing directory of `path` (mode 0777 minus the umask). True
// when all of them exist afterwards; false for an empty path or when a
// component is a regular file ("%s: %s" with the ENOTDIR text) or cannot be
// created. Directories made before a failure stay.
bool mkPath(const std::string &path);

// False for an empty path, else whether access(F_OK) succeeds.
bool isFileExist(const std::string &path);

// The file's bytes in a new buffer that the caller deletes; null when the
// file cannot be opened or read, or is empty (no message for empty). Opened
// through openRegularFile: a symbolic link or a file that is not a regular
// one is refused.
VornBuffer *readWholeFile(const std::string &path);

// `path` made absolute against the current directory and weakly canonical
// (".", ".." and symbolic links of the existing part resolved). When
// canonicalising fails, the absolute form; when even that cannot be made (no
// current directory), `path` unchanged. Both fallbacks are logged.
std::string absolutePath(const std::string &path);

// rename(2): atomic when both paths are on one file system.
bool tryAtomicRename(const std::string &srcPath, const std::string &dstPath);

// Paths are opened through File, hence openRegularFile: a symbolic link or a
// file that is not a regular one, at the source or at the target, is refused
// and nothing is written through it.

// Copies the bytes of `srcPath` to offset 0 of `dstFD`. With `needTruncate`
// the target is then cut to the copied length; without it, bytes of a longer
// target past the copy stay.
bool copyFileContent(const std::string &srcPath, int dstFD, bool needTruncate);
bool copyFileContent(const std::string &srcPath, int dstFD);
// `dstPath` (created or truncated) ends up holding exactly the source's bytes.
bool copyFileContent(const std::string &srcPath, const std::string &dstPath);

// Replaces `dstPath` with a copy of `srcPath`: the bytes go to a new temporary
// file in the destination's own directory, which is then renamed over
// `dstPath` (atomic: readers see the old or the new file, never a part). Only
// if the rename fails is the target rewritten in place from the temporary
// copy. The temporary file never outlives the call. A symbolic link at
// `dstPath` is replaced by the rename, never written through.
bool copyFile(const std::string &srcPath, const std::string &dstPath);

// Calls `walker(path, kind)` for each regular file and/or directory directly
// in `dirPath` (no recursion; "." and ".." never; symbolic links and other
// kinds never), in the order the system lists them. Entries whose type the
// file system does not report are looked up with fstatat.
void walkInDir(const std::string &dirPath, WalkType type,
               const std::function<void(const std::string &, WalkType)> &walker);

// unlink(2).
bool deleteFile(const std::string &path);

// Creates a new empty file "<dirPath>/<baseName>.<random 64-bit number>.tmp"
// whose name did not exist before (exclusive create) and returns its path;
// no value when `dirPath` does not exist or 64 attempts fail.
std::optional<std::string> getUniqueFileName(const std::string &dirPath, const std::string &baseName);

// As above with the numbers drawn from `nextNumber` (tests make collisions
// with it).
std::optional<std::string> getUniqueFileName(const std::string &dirPath, const std::string &baseName,
                                             const std::function<uint64_t()> &nextNumber);

// The longest file name (one path component, in bytes) store files may have:
// NAME_MAX (255 on Linux and macOS). A constant rather than pathconf(3), so
// that a store's file names do not depend on the file system its root, or a
// backup of it, happens to live on.
size_t maxFileNameLength();

// Removes a damaged file, or, when it cannot be removed, renames it to a new
// unique name in its directory so that a fresh file can take its place.
// Logs nothing itself.
void deleteOrRenameFile(const std::string &path);

} // namespace vorn
