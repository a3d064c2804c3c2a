#include "platform/VORNFileUtil.h"

#include "PlatformTestSupport.h"
#include "encoding/VornBuffer.h"
#include "platform/MemoryFile.h"
#include "platform/SystemCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace vorn {
namespace {

using testing_support::errorText;
using testing_support::fileType;
using testing_support::LogCapture;
using testing_support::plant;
using testing_support::Planted;
using testing_support::plantedType;
using testing_support::readFile;
using testing_support::TempDir;
using testing_support::Watchdog;
using testing_support::writeFile;

std::string errnoText(int error) {
    return std::to_string(error) + "(" + errorText(error) + ")";
}

// Names of the entries of `dir`, sorted.
std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string bytesOf(const std::string &seed, size_t length) {
    std::string bytes;
    while (bytes.size() < length) {
        bytes += seed + std::to_string(bytes.size());
    }
    bytes.resize(length);
    return bytes;
}

class FileUtilTest : public ::testing::Test {
protected:
    void SetUp() override {
        char *cwd = getcwd(nullptr, 0);
        ASSERT_NE(cwd, nullptr);
        m_cwd = cwd;
        free(cwd);
        m_root = fs::canonical(m_dir.path()).string();
    }
    void TearDown() override { ASSERT_EQ(chdir(m_cwd.c_str()), 0); }

    std::string path(const std::string &name) const { return m_root + "/" + name; }

    TempDir m_dir;
    std::string m_root; // m_dir with symbolic links resolved
    std::string m_cwd;
    LogCapture m_log;
    ScopedSystemCallsOverride m_calls;
};

// mkdir calls seen while the recorder is installed.
std::vector<std::string> g_mkdirs;
int recordingMkdir(const char *path, mode_t mode) {
    g_mkdirs.push_back(path);
    return realSystemCalls().mkdir(path, mode);
}
// Another process creates the directory first.
int raceLosingMkdir(const char *path, mode_t mode) {
    realSystemCalls().mkdir(path, mode);
    errno = EEXIST;
    return -1;
}

TEST_F(FileUtilTest, MkPathCreatesEachMissingComponentInTurn) {
    ASSERT_EQ(chdir(m_root.c_str()), 0);
    ASSERT_TRUE(mkPath(path("have/all")));
    writeFile(path("plain"), "x");
    struct Case {
        const char *name;
        std::string target;
        bool result;
        std::vector<std::string> mkdirs;
        std::vector<std::string> problems;
    } cases[] = {
        {"everything exists", path("have/all"), true, {}, {}},
        {"relative, runs of slashes", "x//y///z", true, {"x", "x//y", "x//y///z"}, {}},
        {"trailing slashes", "p/q//", true, {"p", "p/q"}, {}},
        {"a regular file in the way", path("plain/sub"), false, {}, {path("plain") + ": " + errorText(ENOTDIR)}},
        {"empty path", "", false, {}, {}},
        {"root only", "/", true, {}, {}},
    };
    m_calls->mkdir = recordingMkdir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_mkdirs.clear();
        m_log.clear();
        EXPECT_EQ(mkPath(c.target), c.result);
        EXPECT_EQ(g_mkdirs, c.mkdirs);
        std::vector<std::string> problems;
        for (const auto &line : m_log.problems()) {
            EXPECT_EQ(line.function, "mkPath");
            problems.push_back(line.message);
        }
        EXPECT_EQ(problems, c.problems);
        if (c.result && !c.target.empty()) {
            EXPECT_TRUE(fs::is_directory(c.target));
        }
    }
    EXPECT_TRUE(fs::is_directory(path("x/y/z")));

    // Losing a creation race to another process is still success.
    m_calls->mkdir = raceLosingMkdir;
    m_log.clear();
    EXPECT_TRUE(mkPath(path("raced/deeper")));
    EXPECT_TRUE(fs::is_directory(path("raced/deeper")));
    EXPECT_TRUE(m_log.problems().empty());
}

TEST_F(FileUtilTest, IsFileExist) {
    writeFile(path("f"), "");
    EXPECT_TRUE(isFileExist(path("f")));
    EXPECT_TRUE(isFileExist(m_root));
    EXPECT_FALSE(isFileExist(path("missing")));
    EXPECT_FALSE(isFileExist(""));
}

// Reads at most 100 bytes per call.
ssize_t shortRead(int fd, void *buffer, size_t count) {
    return realSystemCalls().read(fd, buffer, std::min<size_t>(count, 100));
}

