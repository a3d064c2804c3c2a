// LMDB rows: no sync on commit (MDB_NOSYNC | MDB_NOMETASYNC), one write
// transaction per put, with and without MDB_WRITEMAP. Reads reuse one read
// transaction, renewed before and reset after each lookup.
#include "bench/StoreAdapter.h"

#include <lmdb.h>

#include <stdexcept>

namespace vornbench {
namespace {

// Address space reserved for the map: 1 GiB, or more when the workload says
// its value size (setValueSize) and expectedKeys x (value + 64 bytes of key
// and node) x 4 is larger (copy-on-write pages of updates, half-full pages).
// With MDB_WRITEMAP the file is extended to this size, sparsely: only written
// pages take blocks on disk.
constexpr size_t kMinMapSize = size_t(1) << 30;

size_t mapSizeFor(size_t expectedKeys, size_t valueSize) {
    constexpr size_t kMiB = size_t(1) << 20;
    size_t want = expectedKeys * (valueSize + 64) * 4;
    want = (want + kMiB - 1) / kMiB * kMiB;
    return want > kMinMapSize ? want : kMinMapSize;
}

void check(int rc, const char *what) {
    if (rc != MDB_SUCCESS) {
        throw std::runtime_error(std::string(what) + ": " + mdb_strerror(rc));
    }
}

class LmdbStore final : public StoreAdapter {
public:
    explicit LmdbStore(unsigned extraFlags) : m_flags(MDB_NOSYNC | MDB_NOMETASYNC | extraFlags) {}
    ~LmdbStore() override { release(); }

    void setValueSize(size_t bytes) override { m_valueSize = bytes; }

    void open(const std::string &dir, size_t expectedKeys) override {
        check(mdb_env_create(&m_env), "mdb_env_create");
        check(mdb_env_set_mapsize(m_env, mapSizeFor(expectedKeys, m_valueSize)), "mdb_env_set_mapsize");
        check(mdb_env_open(m_env, dir.c_str(), m_flags, 0644), "mdb_env_open");
        MDB_txn *txn = nullptr;
        check(mdb_txn_begin(m_env, nullptr, 0, &txn), "mdb_txn_begin");
        check(mdb_dbi_open(txn, nullptr, 0, &m_dbi), "mdb_dbi_open");
        check(mdb_txn_commit(txn), "mdb_txn_commit");
        check(mdb_txn_begin(m_env, nullptr, MDB_RDONLY, &m_readTxn), "mdb_txn_begin read");
        mdb_txn_reset(m_readTxn);
    }

    bool putInt32(std::string_view key, int32_t value) override { return put(key, &value, sizeof value); }
    bool putString(std::string_view key, const std::string &value) override {
        return put(key, value.data(), value.size());
    }

    bool getString(std::string_view key, std::string &out) override {
        if (mdb_txn_renew(m_readTxn) != MDB_SUCCESS) {
            return false;
        }
        MDB_val k{key.size(), const_cast<char *>(key.data())};
        MDB_val v{};
        bool found = mdb_get(m_readTxn, m_dbi, &k, &v) == MDB_SUCCESS;
        if (found) {
            out.assign(static_cast<const char *>(v.mv_data), v.mv_size);
        }
        mdb_txn_reset(m_readTxn);
        return found;
    }

    void sync() override { check(mdb_env_sync(m_env, 1), "mdb_env_sync"); }
    void close() override { release(); }

private:
    bool put(std::string_view key, const void *data, size_t size) {
        MDB_txn *txn = nullptr;
        if (mdb_txn_begin(m_env, nullptr, 0, &txn) != MDB_SUCCESS) {
            return false;
        }
        MDB_val k{key.size(), const_cast<char *>(key.data())};
        MDB_val v{size, const_cast<void *>(data)};
        if (mdb_put(txn, m_dbi, &k, &v, 0) != MDB_SUCCESS) {
            mdb_txn_abort(txn);
            return false;
        }
        return mdb_txn_commit(txn) == MDB_SUCCESS;
    }

    void release() {
        if (m_readTxn) {
            mdb_txn_abort(m_readTxn);
            m_readTxn = nullptr;
        }
        if (m_env) {
            mdb_env_close(m_env);
            m_env = nullptr;
        }
    }

    const unsigned m_flags;
    size_t m_valueSize = 32;
    MDB_env *m_env = nullptr;
    MDB_dbi m_dbi = 0;
    MDB_txn *m_readTxn = nullptr;
};

const bool registered = registerAdapter({10, "lmdb", "LMDB", true, [] { return std::make_unique<LmdbStore>(0); }, true}) &&
                        registerAdapter({11, "lmdb-writemap", "LMDB WRITEMAP", true,
                                         [] { return std::make_unique<LmdbStore>(MDB_WRITEMAP); }, true});

} // namespace
} // namespace vornbench
