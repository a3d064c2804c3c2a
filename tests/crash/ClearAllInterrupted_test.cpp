// clearAll cuts the data file back and writes an empty meta record. A process
// that dies between the two must leave a store that opens cleanly: either the
// old contents or an empty store, never a meta record claiming more bytes than
// the cut file holds.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "CrashTestSupport.h"
#include "core/StoreTestSupport.h"

using namespace vorn_crash;

namespace {

const StoreKind kPlain = {"cleared", vorn_test::StoreOptions{}};
constexpr int kKeys = 60;

// Kills its own process when a message starts with the armed prefix.
class KillAtMessage : public CRCLogWatch {
public:
    void logMessage(VORNLogLevel level, const char *file, int line, const char *function,
                    const std::string &message) override {
        if (!armed.empty() && message.rfind(armed, 0) == 0) {
            kill(getpid(), SIGKILL);
        }
        CRCLogWatch::logMessage(level, file, line, function, message);
    }
    std::string armed;
};

struct KillPoint {
    const char *name;
    const char *prefix;      // the log line clearAll is killed at
    bool contentsRemain;     // what a fresh process then finds
};

// The new sequence is logged before the empty record reaches the meta file;
// the remap follows the cut of the data file.
const KillPoint kPoints[] = {
    {"before-meta", "[cleared] increase sequence to", true},
    {"after-cut", "mmap to address", false},
};

} // namespace

TEST(ClearAllInterrupted, StoreOpensWithOldOrNoContents) {
    const std::string role = vorn_test::currentRole();
    if (role == "clear") {
        auto sep = vorn_test::currentArg().find('|');
        const std::string root = vorn_test::currentArg().substr(0, sep);
        const KillPoint &point = kPoints[std::stoi(vorn_test::currentArg().substr(sep + 1))];
        KillAtMessage handler;
        VORN::initializeVORN(root, VORNLogInfo, &handler);
        VORN *store = vorn_test::openStore(root, kPlain.name, kPlain.options);
        ASSERT_NE(store, nullptr);
        // Enough data that the file grew past its opening size, so the clear cuts it.
        for (int i = 0; i < kKeys; i++) {
            ASSERT_TRUE(store->set(makeValue("k" + std::to_string(i), 1, i, 300), "k" + std::to_string(i)));
        }
        ASSERT_GT(store->totalSize(), static_cast<size_t>(getpagesize()));
        handler.armed = point.prefix;
        store->clearAll();
        ADD_FAILURE() << "clearAll never logged " << point.prefix;
        return;
    }
    if (role == "open") {
        const std::string root = vorn_test::currentArg().substr(0, vorn_test::currentArg().find('|'));
        const KillPoint &point = kPoints[std::stoi(vorn_test::currentArg().substr(root.size() + 1))];
        CRCLogWatch watch;
        VORN::initializeVORN(root, VORNLogWarning, &watch);
        VORN *store = vorn_test::openStore(root, kPlain.name, kPlain.options);
        ASSERT_NE(store, nullptr);
        EXPECT_EQ(store->count(), point.contentsRemain ? static_cast<size_t>(kKeys) : 0u);
        for (int i = 0; point.contentsRemain && i < kKeys; i++) {
            std::string value;
            EXPECT_TRUE(store->getString("k" + std::to_string(i), value));
            EXPECT_EQ(value, makeValue("k" + std::to_string(i), 1, i, 300));
        }
        EXPECT_EQ(watch.lengthCallbacks, 0);
        EXPECT_EQ(watch.crcCallbacks, 0);
        EXPECT_EQ(watch.crcMismatches, 0);
        ASSERT_TRUE(store->set(std::string("after"), "new"));
        std::string back;
        EXPECT_TRUE(store->getString("new", back));
        EXPECT_EQ(back, "after");
        store->close();
        return;
    }

    for (size_t i = 0; i < sizeof kPoints / sizeof kPoints[0]; i++) {
        SCOPED_TRACE(kPoints[i].name);
        vorn_test::TempDir root;
        const std::string arg = root.path() + "|" + std::to_string(i);
        // The killed child reports -1 (no exit status).
        EXPECT_EQ(vorn_test::runSelf("ClearAllInterrupted.StoreOpensWithOldOrNoContents", "clear", arg), -1);
        EXPECT_EQ(vorn_test::runSelf("ClearAllInterrupted.StoreOpensWithOldOrNoContents", "open", arg), 0);
    }
}
