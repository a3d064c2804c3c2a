// The library's four C functions: a string store ("preferences") per root
// directory, shared between the host's processes. No exception leaves them;
// null or 0 is their only failure signal.

#include "capi/corvane_vorn.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "core/VORN.h"

namespace {

constexpr const char *kPreferencesID = "preferences";

// Fires once the library's set-up succeeded; a set-up that threw leaves it
// unfired, so the next open tries again.
std::once_flag g_initialized;

} // namespace

extern "C" {

void *remote_vorn_open(const char *rootDir) {
    // Null arguments are refused rather than measured with strlen: a host's
    // slip must not take the process down.
    if (!rootDir) {
        return nullptr;
    }
    try {
        std::string root(rootDir);
        std::call_once(g_initialized, [&root] { VORN::initializeVORN(root, VORNLogNone, nullptr); });
        VORNConfig config;
        config.mode = VORN_MULTI_PROCESS;
        config.rootPath = &root;
        return VORN::vornWithID(kPreferencesID, config);
    } catch (...) {
        return nullptr;
    }
}

char *remote_vorn_get(void *handle, const char *key) {
    if (!handle || !key) {
        return nullptr;
    }
    try {
        auto store = static_cast<VORN *>(handle);
        std::string value;
        if (!store->getString(std::string_view(key, strlen(key)), value, true)) {
            return nullptr;
        }
        return strdup(value.c_str());
    } catch (...) {
        return nullptr;
    }
}

int remote_vorn_set(void *handle, const char *key, const char *value) {
    if (!handle || !key || !value) {
        return 0;
    }
    try {
        auto store = static_cast<VORN *>(handle);
        std::string copy(value);
        if (!store->set(copy, std::string_view(key, strlen(key)))) {
            return 0;
        }
        // A failed flush is only logged: the value is stored either way.
        store->sync(vorn::SyncFlag::Sync);
        return 1;
    } catch (...) {
        return 0;
    }
}

void remote_vorn_free(char *value) {
    free(value);
}

} // extern "C"
