#include "core/NameSpace.h"

namespace vorn {

VORN *NameSpace::vornWithID(const std::string &mmapID, VORNMode mode, const std::string *cryptKey,
                            size_t expectedCapacity, bool aes256) {
    VORNConfig config;
    config.mode = mode;
    config.cryptKey = cryptKey;
    config.rootPath = &m_rootDir;
    config.expectedCapacity = expectedCapacity;
    config.aes256 = aes256;
    return VORN::getVORNWithID(mmapID, config);
}

VORN *NameSpace::vornWithID(const std::string &mmapID, const VORNConfig &config) {
    if (config.rootPath && *config.rootPath == m_rootDir) {
        return VORN::getVORNWithID(mmapID, config);
    }
    VORNConfig rooted = config;
    rooted.rootPath = &m_rootDir;
    return VORN::getVORNWithID(mmapID, rooted);
}

bool NameSpace::backupOneToDirectory(const std::string &mmapID, const std::string &dstDir) {
    return VORN::backupOneToDirectory(mmapID, dstDir, &m_rootDir);
}

bool NameSpace::restoreOneFromDirectory(const std::string &mmapID, const std::string &srcDir) {
    return VORN::restoreOneFromDirectory(mmapID, srcDir, &m_rootDir);
}

size_t NameSpace::backupAllToDirectory(const std::string &dstDir) {
    return VORN::backupAllToDirectory(dstDir, &m_rootDir);
}

size_t NameSpace::restoreAllFromDirectory(const std::string &srcDir) {
    return VORN::restoreAllFromDirectory(srcDir, &m_rootDir);
}

bool NameSpace::isFileValid(const std::string &mmapID) {
    return VORN::isFileValid(mmapID, &m_rootDir);
}

bool NameSpace::removeStorage(const std::string &mmapID) {
    return VORN::removeStorage(mmapID, &m_rootDir);
}

bool NameSpace::checkExist(const std::string &mmapID) {
    return VORN::checkExist(mmapID, &m_rootDir);
}

} // namespace vorn
