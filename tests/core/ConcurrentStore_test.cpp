// Eight threads on one store: each owns its keys and keeps a model of them,
// and mixes writes, removes, reads of its own and of other threads' keys,
// compactions, flushes and clearMemoryCache. Every read of an own key must
// match the model at once; a read of another thread's key must be absent or a
// whole value written for that key. At the end the store, and the store opened
// again from its files, hold exactly the union of the models.
//
// Built with -fsanitize=thread (make test-tsan) this is the data race check
// for the store's locking; in the other builds it checks the results alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "StoreTestSupport.h"
#include "log/VORNHandler.h"

using namespace vorn_test;

namespace {

constexpr int kThreads = 8;
constexpr int kOperationsPerThread = 250;
constexpr int kKeysPerThread = 10;

// Keeps warnings and errors; callable from any number of threads.
class LockedLog : public vorn::VORNHandler {
public:
    void logMessage(VORNLogLevel level, const char *, int, const char *function, const std::string &message) override {
        if (level < VORNLogWarning) {
            return;
        }
        std::lock_guard<std::mutex> hold(m_mutex);
        m_lines.push_back(std::string(function ? function : "") + ": " + message);
    }
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return OnErrorDiscard; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return OnErrorDiscard; }
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_lines;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

std::string keyOf(int thread, int index) {
    return "t" + std::to_string(thread) + "-k" + std::to_string(index);
}

// "<key>:<serial>:<n>:" then n copies of one letter chosen by the serial, so
// that any reader can tell a whole value of a key from anything else.
std::string valueOf(const std::string &key, uint32_t serial, size_t length) {
    std::string head = key + ":" + std::to_string(serial) + ":" + std::to_string(length) + ":";
    return head + std::string(length, static_cast<char>('a' + serial % 26));
}

bool isWholeValueOf(const std::string &key, const std::string &value) {
    unsigned serial = 0;
    size_t length = 0;
    int consumed = 0;
    const std::string prefix = key + ":";
    if (value.rfind(prefix, 0) != 0 ||
        sscanf(value.c_str() + prefix.size(), "%u:%zu:%n", &serial, &length, &consumed) != 2 || consumed == 0) {
        return false;
    }
    return value == valueOf(key, serial, length);
}

struct Config {
    const char *name;
    StoreOptions options;
};

void PrintTo(const Config &config, std::ostream *out) {
    *out << config.name;
}

const Config kConfigs[] = {
    {"Plain", StoreOptions{}},
    {"AES128", encrypted("concurrent-key16")},
    {"PlainMultiProcess", multiProcess()},
    {"AES256MultiProcess", encrypted("concurrent-key-of-32-bytes-AES-2", true, multiProcess())},
};

class ConcurrentStore : public StoreTest, public ::testing::WithParamInterface<Config> {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        // Warnings and errors only, from any thread, in place of the
        // fixture's handler.
        VORN::registerHandler(&m_threadLog);
        VORN::setLogLevel(VORNLogWarning);
    }

    static constexpr const char *kId = "hammered";

    // One thread's work; returns its model of its own keys.
    std::map<std::string, std::string> work(int thread) {
        std::map<std::string, std::string> model;
        std::mt19937 rng(0xC0FFEEu + static_cast<uint32_t>(thread));
        auto below = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
        // Every thread asks the registry: all get the one instance.
        VORN *store = openStore(root(), kId, GetParam().options);
        EXPECT_EQ(store, m_store);
        if (store != m_store) {
            return model;
        }
        for (int op = 0; op < kOperationsPerThread; op++) {
            const std::string key = keyOf(thread, static_cast<int>(below(kKeysPerThread)));
            const uint32_t kind = below(100);
            if (kind < 40) {
                // Mostly short values; some held by position in an encrypted
                // store's index (over 256 bytes); a few that make the file grow.
                const uint32_t band = below(100);
                const size_t length = band < 60 ? below(40) : band < 90 ? 200 + below(400) : 1500 + below(3000);
                const std::string value = valueOf(key, static_cast<uint32_t>(op), length);
                EXPECT_TRUE(VORNTestPeer::set(store, key, value)) << key;
                model[key] = value;
            } else if (kind < 55) {
                EXPECT_EQ(VORNTestPeer::remove(store, key), model.count(key) == 1) << key;
                model.erase(key);
            } else if (kind < 75) {
                auto it = model.find(key);
                const auto expected = it == model.end() ? std::nullopt : std::optional<std::string>(it->second);
                EXPECT_EQ(VORNTestPeer::get(store, key), expected) << key;
            } else if (kind < 88) {
                const std::string other =
                    keyOf(static_cast<int>(below(kThreads)), static_cast<int>(below(kKeysPerThread)));
                const std::optional<std::string> seen = VORNTestPeer::get(store, other);
                EXPECT_TRUE(!seen || isWholeValueOf(other, *seen)) << other << " read as " << seen->substr(0, 64);
            } else if (kind < 94) {
                store->clearMemoryCache(below(2) == 0);
            } else if (kind < 97) {
                EXPECT_TRUE(VORNTestPeer::fullWriteback(store));
            } else if (kind < 99) {
                store->sync(below(2) == 0 ? vorn::SyncFlag::Sync : vorn::SyncFlag::Async);
            } else {
                // Shrinks the file under the other threads' feet; every model
                // value must stay readable.
                store->trim();
            }
        }
        return model;
    }

