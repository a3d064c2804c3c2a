// The large-store table of store_bench (--large). For each value size
// (100 B and 1 KiB by default) and each row (vorn, vorn-mp, lmdb-writemap),
// on N keys (1,000,000 by default, --large-keys):
//
//   load      N puts of distinct keys "key_%d", one put each, every put timed
//             with steady_clock: throughput, the worst put and p99.9.
//   zipf      N operations over the loaded keys, half reads (copied out),
//             half updates of the same value size; keys drawn from a
//             scrambled zipfian distribution (theta 0.99, fixed seed).
//   open      in a fresh process (fork + exec of this binary): anonymous
//             and file-backed resident memory (/proc/self/smaps_rollup)
//             before and after opening the store and reading one key, and
//             the time of that open + read.
//   writers   on rows that several processes may open at once, after the
//             cells above: two forked processes, each with its own open of
//             the store, do N/2 updates each at the same time; aggregate
//             throughput over the span from the first start to the last end.
//
// Each row and value size runs in a forked process of its own (a store that
// kills its process fails its row, not the run). One run, no repetitions.
// Every value read back (sample of keys after each
// phase, the probe's key, the writers' keys afterwards) is checked outside the
// timing; a phase that fails marks its cells and the later ones FAILED.
#include "bench/LargeStoreBench.h"

