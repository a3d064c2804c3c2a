// LevelDB and RocksDB rows with their default options (puts don't sync).
// trim() is a full-range manual compaction.
#include "bench/StoreAdapter.h"

#include <leveldb/db.h>
#include <rocksdb/db.h>

#include <stdexcept>

namespace vornbench {
namespace {

class LevelDbStore final : public StoreAdapter {
public:
    ~LevelDbStore() override { close(); }

    void open(const std::string &dir, size_t) override {
        leveldb::Options options;
        options.create_if_missing = true;
        leveldb::Status s = leveldb::DB::Open(options, dir, &m_db);
        if (!s.ok()) {
            throw std::runtime_error("leveldb open: " + s.ToString());
        }
    }
    bool putInt32(std::string_view key, int32_t value) override {
        return m_db->Put(m_write, slice(key), leveldb::Slice(reinterpret_cast<const char *>(&value), sizeof value))
            .ok();
    }
    bool putString(std::string_view key, const std::string &value) override {
        return m_db->Put(m_write, slice(key), value).ok();
    }
    bool getString(std::string_view key, std::string &out) override { return m_db->Get(m_read, slice(key), &out).ok(); }
    bool trim() override {
        m_db->CompactRange(nullptr, nullptr);
        return true;
    }
    void close() override {
        delete m_db;
        m_db = nullptr;
    }

private:
    static leveldb::Slice slice(std::string_view s) { return {s.data(), s.size()}; }

    leveldb::DB *m_db = nullptr;
    leveldb::WriteOptions m_write;
    leveldb::ReadOptions m_read;
};

class RocksDbStore final : public StoreAdapter {
public:
    ~RocksDbStore() override { close(); }

    void open(const std::string &dir, size_t) override {
        rocksdb::Options options;
        options.create_if_missing = true;
        rocksdb::Status s = rocksdb::DB::Open(options, dir, &m_db);
        if (!s.ok()) {
            throw std::runtime_error("rocksdb open: " + s.ToString());
        }
    }
    bool putInt32(std::string_view key, int32_t value) override {
        return m_db->Put(m_write, slice(key), rocksdb::Slice(reinterpret_cast<const char *>(&value), sizeof value))
            .ok();
    }
    bool putString(std::string_view key, const std::string &value) override {
        return m_db->Put(m_write, slice(key), value).ok();
    }
    bool getString(std::string_view key, std::string &out) override { return m_db->Get(m_read, slice(key), &out).ok(); }
    void sync() override {
        rocksdb::Status s = m_db->FlushWAL(true);
        if (!s.ok()) {
            throw std::runtime_error("rocksdb FlushWAL: " + s.ToString());
        }
    }
    bool trim() override {
        rocksdb::Status s = m_db->CompactRange(rocksdb::CompactRangeOptions(), nullptr, nullptr);
        if (!s.ok()) {
            throw std::runtime_error("rocksdb CompactRange: " + s.ToString());
        }
        return true;
    }
    void close() override {
        if (m_db) {
            m_db->Close();
            delete m_db;
            m_db = nullptr;
        }
    }

private:
    static rocksdb::Slice slice(std::string_view s) { return {s.data(), s.size()}; }

    rocksdb::DB *m_db = nullptr;
    rocksdb::WriteOptions m_write;
    rocksdb::ReadOptions m_read;
};

const bool registered =
    registerAdapter({20, "leveldb", "LevelDB", true, [] { return std::make_unique<LevelDbStore>(); }}) &&
    registerAdapter({21, "rocksdb", "RocksDB", true, [] { return std::make_unique<RocksDbStore>(); }});

} // namespace
} // namespace vornbench
