// Random operations against a std::map model, over every store configuration:
// plain / AES-128 / AES-256, each used by one process or by two processes
// taking turns. Values run from 0 to 5000 bytes, enough to make the store
// compact itself several times and double its file at least twice.

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "StoreTestSupport.h"
#include "core/VORNMetaInfo.h"

using namespace vorn_test;

namespace {

struct RandomConfig {
    const char *name;
    const char *cryptKey; // null: plain
    bool aes256;
    bool multiProcess;
};

void PrintTo(const RandomConfig &config, std::ostream *out) {
    *out << config.name;
}

const RandomConfig kConfigs[] = {
    {"Plain", nullptr, false, false},
    {"PlainTwoProcesses", nullptr, false, true},
    {"AES128", "random-ops-key16", false, false},
    {"AES128TwoProcesses", "random-ops-key16", false, true},
    {"AES256", "random-ops-key-of-32-bytes-AES256", true, false},
    {"AES256TwoProcesses", "random-ops-key-of-32-bytes-AES256", true, true},
};

enum class OpType { Set, Remove, Get, Reopen, ClearMemoryCache, Compact };

struct Op {
    OpType type;
    std::string key;
    std::string value;
};

constexpr int kOperations = 720;
constexpr int kOpsPerTurn = 24;
constexpr int kKeys = 40;

// The same script in both processes: a fixed seed per configuration.
std::vector<Op> makeScript(uint32_t seed) {
    std::mt19937 rng(seed);
    auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    std::vector<Op> ops;
    for (int i = 0; i < kOperations; i++) {
        Op op;
        const uint32_t kind = below(100);
        op.type = kind < 55   ? OpType::Set
                  : kind < 70 ? OpType::Remove
                  : kind < 90 ? OpType::Get
                  : kind < 94 ? OpType::Reopen
                  : kind < 98 ? OpType::ClearMemoryCache
                              : OpType::Compact;
        op.key = "key-" + std::to_string(below(kKeys));
        if (op.type == OpType::Set) {
            const uint32_t band = below(100);
            const uint32_t length = band < 45   ? below(41)
                                    : band < 80 ? 41 + below(360)
                                    : band < 95 ? 401 + below(1600)
                                                : 2001 + below(3000);
            op.value.resize(length);
            for (auto &c : op.value) {
                c = static_cast<char>(below(256));
            }
        }
        ops.push_back(std::move(op));
    }
    return ops;
}

class RandomOperations : public StoreTest, public ::testing::WithParamInterface<RandomConfig> {
protected:
    StoreOptions options() const {
        StoreOptions options;
        options.mode = GetParam().multiProcess ? VORN_MULTI_PROCESS : VORN_SINGLE_PROCESS;
        if (GetParam().cryptKey) {
            options.cryptKey = GetParam().cryptKey;
            options.aes256 = GetParam().aes256;
        }
        return options;
    }

    void apply(const Op &op, bool onStore) {
        if (onStore) {
            switch (op.type) {
            case OpType::Set:
                ASSERT_TRUE(VORNTestPeer::set(m_store, op.key, op.value)) << op.key;
                break;
            case OpType::Remove:
                EXPECT_EQ(VORNTestPeer::remove(m_store, op.key), m_model.count(op.key) == 1) << op.key;
                break;
            case OpType::Get:
                expectKey(op.key);
                break;
            case OpType::Reopen:
                m_store = reopen(m_store, "random", options());
                break;
            case OpType::ClearMemoryCache:
                m_store->clearMemoryCache();
                break;
            case OpType::Compact:
                EXPECT_TRUE(VORNTestPeer::fullWriteback(m_store));
                break;
            }
        }
        if (op.type == OpType::Set) {
            m_model[op.key] = op.value;
        } else if (op.type == OpType::Remove) {
            m_model.erase(op.key);
        }
    }

    void expectKey(const std::string &key) {
        auto it = m_model.find(key);
        std::optional<std::string> expected;
        if (it != m_model.end()) {
            expected = it->second;
        }
        ASSERT_EQ(VORNTestPeer::get(m_store, key), expected) << key;
    }

    void expectModel() {
        std::vector<std::string> keys;
        for (const auto &pair : m_model) {
            keys.push_back(pair.first);
        }
        ASSERT_EQ(VORNTestPeer::keys(m_store), keys);
        for (const auto &pair : m_model) {
            ASSERT_NO_FATAL_FAILURE(expectKey(pair.first));
        }
    }

    // Runs the script; with two processes, this process does the turns of
    // `parity` and waits for the other's.
    void run(int parity, bool takeTurns) {
        const std::vector<Op> script = makeScript(0x5EED0000u + static_cast<uint32_t>(m_configIndex));
        m_store = open("random", options());
        for (int turn = 0; turn * kOpsPerTurn < kOperations; turn++) {
            const bool mine = !takeTurns || turn % 2 == parity;
            if (mine && takeTurns) {
                ASSERT_TRUE(waitStep(storeRoot(), "turn-" + std::to_string(turn)));
                // What the other process did is visible here.
                ASSERT_NO_FATAL_FAILURE(expectModel());
            }
            for (int i = turn * kOpsPerTurn; i < kOperations && i < (turn + 1) * kOpsPerTurn; i++) {
                SCOPED_TRACE("operation " + std::to_string(i));
                ASSERT_NO_FATAL_FAILURE(apply(script[i], mine));
            }
            if (mine) {
                ASSERT_NO_FATAL_FAILURE(expectModel());
                if (takeTurns) {
                    markStep(storeRoot(), "turn-" + std::to_string(turn + 1));
                }
            }
        }
    }

    int m_configIndex = 0;
    VORN *m_store = nullptr;
    std::map<std::string, std::string> m_model;
};

TEST_P(RandomOperations, MatchTheModel) {
    for (size_t i = 0; i < sizeof(kConfigs) / sizeof(kConfigs[0]); i++) {
        if (std::string(kConfigs[i].name) == GetParam().name) {
            m_configIndex = static_cast<int>(i);
        }
    }
    const bool twoProcesses = GetParam().multiProcess;
    if (isChild()) {
        run(1, true);
        return;
    }
    m_log.clear();
    int child = -1;
    if (twoProcesses) {
        markStep(root(), "turn-0");
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        child = startSelf(std::string(info->test_suite_name()) + "." + info->name(), "other", root());
    }
    run(0, twoProcesses);
    if (twoProcesses) {
        EXPECT_EQ(waitChild(child), 0);
        // The other process's last turn, seen here.
        VORNTestPeer::load(m_store);
        ASSERT_NO_FATAL_FAILURE(expectModel());
    }
    // Several compactions and at least two doublings of the 4096-byte file.
    const vorn::VORNMetaInfo info = VORNTestPeer::metaInfo(m_store);
    EXPECT_GE(info.m_sequence, 5u);
    EXPECT_GE(VORNTestPeer::mappedFileSize(m_store), 4u * 4096u);
    EXPECT_EQ(m_log.countPrefix("check crc"), 0u);

    // The files alone hold the same content.
    m_store = reopen(m_store, "random", options());
    ASSERT_NO_FATAL_FAILURE(expectModel());
}

INSTANTIATE_TEST_SUITE_P(Configs, RandomOperations, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<RandomConfig> &info) { return info.param.name; });

} // namespace