#include "bench/BenchCommon.h"
#include "bench/StoreAdapter.h"

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vornbench {
namespace {

using Clock = std::chrono::steady_clock;

// Distinct values per size; a value is named by its index into the pool.
constexpr size_t kPoolSize = 251;
// Keys read back after each phase.
constexpr size_t kVerifyCount = 1000;
constexpr double kTheta = 0.99;
// A forked or probed process that takes longer is killed (SIGALRM) and its
// cell fails instead of hanging the run.
constexpr unsigned kChildSeconds = 1800;
constexpr uint32_t kUpdateBit = 0x80000000u;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string keyOf(size_t i) { return "key_" + std::to_string(i); }

// kPoolSize values of `size` bytes; each starts with its own index, so no two
// are equal.
std::vector<std::string> valuePool(size_t size) {
    std::mt19937_64 rng(0x1a26e000 + size);
    std::vector<std::string> pool(kPoolSize);
    for (size_t p = 0; p < kPoolSize; p++) {
        std::string &v = pool[p];
        v.resize(size);
        for (auto &c : v) {
            c = static_cast<char>('a' + rng() % 26);
        }
        std::string tag = std::to_string(p) + ":";
        v.replace(0, std::min(tag.size(), size), tag.substr(0, std::min(tag.size(), size)));
    }
    return pool;
}

// YCSB's zipfian generator (Gray et al., "Quickly generating billion-record
// synthetic databases"), ranks scrambled by a hash so that the hot keys are
// spread over the key space instead of being the first ones loaded.
class Zipfian {
public:
    Zipfian(uint64_t n, double theta) : m_n(n) {
        double zetan = 0;
        for (uint64_t i = 1; i <= n; i++) {
            zetan += 1.0 / std::pow(static_cast<double>(i), theta);
        }
        m_zetan = zetan;
        m_alpha = 1.0 / (1.0 - theta);
        m_zeta2Bound = 1.0 + std::pow(0.5, theta);
        m_eta = (1.0 - std::pow(2.0 / static_cast<double>(n), 1.0 - theta)) / (1.0 - m_zeta2Bound / zetan);
    }
    template <typename Rng> uint64_t next(Rng &rng) const {
        double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        double uz = u * m_zetan;
        uint64_t rank;
        if (uz < 1.0) {
            rank = 0;
        } else if (uz < m_zeta2Bound) {
            rank = 1;
        } else {
            rank = static_cast<uint64_t>(static_cast<double>(m_n) * std::pow(m_eta * u - m_eta + 1.0, m_alpha));
            rank = std::min(rank, m_n - 1);
        }
        // FNV-1a over the rank's bytes.
        uint64_t h = 0xcbf29ce484222325ull;
        for (int b = 0; b < 8; b++) {
            h ^= (rank >> (8 * b)) & 0xff;
            h *= 0x100000001b3ull;
        }
        return h % m_n;
    }

private:
    uint64_t m_n;
    double m_zetan = 0, m_alpha = 0, m_zeta2Bound = 0, m_eta = 0;
};

// Inputs of every row and value size at one N: values are pool indexes, so
// the same sequences serve both value sizes.
struct Inputs {
    size_t n = 0;
    std::vector<std::string> keys;
    std::vector<uint32_t> zipfOps;     // key index, kUpdateBit set for an update
    std::vector<uint8_t> zipfValue;    // pool index of each update
    std::vector<uint8_t> afterZipf;    // per key: pool index after the zipf phase
    std::vector<uint32_t> writerOps[2];   // key indexes of each writer process
    std::vector<uint8_t> writerValue[2];  // pool index of each of its updates
    std::vector<uint8_t> afterWriters;    // per key: pool index after both writers
    std::vector<size_t> verifyZipf;       // keys read back after the zipf phase
    std::vector<size_t> verifyWriters;    // keys read back after the writers

    explicit Inputs(size_t count) : n(count) {
        keys.reserve(n);
        for (size_t i = 0; i < n; i++) {
            keys.push_back(keyOf(i));
        }
        Zipfian zipf(n, kTheta);
        std::mt19937_64 rng(0x21bf0000 + n);
        std::vector<uint8_t> current(n);
        for (size_t i = 0; i < n; i++) {
            current[i] = static_cast<uint8_t>(i % kPoolSize);
        }
        // Each update writes a value different from the key's current one.
        auto nextValue = [&](size_t k) {
            uint8_t v = static_cast<uint8_t>((current[k] + 1 + rng() % (kPoolSize - 1)) % kPoolSize);
            current[k] = v;
            return v;
        };
        zipfOps.resize(n);
        for (size_t j = 0; j < n; j++) {
            uint32_t k = static_cast<uint32_t>(zipf.next(rng));
            if (rng() & 1) {
                zipfOps[j] = k | kUpdateBit;
                zipfValue.push_back(nextValue(k));
            } else {
                zipfOps[j] = k;
            }
        }
        afterZipf = current;
        // The two writers update disjoint keys (even and odd indexes), so that
        // the last value of every key is known whatever the interleaving; both
        // still contend for the one store.
        for (uint32_t c = 0; c < 2; c++) {
            std::mt19937_64 wrng(0x3c0a0000 + 16 * n + c);
            std::swap(rng, wrng);
            for (size_t j = 0; j < n / 2; j++) {
                uint64_t z = zipf.next(rng);
                uint64_t k = z - z % 2 + c;
                if (k >= n) {
                    k -= 2;
                }
                writerOps[c].push_back(static_cast<uint32_t>(k));
                writerValue[c].push_back(nextValue(k));
            }
            std::swap(rng, wrng);
        }
        afterWriters = current;
        // Evenly spaced keys plus the keys of the last operations of a phase.
        auto spaced = [&] {
            std::vector<size_t> v;
            for (size_t j = 0; j < std::min(n, kVerifyCount); j++) {
                v.push_back(j * n / std::min(n, kVerifyCount));
            }
            return v;
        };
        verifyZipf = spaced();
        for (size_t j = n - std::min(n, kVerifyCount); j < n; j++) {
            verifyZipf.push_back(zipfOps[j] & ~kUpdateBit);
        }
        verifyWriters = spaced();
        for (const auto &ops : writerOps) {
            for (size_t j = ops.size() - std::min(ops.size(), kVerifyCount / 2); j < ops.size(); j++) {
                verifyWriters.push_back(ops[j]);
            }
        }
    }
};

struct Cells {
    double loadKops = kNaN, worstMs = kNaN, p999Ms = kNaN, zipfKops = kNaN;
    double anonPerKey = kNaN, fileMB = kNaN, reopenMs = kNaN, writersKops = kNaN;
    int failedPhase = -1; // 0 load, 1 zipf, 2 open, 3 writers; -1 none
    std::string error;
};

void expect(bool ok, const std::string &what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

double nsSince(Clock::time_point t) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count());
}

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void verify(StoreAdapter &store, const Inputs &in, const std::vector<std::string> &pool,
            const std::vector<size_t> &keys, const std::vector<uint8_t> &expected, const char *when) {
    std::string out;
    for (size_t k : keys) {
        expect(store.getString(in.keys[k], out) && out == pool[expected[k]],
               std::string("wrong value for ") + in.keys[k] + " " + when);
    }
}

// Resident memory of this process, in bytes.
struct Resident {
    long long anon = 0, file = 0;
};

Resident residentNow() {
    Resident r;
    long long rss = -1, anon = -1;
    if (FILE *f = std::fopen("/proc/self/smaps_rollup", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            long long kb = 0;
            if (std::sscanf(line, "Rss: %lld kB", &kb) == 1) {
                rss = kb;
            } else if (std::sscanf(line, "Anonymous: %lld kB", &kb) == 1) {
                anon = kb;
            }
        }
        std::fclose(f);
    }
    if (rss >= 0 && anon >= 0) {
        r.anon = anon * 1024;
        r.file = (rss - anon) * 1024;
        return r;
    }
    // Older kernels: the counters of /proc/self/status.
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            long long kb = 0;
            if (std::sscanf(line, "RssAnon: %lld kB", &kb) == 1) {
                r.anon = kb * 1024;
            } else if (std::sscanf(line, "RssFile: %lld kB", &kb) == 1 ||
                       std::sscanf(line, "RssShmem: %lld kB", &kb) == 1) {
                r.file += kb * 1024;
            }
        }
        std::fclose(f);
    }
    return r;
}

