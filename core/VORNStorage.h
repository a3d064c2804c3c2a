#pragma once

// Finding a store's files by id and root, for the operations that work on a
// store whether or not it is open (validity check, removal, existence,
// backup and restore).

#include <string>
#include <utility>

namespace vorn {

// Logs the warning "VORN has not been initialized, there's no default
// NameSpace." (under the name defaultNameSpace) for an operation that needs
// the global root when none is set.
void warnNoDefaultNameSpace();

// Whether `rootPath` names a root to work under: a non-empty root, or (null)
// the global root once initializeVORN has set it. Otherwise logs the warning
// of warnNoDefaultNameSpace and returns false: an empty root would put the store's files at the top of the file
// system (or, resolved, in the current directory).
bool checkStoreRoot(const std::string *rootPath);

// The data file path and the meta file path of `mmapID` under `rootPath`
// (null: the global root), each resolved as an open would resolve it; a path
// whose file does not exist is returned empty (logged "file not exist %s" /
// "crc file not exist %s"). outMmapKey receives the registry key an open
// instance of the store has.
// REQUIRES: registryLock() held; checkStoreRoot(rootPath).
std::pair<std::string, std::string> getStorage(const std::string &mmapID, const std::string *rootPath,
                                               std::string &outMmapKey);

} // namespace vorn
