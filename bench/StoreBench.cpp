// store_bench: the same five workloads run over every registered store, in
// one process and interleaved, and printed as one Markdown table.
//
//   W1 insert  N distinct keys "key_%d" with an int32 value, one put each.
//   W2 update  N puts of a 32-byte string to random existing keys.
//   W3 read    N random point reads, each value copied out.
//   W4 reopen  close, then open a store of N keys with 32-byte values and
//              read one key; in ms.
//   W5 bytes   allocated on disk (st_blocks * 512 over the store's files)
//              after W1 + W2, and after trim where the store has one.
//
// Each repetition runs every row once per N, rows rotated so that no row
// always runs first. Cells: median (min-max) over the repetitions, and the
// ratio of the median to that of the mapping floor at the same N.
//
// --callgrind runs W1-W3 once per row and N with callgrind collection on
// only inside the workload, and dumps each one as "<row> <W> <N>" (see
// scripts/bench-callgrind.sh).
//
// --large adds the large-store table (LargeStoreBench.cpp), --large-only
// runs it alone; --data-dir DIR writes the tables' numbers as TSV for
// scripts/bench-plot.sh.
#include "bench/StoreAdapter.h"
#include "bench/BenchCommon.h"
#include "bench/LargeStoreBench.h"

#include <sys/stat.h>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define STORE_BENCH_HAS_CALLGRIND 1
#else
#define STORE_BENCH_HAS_CALLGRIND 0
#endif

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

namespace vornbench {

namespace {
std::vector<AdapterInfo> &registry() {
    static std::vector<AdapterInfo> adapters;
    return adapters;
}
} // namespace

bool registerAdapter(AdapterInfo info) {
    registry().push_back(std::move(info));
    return true;
}

std::vector<AdapterInfo> registeredAdapters() {
    std::vector<AdapterInfo> sorted = registry();
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const AdapterInfo &a, const AdapterInfo &b) { return a.order < b.order; });
    return sorted;
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char *const kFloorId = "floor-mapping";
constexpr size_t kValueSize = 32;
constexpr size_t kValueCount = 64;
// Keys checked after each workload (outside the timing) so that a store
// that loses or garbles values fails instead of looking fast.
constexpr size_t kVerifyCount = 1000;

struct Options {
    int reps = 9;
    std::vector<size_t> sizes{10000, 100000};
    std::vector<std::string> rows; // empty: all
    std::string dir;               // base of the temporary directories
    bool callgrind = false;
    bool list = false;
    std::string dataDir; // set: the table's data (TSV) for scripts/bench-plot.sh goes there
    bool large = false;      // also the large-store table (LargeStoreBench.cpp)
    bool largeOnly = false;  // only the large-store table
    LargeOptions largeOpt;
};

// Inputs shared by every row at one N, so that all stores do the same work.
struct Workload {
    size_t n = 0;
    std::vector<std::string> keys;
    std::vector<uint32_t> updates;   // W2 key indexes
    std::vector<uint32_t> reads;     // W3 key indexes
    std::vector<int64_t> lastUpdate; // per key: index into updates of its last W2 put, or -1
    std::vector<std::string> values; // kValueCount values of kValueSize bytes

    explicit Workload(size_t count) : n(count) {
        keys.reserve(n);
        for (size_t i = 0; i < n; i++) {
            keys.push_back("key_" + std::to_string(i));
        }
        std::mt19937_64 rng(0x5eed0000 + n);
        updates.resize(n);
        reads.resize(n);
        for (auto &i : updates) {
            i = static_cast<uint32_t>(rng() % n);
        }
        for (auto &i : reads) {
            i = static_cast<uint32_t>(rng() % n);
        }
        lastUpdate.assign(n, -1);
        for (size_t u = 0; u < n; u++) {
            lastUpdate[updates[u]] = static_cast<int64_t>(u);
        }
        for (size_t v = 0; v < kValueCount; v++) {
            std::string value = "value-" + std::to_string(v) + "-";
            while (value.size() < kValueSize) {
                value.push_back(static_cast<char>('a' + (value.size() + v) % 26));
            }
            values.push_back(value);
        }
    }
    const std::string &valueOf(size_t i) const { return values[i % kValueCount]; }
};

