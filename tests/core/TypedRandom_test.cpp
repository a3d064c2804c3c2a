// Thousands of random typed operations with expiry switching on and off and a
// clock moving forward, checked against a std::map model, for plain and
// encrypted stores, single- and multi-process mode.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "StoreTestSupport.h"

using namespace vorn_test;

namespace {

// What the store must answer, derived from the operations alone.
class ExpiryModel {
public:
    struct Entry {
        bool isNumber;
        std::string text;
        int64_t number;
        uint32_t expireTime; // 0: never
    };

    bool expiryOn = false;
    uint32_t defaultDuration = 0;

    void set(const std::string &key, Entry entry, const uint32_t *duration, uint32_t now) {
        const uint32_t d = duration ? *duration : defaultDuration;
        entry.expireTime = expiryOn ? timeFor(d, now) : 0;
        m_entries[key] = entry;
    }
    void remove(const std::string &key) { m_entries.erase(key); }
    // Whether key was set and not removed, expired or not (without forgetting it).
    bool known(const std::string &key) const { return m_entries.count(key) != 0; }
    // The live entry, or null (an expired one is gone from then on).
    const Entry *get(const std::string &key, uint32_t now) {
        auto it = m_entries.find(key);
        if (it == m_entries.end()) {
            return nullptr;
        }
        if (expired(it->second, now)) {
            m_entries.erase(it);
            return nullptr;
        }
        return &it->second;
    }
    std::vector<std::string> liveKeys(uint32_t now) {
        std::vector<std::string> keys;
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (expired(it->second, now)) {
                it = m_entries.erase(it);
            } else {
                keys.push_back(it->first);
                ++it;
            }
        }
        return keys;
    }
    void enable(uint32_t duration, uint32_t now) {
        defaultDuration = duration;
        if (expiryOn) {
            return;
        }
        expiryOn = true;
        for (auto &pair : m_entries) {
            pair.second.expireTime = timeFor(duration, now);
        }
    }
    void disable(uint32_t now) {
        liveKeys(now);
        for (auto &pair : m_entries) {
            pair.second.expireTime = 0;
        }
        expiryOn = false;
        defaultDuration = 0;
    }

private:
    static uint32_t timeFor(uint32_t duration, uint32_t now) { return duration == 0 ? 0 : now + duration; }
    bool expired(const Entry &entry, uint32_t now) const {
        return expiryOn && entry.expireTime != 0 && now >= entry.expireTime;
    }
    std::map<std::string, Entry> m_entries;
};

class TypedRandom : public ClockedStoreTest {
protected:
    void run(const std::string &id, const StoreOptions &options, uint32_t seed) {
        std::mt19937 random(seed);
        auto pick = [&random](uint32_t n) { return static_cast<uint32_t>(random() % n); };
        ExpiryModel model;
        VORN::setLogLevel(VORNLogWarning); // thousands of operations: keep only what goes wrong
        VORN *store = open(id, options);
        uint32_t now = kStartTime;

        for (int step = 0; step < 3000; step++) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", step " + std::to_string(step));
            const std::string key = "k" + std::to_string(pick(40));
            const uint32_t op = pick(100);
            uint32_t duration = pick(6);
            const uint32_t *durationArg = pick(2) ? &duration : nullptr;
            if (op < 30) {
                // Mostly short strings, now and then one kept by position in an encrypted store.
                const size_t length = pick(10) == 0 ? 257 + pick(500) : pick(30);
                std::string text(length, static_cast<char>('a' + pick(26)));
                ASSERT_TRUE(durationArg ? store->set(text, key, duration) : store->set(text, key));
                model.set(key, {false, text, 0, 0}, durationArg, now);
            } else if (op < 45) {
                const int64_t number = static_cast<int64_t>(random()) - (1LL << 31);
                ASSERT_TRUE(durationArg ? store->set(number, key, duration) : store->set(number, key));
                model.set(key, {true, "", number, 0}, durationArg, now);
            } else if (op < 70) {
                const ExpiryModel::Entry *expected = model.get(key, now);
                if (!expected) {
                    bool has = true;
                    store->getInt64(key, 0, &has);
                    EXPECT_FALSE(has);
                    std::string out;
                    EXPECT_FALSE(store->getString(key, out));
                } else if (expected->isNumber) {
                    bool has = false;
                    EXPECT_EQ(store->getInt64(key, 0, &has), expected->number);
                    EXPECT_TRUE(has);
                } else {
                    std::string out;
                    EXPECT_TRUE(store->getString(key, out));
                    EXPECT_EQ(out, expected->text);
                }
            } else if (op < 78) {
                // An expired key the store has not dropped yet still has a
                // record to delete: only live and unknown keys are certain.
                const bool known = model.known(key);
                const bool live = model.get(key, now) != nullptr;
                const bool removed = store->removeValueForKey(key);
                if (live || !known) {
                    EXPECT_EQ(removed, live);
                }
                model.remove(key);
            } else if (op < 81) {
                std::vector<std::string> keys = {key, "k" + std::to_string(pick(40)), "k" + std::to_string(pick(40))};
                EXPECT_TRUE(store->removeValuesForKeys(keys));
                for (const auto &k : keys) {
                    model.remove(k);
                }
            } else if (op < 90) {
                now += pick(3);
                setNow(now);
            } else if (op < 94) {
                std::vector<std::string> keys = store->allKeys(true);
                std::sort(keys.begin(), keys.end());
                EXPECT_EQ(keys, model.liveKeys(now));
            } else if (op < 96) {
                ASSERT_TRUE(store->enableAutoKeyExpire(duration));
                model.enable(duration, now);
            } else if (op < 97) {
                ASSERT_TRUE(store->disableAutoKeyExpire());
                model.disable(now);
            } else {
                store = reopen(store, id, options);
                model.defaultDuration = 0; // the default lives in the object only
            }
        }
        EXPECT_EQ(store->count(true), model.liveKeys(now).size());
        store = reopen(store, id, options);
        std::vector<std::string> keys = store->allKeys(true);
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(keys, model.liveKeys(now));
    }
};

TEST_F(TypedRandom, MatchesTheModel) {
    const struct Config {
        const char *name;
        StoreOptions options;
    } configs[] = {
        {"plain", StoreOptions{}},
        {"plain, multi-process", multiProcess()},
        {"AES-128", encrypted("0123456789abcdef")},
        {"AES-256, multi-process", encrypted("0123456789abcdef0123456789abcdef", true, multiProcess())},
    };
    uint32_t seed = 17;
    for (const auto &config : configs) {
        SCOPED_TRACE(config.name);
        m_log.clear();
        run(std::string("random-") + std::to_string(seed), config.options, seed);
        seed += 101;
        if (HasFailure()) {
            return;
        }
    }
}

} // namespace
