// A writer process is killed at random moments while it writes, overwrites and
// removes keys; a fresh process then has to find every confirmed operation in
// the store, and only values that were written.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "CrashTestSupport.h"
#include "core/StoreTestSupport.h"

using namespace vorn_crash;

namespace {

const std::string kHarnessKey = "crash-harness-k1";

const StoreKind kKinds[] = {
    {"plain-single", vorn_test::StoreOptions{}},
    {"encrypted-single", vorn_test::encrypted(kHarnessKey)},
    {"plain-multi", vorn_test::multiProcess()},
    {"encrypted-multi", vorn_test::encrypted(kHarnessKey, false, vorn_test::multiProcess())},
};
constexpr int kKeyCount = 40;

std::string keyName(int index) {
    return "key" + std::to_string(index);
}

// One state a key may be in: absent, or the value makeValue(key, run, counter, length).
struct Version {
    bool present = false;
    uint32_t run = 0;
    uint32_t counter = 0;
    uint32_t length = 0;

    bool operator==(const Version &other) const {
        return present == other.present && run == other.run && counter == other.counter && length == other.length;
    }
    std::string text() const {
        return present ? std::to_string(run) + ":" + std::to_string(counter) + ":" + std::to_string(length) : "-";
    }
    static Version parse(const std::string &text) {
        Version version;
        if (text != "-") {
            version.present = true;
            sscanf(text.c_str(), "%u:%u:%u", &version.run, &version.counter, &version.length);
        }
        return version;
    }
};

// The writer's side of one run: opens the store, says "R", then loops until
// it is killed. Every operation is announced ("B ...") before it starts and
// confirmed ("D") after it returned; "S" follows each completed sync.
void runWriter(const std::string &root, const StoreKind &kind, uint32_t run, uint32_t seed, int fd) {
    VORN::initializeVORN(root, VORNLogError, nullptr);
    VORN *store = vorn_test::openStore(root, kind.name, kind.options);
    if (!store) {
        _exit(71);
    }
    store->count(); // loads the store before the parent starts its clock
    writeRecord(fd, "R\n");
    std::mt19937 random(seed);
    for (uint32_t counter = 1;; counter++) {
        const uint32_t roll = random() % 1000;
        const int index = static_cast<int>(random() % kKeyCount);
        const std::string key = keyName(index);
        if (roll < 3) {
            writeRecord(fd, "B c\n");
            store->clearAll();
            writeRecord(fd, "D\n");
        } else if (roll < 10) {
            writeRecord(fd, "B t\n");
            store->trim();
            writeRecord(fd, "D\n");
        } else if (roll < 260) {
            writeRecord(fd, "B r " + std::to_string(index) + "\n");
            store->removeValueForKey(key);
            writeRecord(fd, "D\n");
        } else {
            // Mostly small values; every tenth large enough to grow the file.
            const uint32_t length =
                roll < 350 ? 500 + random() % 3000 : 16 + static_cast<uint32_t>(random() % 200);
            writeRecord(fd, "B s " + std::to_string(index) + " " + std::to_string(counter) + " " +
                                std::to_string(length) + "\n");
            if (!store->set(makeValue(key, run, counter, length), key)) {
                _exit(72);
            }
            writeRecord(fd, "D\n");
        }
        if (counter % 25 == 0) {
            store->sync();
            writeRecord(fd, "S\n");
        }
    }
}

// What the parent knows of one store: per key the versions it may hold now.
// One version is exact; two mean an operation was cut off by the kill.
using Model = std::map<std::string, std::vector<Version>>;

struct RunResult {
    bool ready = false;
    bool killedByUs = false;
    uint64_t confirmed = 0;
    uint64_t syncs = 0;
};

// Applies the writer's records to the model.
class RecordReader {
public:
    RecordReader(Model &model, uint32_t run, RunResult &result) : m_model(model), m_run(run), m_result(result) {}

    void feed(const char *bytes, size_t size) {
        m_buffer.append(bytes, size);
        size_t start = 0;
        for (size_t end; (end = m_buffer.find('\n', start)) != std::string::npos; start = end + 1) {
            line(m_buffer.substr(start, end - start));
        }
        m_buffer.erase(0, start);
    }

    // The kill came: an announced operation without confirmation may or may
    // not have taken effect.
    void finish() {
        if (m_pending.empty()) {
            return;
        }
        for (auto &change : changes()) {
            auto &versions = m_model[change.first];
            if (versions.empty()) {
                versions.push_back(Version()); // never written so far: absent
            }
            if (!(versions.front() == change.second)) {
                versions.push_back(change.second);
            }
        }
    }

private:
    std::vector<std::pair<std::string, Version>> changes() const {
        std::istringstream in(m_pending);
        std::string tag, op;
        in >> tag >> op;
        std::vector<std::pair<std::string, Version>> result;
        if (op == "s" || op == "r") {
            int index = 0;
            Version version;
            in >> index;
            if (op == "s") {
                version.present = true;
                version.run = m_run;
                in >> version.counter >> version.length;
            }
            result.emplace_back(keyName(index), version);
        } else if (op == "c") {
            for (auto &entry : m_model) {
                result.emplace_back(entry.first, Version());
            }
        }
        return result;
    }