// One repetition of one row at one N.
struct Sample {
    double w1 = 0, w2 = 0, w3 = 0; // ns per operation
    double w4 = 0;                 // ms
    double w5 = 0, w5Trim = 0;     // bytes
    bool trimmed = false;
};

struct RowResult {
    std::vector<Sample> samples;
    std::string error; // set: the row failed; no more repetitions
};

uint64_t allocatedBytes(const fs::path &dir) {
    uint64_t total = 0;
    for (const auto &entry : fs::recursive_directory_iterator(dir)) {
        struct stat st {};
        if (lstat(entry.path().c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_blocks) * 512;
        }
    }
    return total;
}

// Runs f; returns its wall time in ns, or under --callgrind collects only
// inside f and dumps the counts under label.
template <typename F> double measure(bool callgrind, const std::string &label, F &&f) {
    if (callgrind) {
#if STORE_BENCH_HAS_CALLGRIND
        CALLGRIND_TOGGLE_COLLECT;
        f();
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(label.c_str());
#else
        (void)label;
        f();
#endif
        return 0;
    }
    auto start = Clock::now();
    f();
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

void expect(bool ok, const std::string &what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

// Keys whose last W2 value is known: each must read back exactly.
void verifyUpdates(StoreAdapter &store, const Workload &w, const char *when) {
    std::string out;
    size_t checked = 0;
    for (size_t k = 0; k < w.n && checked < kVerifyCount; k++) {
        if (w.lastUpdate[k] < 0) {
            continue;
        }
        checked++;
        expect(store.getString(w.keys[k], out) && out == w.valueOf(static_cast<size_t>(w.lastUpdate[k])),
               std::string("wrong value for ") + w.keys[k] + " " + when);
    }
}

Sample runRow(const AdapterInfo &info, const Workload &w, const Options &opt) {
    Sample s;
    const double n = static_cast<double>(w.n);
    const std::string tag = info.id + " ";
    const std::string suffix = " " + std::to_string(w.n);
    std::unique_ptr<StoreAdapter> store = info.make();

    // Store A: W1, W2, then bytes on disk before and after trim.
    {
        TempDir dir(opt.dir, info.id);
        store->open(dir.path(), w.n);
        bool ok = true;
        s.w1 = measure(opt.callgrind, tag + "W1" + suffix,
                       [&] {
                           for (size_t i = 0; i < w.n; i++) {
                               ok &= store->putInt32(w.keys[i], static_cast<int32_t>(i));
                           }
                       }) /
               n;
        expect(ok, "W1: a put failed");
        s.w2 = measure(opt.callgrind, tag + "W2" + suffix,
                       [&] {
                           for (size_t u = 0; u < w.n; u++) {
                               ok &= store->putString(w.keys[w.updates[u]], w.valueOf(u));
                           }
                       }) /
               n;
        expect(ok, "W2: a put failed");
        verifyUpdates(*store, w, "after W2");
        if (info.persistent && !opt.callgrind) {
            store->sync();
            store->close();
            s.w5 = static_cast<double>(allocatedBytes(dir.path()));
            store->open(dir.path(), w.n);
            s.trimmed = store->trim();
            verifyUpdates(*store, w, "after reopen and trim");
            store->sync();
            store->close();
            s.w5Trim = static_cast<double>(allocatedBytes(dir.path()));
        } else {
            store->close();
        }
    }

    // Store B: N keys with 32-byte values, for W3 and W4.
    {
        TempDir dir(opt.dir, info.id);
        store->open(dir.path(), w.n);
        bool ok = true;
        for (size_t i = 0; i < w.n; i++) {
            ok &= store->putString(w.keys[i], w.valueOf(i));
        }
        expect(ok, "filling the W3/W4 store: a put failed");
        std::string out;
        size_t misses = 0;
        s.w3 = measure(opt.callgrind, tag + "W3" + suffix,
                       [&] {
                           for (size_t r = 0; r < w.n; r++) {
                               misses += !store->getString(w.keys[w.reads[r]], out) || out.size() != kValueSize;
                           }
                       }) /
               n;
        expect(misses == 0, "W3: " + std::to_string(misses) + " reads missed");
        for (size_t r = 0; r < std::min(w.n, kVerifyCount); r++) {
            uint32_t k = w.reads[r];
            expect(store->getString(w.keys[k], out) && out == w.valueOf(k), "W3: wrong value for " + w.keys[k]);
        }
        store->close();
        if (info.persistent && !opt.callgrind) {
            const size_t k = w.n / 2;
            bool found = false;
            s.w4 = measure(false, "",
                           [&] {
                               store->open(dir.path(), w.n);
                               found = store->getString(w.keys[k], out);
                           }) /
                   1e6;
            expect(found && out == w.valueOf(k), "W4: wrong value for " + w.keys[k] + " after reopen");
            store->close();
        }
    }
    return s;
}

// ---- statistics and the table ----

struct Stat {
    double median = 0, min = 0, max = 0;
};

Stat statOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    Stat s;
    s.min = v.front();
    s.max = v.back();
    size_t m = v.size() / 2;
    s.median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
    return s;
}

std::string number(double v) {
    char buf[32];
    if (v >= 100) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else if (v >= 10) {
        std::snprintf(buf, sizeof buf, "%.1f", v);
    } else if (v >= 1) {
        std::snprintf(buf, sizeof buf, "%.2f", v);
    } else {
        std::snprintf(buf, sizeof buf, "%.3g", v); // three significant digits however small
    }
    return buf;
}

std::string ratio(double v, double floor) {
    if (floor <= 0) {
        return "";
    }
    double r = v / floor;
    char buf[32];
    std::snprintf(buf, sizeof buf, r < 1 ? " x%.2g" : (r < 10 ? " x%.2f" : (r < 100 ? " x%.1f" : " x%.0f")), r);
    return buf;
}

std::string cell(const Stat &s, const std::optional<Stat> &floor, const char *mark = "") {
    std::string med = number(s.median), lo = number(s.min), hi = number(s.max);
    std::string text = med;
    if (lo != hi) {
        text += " (" + lo + "-" + hi + ")";
    }
    text += mark;
    if (floor) {
        text += ratio(s.median, floor->median);
    }
    return text;
}

void printTable(const std::vector<AdapterInfo> &rows, const Options &opt,
                const std::map<std::pair<size_t, size_t>, RowResult> &results, double loadBefore) {
    std::vector<std::vector<std::string>> table;
    table.push_back({"N", "store", "W1 insert ns/op", "W2 update ns/op", "W3 read ns/op", "W4 reopen ms",
                     "W5 after W1+W2 KiB", "W5 after trim KiB"});
    std::vector<std::string> failures;
    size_t floorRow = rows.size();
    for (size_t r = 0; r < rows.size(); r++) {
        if (rows[r].id == kFloorId) {
            floorRow = r;
        }
    }
    for (size_t si = 0; si < opt.sizes.size(); si++) {
        struct Stats {
            Stat w1, w2, w3, w4, w5, w5Trim;
            bool trimmed = false;
        };
        auto statsOf = [&](size_t r) -> std::optional<Stats> {
            auto it = results.find({si, r});
            if (it == results.end() || !it->second.error.empty() || it->second.samples.empty()) {
                return std::nullopt;
            }
            std::vector<double> w1, w2, w3, w4, w5, w5Trim;
            Stats st;
            for (const Sample &s : it->second.samples) {
                w1.push_back(s.w1);
                w2.push_back(s.w2);
                w3.push_back(s.w3);
                w4.push_back(s.w4);
                w5.push_back(s.w5 / 1024);
                w5Trim.push_back(s.w5Trim / 1024);
                st.trimmed = s.trimmed;
            }
            st.w1 = statOf(w1);
            st.w2 = statOf(w2);
            st.w3 = statOf(w3);
            st.w4 = statOf(w4);
            st.w5 = statOf(w5);
            st.w5Trim = statOf(w5Trim);
            return st;
        };
        std::optional<Stats> floor = floorRow < rows.size() ? statsOf(floorRow) : std::nullopt;
        auto floorStat = [&](Stat Stats::*field) -> std::optional<Stat> {
            if (!floor) {
                return std::nullopt;
            }
            return (*floor).*field;
        };
        for (size_t r = 0; r < rows.size(); r++) {
            std::vector<std::string> line{std::to_string(opt.sizes[si]), rows[r].name};
            auto it = results.find({si, r});
            if (it != results.end() && !it->second.error.empty()) {
                failures.push_back(rows[r].name + " at N = " + std::to_string(opt.sizes[si]) + ": " + it->second.error);
                line.insert(line.end(), 6, "FAILED");
                table.push_back(line);
                continue;
            }
            std::optional<Stats> st = statsOf(r);
            if (!st) {
                continue;
            }
            line.push_back(cell(st->w1, floorStat(&Stats::w1)));
            line.push_back(cell(st->w2, floorStat(&Stats::w2)));
            line.push_back(cell(st->w3, floorStat(&Stats::w3)));
            if (rows[r].persistent) {
                line.push_back(cell(st->w4, floorStat(&Stats::w4)));
                line.push_back(cell(st->w5, floorStat(&Stats::w5)));
                line.push_back(cell(st->w5Trim, floorStat(&Stats::w5Trim), st->trimmed ? "" : "*"));
            } else {
                line.insert(line.end(), 3, "-");
            }
            table.push_back(line);
        }
    }

    std::printf("Median (min-max) over %d repetitions; xR = median / median of \"floor: append to mapping\" at the "
                "same N.\n",
                opt.reps);
    std::printf("W1-W3: ns per operation. W4: ms for open + one read. W5: KiB allocated on disk (st_blocks * 512). "
                "* the store has no trim: bytes after reopen and close. - not applicable.\n");
#if !defined(VORN_BENCH_HAS_STORE_ROWS)
    std::printf("The library's own rows are not in this build: they need the typed API of core/VORN.h.\n");
#endif
    std::printf("%s\n\n", machineLine(loadBefore, opt.dir).c_str());
    printMarkdownTable(table, failures);
}

// The table's medians and ranges, one block per N (blocks separated by two
// blank lines), one line per row; NaN where a cell does not apply or failed.
void writeData(const std::vector<AdapterInfo> &rows, const Options &opt,
               const std::map<std::pair<size_t, size_t>, RowResult> &results, double loadBefore,
               const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "store_bench: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return;
    }
    std::fprintf(f, "# %s\n", machineLine(loadBefore, opt.dir).c_str());
    std::fprintf(f, "# N\tid\tname\tw1_ns\tw1_min\tw1_max\tw2_ns\tw2_min\tw2_max\tw3_ns\tw3_min\tw3_max\tw4_ms\t"
                    "w4_min\tw4_max\tw5_kib\tw5_trim_kib\n");
    for (size_t si = 0; si < opt.sizes.size(); si++) {
        if (si > 0) {
            std::fprintf(f, "\n\n");
        }
        for (size_t r = 0; r < rows.size(); r++) {
            auto it = results.find({si, r});
            bool valid = it != results.end() && it->second.error.empty() && !it->second.samples.empty();
            std::string line = std::to_string(opt.sizes[si]) + "\t" + rows[r].id + "\t" + rows[r].name;
            auto add = [&](double Sample::*field, double scale, bool applies) {
                if (!valid || !applies) {
                    line += "\tNaN\tNaN\tNaN";
                    return;
                }
                std::vector<double> v;
                for (const Sample &s : it->second.samples) {
                    v.push_back(s.*field * scale);
                }
                Stat st = statOf(v);
                char buf[96];
                std::snprintf(buf, sizeof buf, "\t%.6g\t%.6g\t%.6g", st.median, st.min, st.max);
                line += buf;
            };
            add(&Sample::w1, 1, true);
            add(&Sample::w2, 1, true);
            add(&Sample::w3, 1, true);
            add(&Sample::w4, 1, rows[r].persistent);
            auto median = [&](double Sample::*field) {
                if (!valid || !rows[r].persistent) {
                    return std::string("NaN");
                }
                std::vector<double> v;
                for (const Sample &s : it->second.samples) {
                    v.push_back(s.*field / 1024);
                }
                char buf[32];
                std::snprintf(buf, sizeof buf, "%.6g", statOf(v).median);
                return std::string(buf);
            };
            line += "\t" + median(&Sample::w5) + "\t" + median(&Sample::w5Trim);
            std::fprintf(f, "%s\n", line.c_str());
        }
    }
    std::fclose(f);
}

