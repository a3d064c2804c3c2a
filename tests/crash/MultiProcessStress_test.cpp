// Four processes work on one multi-process store at once. Each owns its keys,
// so its own model of them stays exact; one of them also trims the store and,
// at barrier points where nobody else writes, clears it. A fresh process must
// then see exactly the union of the models.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "CrashTestSupport.h"
#include "core/StoreTestSupport.h"

using namespace vorn_crash;

namespace {

constexpr int kProcesses = 4;
constexpr int kPhases = 10;
constexpr int kKeysPerProcess = 100;
const StoreKind kStore = {"stress", vorn_test::multiProcess()};

std::string ownKey(int process, int index) {
    return "w" + std::to_string(process) + "-k" + std::to_string(index);
}

// The parts of a value written by makeValue(key, run, counter, length).
bool wellFormed(const std::string &key, const std::string &value) {
    unsigned run = 0, counter = 0;
    int consumed = 0;
    const std::string prefix = key + "#";
    if (value.rfind(prefix, 0) != 0 ||
        sscanf(value.c_str() + prefix.size(), "%u.%u:%n", &run, &counter, &consumed) != 2 || consumed == 0) {
        return false;
    }
    return value == makeValue(key, run, counter, value.size());
}

struct Figures {
    long operations = 0;
    long ownReadsChecked = 0;
    long otherReadsChecked = 0;
    long trims = 0;
    long clears = 0;
};

void runWorker(const std::string &root, const std::string &dir, int self, long operations) {
    CRCLogWatch watch;
    VORN::initializeVORN(root, VORNLogWarning, &watch);
    VORN *store = vorn_test::openStore(root, kStore.name, kStore.options);
    ASSERT_NE(store, nullptr);

    // key -> (counter, length) of the value it holds; absent keys are missing.
    std::map<std::string, std::pair<uint32_t, uint32_t>> model;
    std::mt19937 random(static_cast<uint32_t>(self) * 7919u + 17u);
    Figures figures;
    uint32_t counter = 0;
    const long perPhase = operations / kPhases;
    for (int phase = 0; phase < kPhases && !testing::Test::HasFailure(); phase++) {
        for (long i = 0; i < perPhase; i++, figures.operations++) {
            const uint32_t roll = random() % 100;
            const std::string key = ownKey(self, static_cast<int>(random() % kKeysPerProcess));
            if (roll < 40) {
                const uint32_t length =
                    roll < 3 ? 2000 + random() % 4000 : 20 + static_cast<uint32_t>(random() % 600);
                counter++;
                ASSERT_TRUE(store->set(makeValue(key, self, counter, length), key));
                model[key] = {counter, length};
            } else if (roll < 55) {
                store->removeValueForKey(key);
                model.erase(key);
            } else if (roll < 80) {
                std::string value;
                const bool present = store->getString(key, value);
                auto it = model.find(key);
                ASSERT_EQ(present, it != model.end()) << key;
                if (present) {
                    ASSERT_EQ(value, makeValue(key, self, it->second.first, it->second.second)) << key;
                }
                figures.ownReadsChecked++;
            } else {
                int other = static_cast<int>(random() % kProcesses);
                const std::string otherKey = ownKey(other, static_cast<int>(random() % kKeysPerProcess));
                std::string value;
                if (store->getString(otherKey, value)) {
                    ASSERT_TRUE(wellFormed(otherKey, value)) << otherKey << " holds " << value.substr(0, 40);
                }
                figures.otherReadsChecked++;
            }
            if (self == 0 && i % 500 == 250) {
                store->trim();
                figures.trims++;
            }
        }

        // Barrier: everyone has finished the phase.
        vorn_test::markStep(dir, "p" + std::to_string(phase) + "-w" + std::to_string(self));
        for (int other = 0; other < kProcesses; other++) {
            ASSERT_TRUE(vorn_test::waitStep(dir, "p" + std::to_string(phase) + "-w" + std::to_string(other)));
        }
        // Every third phase ends with a clearAll from process 0, which the
        // others wait for before they write again.
        if (phase % 3 == 1) {
            const std::string cleared = "c" + std::to_string(phase);
            if (self == 0) {
                store->clearAll();
                figures.clears++;
                vorn_test::markStep(dir, cleared);
            } else {
                ASSERT_TRUE(vorn_test::waitStep(dir, cleared));
            }
            model.clear();
            ASSERT_EQ(store->count(), 0u) << "after the clear of phase " << phase;
            // Nobody writes again before everyone has seen the empty store.
            const std::string seen = "e" + std::to_string(phase) + "-w";
            vorn_test::markStep(dir, seen + std::to_string(self));
            for (int other = 0; other < kProcesses; other++) {
                ASSERT_TRUE(vorn_test::waitStep(dir, seen + std::to_string(other)));
            }
        }
    }
    store->sync();

    std::ofstream out(dir + "/model-" + std::to_string(self));
    for (const auto &entry : model) {
        out << entry.first << " " << entry.second.first << " " << entry.second.second << "\n";
    }
    std::ofstream(dir + "/figures-" + std::to_string(self))
        << figures.operations << " " << figures.ownReadsChecked << " " << figures.otherReadsChecked << " "
        << figures.trims << " " << figures.clears << "\n";

    std::string log;
    for (const auto &line : watch.errors) {
        log += line + "\n";
    }
    EXPECT_EQ(watch.crcMismatches, 0) << log;
    EXPECT_EQ(watch.crcCallbacks, 0) << log;
    EXPECT_EQ(watch.lengthCallbacks, 0) << log;
    store->close();
}

void runChecker(const std::string &root, const std::string &dir) {
    CRCLogWatch watch;
    VORN::initializeVORN(root, VORNLogWarning, &watch);
    VORN *store = vorn_test::openStore(root, kStore.name, kStore.options);
    ASSERT_NE(store, nullptr);
    std::vector<std::string> expectedKeys;
    for (int self = 0; self < kProcesses; self++) {
        std::ifstream in(dir + "/model-" + std::to_string(self));
        std::string key;
        uint32_t counter = 0, length = 0;
        while (in >> key >> counter >> length) {
            expectedKeys.push_back(key);
            std::string value;
            ASSERT_TRUE(store->getString(key, value)) << key;
            EXPECT_EQ(value, makeValue(key, self, counter, length)) << key;
        }
    }
    auto keys = store->allKeys();
    std::sort(keys.begin(), keys.end());
    std::sort(expectedKeys.begin(), expectedKeys.end());
    EXPECT_EQ(keys, expectedKeys);
    EXPECT_EQ(watch.crcMismatches, 0);
    std::ofstream(dir + "/checked") << expectedKeys.size() << "\n";
    store->close();
}

} // namespace