    void line(const std::string &text) {
        if (text == "R") {
            m_result.ready = true;
        } else if (text == "D") {
            for (auto &change : changes()) {
                m_model[change.first] = {change.second};
            }
            m_pending.clear();
            m_result.confirmed++;
        } else if (text == "S") {
            m_result.syncs++;
        } else if (text.rfind("B ", 0) == 0) {
            m_pending = text;
        } else {
            ADD_FAILURE() << "unknown record " << text;
        }
    }

public:
    // The operation the kill cut off, if any ("B s <key> <counter> <length>").
    const std::string &pending() const { return m_pending; }

private:
    Model &m_model;
    uint32_t m_run;
    RunResult &m_result;
    std::string m_buffer;
    std::string m_pending;
};

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

// The verifier's side: a fresh process loads the store, checks it against the
// model file and writes which version each key holds (for the next run's
// model), then proves that new writes work.
void runVerifier(const std::string &root, const StoreKind &kind, const std::string &modelPath, uint32_t run) {
    CRCLogWatch watch;
    VORN::initializeVORN(root, VORNLogWarning, &watch);
    VORN *store = vorn_test::openStore(root, kind.name, kind.options);
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(store->isFileValid());
    store->count(); // the load, which logs any CRC failure, happens on first use

    std::ifstream in(modelPath);
    Model model;
    for (std::string text; std::getline(in, text);) {
        auto parts = split(text, ' ');
        ASSERT_GE(parts.size(), 2u);
        for (size_t i = 1; i < parts.size(); i++) {
            model[parts[0]].push_back(Version::parse(parts[i]));
        }
    }

    // A CRC failure while loading is expected only from a process that died
    // inside a rewrite, after the journal was complete (the load then
    // finishes the rewrite from the journal), or between the two meta stores
    // of an append (the load takes the record the CRC covers). Any other CRC
    // failure means the
    // store fell back to an older state (its last confirmed one) or to
    // nothing (dropped by the default answer): the parent fails the run. Every
    // value must still be one written to its key either way.
    const bool damaged = watch.crcCallbacks > 0 || watch.lengthCallbacks > 0 ||
                         (watch.crcMismatches > 0 && watch.rewritesFinished == 0 && watch.appendsCompleted == 0);
    std::ofstream found(modelPath + ".found");
    if (damaged) {
        found << "damaged\n";
    }
    if (watch.rewritesFinished > 0) {
        found << "finished-rewrite\n";
    }
    if (watch.appendsCompleted > 0) {
        found << "completed-append\n";
    }
    for (const auto &key : store->allKeys()) {
        EXPECT_EQ(model.count(key), 1u) << "key " << key << " was never written";
    }
    for (const auto &entry : model) {
        const std::string &key = entry.first;
        std::string value;
        const bool present = store->getString(key, value);
        Version held;
        if (present) {
            held.present = true;
            held.length = static_cast<uint32_t>(value.size());
            int consumed = 0;
            const bool parsed = value.rfind(key + "#", 0) == 0 &&
                                sscanf(value.c_str() + key.size() + 1, "%u.%u:%n", &held.run, &held.counter,
                                       &consumed) == 2 &&
                                consumed > 0;
            EXPECT_TRUE(parsed && value == makeValue(key, held.run, held.counter, held.length))
                << "key " << key << " holds a value never written: " << value.substr(0, 40);
        }
        found << key << " " << held.text() << "\n";
        if (damaged) {
            continue;
        }
        std::string expected;
        bool match = false;
        for (const auto &version : entry.second) {
            expected += version.text() + " ";
            match = match || version == held;
        }
        EXPECT_TRUE(match) << kind.name << " key " << key << " holds " << held.text() << ", expected one of " << expected;
    }

    const std::string probe = makeValue("probe", run, 0, 64);
    ASSERT_TRUE(store->set(probe, "probe"));
    store->sync();
    std::string back;
    ASSERT_TRUE(store->getString("probe", back));
    EXPECT_EQ(back, probe);
    std::string log;
    for (const auto &line : watch.errors) {
        log += line + "\n";
    }
    EXPECT_EQ(watch.lengthCallbacks, 0) << log;
    store->close();
}

void writeModel(const std::string &path, const Model &model) {
    std::ofstream out(path, std::ios::trunc);
    for (const auto &entry : model) {
        out << entry.first;
        for (const auto &version : entry.second) {
            out << " " << version.text();
        }
        out << "\n";
    }
}

// Sets the model to the versions the verifier found. False when the
// verifier found the store damaged by the kill (rolled back or dropped).
bool readFound(const std::string &path, Model &model, bool &finishedRewrite, bool &completedAppend) {
    std::ifstream in(path);
    bool intact = true;
    finishedRewrite = false;
    completedAppend = false;
    for (std::string text; std::getline(in, text);) {
        if (text == "damaged") {
            intact = false;
            continue;
        }
        if (text == "finished-rewrite") {
            finishedRewrite = true;
            continue;
        }
        if (text == "completed-append") {
            completedAppend = true;
            continue;
        }
        auto parts = split(text, ' ');
        if (parts.size() == 2) {
            model[parts[0]] = {Version::parse(parts[1])};
        }
    }
    return intact;
}

void drain(int fd, RecordReader &reader, int timeoutMs, bool *eof) {
    char buffer[4096];
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) {
        return;
    }
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
        reader.feed(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
        *eof = true;
    }
}

} // namespace