// ---- command line ----

std::vector<std::string> splitList(const std::string &text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        if (comma > start) {
            items.push_back(text.substr(start, comma - start));
        }
        start = comma + 1;
    }
    return items;
}

[[noreturn]] void usage(const char *message) {
    std::fprintf(stderr,
                 "store_bench: %s\n"
                 "usage: store_bench [--reps R] [--sizes N,N...] [--rows ID,ID...] [--dir DIR] [--callgrind] "
                 "[--list] [--data-dir DIR]\n"
                 "                   [--large | --large-only] [--large-keys N] [--large-values B,B...] "
                 "[--large-rows ID,ID...]\n",
                 message);
    std::exit(2);
}

Options parseOptions(int argc, char **argv) {
    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage(("missing value of " + arg).c_str());
            }
            return argv[++i];
        };
        if (arg == "--reps") {
            opt.reps = std::atoi(value().c_str());
            if (opt.reps < 1) {
                usage("--reps must be at least 1");
            }
        } else if (arg == "--sizes") {
            opt.sizes.clear();
            for (const auto &item : splitList(value())) {
                long long n = std::atoll(item.c_str());
                if (n < 2 || n > 10000000) {
                    usage("each size must be between 2 and 10000000");
                }
                opt.sizes.push_back(static_cast<size_t>(n));
            }
            if (opt.sizes.empty()) {
                usage("--sizes is empty");
            }
        } else if (arg == "--rows") {
            opt.rows = splitList(value());
        } else if (arg == "--dir") {
            opt.dir = value();
        } else if (arg == "--callgrind") {
            opt.callgrind = true;
        } else if (arg == "--list") {
            opt.list = true;
        } else if (arg == "--data-dir") {
            opt.dataDir = value();
        } else if (arg == "--large") {
            opt.large = true;
        } else if (arg == "--large-only") {
            opt.large = opt.largeOnly = true;
        } else if (arg == "--large-keys") {
            long long n = std::atoll(value().c_str());
            if (n < 100 || n > 100000000) {
                usage("--large-keys must be between 100 and 100000000");
            }
            opt.largeOpt.keys = static_cast<size_t>(n);
        } else if (arg == "--large-values") {
            opt.largeOpt.valueSizes.clear();
            for (const auto &item : splitList(value())) {
                long long b = std::atoll(item.c_str());
                if (b < 1 || b > (1 << 20)) {
                    usage("each value size must be between 1 and 1048576 bytes");
                }
                opt.largeOpt.valueSizes.push_back(static_cast<size_t>(b));
            }
            if (opt.largeOpt.valueSizes.empty()) {
                usage("--large-values is empty");
            }
        } else if (arg == "--large-rows") {
            opt.largeOpt.rows = splitList(value());
        } else {
            usage(("unknown argument " + arg).c_str());
        }
    }
    return opt;
}

