// A host program that knows the library only as a host does (installed tree,
// add_subdirectory or FetchContent): open, typed values, read back, and a
// handler that takes the library's log lines.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/VORN.h"
#include "log/VORNVersion.h"

namespace {

// Keeps the version the library logs when it initialises; drops every other
// line, so that nothing of the library reaches standard output.
class VersionCatcher : public vorn::VORNHandler {
public:
    std::string logged;

    void logMessage(VORNLogLevel, const char *, int, const char *, const std::string &message) override {
        const char prefix[] = "version ";
        if (logged.empty() && message.compare(0, sizeof(prefix) - 1, prefix) == 0) {
            logged = message.substr(sizeof(prefix) - 1);
            logged = logged.substr(0, logged.find(','));
        }
    }
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return OnErrorDiscard; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return OnErrorDiscard; }
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}
};

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        return 2;
    }
    static VersionCatcher catcher;
    VORN::initializeVORN(argv[1], VORNLogInfo, &catcher);
    VORN *store = VORN::vornWithID("host");
    if (!store) {
        return 1;
    }
    store->set(int32_t(42), "answer");
    store->set(std::string("host"), "where");
    std::string where;
    store->getString("where", where);
    // The version the running library logs against the header this host was
    // compiled with: they differ when the two come from different builds.
    if (catcher.logged != VORN_VERSION_STRING) {
        fprintf(stderr, "library logs version '%s', header says '%s'\n", catcher.logged.c_str(), VORN_VERSION_STRING);
        return 1;
    }
    printf("answer=%d where=%s version=%s\n", store->getInt32("answer"), where.c_str(), catcher.logged.c_str());
    VORN::onExit();
    return 0;
}