    std::map<std::string, std::string> hammer() {
        std::vector<std::map<std::string, std::string>> models(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([this, t, &models] { models[t] = work(t); });
        }
        for (auto &thread : threads) {
            thread.join();
        }
        std::map<std::string, std::string> all;
        for (const auto &model : models) {
            all.insert(model.begin(), model.end());
        }
        return all;
    }

    void expectContent(VORN *store, const std::map<std::string, std::string> &model) {
        std::vector<std::string> keys;
        for (const auto &pair : model) {
            keys.push_back(pair.first);
        }
        EXPECT_EQ(VORNTestPeer::keys(store), keys);
        for (const auto &pair : model) {
            EXPECT_EQ(VORNTestPeer::get(store, pair.first), std::optional<std::string>(pair.second)) << pair.first;
        }
    }

    LockedLog m_threadLog;
    VORN *m_store = nullptr;
};

TEST_P(ConcurrentStore, EightThreadsMatchTheirModels) {
    m_store = open(kId, GetParam().options);
    ASSERT_NE(m_store, nullptr);
    const std::map<std::string, std::string> model = hammer();
    ASSERT_FALSE(HasFailure());
    expectContent(m_store, model);
    // The run compacted and grew the store.
    EXPECT_GE(VORNTestPeer::metaInfo(m_store).m_sequence, 5u);
    EXPECT_GT(VORNTestPeer::mappedFileSize(m_store), 4096u);

    m_store = reopen(m_store, kId, GetParam().options);
    expectContent(m_store, model);
    close(m_store);
    EXPECT_EQ(m_threadLog.lines(), std::vector<std::string>());
    printf("[  FIGURES ] %d threads x %d operations checked against their models, %zu keys at the end\n", kThreads,
           kOperationsPerThread, model.size());
}

INSTANTIATE_TEST_SUITE_P(Configs, ConcurrentStore, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config> &info) { return info.param.name; });

// The log level and the handler may be changed while other threads work on
// stores: the change is seen by later messages, and nothing else happens.
TEST(ConcurrentLogSettings, ChangeWhileStoresWork) {
    processRoot();
    TempDir dir;
    LockedLog first;
    LockedLog second;
    VORN::registerHandler(&first);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++) {
        workers.emplace_back([&dir, t] {
            VORN *store = openStore(dir.path(), "logged-" + std::to_string(t));
            for (int i = 0; i < 200; i++) {
                const std::string key = "key-" + std::to_string(i % 7);
                EXPECT_TRUE(VORNTestPeer::set(store, key, std::to_string(i)));
                // Refused with an error line, which passes either level.
                EXPECT_FALSE(VORNTestPeer::set(store, std::string(70000, 'k'), "x"));
                store->sync(vorn::SyncFlag::Async);
            }
            store->close();
        });
    }
    for (int i = 0; i < 300; i++) {
        VORN::setLogLevel(i % 2 ? VORNLogWarning : VORNLogInfo);
        VORN::registerHandler(i % 3 ? &first : &second);
    }
    for (auto &worker : workers) {
        worker.join();
    }
    VORN::registerHandler(&first);
    VORN::setLogLevel(VORNLogWarning);
    const size_t before = first.lines().size();
    VORN *store = openStore(dir.path(), "logged-after");
    EXPECT_FALSE(VORNTestPeer::set(store, std::string(70000, 'k'), "x"));
    store->close();
    EXPECT_EQ(first.lines().size(), before + 1);
    VORN::unRegisterHandler();
}

} // namespace
