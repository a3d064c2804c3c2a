// Opens the store "demo" under the directory given (./demo-data for `make
// demo`), writes one value of each kind, reads them back and says what it did.
// Run it twice: the run counter and the values persist between runs.

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/VORN.h"

namespace {

std::string joined(const std::vector<std::string> &items) {
    std::string out;
    for (const auto &item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return "[" + out + "]";
}

} // namespace

int main(int argc, char **argv) {
    const std::string root = argc > 1 ? argv[1] : "./demo-data";
    VORN::initializeVORN(root, VORNLogWarning);
    VORNConfig config;
    config.mode = VORN_MULTI_PROCESS;
    VORN *store = VORN::vornWithID("demo", config);
    if (!store) {
        fprintf(stderr, "cannot open the store under %s\n", root.c_str());
        return 1;
    }

    const int32_t runs = store->getInt32("demo.runs") + 1;
    bool ok = store->set(runs, "demo.runs");
    ok &= store->set(true, "dark-mode");
    ok &= store->set(int64_t(-9007199254740993), "big-number");
    ok &= store->set(0.1 + 0.2, "sum");
    ok &= store->set(std::string("Grüße from C++"), "greeting");
    ok &= store->set(std::vector<std::string>{"alpha", "beta", "gamma"}, "tags");
    const unsigned char raw[] = {0xDE, 0xAD, 0xBE, 0xEF};
    ok &= store->set(vorn::VornBuffer(const_cast<unsigned char *>(raw), sizeof(raw), vorn::VornBufferNoCopy), "blob");
    if (!ok) {
        fprintf(stderr, "a write was refused\n");
        return 1;
    }

    std::string greeting;
    std::vector<std::string> tags;
    store->getString("greeting", greeting);
    store->getVector("tags", tags);
    vorn::VornBuffer blob = store->getBytes("blob");
    std::string blobHex;
    for (size_t i = 0; i < blob.size(); i++) {
        char cell[4];
        snprintf(cell, sizeof(cell), "%02X", static_cast<const unsigned char *>(blob.data())[i]);
        blobHex += cell;
    }

    printf("opened store \"demo\" under %s (run %d: values persist between runs)\n", root.c_str(), runs);
    printf("  int32   demo.runs  = %d\n", store->getInt32("demo.runs"));
    printf("  bool    dark-mode  = %s\n", store->getBool("dark-mode") ? "true" : "false");
    printf("  int64   big-number = %lld\n", static_cast<long long>(store->getInt64("big-number")));
    printf("  double  sum        = %.17g\n", store->getDouble("sum"));
    printf("  string  greeting   = \"%s\" (%zu bytes)\n", greeting.c_str(), store->getValueSize("greeting", true));
    printf("  list    tags       = %s\n", joined(tags).c_str());
    printf("  bytes   blob       = %s\n", blobHex.c_str());
    printf("  absent  no-such    = %d (the default given)\n", store->getInt32("no-such", -1));
    printf("%zu keys, %zu of %zu bytes of the data file in use\n", store->count(), store->actualSize(),
           store->totalSize());

    // A second store whose values expire an hour after they are written.
    VORNConfig expiring;
    expiring.enableKeyExpire = true;
    expiring.expiredInSeconds = 3600;
    VORN *sessions = VORN::vornWithID("demo-sessions", expiring);
    if (!sessions || !sessions->set(std::string("token-42"), "session")) {
        fprintf(stderr, "cannot write the expiring store\n");
        return 1;
    }
    const time_t due = static_cast<time_t>(sessions->getExpireTimeForKey("session"));
    char when[64];
    strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S UTC", gmtime(&due));
    std::string token;
    sessions->getString("session", token);
    printf("store \"demo-sessions\" keeps \"%s\" under \"session\" until %s\n", token.c_str(), when);

    VORN::onExit(); // flushes both stores
    return 0;
}
