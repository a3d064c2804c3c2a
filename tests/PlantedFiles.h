#pragma once

// What a local attacker can put at a file's name instead of the file, for
// the tests of the platform layer and of the store (header-only: the two
// test binaries share no support library).

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vorn_planted {

enum class Planted {
    LinkToVictim, // a symbolic link to an existing file
    DanglingLink, // a symbolic link to a name where nothing exists yet
    Fifo,
    Directory,
};

inline const char *toString(Planted kind) {
    switch (kind) {
    case Planted::LinkToVictim:
        return "symbolic link to a file";
    case Planted::DanglingLink:
        return "dangling symbolic link";
    case Planted::Fifo:
        return "FIFO";
    case Planted::Directory:
        return "directory";
    }
    return "?";
}

// Puts `kind` at `path` (which must not exist); links point to `victim`.
inline void plant(Planted kind, const std::string &path, const std::string &victim) {
    switch (kind) {
    case Planted::LinkToVictim:
    case Planted::DanglingLink:
        ASSERT_EQ(::symlink(victim.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
        break;
    case Planted::Fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path << ": " << strerror(errno);
        break;
    case Planted::Directory:
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path << ": " << strerror(errno);
        break;
    }
}

// The file type bits of lstat(path) (S_IFLNK, S_IFIFO, ...); 0 when nothing is there.
inline unsigned fileType(const std::string &path) {
    struct stat info = {};
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<unsigned>(info.st_mode & S_IFMT) : 0;
}

// The type `kind` leaves at its path.
inline unsigned plantedType(Planted kind) {
    switch (kind) {
    case Planted::LinkToVictim:
    case Planted::DanglingLink:
        return S_IFLNK;
    case Planted::Fifo:
        return S_IFIFO;
    case Planted::Directory:
        return S_IFDIR;
    }
    return 0;
}

} // namespace vorn_planted
