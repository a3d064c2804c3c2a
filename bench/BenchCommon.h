// Helpers shared by the two tables of store_bench (StoreBench.cpp and
// LargeStoreBench.cpp): temporary directories and the machine description
// of the table headers.
#pragma once

#include <sys/stat.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace vornbench {

// A fresh directory under the base, removed with everything in it.
class TempDir {
public:
    TempDir(const std::string &base, const std::string &prefix) {
        std::string pattern = base + "/" + prefix + ".XXXXXX";
        if (!mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp " + pattern + ": " + std::strerror(errno));
        }
        m_path = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return m_path; }

private:
    std::string m_path;
};

inline std::string fileSystemOf(const std::string &dir) {
#if defined(__linux__)
    struct statfs fsInfo {};
    if (statfs(dir.c_str(), &fsInfo) == 0) {
        switch (static_cast<unsigned long>(fsInfo.f_type)) {
        case 0xEF53:
            return "ext4";
        case 0x01021994:
            return "tmpfs";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        case 0x794C7630:
            return "overlayfs";
        default:
            break;
        }
    }
#else
    (void)dir;
#endif
    return "unknown file system";
}

inline std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto colon = line.find(':');
            if (colon != std::string::npos) {
                return line.substr(colon + 2);
            }
        }
    }
    return "unknown cpu";
}

// The header line of a table: what it ran on and how busy the machine was.
inline std::string machineLine(double loadBefore, const std::string &dir) {
    char load[32];
    std::snprintf(load, sizeof load, "%.2f", loadBefore);
    return cpuModel() + ", " + std::to_string(std::thread::hardware_concurrency()) +
           " hardware threads, load average " + load + " before the run; stores in " + dir + " (" +
           fileSystemOf(dir) + ").";
}

} // namespace vornbench
