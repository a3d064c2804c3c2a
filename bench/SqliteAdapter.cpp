// SQLite row: WAL journal, synchronous=OFF, one autocommit
// INSERT OR REPLACE per put through a prepared statement, into a WITHOUT
// ROWID table keyed by the key. trim() is VACUUM plus a truncating
// checkpoint of the WAL.
#include "bench/StoreAdapter.h"

#include <sqlite3.h>

#include <stdexcept>

namespace vornbench {
namespace {

class SqliteStore final : public StoreAdapter {
public:
    ~SqliteStore() override { close(); }

    void open(const std::string &dir, size_t) override {
        const std::string path = dir + "/kv.sqlite";
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            fail("open");
        }
        exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
             "CREATE TABLE IF NOT EXISTS kv(k TEXT PRIMARY KEY NOT NULL, v) WITHOUT ROWID;");
        prepare("INSERT OR REPLACE INTO kv(k, v) VALUES(?1, ?2)", &m_put);
        prepare("SELECT v FROM kv WHERE k = ?1", &m_get);
    }

    bool putInt32(std::string_view key, int32_t value) override {
        bindKey(m_put, key);
        sqlite3_bind_int(m_put, 2, value);
        return stepDone(m_put);
    }
    bool putString(std::string_view key, const std::string &value) override {
        bindKey(m_put, key);
        sqlite3_bind_text(m_put, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
        return stepDone(m_put);
    }
    bool getString(std::string_view key, std::string &out) override {
        bindKey(m_get, key);
        bool found = sqlite3_step(m_get) == SQLITE_ROW;
        if (found) {
            const void *bytes = sqlite3_column_blob(m_get, 0);
            out.assign(static_cast<const char *>(bytes), static_cast<size_t>(sqlite3_column_bytes(m_get, 0)));
        }
        sqlite3_reset(m_get);
        return found;
    }
    bool trim() override {
        exec("VACUUM; PRAGMA wal_checkpoint(TRUNCATE);");
        return true;
    }
    void close() override {
        sqlite3_finalize(m_put);
        sqlite3_finalize(m_get);
        m_put = m_get = nullptr;
        if (m_db) {
            sqlite3_close(m_db);
            m_db = nullptr;
        }
    }

private:
    [[noreturn]] void fail(const char *what) {
        std::string message = std::string("sqlite ") + what + ": " + (m_db ? sqlite3_errmsg(m_db) : "no handle");
        throw std::runtime_error(message);
    }
    void exec(const char *sql) {
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
            fail(sql);
        }
    }
    void prepare(const char *sql, sqlite3_stmt **stmt) {
        if (sqlite3_prepare_v2(m_db, sql, -1, stmt, nullptr) != SQLITE_OK) {
            fail(sql);
        }
    }
    static void bindKey(sqlite3_stmt *stmt, std::string_view key) {
        sqlite3_bind_text(stmt, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    }
    static bool stepDone(sqlite3_stmt *stmt) {
        bool done = sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_reset(stmt);
        return done;
    }

    sqlite3 *m_db = nullptr;
    sqlite3_stmt *m_put = nullptr;
    sqlite3_stmt *m_get = nullptr;
};

const bool registered =
    registerAdapter({30, "sqlite", "SQLite WAL", true, [] { return std::make_unique<SqliteStore>(); }});

} // namespace
} // namespace vornbench
