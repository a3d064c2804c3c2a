// The large-store table of store_bench (--large): a few rows on 1,000,000
// keys of 100-byte and 1-KiB values. See LargeStoreBench.cpp and
// bench/README.md, "Large stores".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vornbench {

struct LargeOptions {
    size_t keys = 1000000;
    std::vector<size_t> valueSizes{100, 1024};
    std::vector<std::string> rows{"vorn", "vorn-mp", "lmdb-writemap"};
    std::string dir;      // an existing directory the stores are made in
    std::string shownDir; // the directory named in the header
    std::string dataFile; // TSV of the table for scripts/bench-plot.sh; empty: none
};

// Runs every row at every value size and prints one Markdown table.
// Returns 1 if a row failed, else 0.
int runLargeStoreBench(const LargeOptions &opt);

// The fresh process of the "after open" cells: store_bench --large-probe ...
// (started by runLargeStoreBench through /proc/self/exe, never by hand).
int runLargeProbe(int argc, char **argv);

} // namespace vornbench