TEST_F(FileUtilTest, ReadWholeFileReturnsExactlyTheBytesOrNull) {
    const size_t page = getPageSize();
    struct Case {
        const char *name;
        std::string content;
        bool shortReads;
    } cases[] = {
        {"inline sized", "hello", false},
        {"several pages", bytesOf("r", 3 * page + 1), false},
        {"several pages in short reads", bytesOf("s", 3 * page + 1), true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path("whole"), c.content);
        if (c.shortReads) {
            m_calls->read = shortRead;
        }
        std::unique_ptr<VornBuffer> buffer(readWholeFile(path("whole")));
        m_calls->read = realSystemCalls().read;
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(std::string(static_cast<char *>(buffer->data()), buffer->size()), c.content);
    }
    EXPECT_TRUE(m_log.lines.empty());

    writeFile(path("empty"), "");
    EXPECT_EQ(readWholeFile(path("empty")), nullptr);
    EXPECT_TRUE(m_log.lines.empty());

    EXPECT_EQ(readWholeFile(path("missing")), nullptr);
    ASSERT_EQ(m_log.lines.size(), 1u);
    EXPECT_EQ(m_log.lines[0].level, VORNLogWarning);
    EXPECT_EQ(m_log.lines[0].message, "fail to open " + path("missing") + ": " + errorText(ENOENT));
}

// A store's meta file is read whole by the validity check and by restore:
// nothing planted at its name is read through or waited on.
TEST_F(FileUtilTest, ReadWholeFileRefusesAnythingButARegularFile) {
    const std::string victim = path("victim");
    for (Planted kind : {Planted::LinkToVictim, Planted::DanglingLink, Planted::Fifo, Planted::Directory}) {
        SCOPED_TRACE(toString(kind));
        fs::remove_all(path("planted"));
        ::unlink(victim.c_str());
        if (kind != Planted::DanglingLink) {
            writeFile(victim, "secret");
        }
        plant(kind, path("planted"), victim);
        m_log.clear();
        {
            Watchdog watchdog(30);
            EXPECT_EQ(readWholeFile(path("planted")), nullptr);
        }
        EXPECT_EQ(fileType(path("planted")), plantedType(kind));
        auto problems = m_log.problems();
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].function, "openRegularFile");
        EXPECT_EQ(problems[0].message.rfind("refuse to open [" + path("planted") + "]: ", 0), 0u)
            << problems[0].message;
    }
}

TEST_F(FileUtilTest, AbsolutePathResolvesWhatExistsAndFallsBackWithoutThrowing) {
    fs::create_directories(path("real/inner"));
    fs::create_directory_symlink(path("real"), path("link"));
    fs::create_symlink("loop", path("loop"));
    ASSERT_EQ(chdir(m_root.c_str()), 0);

    EXPECT_EQ(absolutePath("real/../real/./inner/new/file"), path("real/inner/new/file"));
    EXPECT_EQ(absolutePath(path("link/inner")), path("real/inner"));
    EXPECT_TRUE(m_log.lines.empty());

    // A symbolic link loop cannot be canonicalised: the absolute form is kept.
    EXPECT_EQ(absolutePath("loop/x"), path("loop/x"));
    ASSERT_EQ(m_log.lines.size(), 1u);
    EXPECT_EQ(m_log.lines[0].level, VORNLogError);
    EXPECT_EQ(m_log.lines[0].message.rfind("fail to weakly_canonical() path " + path("loop/x") + ", error: ", 0), 0u)
        << m_log.lines[0].message;

    // No current directory any more: nothing can be made absolute; the path
    // comes back as given instead of an exception.
    fs::create_directory(path("gone"));
    ASSERT_EQ(chdir(path("gone").c_str()), 0);
    fs::remove(path("gone"));
    m_log.clear();
    EXPECT_EQ(absolutePath("relative/x"), "relative/x");
    ASSERT_EQ(m_log.lines.size(), 1u);
    EXPECT_EQ(m_log.lines[0].message.rfind("fail to absolute() path relative/x, error: ", 0), 0u);
}

int g_reads = 0;
ssize_t countingRead(int fd, void *buffer, size_t count) {
    g_reads++;
    return realSystemCalls().read(fd, buffer, count);
}
ssize_t failingWrite(int, const void *, size_t) {
    errno = ENOSPC;
    return -1;
}