std::string waitStatusText(int status) {
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    }
    return "stopped";
}

// The open cells: this binary again, fresh, as --large-probe; it prints
// "ok ns anonBefore anonAfter fileBefore fileAfter".
void runProbe(const AdapterInfo &info, const std::string &dir, const std::string &warmDir, const Inputs &in,
              size_t valueSize, Cells &cells) {
    const size_t k = in.n / 2;
    std::vector<std::string> args{"store_bench",
                                  "--large-probe",
                                  info.id,
                                  dir,
                                  warmDir,
                                  std::to_string(in.n),
                                  std::to_string(valueSize),
                                  std::to_string(k),
                                  std::to_string(in.afterZipf[k])};
    int out[2];
    expect(pipe(out) == 0, std::string("pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    pid_t pid = fork();
    expect(pid >= 0, std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        ::close(out[0]);
        dup2(out[1], STDOUT_FILENO);
        ::close(out[1]);
        alarm(kChildSeconds);
        std::vector<char *> argv;
        for (auto &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        std::fprintf(stderr, "store_bench: exec /proc/self/exe: %s\n", std::strerror(errno));
        _exit(127);
    }
    ::close(out[1]);
    std::string text;
    char buf[256];
    ssize_t got;
    while ((got = read(out[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) {
            text.append(buf, static_cast<size_t>(got));
        }
    }
    ::close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, "open probe: " + waitStatusText(status) + " " + text);
    int ok = 0;
    long long ns = 0, anonBefore = 0, anonAfter = 0, fileBefore = 0, fileAfter = 0;
    expect(std::sscanf(text.c_str(), "%d %lld %lld %lld %lld %lld", &ok, &ns, &anonBefore, &anonAfter, &fileBefore,
                       &fileAfter) == 6,
           "open probe printed: " + text);
    expect(ok == 1, "wrong value for " + in.keys[k] + " after a fresh open");
    cells.reopenMs = static_cast<double>(ns) / 1e6;
    cells.anonPerKey = static_cast<double>(anonAfter - anonBefore) / static_cast<double>(in.n);
    cells.fileMB = static_cast<double>(fileAfter - fileBefore) / (1024.0 * 1024.0);
}

struct WriterReport {
    int ok = 0;
    int64_t startNs = 0, endNs = 0;
    char error[240] = {};
};

// Two processes, each with its own open of the store, update at once.
void runWriters(const AdapterInfo &info, const std::string &dir, const Inputs &in, size_t valueSize,
                const std::vector<std::string> &pool, Cells &cells) {
    int ready[2], go[2], result[2][2];
    expect(pipe(ready) == 0 && pipe(go) == 0 && pipe(result[0]) == 0 && pipe(result[1]) == 0,
           std::string("pipe: ") + std::strerror(errno));
    std::fflush(nullptr);
    pid_t pids[2] = {-1, -1};
    for (int c = 0; c < 2; c++) {
        pids[c] = fork();
        if (pids[c] < 0) {
            const std::string error = std::string("fork: ") + std::strerror(errno);
            // A writer already started waits for the go: let it run and end.
            for (int fd : {ready[0], ready[1], go[0], go[1], result[0][0], result[0][1], result[1][0], result[1][1]}) {
                ::close(fd);
            }
            if (c == 1) {
                waitpid(pids[0], nullptr, 0);
            }
            throw std::runtime_error(error);
        }
        if (pids[c] == 0) {
            alarm(kChildSeconds);
            ::close(ready[0]);
            ::close(go[1]);
            ::close(result[c][0]);
            ::close(result[1 - c][0]);
            ::close(result[1 - c][1]);
            WriterReport report;
            try {
                std::unique_ptr<StoreAdapter> store = info.make();
                store->setValueSize(valueSize);
                store->open(dir, in.n);
                char byte = 'r';
                expect(write(ready[1], &byte, 1) == 1, "ready pipe");
                // Closed at once, so that if the other writer dies before it
                // is ready, the parent sees the end of the pipe.
                ::close(ready[1]);
                while (read(go[0], &byte, 1) < 0 && errno == EINTR) {
                }
                const auto &ops = in.writerOps[c];
                const auto &values = in.writerValue[c];
                bool ok = true;
                report.startNs = monotonicNs();
                for (size_t j = 0; j < ops.size(); j++) {
                    ok &= store->putString(in.keys[ops[j]], pool[values[j]]);
                }
                report.endNs = monotonicNs();
                store->close();
                report.ok = ok ? 1 : 0;
                if (!ok) {
                    std::snprintf(report.error, sizeof report.error, "writer %d: a put failed", c);
                }
            } catch (const std::exception &e) {
                std::snprintf(report.error, sizeof report.error, "writer %d: %s", c, e.what());
            }
            ssize_t w = write(result[c][1], &report, sizeof report);
            _exit(w == static_cast<ssize_t>(sizeof report) ? 0 : 1);
        }
    }
    ::close(ready[1]);
    ::close(go[0]);
    ::close(result[0][1]);
    ::close(result[1][1]);
    // Both have opened the store: let them go together.
    char bytes[2];
    readFully(ready[0], bytes, sizeof bytes);
    ::close(ready[0]);
    ::close(go[1]);
    WriterReport reports[2];
    std::string error;
    for (int c = 0; c < 2; c++) {
        const size_t got = readFully(result[c][0], &reports[c], sizeof reports[c]);
        ::close(result[c][0]);
        int status = 0;
        waitpid(pids[c], &status, 0);
        if (got != sizeof reports[c]) {
            error += "writer " + std::to_string(c) + ": " + waitStatusText(status) + "; ";
        } else if (!reports[c].ok) {
            error += std::string(reports[c].error) + "; ";
        }
    }
    expect(error.empty(), error);
    int64_t start = std::min(reports[0].startNs, reports[1].startNs);
    int64_t end = std::max(reports[0].endNs, reports[1].endNs);
    double ops = static_cast<double>(in.writerOps[0].size() + in.writerOps[1].size());
    cells.writersKops = ops / (static_cast<double>(end - start) / 1e9) / 1e3;
}

Cells runRow(const AdapterInfo &info, size_t valueSize, const Inputs &in, const LargeOptions &opt) {
    Cells cells;
    const std::vector<std::string> pool = valuePool(valueSize);
    const size_t n = in.n;
    TempDir dir(opt.dir, "large-" + info.id);
    TempDir warmDir(opt.dir, "warm-" + info.id);
    int phase = 0;
    auto note = [&](const char *what, double seconds) {
        std::fprintf(stderr, "store_bench: large %s %zu B: %s %.1f s\n", info.id.c_str(), valueSize, what, seconds);
    };
    try {
        std::unique_ptr<StoreAdapter> store = info.make();
        store->setValueSize(valueSize);
        store->open(dir.path(), n);

        // Load: every put timed on its own.
        std::vector<uint64_t> latency(n);
        bool ok = true;
        const auto begin = Clock::now();
        auto previous = begin;
        for (size_t i = 0; i < n; i++) {
            ok &= store->putString(in.keys[i], pool[i % kPoolSize]);
            const auto now = Clock::now();
            latency[i] = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now - previous).count());
            previous = now;
        }
        const double loadNs = static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(previous - begin).count());
        expect(ok, "load: a put failed");
        note("load", loadNs / 1e9);
        {
            std::string out;
            for (size_t j = 0; j < std::min(n, kVerifyCount); j++) {
                size_t k = j * n / std::min(n, kVerifyCount);
                expect(store->getString(in.keys[k], out) && out == pool[k % kPoolSize],
                       "wrong value for " + in.keys[k] + " after the load");
            }
        }
        cells.loadKops = static_cast<double>(n) / (loadNs / 1e9) / 1e3;
        cells.worstMs = static_cast<double>(*std::max_element(latency.begin(), latency.end())) / 1e6;
        size_t p999 = std::min(n - 1, static_cast<size_t>(std::ceil(static_cast<double>(n) * 0.999)) - 1);
        std::nth_element(latency.begin(), latency.begin() + static_cast<std::ptrdiff_t>(p999), latency.end());
        cells.p999Ms = static_cast<double>(latency[p999]) / 1e6;
        std::vector<uint64_t>().swap(latency);

        // Zipfian 50/50 reads and updates.
        phase = 1;
        std::string out;
        out.reserve(valueSize);
        size_t misses = 0, update = 0;
        const auto zipfBegin = Clock::now();
        for (uint32_t op : in.zipfOps) {
            const uint32_t k = op & ~kUpdateBit;
            if (op & kUpdateBit) {
                ok &= store->putString(in.keys[k], pool[in.zipfValue[update++]]);
            } else {
                misses += !store->getString(in.keys[k], out) || out.size() != valueSize;
            }
        }
        const double zipfNs = nsSince(zipfBegin);
        note("zipf", zipfNs / 1e9);
        expect(ok, "zipf: an update failed");
        expect(misses == 0, "zipf: " + std::to_string(misses) + " reads missed");
        verify(*store, in, pool, in.verifyZipf, in.afterZipf, "after the zipf phase");
        cells.zipfKops = static_cast<double>(n) / (zipfNs / 1e9) / 1e3;
        store->close();
        store.reset();

        // Memory and time of a fresh open, in a fresh process.
        phase = 2;
        runProbe(info, dir.path(), warmDir.path(), in, valueSize, cells);

        // Two writer processes.
        phase = 3;
        if (info.multiProcess) {
            const auto writersBegin = Clock::now();
            runWriters(info, dir.path(), in, valueSize, pool, cells);
            note("two writers", nsSince(writersBegin) / 1e9);
            std::unique_ptr<StoreAdapter> check = info.make();
            check->setValueSize(valueSize);
            check->open(dir.path(), n);
            verify(*check, in, pool, in.verifyWriters, in.afterWriters, "after the two writers");
            check->close();
        }
    } catch (const std::exception &e) {
        cells.failedPhase = phase;
        cells.error = e.what();
        std::fprintf(stderr, "store_bench: large %s %zu B failed: %s\n", info.name.c_str(), valueSize, e.what());
    }
    return cells;
}

// runRow in a forked process, so that a store that kills its process (LMDB
// WRITEMAP takes SIGBUS when the disk is full under its sparse file) fails
// its row instead of the run, and every row starts with a fresh heap and
// fresh library state.
Cells runRowIsolated(const AdapterInfo &info, size_t valueSize, const Inputs &in, const LargeOptions &opt) {
    struct Report {
        double values[8];
        int failedPhase;
        char error[400];
    };
    Cells cells;
    int out[2];
    if (pipe(out) != 0) {
        cells.failedPhase = 0;
        cells.error = std::string("pipe: ") + std::strerror(errno);
        return cells;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        cells.failedPhase = 0;
        cells.error = std::string("fork: ") + std::strerror(errno);
        return cells;
    }
    if (pid == 0) {
        ::close(out[0]);
        Cells c = runRow(info, valueSize, in, opt);
        Report report{{c.loadKops, c.worstMs, c.p999Ms, c.zipfKops, c.anonPerKey, c.fileMB, c.reopenMs, c.writersKops},
                      c.failedPhase,
                      {}};
        std::snprintf(report.error, sizeof report.error, "%s", c.error.c_str());
        std::fflush(nullptr);
        ssize_t w = write(out[1], &report, sizeof report);
        _exit(w == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
    ::close(out[1]);
    Report report{};
    const size_t got = readFully(out[0], &report, sizeof report);
    ::close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != sizeof report) {
        cells.failedPhase = 0;
        cells.error = "the row's process ended early: " + waitStatusText(status);
        std::fprintf(stderr, "store_bench: large %s %zu B failed: %s\n", info.name.c_str(), valueSize,
                     cells.error.c_str());
        return cells;
    }
    double *fields[8] = {&cells.loadKops, &cells.worstMs,    &cells.p999Ms,   &cells.zipfKops,
                         &cells.anonPerKey, &cells.fileMB, &cells.reopenMs, &cells.writersKops};
    for (int f = 0; f < 8; f++) {
        *fields[f] = report.values[f];
    }
    cells.failedPhase = report.failedPhase;
    cells.error = report.error;
    return cells;
}

std::string number(double v) {
    char buf[32];
    if (std::isnan(v)) {
        return "-";
    }
    if (v >= 100) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
    } else if (v >= 10) {
        std::snprintf(buf, sizeof buf, "%.1f", v);
    } else if (v >= 1) {
        std::snprintf(buf, sizeof buf, "%.2f", v);
    } else {
        std::snprintf(buf, sizeof buf, "%.3g", v);
    }
    return buf;
}

std::string sizeText(size_t bytes) {
    if (bytes >= 1024 && bytes % 1024 == 0) {
        return std::to_string(bytes / 1024) + " KiB";
    }
    return std::to_string(bytes) + " B";
}

void printTable(const std::vector<AdapterInfo> &rows, const LargeOptions &opt, const std::vector<Cells> &cells,
                double loadBefore) {
    std::vector<std::vector<std::string>> table;
    table.push_back({"keys x value", "store", "load k puts/s", "worst put ms", "p99.9 put ms", "zipf 50/50 k ops/s",
                     "anon B/key after open", "file MB after open", "reopen ms", "2 writers k ops/s"});
    std::vector<std::string> failures;
    for (size_t vi = 0; vi < opt.valueSizes.size(); vi++) {
        for (size_t r = 0; r < rows.size(); r++) {
            const Cells &c = cells[vi * rows.size() + r];
            auto failedFrom = [&](int phase) { return c.failedPhase >= 0 && c.failedPhase <= phase; };
            auto cell = [&](int phase, double v) { return failedFrom(phase) ? std::string("FAILED") : number(v); };
            std::vector<std::string> line{std::to_string(opt.keys) + " x " + sizeText(opt.valueSizes[vi]),
                                          rows[r].name};
            line.push_back(cell(0, c.loadKops));
            line.push_back(cell(0, c.worstMs));
            line.push_back(cell(0, c.p999Ms));
            line.push_back(cell(1, c.zipfKops));
            line.push_back(cell(2, c.anonPerKey));
            line.push_back(cell(2, c.fileMB));
            line.push_back(cell(2, c.reopenMs));
            line.push_back(rows[r].multiProcess ? cell(3, c.writersKops) : std::string("-"));
            table.push_back(line);
            if (c.failedPhase >= 0) {
                failures.push_back(rows[r].name + " at " + std::to_string(opt.keys) + " x " +
                                   sizeText(opt.valueSizes[vi]) + ": " + c.error);
            }
        }
    }
    std::printf("\n## Large stores\n\n");
    std::printf("One run. load: %zu puts of distinct keys, each timed (worst and p99.9 of single puts). zipf: %zu "
                "operations, half reads (copied out), half updates of the same size, keys zipfian (theta %.2f, "
                "scrambled, fixed seed). after open: a fresh process opens the store and reads one key; resident "
                "anonymous bytes per key and file-backed MB that the open added (/proc/self/smaps_rollup), and the "
                "time of that open + read. 2 writers: two processes, each with its own open, %zu updates each at "
                "once; - a single-process row.\n",
                opt.keys, opt.keys, kTheta, opt.keys / 2);
    std::printf("Targets (bench/README.md): zipf 100 B >= 1.5 x LMDB WRITEMAP; worst put 1 KiB <= 50 ms; anon <= 64 "
                "B/key; 2 writers >= LMDB WRITEMAP.\n");
    std::printf("%s\n\n", machineLine(loadBefore, opt.shownDir).c_str());
    printMarkdownTable(table, failures);
}

// One line per value size and row; NaN for a cell not measured or failed.
void writeData(const std::vector<AdapterInfo> &rows, const LargeOptions &opt, const std::vector<Cells> &cells,
               double loadBefore) {
    FILE *f = std::fopen(opt.dataFile.c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "store_bench: cannot write %s: %s\n", opt.dataFile.c_str(), std::strerror(errno));
        return;
    }
    std::fprintf(f, "# %s N = %zu\n", machineLine(loadBefore, opt.shownDir).c_str(), opt.keys);
    std::fprintf(f, "# label\tvalue_bytes\tid\tname\tload_kputs_s\tworst_put_ms\tp999_put_ms\tzipf_kops_s\t"
                    "anon_bytes_per_key\tfile_mb\treopen_ms\twriters_kops_s\n");
    for (size_t vi = 0; vi < opt.valueSizes.size(); vi++) {
        for (size_t r = 0; r < rows.size(); r++) {
            const Cells &c = cells[vi * rows.size() + r];
            auto v = [&](int phase, double x) {
                return (c.failedPhase >= 0 && c.failedPhase <= phase) || std::isnan(x) ? std::string("NaN")
                                                                                         : std::to_string(x);
            };
            std::string label = rows[r].id + " " + sizeText(opt.valueSizes[vi]);
            std::fprintf(f, "%s\t%zu\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n", label.c_str(), opt.valueSizes[vi],
                         rows[r].id.c_str(), rows[r].name.c_str(), v(0, c.loadKops).c_str(), v(0, c.worstMs).c_str(),
                         v(0, c.p999Ms).c_str(), v(1, c.zipfKops).c_str(), v(2, c.anonPerKey).c_str(),
                         v(2, c.fileMB).c_str(), v(2, c.reopenMs).c_str(), v(3, c.writersKops).c_str());
        }
    }
    std::fclose(f);
}

} // namespace

