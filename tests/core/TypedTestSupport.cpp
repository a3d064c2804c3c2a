#include "TypedTestSupport.h"

#include <atomic>

#include "core/VORNClock.h"

namespace vorn_test {

namespace {

std::atomic<uint32_t> g_now{TypedStoreTest::kStartTime};

uint32_t testClock() {
    return g_now.load();
}

} // namespace

void TypedStoreTest::SetUp() {
    EngineTest::SetUp();
    setNow(kStartTime);
    vorn::setClockForTesting(testClock);
}

void TypedStoreTest::TearDown() {
    for (VORN *store : m_stores) {
        store->close();
    }
    m_stores.clear();
    vorn::setClockForTesting(nullptr);
    EngineTest::TearDown();
}

VORN *TypedStoreTest::openStore(const std::string &id, const TypedOptions &options) {
    VORNConfig config;
    config.mode = options.mode;
    config.aes256 = options.aes256;
    config.cryptKey = options.cryptKey.empty() ? nullptr : &options.cryptKey;
    config.rootPath = &storeRoot();
    config.enableKeyExpire = options.enableKeyExpire;
    config.expiredInSeconds = options.expiredInSeconds;
    config.enableCompareBeforeSet = options.enableCompareBeforeSet;
    VORN *store = VORN::vornWithID(id, config);
    EXPECT_NE(store, nullptr) << id;
    if (store) {
        m_stores.insert(store);
    }
    return store;
}

void TypedStoreTest::closeStore(VORN *store) {
    m_stores.erase(store);
    store->close();
}

VORN *TypedStoreTest::reopenStore(VORN *store, const std::string &id, const TypedOptions &options) {
    closeStore(store);
    return openStore(id, options);
}

void TypedStoreTest::setNow(uint32_t now) {
    g_now.store(now);
}

uint32_t TypedStoreTest::now() {
    return g_now.load();
}

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; i++) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

} // namespace vorn_test
