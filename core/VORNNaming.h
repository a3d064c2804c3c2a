#pragma once

#include <string>

#include "log/VORNHandler.h"

// How (id, root) become a registry key, a data file path and a meta file path.
// These rules are part of the on-disk contract: two processes find the same
// files only if they derive the same paths.
//
// "Global root" means: no root given (null), or the vorn::realGlobalRootDir() object itself
// (identity, not equal content). Any other string is a custom root.

namespace vorn {
// The global root as passed to the first VORN::initializeVORN, and its resolved
// form; empty until then. The objects live as long as the process, so their
// addresses can mark "the global root" (see above).
const std::string &globalRootDir();
const std::string &realGlobalRootDir();
// Sets both, once: later calls change nothing. Returns whether this call set them.
bool setGlobalRoot(const std::string &rootDir);
} // namespace vorn

// md5 of "<root>/<id>" (the raw id, special characters included). With a
// custom root and isAbsolutePath false, "<root>/<id>" is made absolute first.
// Kept for hosts that derive it; the registry keys instances with
// vorn::storeRegistryKey instead (ids "a/x" under R and "x" under R/a give one
// key here, two stores on disk).
VORN_EXPORT std::string mmapedKVKey(const std::string &mmapID, const std::string *rootPath = nullptr,
                                    bool isAbsolutePath = true);

// The older key rule, kept for hosts that still derive it: md5 of "<root>/<id>"
// for a root whose content differs from vorn::globalRootDir(), else the id itself.
VORN_EXPORT std::string legacyMmapedKVKey(const std::string &mmapID, const std::string *rootPath = nullptr);

// Data file path: "<root>/<name>", where name is the id, or
// "specialCharacter/<md5(id)>" for an id that cannot be a file name of its own
// (vorn::needsHashedName), creating that directory as needed.
VORN_EXPORT std::string mappedKVPathWithID(const std::string &mmapID, const std::string *rootPath = nullptr,
                                           bool isAbsolutePath = true);

// Meta file path: the data file path + ".crc".
VORN_EXPORT std::string crcPathWithPath(const std::string &kvPath);

namespace vorn {

constexpr const char *kSpecialCharacterDirectory = "specialCharacter";
constexpr const char *kMetaFileSuffix = ".crc";

// 32 lowercase hex digits of the MD5 digest of `value`'s bytes.
std::string md5(const std::string &value);

// True when `id` holds a byte that cannot be part of a file name.
bool hasSpecialCharacter(const std::string &id);

// True when `id` used as a file name would reach a file or directory that is
// not its own, or could not be created with every suffix the store puts on
// it: a special character, "." or "..", the special-character directory's
// name, an id ending in the meta file suffix, or one whose name plus the
// longest suffix (the rewrite journal's) exceeds maxFileNameLength(). The
// last two and the directory name are compared ignoring ASCII case, so that
// ids differing only in case do not meet on a case-insensitive file system.
// Such ids are stored under "specialCharacter/<md5(id)>".
bool needsHashedName(const std::string &id);

// The registry key of the store whose data file is `dataPath` (as
// mappedKVPathWithID gives it with a resolved root): two opens share one
// instance exactly when they name the same data file.
std::string storeRegistryKey(const std::string &dataPath);

// The file name part of the id's data file; see mappedKVPathWithID.
// With createDirectory false nothing is created: for callers that only look
// (existence and validity checks, removal), which must leave a root as it is.
std::string encodeFilePath(const std::string &mmapID, const std::string *rootPath, bool createDirectory = true);
// The data file path of mappedKVPathWithID's absolute form; "specialCharacter"
// is created only with createDirectory (opens that may write files). The
// path names the store: the registry is keyed on it.
std::string storeDataPath(const std::string &mmapID, const std::string *rootPath, bool createDirectory);




// Creates "<vorn::realGlobalRootDir()>/specialCharacter" (once per process).
void mkSpecialCharacterFileDirectory();

// The resolved form of `rootPath` (absolute, normalised, without one trailing
// slash), remembered per spelling for the life of the process. The returned
// reference stays valid until the process ends. Thread-safe.
const std::string &resolveRootPath(const std::string &rootPath);

} // namespace vorn