int runLargeStoreBench(const LargeOptions &opt) {
    std::vector<AdapterInfo> all = registeredAdapters();
    std::vector<AdapterInfo> rows;
    for (const auto &id : opt.rows) {
        auto it = std::find_if(all.begin(), all.end(), [&](const AdapterInfo &a) { return a.id == id; });
        if (it == all.end()) {
            std::fprintf(stderr, "store_bench: large table: no row %s in this build, left out\n", id.c_str());
        } else if (!it->persistent) {
            std::fprintf(stderr, "store_bench: large table: %s keeps no files, left out\n", id.c_str());
        } else {
            rows.push_back(*it);
        }
    }
    if (rows.empty()) {
        std::fprintf(stderr, "store_bench: large table: no rows\n");
        return 1;
    }
    double loadBefore = -1;
    getloadavg(&loadBefore, 1);
    const auto begin = Clock::now();
    std::fprintf(stderr, "store_bench: large table: preparing the inputs for %zu keys\n", opt.keys);
    const Inputs in(opt.keys);
    std::vector<Cells> cells;
    for (size_t valueSize : opt.valueSizes) {
        for (const auto &row : rows) {
            cells.push_back(runRowIsolated(row, valueSize, in, opt));
        }
    }
    printTable(rows, opt, cells, loadBefore);
    if (!opt.dataFile.empty()) {
        writeData(rows, opt, cells, loadBefore);
    }
    std::fprintf(stderr, "store_bench: large table measured in %.0f s\n",
                 std::chrono::duration<double>(Clock::now() - begin).count());
    return std::any_of(cells.begin(), cells.end(), [](const Cells &c) { return c.failedPhase >= 0; }) ? 1 : 0;
}

