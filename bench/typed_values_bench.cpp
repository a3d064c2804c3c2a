// The typed setters and getters on the hot path: one write or read of a
// small value in a store of 1000 keys. A write must stay well under a
// microsecond.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/VORN.h"

namespace {

// One store per configuration under a temporary root, filled with 1000 keys.
// Its file is large enough for every write of a run, so that what is measured
// is the write itself, not the compactions (and their synchronous flushes) a
// full file needs now and then: BM_SetInt32Compacting shows those.
VORN *benchStore(const std::string &id, VORNMode mode, bool expiring, size_t capacity = 256u << 20) {
    static const std::string root = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "vorn-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            abort();
        }
        VORN::initializeVORN(pattern, VORNLogNone);
        return pattern;
    }();
    VORNConfig config;
    config.mode = mode;
    config.rootPath = &root;
    config.expectedCapacity = capacity;
    if (expiring) {
        config.enableKeyExpire = true;
    }
    VORN *store = VORN::vornWithID(id, config);
    for (int i = 0; i < 1000; i++) {
        store->set(int32_t(i), "key_" + std::to_string(i));
    }
    return store;
}

std::vector<std::string> benchKeys() {
    std::vector<std::string> keys;
    for (int i = 0; i < 1000; i++) {
        keys.push_back("key_" + std::to_string(i));
    }
    return keys;
}

void BM_SetInt32(benchmark::State &state) {
    VORN *store = benchStore("set-int32", static_cast<VORNMode>(state.range(0)), state.range(1) != 0);
    const std::vector<std::string> keys = benchKeys();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store->set(int32_t(i), keys[i % keys.size()]));
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetInt32)
    ->ArgNames({"mode", "expiry"})
    ->Args({VORN_SINGLE_PROCESS, 0})
    ->Args({VORN_SINGLE_PROCESS, 1})
    ->Args({VORN_MULTI_PROCESS, 0});

void BM_SetInt32Compacting(benchmark::State &state) {
    VORN *store = benchStore("set-int32-compacting", VORN_SINGLE_PROCESS, false, 0);
    const std::vector<std::string> keys = benchKeys();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store->set(int32_t(i), keys[i % keys.size()]));
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetInt32Compacting);

void BM_SetShortString(benchmark::State &state) {
    VORN *store = benchStore("set-string", VORN_SINGLE_PROCESS, state.range(0) != 0);
    const std::vector<std::string> keys = benchKeys();
    const std::string value = "a short value";
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store->set(value, keys[i % keys.size()]));
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SetShortString)->ArgName("expiry")->Arg(0)->Arg(1);

void BM_GetInt32(benchmark::State &state) {
    VORN *store = benchStore("get-int32", VORN_SINGLE_PROCESS, state.range(0) != 0);
    const std::vector<std::string> keys = benchKeys();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store->getInt32(keys[i % keys.size()]));
        i++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetInt32)->ArgName("expiry")->Arg(0)->Arg(1);

} // namespace
