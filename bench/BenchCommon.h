// Helpers shared by the two tables of store_bench (StoreBench.cpp and
// LargeStoreBench.cpp): temporary directories and the machine description
// of the table headers.
#pragma once

#include <sys/stat.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif

#include <algorithm>
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
#include <vector>

#include <unistd.h>

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

// A Markdown table, columns padded to their widest cell: the header line,
// the rule, the rows; then one "FAILED" line per failure.
inline void printMarkdownTable(const std::vector<std::vector<std::string>> &table,
                               const std::vector<std::string> &failures) {
    std::vector<size_t> width(table.front().size(), 3);
    for (const auto &line : table) {
        for (size_t c = 0; c < line.size(); c++) {
            width[c] = std::max(width[c], line[c].size());
        }
    }
    auto printLine = [&](const std::vector<std::string> &line) {
        std::string text = "|";
        for (size_t c = 0; c < line.size(); c++) {
            text += " " + line[c] + std::string(width[c] - line[c].size(), ' ') + " |";
        }
        std::printf("%s\n", text.c_str());
    };
    printLine(table.front());
    std::string rule = "|";
    for (size_t c = 0; c < width.size(); c++) {
        rule += std::string(width[c] + 2, '-') + "|";
    }
    std::printf("%s\n", rule.c_str());
    for (size_t i = 1; i < table.size(); i++) {
        printLine(table[i]);
    }
    for (const auto &f : failures) {
        std::printf("\nFAILED %s\n", f.c_str());
    }
    std::fflush(stdout);
}

// Reads until `size` bytes have come, the writer has closed its end, or an
// error other than EINTR; returns how many bytes came.
inline size_t readFully(int fd, void *buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, static_cast<char *>(buffer) + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return got;
}

} // namespace vornbench