TEST_F(FileUtilTest, CopyFileContentLeavesExactlyTheSourceBytes) {
    const size_t page = getPageSize();
    const std::string source = bytesOf("src", 2 * page + 17);
    const std::string longer = bytesOf("OLD", 4 * page);
    writeFile(path("src"), source);

    // Path to path: the target is truncated on open.
    writeFile(path("dst"), longer);
    EXPECT_TRUE(copyFileContent(path("src"), path("dst")));
    EXPECT_EQ(readFile(path("dst")), source);

    struct Case {
        const char *name;
        bool needTruncate;
        std::string expected;
    } cases[] = {
        {"descriptor, truncating", true, source},
        {"descriptor, keeping the tail", false, source + longer.substr(source.size())},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(path("dst"), longer);
        int fd = ::open(path("dst").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ::lseek(fd, 100, SEEK_SET); // the copy starts at 0 wherever the offset was
        EXPECT_TRUE(copyFileContent(path("src"), fd, c.needTruncate));
        ::close(fd);
        EXPECT_EQ(readFile(path("dst")), c.expected);
    }
    EXPECT_TRUE(m_log.problems().empty());

    // The two-argument descriptor form truncates.
    writeFile(path("dst"), longer);
    int fd = ::open(path("dst").c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_TRUE(copyFileContent(path("src"), fd));
    ::close(fd);
    EXPECT_EQ(readFile(path("dst")), source);
    EXPECT_FALSE(copyFileContent(path("src"), -1, true));
}

TEST_F(FileUtilTest, CopyFileContentReadsToTheEndWhateverTheReadSizes) {
    const size_t page = getPageSize();
    struct Case {
        const char *name;
        size_t size;
        ssize_t (*read)(int, void *, size_t);
        int reads; // -1: not checked
    } cases[] = {
        {"exact multiple of the page: one extra empty read", 2 * page, countingRead, 3},
        // A short read is not taken for the end: only a read of 0 bytes is.
        {"partial last page", 2 * page + 1, countingRead, 4},
        {"reads shorter than a page", 2 * page + 1, shortRead, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string source = bytesOf("p", c.size);
        writeFile(path("src"), source);
        g_reads = 0;
        m_calls->read = c.read;
        EXPECT_TRUE(copyFileContent(path("src"), path("dst")));
        m_calls->read = realSystemCalls().read;
        EXPECT_EQ(readFile(path("dst")), source);
        if (c.reads >= 0) {
            EXPECT_EQ(g_reads, c.reads);
        }
    }
}

TEST_F(FileUtilTest, CopyFileContentFailuresLeaveTheTargetAsFarAsPossible) {
    // A missing source never empties the target.
    writeFile(path("dst"), "precious");
    EXPECT_FALSE(copyFileContent(path("missing"), path("dst")));
    EXPECT_EQ(readFile(path("dst")), "precious");

    writeFile(path("src"), "data");
    int fd = ::open(path("dst").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    m_calls->write = failingWrite;
    m_log.clear();
    EXPECT_FALSE(copyFileContent(path("src"), fd, true));
    m_calls->write = realSystemCalls().write;
    ASSERT_EQ(m_log.problems().size(), 1u);
    EXPECT_EQ(m_log.problems()[0].function, "copyFileContent");
    EXPECT_EQ(m_log.problems()[0].message, "fail to write fd [" + std::to_string(fd) + "], " + errnoText(ENOSPC));
    ::close(fd);
}

std::vector<std::string> g_templates;
int recordingMkstemp(char *pattern) {
    g_templates.push_back(pattern);
    return realSystemCalls().mkstemp(pattern);
}
int crossDeviceRename(const char *, const char *) {
    errno = EXDEV;
    return -1;
}

class CopyFileTest : public FileUtilTest {
protected:
    void SetUp() override {
        FileUtilTest::SetUp();
        fs::create_directory(path("from"));
        fs::create_directory(path("to"));
        m_source = bytesOf("copy", 3 * getPageSize() + 5);
        writeFile(path("from/src"), m_source);
        writeFile(path("to/dst"), bytesOf("OLD", 5 * getPageSize()));
        g_templates.clear();
        m_calls->mkstemp = recordingMkstemp;
    }

    std::string m_source;
};

TEST_F(CopyFileTest, CopiesThroughATemporaryFileBesideTheTarget) {
    ASSERT_TRUE(copyFile(path("from/src"), path("to/dst")));
    EXPECT_EQ(readFile(path("to/dst")), m_source);
    EXPECT_EQ(entries(path("to")), std::vector<std::string>{"dst"});
    EXPECT_EQ(entries(path("from")), std::vector<std::string>{"src"});
    ASSERT_EQ(g_templates.size(), 1u);
    EXPECT_EQ(g_templates[0], path("to/VORN.XXXXXX"));

    std::vector<std::string> infos = m_log.messagesOf("copyFile");
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_TRUE(std::regex_match(infos[0], std::regex("copyfile \\[" + path("from/src") + "\\] to \\[" +
                                                      path("to/VORN\\.") + "[A-Za-z0-9]{6}\\]")))
        << infos[0];
    EXPECT_EQ(infos[1], "copyfile [" + path("from/src") + "] to [" + path("to/dst") + "] finish.");
    EXPECT_TRUE(m_log.problems().empty());

    // A target named without a directory goes through the current one.
    ASSERT_EQ(chdir(path("to").c_str()), 0);
    ASSERT_TRUE(copyFile(path("from/src"), "here"));
    EXPECT_EQ(readFile(path("to/here")), m_source);
    EXPECT_EQ(entries(path("to")), (std::vector<std::string>{"dst", "here"}));
}

TEST_F(CopyFileTest, FallsBackToRewritingTheTargetWhenRenameFails) {
    m_calls->rename = crossDeviceRename;
    ASSERT_TRUE(copyFile(path("from/src"), path("to/dst")));
    EXPECT_EQ(readFile(path("to/dst")), m_source);
    EXPECT_EQ(entries(path("to")), std::vector<std::string>{"dst"});

    auto problems = m_log.problems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].function, "tryAtomicRename");
    EXPECT_TRUE(std::regex_match(problems[0].message,
                                 std::regex("fail to rename \\[" + path("to/VORN\\.") + "[A-Za-z0-9]{6}\\] to \\[" +
                                            path("to/dst") + "\\], " + std::to_string(EXDEV) + "\\(.*\\)")))
        << problems[0].message;
    std::vector<std::string> infos = m_log.messagesOf("copyFile");
    ASSERT_EQ(infos.size(), 3u);
    EXPECT_EQ(infos[1], "rename fail, try copy file content instead.");
}

TEST_F(CopyFileTest, FailuresNeverLeaveTheTemporaryFile) {
    struct Case {
        const char *name;
        std::string src, dst;
        std::string expectedProblemFunction;
    } cases[] = {
        {"missing source", path("from/missing"), path("to/dst"), "open"},
        // rename onto a directory fails, and so does the fallback's open.
        {"target is a directory", path("from/src"), path("to/subdir"), "tryAtomicRename"},
    };
    fs::create_directory(path("to/subdir"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        EXPECT_FALSE(copyFile(c.src, c.dst));
        EXPECT_EQ(entries(path("to")), (std::vector<std::string>{"dst", "subdir"}));
        EXPECT_TRUE(fs::is_empty(path("to/subdir")));
        EXPECT_EQ(readFile(path("to/dst")), bytesOf("OLD", 5 * getPageSize()));
        ASSERT_FALSE(m_log.problems().empty());
        EXPECT_EQ(m_log.problems()[0].function, c.expectedProblemFunction);
    }

    // No temporary file at all when its directory is missing.
    m_log.clear();
    EXPECT_FALSE(copyFile(path("from/src"), path("nowhere/dst")));
    auto problems = m_log.problems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].function, "createUniqueTempFile");
    EXPECT_TRUE(std::regex_match(problems[0].message,
                                 std::regex("fail to create unique temp file \\[" + path("nowhere/VORN\\.") +
                                            ".{6}\\], " + std::to_string(ENOENT) + "\\(.*\\)")))
        << problems[0].message;
}

// readdir stand-in that hides the entry type, as some file systems do.
struct dirent g_untyped;
struct dirent *untypedReaddir(DIR *dir) {
    struct dirent *entry = realSystemCalls().readdir(dir);
    if (!entry) {
        return nullptr;
    }
    memset(&g_untyped, 0, sizeof(g_untyped));
    g_untyped.d_ino = entry->d_ino;
    g_untyped.d_type = DT_UNKNOWN;
    memcpy(g_untyped.d_name, entry->d_name, std::min(strlen(entry->d_name), sizeof(g_untyped.d_name) - 1));
    return &g_untyped;
}

TEST_F(FileUtilTest, WalkInDirReportsTopLevelEntriesOfTheAskedKinds) {
    fs::create_directory(path("walk"));
    writeFile(path("walk/f1"), "1");
    writeFile(path("walk/f2.crc"), "2");
    fs::create_directories(path("walk/d1/nested"));
    writeFile(path("walk/d1/inner"), "3");
    fs::create_symlink(path("walk/f1"), path("walk/link"));
    fs::create_directory_symlink(path("walk/d1"), path("walk/dirlink"));

    using Found = std::set<std::pair<std::string, WalkType>>;
    const std::string base = path("walk/");
    const Found files = {{base + "f1", WalkType::RegularFile}, {base + "f2.crc", WalkType::RegularFile}};
    const Found dirs = {{base + "d1", WalkType::Directory}};
    Found both = files;
    both.insert(dirs.begin(), dirs.end());
    struct Case {
        const char *name;
        WalkType type;
        Found expected;
    } cases[] = {
        {"regular files", WalkType::RegularFile, files},
        {"directories", WalkType::Directory, dirs},
        {"both", WalkType::RegularFile | WalkType::Directory, both},
    };
    for (bool hideTypes : {false, true}) {
        m_calls->readdir = hideTypes ? untypedReaddir : realSystemCalls().readdir;
        for (const auto &c : cases) {
            for (const std::string &dir : {path("walk"), path("walk/")}) {
                SCOPED_TRACE(std::string(c.name) + (hideTypes ? " (types hidden) " : " ") + dir);
                Found found;
                walkInDir(dir, c.type, [&](const std::string &entry, WalkType kind) { found.insert({entry, kind}); });
                EXPECT_EQ(found, c.expected);
            }
        }
    }
    EXPECT_TRUE(m_log.lines.empty());

    int calls = 0;
    walkInDir(path("missing"), WalkType::RegularFile, [&](const std::string &, WalkType) { calls++; });
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(m_log.lines.size(), 1u);
    EXPECT_EQ(m_log.lines[0].message,
              "opendir failed: " + std::to_string(ENOENT) + "(" + errorText(ENOENT) + "), " + path("missing"));
}

TEST_F(FileUtilTest, DeleteAndRenameReportFailures) {
    writeFile(path("a"), "a");
    EXPECT_TRUE(tryAtomicRename(path("a"), path("b")));
    EXPECT_EQ(readFile(path("b")), "a");
    EXPECT_TRUE(deleteFile(path("b")));
    EXPECT_FALSE(isFileExist(path("b")));
    EXPECT_TRUE(m_log.problems().empty());

    EXPECT_FALSE(tryAtomicRename(path("a"), path("c")));
    EXPECT_FALSE(deleteFile(path("b")));
    std::vector<std::string> messages;
    for (const auto &line : m_log.problems()) {
        messages.push_back(line.function + ": " + line.message);
    }
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  "tryAtomicRename: fail to rename [" + path("a") + "] to [" + path("c") + "], " + errnoText(ENOENT),
                  "deleteFile: fail to delete file [" + path("b") + "], " + std::to_string(ENOENT) + " (" +
                      errorText(ENOENT) + ")",
              }));
}

