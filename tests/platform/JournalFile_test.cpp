// The rewrite journal's file: made new at each rewrite and read back after a
// crash. Whatever a local attacker puts at its name beforehand must neither be
// written through (a link's target would be truncated and overwritten by the
// next compaction) nor block the store (a FIFO).

#include "platform/JournalFile.h"

#include "PlatformTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

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

constexpr const char *kVictimBytes = "bytes of a file the store must never write";

class JournalFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = m_dir.file("store:rewrite");
        m_victim = m_dir.file("victim");
    }
    // The victim as the case needs it: present with known bytes, or absent
    // (a dangling link's target).
    void ResetVictim(Planted kind) {
        ::unlink(m_victim.c_str());
        if (kind != Planted::DanglingLink) {
            writeFile(m_victim, kVictimBytes);
        }
    }
    void ExpectVictimUntouched(Planted kind) {
        if (kind == Planted::DanglingLink) {
            EXPECT_EQ(fileType(m_victim), 0u) << "the link's target was created";
        } else {
            EXPECT_EQ(readFile(m_victim), kVictimBytes);
        }
    }

    TempDir m_dir;
    std::string m_path;
    std::string m_victim;
    LogCapture m_log;
};

TEST_F(JournalFileTest, CreateReplacesWhateverIsAtTheNameWithANewFile) {
    struct Case {
        const char *name;
        std::function<void(const std::string &path, const std::string &victim)> put;
        Planted victimKind; // how the victim is prepared
    } cases[] = {
        {"leftover journal", [](const std::string &path, const std::string &) { writeFile(path, "old journal"); },
         Planted::LinkToVictim},
        {"symbolic link to a file",
         [](const std::string &path, const std::string &victim) { plant(Planted::LinkToVictim, path, victim); },
         Planted::LinkToVictim},
        {"dangling symbolic link",
         [](const std::string &path, const std::string &victim) { plant(Planted::DanglingLink, path, victim); },
         Planted::DanglingLink},
        {"FIFO", [](const std::string &path, const std::string &victim) { plant(Planted::Fifo, path, victim); },
         Planted::LinkToVictim},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_path);
        ResetVictim(c.victimKind);
        c.put(m_path, m_victim);
        m_log.clear();
        JournalFile file(m_path);
        {
            Watchdog watchdog(30);
            ASSERT_TRUE(file.create());
        }
        EXPECT_EQ(fileType(m_path), static_cast<unsigned>(S_IFREG));
        EXPECT_EQ(file.size(), 0);
        ASSERT_TRUE(file.append("new", 3));
        ASSERT_TRUE(file.flush());
        ASSERT_TRUE(file.writeAt(0, "N", 1));
        file.close();
        EXPECT_EQ(readFile(m_path), "New");
        ExpectVictimUntouched(c.victimKind);
        EXPECT_TRUE(m_log.problems().empty()) << m_log.problems()[0].message;
    }
}

TEST_F(JournalFileTest, CreateFailsCleanlyWhereADirectoryHoldsTheName) {
    plant(Planted::Directory, m_path, m_victim);
    writeFile(m_path + "/inside", "kept");
    JournalFile file(m_path);
    EXPECT_FALSE(file.create());
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(file.append("x", 1));
    EXPECT_EQ(fileType(m_path), static_cast<unsigned>(S_IFDIR));
    EXPECT_EQ(readFile(m_path + "/inside"), "kept");
    const auto problems = m_log.problems();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].level, VORNLogWarning);
    // unlink(2) of a directory: EISDIR here, EPERM on some systems.
    EXPECT_EQ(problems[0].message.rfind("fail to remove leftover [" + m_path + "], ", 0), 0u) << problems[0].message;
    EXPECT_EQ(problems[1].level, VORNLogError);
    EXPECT_EQ(problems[1].message,
              "fail to create [" + m_path + "], " + std::to_string(EEXIST) + "(" + errorText(EEXIST) + ")");
}

TEST_F(JournalFileTest, OpenForReadingRefusesAnythingButARegularFile) {
    for (Planted kind : {Planted::LinkToVictim, Planted::DanglingLink, Planted::Fifo, Planted::Directory}) {
        SCOPED_TRACE(toString(kind));
        std::filesystem::remove_all(m_path);
        ResetVictim(kind);
        plant(kind, m_path, m_victim);
        m_log.clear();
        JournalFile file(m_path);
        {
            Watchdog watchdog(30);
            EXPECT_FALSE(file.openForReading());
        }
        EXPECT_FALSE(file.isOpen());
        EXPECT_EQ(fileType(m_path), plantedType(kind));
        ExpectVictimUntouched(kind);
        const auto problems = m_log.problems();
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_EQ(problems[0].function, "openRegularFile");
        const bool link = kind == Planted::LinkToVictim || kind == Planted::DanglingLink;
        EXPECT_EQ(problems[0].message.rfind("refuse to open [" + m_path +
                                                "]: " + (link ? "a symbolic link" : "not a regular file, mode 0"),
                                            0),
                  0u)
            << problems[0].message;

        // remove() takes the planted entry away (a link, not its target).
        if (kind != Planted::Directory) {
            EXPECT_TRUE(file.remove());
            EXPECT_EQ(fileType(m_path), 0u);
            ExpectVictimUntouched(kind);
        }
    }

    // Absent: false and silent; a regular file opens.
    std::filesystem::remove_all(m_path);
    m_log.clear();
    JournalFile file(m_path);
    EXPECT_FALSE(file.openForReading());
    EXPECT_TRUE(m_log.lines.empty());
    writeFile(m_path, "journal");
    ASSERT_TRUE(file.openForReading());
    char bytes[7];
    ASSERT_TRUE(file.readAt(0, bytes, sizeof(bytes)));
    EXPECT_EQ(std::string(bytes, sizeof(bytes)), "journal");
}

} // namespace
} // namespace vorn
