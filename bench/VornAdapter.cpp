// This library's rows: plain single-process, plain multi-process, AES-128.
//
// Compiled into store_bench only once core/VORN.h declares the typed API
// (set(int32_t, key), getString, trim): bench/CMakeLists.txt looks for those
// declarations and leaves this file out until they exist.
#include "bench/StoreAdapter.h"

#include <filesystem>
#include <stdexcept>

#include <openssl/rand.h>

#include "core/VORN.h"

namespace vornbench {
namespace {

// Every store lives in its own directory, passed as the root of its open;
// the global root is set once, to the directory those live in.
class VornStore final : public StoreAdapter {
public:
    VornStore(VORNMode mode, std::string cryptKey) : m_mode(mode), m_cryptKey(std::move(cryptKey)) {}
    ~VornStore() override { close(); }

    void open(const std::string &dir, size_t) override {
        static const bool initialized = [&] {
            // Warnings and errors still print; the info lines of every open,
            // close and trim would fill the table's output.
            VORN::initializeVORN(std::filesystem::path(dir).parent_path().string(), VORNLogWarning);
            // The library draws random bytes at its first write-back (and for
            // every vector); the process-wide generator is set up on first
            // use, about 3 million instructions once. Done here, that one-time
            // cost stays out of whichever row happens to run first.
            unsigned char warm[8];
            if (RAND_bytes(warm, sizeof(warm)) != 1) {
                throw std::runtime_error("no random source");
            }
            return true;
        }();
        (void)initialized;
        m_root = dir;
        m_store = VORN::vornWithID("bench", m_mode, m_cryptKey.empty() ? nullptr : &m_cryptKey, &m_root);
        if (!m_store) {
            throw std::runtime_error("vornWithID returned null for " + dir);
        }
    }
    bool putInt32(std::string_view key, int32_t value) override { return m_store->set(value, key); }
    bool putString(std::string_view key, const std::string &value) override { return m_store->set(value, key); }
    bool getString(std::string_view key, std::string &out) override { return m_store->getString(key, out); }
    void sync() override { m_store->sync(); }
    bool trim() override {
        m_store->trim();
        return true;
    }
    void close() override {
        if (m_store) {
            m_store->close();
            m_store = nullptr;
        }
    }

private:
    const VORNMode m_mode;
    std::string m_cryptKey; // empty: a plain store
    std::string m_root;
    VORN *m_store = nullptr;
};

const bool registered =
    registerAdapter({0, "vorn", "vorn plain, single-process", true,
                     [] { return std::make_unique<VornStore>(VORN_SINGLE_PROCESS, std::string()); }}) &&
    registerAdapter({1, "vorn-mp", "vorn plain, multi-process", true,
                     [] { return std::make_unique<VornStore>(VORN_MULTI_PROCESS, std::string()); }, true}) &&
    registerAdapter({2, "vorn-aes128", "vorn AES-128", true,
                     [] { return std::make_unique<VornStore>(VORN_SINGLE_PROCESS, std::string("bench-aes128-key")); }});

} // namespace
} // namespace vornbench
