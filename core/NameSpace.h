#pragma once

#include <cstddef>
#include <string>

#include "core/VORN.h"

namespace vorn {

// A handle on a resolved root directory. Each operation forwards to the
// matching static operation of VORN with this root, so stores can be opened
// and managed under a root other than the global one, with or without
// initializeVORN.
//
// Owns nothing: it refers to a resolved root string the library keeps until
// the process ends, so a NameSpace may be copied and kept anywhere. Locking
// and failures are those of the forwarded operations. The default namespace
// obtained before any global root was set has an empty root: every operation
// on it is refused (null, false or 0).
class VORN_EXPORT NameSpace {
public:
    explicit NameSpace(const std::string &rootDir) : m_rootDir(rootDir) {}

    const std::string &getRootDir() const { return m_rootDir; }

    VORN *vornWithID(const std::string &mmapID, VORNMode mode = VORN_SINGLE_PROCESS,
                     const std::string *cryptKey = nullptr, size_t expectedCapacity = 0, bool aes256 = false);
    // A rootPath in the config naming another directory is overridden by this root.
    VORN *vornWithID(const std::string &mmapID, const VORNConfig &config);

    // VORN's backup and restore with this root as the store root.
    bool backupOneToDirectory(const std::string &mmapID, const std::string &dstDir);
    bool restoreOneFromDirectory(const std::string &mmapID, const std::string &srcDir);
    size_t backupAllToDirectory(const std::string &dstDir);
    size_t restoreAllFromDirectory(const std::string &srcDir);

    // VORN's operations on a store's files, under this root.
    bool isFileValid(const std::string &mmapID);
    bool removeStorage(const std::string &mmapID);
    bool checkExist(const std::string &mmapID);

private:
    const std::string &m_rootDir;
};

} // namespace vorn