int alwaysMissingAccess(const char *, int) {
    errno = ENOENT;
    return -1;
}

TEST_F(FileUtilTest, UniqueFileNamesNeverTakeAnExistingName) {
    EXPECT_EQ(getUniqueFileName(path("missing"), "base"), std::nullopt);

    // Random names: two calls, two new empty files.
    writeFile(path("keep"), "keep");
    auto first = getUniqueFileName(m_root, "data");
    auto second = getUniqueFileName(m_root, "data");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    for (const auto &name : {*first, *second}) {
        EXPECT_TRUE(std::regex_match(name, std::regex(path("data\\.[0-9]+\\.tmp")))) << name;
        EXPECT_EQ(readFile(name), "");
    }
    EXPECT_EQ(readFile(path("keep")), "keep");

    // Scripted numbers: taken names are skipped, whether the check sees them
    // or they appear between the check and the creation.
    writeFile(path("base.1.tmp"), "taken");
    writeFile(path("base.7.tmp"), "taken");
    struct Case {
        const char *name;
        std::vector<uint64_t> numbers;
        bool lyingAccess;
        std::optional<std::string> expected;
        size_t draws;
    } cases[] = {
        {"seen as existing", {1, 2}, false, path("base.2.tmp"), 2},
        {"created behind the check", {7, 8}, true, path("base.8.tmp"), 2},
        {"every attempt taken", std::vector<uint64_t>(100, 1), false, std::nullopt, 64},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        size_t draws = 0;
        m_calls->access = c.lyingAccess ? alwaysMissingAccess : realSystemCalls().access;
        auto result = getUniqueFileName(m_root, "base", [&]() { return c.numbers[draws++]; });
        m_calls->access = realSystemCalls().access;
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(draws, c.draws);
        EXPECT_EQ(readFile(path("base.1.tmp")), "taken");
        EXPECT_EQ(readFile(path("base.7.tmp")), "taken");
    }
}

