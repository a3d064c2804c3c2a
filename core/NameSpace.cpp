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

} // namespace vorn
