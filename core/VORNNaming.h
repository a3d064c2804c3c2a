#pragma once

#include <string>

#include "log/VORNExport.h"

// How (id, root) become a registry key, a data file path and a meta file path.
// These rules are part of the on-disk contract: two processes find the same
// files only if they derive the same paths.
//
// "Global root" means: no root given (null), or the g_realRootDir object itself
// (identity, not equal content). Any other string is a custom root.

// The global root as passed to the first VORN::initializeVORN, and its resolved
// form. Written only by initializeVORN, before any store is opened.
extern VORN_EXPORT std::string g_rootDir;
extern VORN_EXPORT std::string g_realRootDir;

// Registry key: md5 of "<root>/<id>" (the raw id, special characters included).
// With a custom root and isAbsolutePath false, "<root>/<id>" is made absolute first.
VORN_EXPORT std::string mmapedKVKey(const std::string &mmapID, const std::string *rootPath = nullptr,
                                    bool isAbsolutePath = true);

// The older key rule, kept for hosts that still derive it: md5 of "<root>/<id>"
// for a root whose content differs from g_rootDir, else the id itself.
VORN_EXPORT std::string legacyMmapedKVKey(const std::string &mmapID, const std::string *rootPath = nullptr);

// Data file path: "<root>/<name>", where name is the id, or
// "specialCharacter/<md5(id)>" for an id holding one of \ / : * ? " < > | or NUL
// (creating that directory as needed).
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

// The file name part of the id's data file; see mappedKVPathWithID.
std::string encodeFilePath(const std::string &mmapID, const std::string *rootPath);

// Creates the registry, its lock and DEFAULT_MMAP_SIZE, once per process.
void ensureMinimalInitialize();

// Creates "<g_realRootDir>/specialCharacter" (once per process).
void mkSpecialCharacterFileDirectory();

// The resolved form of `rootPath` (absolute, normalised, without one trailing
// slash), remembered per spelling for the life of the process. The returned
// reference stays valid until the process ends. Thread-safe.
const std::string &resolveRootPath(const std::string &rootPath);

} // namespace vorn