int run(int argc, char **argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--large-probe") == 0) {
        return runLargeProbe(argc - 2, argv + 2);
    }
    Options opt = parseOptions(argc, argv);
    std::vector<AdapterInfo> all = registeredAdapters();
    if (opt.list) {
        for (const auto &a : all) {
            std::printf("%s\t%s\n", a.id.c_str(), a.name.c_str());
        }
        return 0;
    }
    std::vector<AdapterInfo> rows;
    for (const auto &a : all) {
        if (opt.rows.empty() || std::find(opt.rows.begin(), opt.rows.end(), a.id) != opt.rows.end()) {
            rows.push_back(a);
        }
    }
    for (const auto &id : opt.rows) {
        if (std::none_of(all.begin(), all.end(), [&](const AdapterInfo &a) { return a.id == id; })) {
            usage(("no row " + id + " in this build (--list shows the rows)").c_str());
        }
    }
    if (opt.callgrind) {
#if !STORE_BENCH_HAS_CALLGRIND
        usage("built without valgrind/callgrind.h");
#endif
        if (opt.large) {
            usage("--callgrind measures the W1-W3 table only");
        }
        opt.reps = 1;
    }

    const char *tmp = std::getenv("TMPDIR");
    TempDir base(opt.dir.empty() ? (tmp && *tmp ? tmp : "/tmp") : opt.dir, "store_bench");
    Options runOpt = opt;
    runOpt.dir = base.path();

    std::vector<Workload> workloads;
    for (size_t n : opt.sizes) {
        workloads.emplace_back(n);
    }

    // Other work on the machine shows in the spread of the cells; the table
    // records how busy the machine was.
    double loadBefore = -1;
    getloadavg(&loadBefore, 1);

    // The large-store table alone.
    const std::string shownDir = opt.dir.empty() ? (tmp && *tmp ? tmp : "/tmp") : opt.dir;
    auto runLarge = [&] {
        LargeOptions large = opt.largeOpt;
        large.dir = base.path();
        large.shownDir = shownDir;
        if (!opt.dataDir.empty()) {
            large.dataFile = opt.dataDir + "/large_store_bench.tsv";
        }
        return runLargeStoreBench(large);
    };
    if (opt.largeOnly) {
        return runLarge();
    }

    std::map<std::pair<size_t, size_t>, RowResult> results;
    auto begin = Clock::now();
    for (int rep = 0; rep < opt.reps; rep++) {
        auto repBegin = Clock::now();
        for (size_t si = 0; si < workloads.size(); si++) {
            for (size_t k = 0; k < rows.size(); k++) {
                size_t r = (k + static_cast<size_t>(rep)) % rows.size();
                RowResult &result = results[{si, r}];
                if (!result.error.empty()) {
                    continue;
                }
                try {
                    result.samples.push_back(runRow(rows[r], workloads[si], runOpt));
                } catch (const std::exception &e) {
                    result.error = e.what();
                    std::fprintf(stderr, "store_bench: %s at N = %zu failed: %s\n", rows[r].name.c_str(),
                                 workloads[si].n, e.what());
                }
            }
        }
        std::fprintf(stderr, "store_bench: repetition %d/%d done in %.1f s\n", rep + 1, opt.reps,
                     std::chrono::duration<double>(Clock::now() - repBegin).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - begin).count();

    bool failed = std::any_of(results.begin(), results.end(), [](const auto &r) { return !r.second.error.empty(); });
    if (opt.callgrind) {
        return failed ? 1 : 0;
    }
    runOpt.dir = shownDir;
    printTable(rows, runOpt, results, loadBefore);
    if (!opt.dataDir.empty()) {
        writeData(rows, runOpt, results, loadBefore, opt.dataDir + "/store_bench.tsv");
    }
    std::fprintf(stderr, "store_bench: measured in %.0f s\n", seconds);
    if (opt.large) {
        failed |= runLarge() != 0;
    }
    return failed ? 1 : 0;
}

} // namespace
} // namespace vornbench

int main(int argc, char **argv) {
    try {
        return vornbench::run(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "store_bench: %s\n", e.what());
        return 1;
    }
}
