// Micro-benchmarks of the wire format: the cost floor of every store write.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "encoding/CodedInputData.h"
#include "encoding/CodedOutputData.h"

namespace {

void BM_WriteRecord(benchmark::State &state) {
    std::vector<uint8_t> area(1 << 20);
    const std::string key = "key_12345";
    for (auto _ : state) {
        vorn::CodedOutputData output(area.data(), area.size());
        for (int i = 0; i < 1000; i++) {
            output.writeString(key);
            output.writeRawVarint32(5);
            output.writeInt32(i);
        }
        benchmark::DoNotOptimize(area.data());
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_WriteRecord);

void BM_ReadVarints(benchmark::State &state) {
    std::vector<uint8_t> area(1 << 16);
    vorn::CodedOutputData output(area.data(), area.size());
    for (int i = 0; i < 1000; i++) {
        output.writeInt32(i * 977);
    }
    for (auto _ : state) {
        vorn::CodedInputData input(area.data(), output.getPosition());
        int64_t sum = 0;
        for (int i = 0; i < 1000; i++) {
            sum += input.readInt32();
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ReadVarints);

} // namespace

BENCHMARK_MAIN();