TEST(CrashSafety, KilledWriterLosesNothingConfirmed) {
    const std::string role = vorn_test::currentRole();
    if (role == "writer" || role == "verify") {
        auto args = split(vorn_test::currentArg(), '|');
        ASSERT_EQ(args.size(), 5u);
        const StoreKind &kind = kKinds[std::stoi(args[1])];
        if (role == "writer") {
            runWriter(args[0], kind, std::stoul(args[2]), std::stoul(args[3]), std::stoi(args[4]));
        } else {
            runVerifier(args[0], kind, args[4], std::stoul(args[2]));
        }
        return;
    }

    // VORN_CRASH_KILLS (make stress: 1000) sets the number of kills, spread
    // over the store kinds; VORN_CRASH_SEED repeats a run.
    const long kills = envNumber("VORN_CRASH_KILLS", 100);
    const uint32_t seed = static_cast<uint32_t>(
        envNumber("VORN_CRASH_SEED", static_cast<long>(std::random_device()() & 0x7fffffff)));
    std::mt19937 random(seed);
    vorn_test::TempDir dir;
    const std::string modelPath = dir.path() + "/model";
    uint64_t survived = 0, confirmed = 0, keyChecks = 0, cutOff = 0, rewritesFinished = 0, appendsCompleted = 0;

    for (size_t k = 0; k < sizeof kKinds / sizeof kKinds[0]; k++) {
        SCOPED_TRACE(std::string(kKinds[k].name) + " seed " + std::to_string(seed));
        const std::string root = dir.path() + "/" + kKinds[k].name;
        Model model;
        const long runs = (kills + 3) / 4;
        for (uint32_t run = 1; run <= runs && !testing::Test::HasFailure(); run++) {
            int pipeFds[2];
            ASSERT_EQ(pipe(pipeFds), 0);
            fcntl(pipeFds[0], F_SETFD, FD_CLOEXEC);
            const std::string common = root + "|" + std::to_string(k) + "|" + std::to_string(run) + "|";
            const int pid =
                vorn_test::startSelf("CrashSafety.KilledWriterLosesNothingConfirmed", "writer",
                                     common + std::to_string(random()) + "|" + std::to_string(pipeFds[1]));
            close(pipeFds[1]);
            ASSERT_GT(pid, 0);

            RunResult result;
            RecordReader reader(model, run, result);
            bool eof = false;
            while (!result.ready && !eof) {
                drain(pipeFds[0], reader, 60000, &eof);
            }
            // The kill lands anywhere from right after the open to ~40 ms of writing.
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 40000);
            while (!eof && std::chrono::steady_clock::now() < deadline) {
                drain(pipeFds[0], reader, 1, &eof);
            }
            int status = 0;
            const bool diedEarly = eof || waitpid(pid, &status, WNOHANG) == pid;
            if (!diedEarly) {
                kill(pid, SIGKILL);
            }
            vorn_test::waitChild(pid);
            while (!eof) {
                drain(pipeFds[0], reader, 1000, &eof);
            }
            close(pipeFds[0]);
            ASSERT_FALSE(diedEarly) << "the writer stopped on its own in run " << run;
            reader.finish();

            writeModel(modelPath, model);
            ASSERT_EQ(vorn_test::runSelf("CrashSafety.KilledWriterLosesNothingConfirmed", "verify",
                                         common + "0|" + modelPath),
                      0)
                << "verification after kill " << run << " failed; operation cut off: "
                << (reader.pending().empty() ? "none" : reader.pending());
            cutOff += !reader.pending().empty();
            bool finishedRewrite = false, completedAppend = false;
            EXPECT_TRUE(readFound(modelPath + ".found", model, finishedRewrite, completedAppend))
                << "store rolled back or dropped after kill " << run << "; operation cut off: "
                << (reader.pending().empty() ? "none" : reader.pending());
            rewritesFinished += finishedRewrite;
            appendsCompleted += completedAppend;
            model["probe"] = {Version{true, run, 0, 64}};
            keyChecks += model.size();
            confirmed += result.confirmed;
            survived++;
        }
    }
    printf("crash safety: %llu kills survived, %llu confirmed operations checked (%llu key checks, %llu "
           "operations cut off by the kill, %llu rewrites finished from their journal and %llu appends whose length "
           "was not recorded taken at the next load); seed %u\n",
           static_cast<unsigned long long>(survived), static_cast<unsigned long long>(confirmed),
           static_cast<unsigned long long>(keyChecks), static_cast<unsigned long long>(cutOff),
           static_cast<unsigned long long>(rewritesFinished), static_cast<unsigned long long>(appendsCompleted), seed);
    EXPECT_EQ(survived, static_cast<uint64_t>((kills + 3) / 4 * 4));
}