// argv: ID DIR WARM_DIR N VALUE_SIZE KEY_INDEX POOL_INDEX
int runLargeProbe(int argc, char **argv) {
    if (argc != 7) {
        std::fprintf(stderr, "store_bench --large-probe: wrong arguments\n");
        return 2;
    }
    const std::string id = argv[0], dir = argv[1], warmDir = argv[2];
    const size_t n = std::strtoull(argv[3], nullptr, 10);
    const size_t valueSize = std::strtoull(argv[4], nullptr, 10);
    const size_t keyIndex = std::strtoull(argv[5], nullptr, 10);
    const size_t poolIndex = std::strtoull(argv[6], nullptr, 10);
    std::vector<AdapterInfo> all = registeredAdapters();
    auto info = std::find_if(all.begin(), all.end(), [&](const AdapterInfo &a) { return a.id == id; });
    if (info == all.end() || poolIndex >= kPoolSize) {
        std::fprintf(stderr, "store_bench --large-probe: no row %s\n", id.c_str());
        return 2;
    }
    const std::vector<std::string> pool = valuePool(valueSize);
    const std::string key = keyOf(keyIndex);
    std::string out;
    out.reserve(valueSize);
    try {
        // One-time set-up of the store's library (for this library: its global
        // root and OpenSSL's random generator) on an empty store, so that the
        // cells measure the store of N keys, not the first use of the library.
        {
            std::unique_ptr<StoreAdapter> warm = info->make();
            warm->setValueSize(valueSize);
            warm->open(warmDir, 1);
            warm->getString(key, out);
            warm->close();
        }
        malloc_trim(0);
        const Resident before = residentNow();
        const auto begin = Clock::now();
        std::unique_ptr<StoreAdapter> store = info->make();
        store->setValueSize(valueSize);
        store->open(dir, n);
        const bool found = store->getString(key, out);
        const double ns = nsSince(begin);
        const Resident after = residentNow();
        // STORE_BENCH_SMAPS=PREFIX keeps this process's /proc/self/smaps after
        // the open as PREFIX.<row>.<value size>, to see which mappings hold
        // the memory.
        if (const char *prefix = std::getenv("STORE_BENCH_SMAPS"); prefix && *prefix) {
            std::ifstream in("/proc/self/smaps");
            std::ofstream copy(std::string(prefix) + "." + id + "." + std::to_string(valueSize));
            copy << in.rdbuf();
        }
        const bool ok = found && out == pool[poolIndex];
        std::printf("%d %lld %lld %lld %lld %lld\n", ok ? 1 : 0, static_cast<long long>(ns), before.anon, after.anon,
                    before.file, after.file);
        std::fflush(stdout);
        store->close();
    } catch (const std::exception &e) {
        std::printf("error: %s\n", e.what());
        return 1;
    }
    return 0;
}

} // namespace vornbench
