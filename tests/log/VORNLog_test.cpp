#include "log/VORNLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Received {
    VORNLogLevel level;
    std::string file;
    int line;
    std::string function;
    std::string message;
};

class RecordingHandler : public vorn::VORNHandler {
public:
    std::vector<Received> messages;
    VORNRecoverStrategic answer = OnErrorRecover;

    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override {
        messages.push_back({level, file, line, function, message});
    }
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return answer; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return answer; }
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}
};

// Restores the process-wide log state each test changes.
class LogTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_currentLogLevel = VORNLogInfo;
        g_handler = nullptr;
    }

    static std::string printed(VORNLogLevel level, const char *file, const char *func, int line, const char *text) {
        testing::internal::CaptureStdout();
        _VORNLogWithLevel(level, file, func, line, "%s", text);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(LogTest, PrintedLineHasLevelLetterSourceLineAndFunction) {
    struct Case {
        VORNLogLevel level;
        const char *expected;
    } cases[] = {
        {VORNLogInfo, "[I] <VORN:42::loadFromFile> hello\n"},
        {VORNLogWarning, "[W] <VORN:42::loadFromFile> hello\n"},
        {VORNLogError, "[E] <VORN:42::loadFromFile> hello\n"},
        {static_cast<VORNLogLevel>(3 + 7), "[N] <VORN:42::loadFromFile> hello\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(printed(c.level, "VORN", "loadFromFile", 42, "hello"), c.expected);
    }
    g_currentLogLevel = VORNLogDebug;
    EXPECT_EQ(printed(VORNLogDebug, "ThreadLock", "lock", 7, "x"), "[D] <ThreadLock:7::lock> x\n");
}

TEST_F(LogTest, LevelFilterDropsLowerLevelsAndNoneSilencesAll) {
    RecordingHandler handler;
    g_handler = &handler;

    g_currentLogLevel = VORNLogInfo;
    _VORNLogWithLevel(VORNLogDebug, "VORN", "f", 1, "debug");
    _VORNLogWithLevel(VORNLogInfo, "VORN", "f", 2, "info");
    _VORNLogWithLevel(VORNLogError, "VORN", "f", 3, "error");
    ASSERT_EQ(handler.messages.size(), 2u);
    EXPECT_EQ(handler.messages[0].message, "info");
    EXPECT_EQ(handler.messages[1].level, VORNLogError);

    g_currentLogLevel = VORNLogNone;
    handler.messages.clear();
    _VORNLogWithLevel(VORNLogError, "VORN", "f", 4, "error");
    EXPECT_TRUE(handler.messages.empty());

    g_handler = nullptr;
    EXPECT_EQ(printed(VORNLogError, "VORN", "f", 5, "silenced"), "");
}

TEST_F(LogTest, HandlerGetsWholeMessageWithoutNewlineInsteadOfPrinting) {
    RecordingHandler handler;
    g_handler = &handler;
    const std::string path(300, 'p');

    testing::internal::CaptureStdout();
    _VORNLogWithLevel(VORNLogInfo, "VORN", "initializeVORN", 99, "root dir: %s", path.c_str());
    _VORNLogWithLevel(VORNLogInfo, "VORN", "initializeVORN", 100, "%s", "exactly15bytes!");
    _VORNLogWithLevel(VORNLogInfo, "VORN", "initializeVORN", 101, "%s", "sixteen bytes!!!");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ASSERT_EQ(handler.messages.size(), 3u);
    EXPECT_EQ(handler.messages[0].message, "root dir: " + path);
    EXPECT_EQ(handler.messages[0].file, "VORN");
    EXPECT_EQ(handler.messages[0].line, 99);
    EXPECT_EQ(handler.messages[0].function, "initializeVORN");
    EXPECT_EQ(handler.messages[1].message, "exactly15bytes!");
    EXPECT_EQ(handler.messages[2].message, "sixteen bytes!!!");
}

TEST_F(LogTest, LongPrintedMessageArrivesWhole) {
    const std::string text(1000, 'z');
    EXPECT_EQ(printed(VORNLogWarning, "MemoryFile", "open", 1, text.c_str()),
              "[W] <MemoryFile:1::open> " + text + "\n");
}

TEST_F(LogTest, DamageAnswersComeFromHandlerOrDefaultToDiscard) {
    EXPECT_EQ(vorn::onVORNCRCCheckFail("id"), OnErrorDiscard);
    EXPECT_EQ(vorn::onVORNFileLengthError("id"), OnErrorDiscard);
    RecordingHandler handler;
    g_handler = &handler;
    EXPECT_EQ(vorn::onVORNCRCCheckFail("id"), OnErrorRecover);
    EXPECT_EQ(vorn::onVORNFileLengthError("id"), OnErrorRecover);
}

} // namespace