// Backup writes a store's files into a directory someone else may write to,
// and restore writes into the store's root: a link planted at a target name
// must never have its target written (nor a dangling one's created), and a
// FIFO must not block the copy.
TEST_F(CopyFileTest, PlantedTargetsAreNeverWrittenThrough) {
    const std::string victim = path("victim");
    const std::string target = path("to/planted");
    enum class Copy { ContentToPath, ThroughRename, RenameFailing };
    const char *copyNames[] = {"copyFileContent to a path", "copyFile", "copyFile, rename failing"};
    struct Case {
        Copy copy;
        Planted kind;
        bool succeeds; // then the target is a new regular file with the source's bytes
    } cases[] = {
        // The in-place copy opens the target by name: refused.
        {Copy::ContentToPath, Planted::LinkToVictim, false},
        {Copy::ContentToPath, Planted::DanglingLink, false},
        {Copy::ContentToPath, Planted::Fifo, false},
        {Copy::ContentToPath, Planted::Directory, false},
        // The rename replaces the planted entry itself.
        {Copy::ThroughRename, Planted::LinkToVictim, true},
        {Copy::ThroughRename, Planted::DanglingLink, true},
        {Copy::ThroughRename, Planted::Fifo, true},
        {Copy::ThroughRename, Planted::Directory, false},
        // Its fallback rewrites the target by name: refused.
        {Copy::RenameFailing, Planted::LinkToVictim, false},
        {Copy::RenameFailing, Planted::DanglingLink, false},
        {Copy::RenameFailing, Planted::Fifo, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(copyNames[static_cast<int>(c.copy)]) + ", " + toString(c.kind));
        fs::remove_all(target);
        ::unlink(victim.c_str());
        if (c.kind != Planted::DanglingLink) {
            writeFile(victim, "victim bytes");
        }
        plant(c.kind, target, victim);
        m_calls->rename = c.copy == Copy::RenameFailing ? crossDeviceRename : realSystemCalls().rename;
        bool copied = false;
        {
            Watchdog watchdog(30);
            copied = c.copy == Copy::ContentToPath ? copyFileContent(path("from/src"), target)
                                                   : copyFile(path("from/src"), target);
        }
        m_calls->rename = realSystemCalls().rename;
        EXPECT_EQ(copied, c.succeeds);
        if (c.kind == Planted::DanglingLink) {
            EXPECT_EQ(fileType(victim), 0u);
        } else {
            EXPECT_EQ(readFile(victim), "victim bytes");
        }
        if (c.succeeds) {
            EXPECT_EQ(fileType(target), static_cast<unsigned>(S_IFREG));
            EXPECT_EQ(readFile(target), m_source);
        } else {
            EXPECT_EQ(fileType(target), plantedType(c.kind));
        }
        // No temporary file is left behind either way.
        EXPECT_EQ(entries(path("to")), (std::vector<std::string>{"dst", "planted"}));
    }
}

// A backup reads the store's files by name: a link planted at one of them
// would copy its target (any file the process may read) into the backup.
TEST_F(CopyFileTest, ALinkAsTheSourceIsNotCopied) {
    writeFile(path("secret"), "not the store's");
    plant(Planted::LinkToVictim, path("from/linked"), path("secret"));
    const std::string before = readFile(path("to/dst"));
    EXPECT_FALSE(copyFile(path("from/linked"), path("to/dst")));
    EXPECT_FALSE(copyFileContent(path("from/linked"), path("to/dst")));
    EXPECT_EQ(readFile(path("to/dst")), before);
    EXPECT_EQ(entries(path("to")), std::vector<std::string>{"dst"});
}

} // namespace
} // namespace vorn