TEST(MultiProcessStress, FourProcessesMatchTheirModels) {
    const std::string role = vorn_test::currentRole();
    const std::string name = "MultiProcessStress.FourProcessesMatchTheirModels";
    if (role == "worker" || role == "check") {
        std::istringstream in(vorn_test::currentArg());
        std::string root, dir;
        int self = 0;
        long operations = 0;
        std::getline(in, root, '|');
        std::getline(in, dir, '|');
        in >> self;
        in.ignore(1);
        in >> operations;
        if (role == "worker") {
            runWorker(root, dir, self, operations);
        } else {
            runChecker(root, dir);
        }
        return;
    }

    // VORN_STRESS_OPS sets the operations per process (default 10,000).
    const long operations = envNumber("VORN_STRESS_OPS", 10000);
    vorn_test::TempDir root;
    vorn_test::TempDir dir;
    const std::string common = root.path() + "|" + dir.path() + "|";
    int pids[kProcesses];
    for (int self = 0; self < kProcesses; self++) {
        pids[self] = vorn_test::startSelf(name, "worker", common + std::to_string(self) + "|" + std::to_string(operations));
    }
    for (int self = 0; self < kProcesses; self++) {
        EXPECT_EQ(vorn_test::waitChild(pids[self]), 0) << "worker " << self;
    }
    ASSERT_FALSE(HasFailure());
    ASSERT_EQ(vorn_test::runSelf(name, "check", common + "0|0"), 0);

    Figures total;
    for (int self = 0; self < kProcesses; self++) {
        std::ifstream in(dir.path() + "/figures-" + std::to_string(self));
        Figures one;
        ASSERT_TRUE(in >> one.operations >> one.ownReadsChecked >> one.otherReadsChecked >> one.trims >> one.clears);
        total.operations += one.operations;
        total.ownReadsChecked += one.ownReadsChecked;
        total.otherReadsChecked += one.otherReadsChecked;
        total.trims += one.trims;
        total.clears += one.clears;
    }
    long checkedKeys = 0;
    std::ifstream(dir.path() + "/checked") >> checkedKeys;
    EXPECT_EQ(total.operations, kProcesses * (operations / kPhases) * kPhases);
    printf("multi-process stress: %d processes, %ld operations (%ld own reads checked exactly, %ld reads of other "
           "processes' keys checked), %ld trims, %ld clears, %ld keys checked by a fresh process, 0 CRC "
           "mismatches\n",
           kProcesses, total.operations, total.ownReadsChecked, total.otherReadsChecked, total.trims, total.clears,
           checkedKeys);
}
