#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "EngineTestSupport.h"
#include "core/VORN.h"

namespace vorn_test {

// How a typed-API test opens a store: the engine options plus the expiry and
// compare-before-set options of an open.
struct TypedOptions {
    VORNMode mode = VORN_SINGLE_PROCESS;
    std::string cryptKey; // empty: a plain store
    bool aes256 = false;
    std::optional<bool> enableKeyExpire;
    uint32_t expiredInSeconds = 0;
    bool enableCompareBeforeSet = false;
};

// A store test with a clock the test moves by hand (every expiry decision of
// the library reads it), starting at kStartTime. Stores opened with
// openStore() are closed at the end of the test.
class TypedStoreTest : public EngineTest {
public:
    static constexpr uint32_t kStartTime = 1000000;

protected:
    void SetUp() override;
    void TearDown() override;

    VORN *openStore(const std::string &id, const TypedOptions &options = {});
    void closeStore(VORN *store);
    VORN *reopenStore(VORN *store, const std::string &id, const TypedOptions &options = {});

    static void setNow(uint32_t now);
    static uint32_t now();

private:
    std::set<VORN *> m_stores;
};

// A uint32 as its 4 little-endian bytes (an expiry time as stored).
std::string le32(uint32_t value);

} // namespace vorn_test
