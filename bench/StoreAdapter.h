// The interface every row of the store benchmark (store_bench) is measured
// through, and the registry the rows add themselves to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vornbench {

// One store under test. An adapter object holds at most one open store.
//
// Contract:
// - open() on an empty directory creates a store there; open() on a
//   directory that a previous open() of the same adapter filled and close()d
//   opens that store again with fresh process state: nothing may survive in
//   memory from before the close().
// - Every put is visible to a reader of the store when it returns (no
//   batching, no write buffer of the adapter's own); none has to be durable.
// - putInt32 and putString replace the key's value whatever its old type.
// - getString copies the value out into `out`, reusing its storage.
// - open(), sync(), trim() and close() throw std::runtime_error with a
//   message on failure; puts and gets report failure by returning false.
class StoreAdapter {
public:
    virtual ~StoreAdapter() = default;

    // expectedKeys: N of the workload, for stores that size a mapping up front.
    virtual void open(const std::string &dir, size_t expectedKeys) = 0;
    // Called before open(): the size of the values the workload will write
    // (32 bytes unless said otherwise), for stores that size a mapping from
    // expectedKeys x value size. Only the large-store table calls it.
    virtual void setValueSize(size_t bytes) { (void)bytes; }
    virtual bool putInt32(std::string_view key, int32_t value) = 0;
    virtual bool putString(std::string_view key, const std::string &value) = 0;
    virtual bool getString(std::string_view key, std::string &out) = 0;
    // Hands what the store wrote to the kernel and the disk, so that block
    // allocation has settled before bytes on disk are counted. Never timed.
    virtual void sync() {}
    // Compacts the store and gives disk space back. False: the store has no
    // such operation (nothing was done).
    virtual bool trim() { return false; }
    virtual void close() = 0;
};

struct AdapterInfo {
    int order;        // position in the table, ascending
    std::string id;   // selector of --rows
    std::string name; // label in the table
    bool persistent;  // false: keeps no files; reopen (W4) and bytes (W5) don't apply
    std::function<std::unique_ptr<StoreAdapter>()> make;
    // Several processes may open the store at once (the large-store table's
    // two-writer cell runs only on such rows).
    bool multiProcess = false;
};

// Called from a static initialiser in each adapter's source file, so that a
// row exists exactly when its file is compiled in. Returns true.
bool registerAdapter(AdapterInfo info);

// Every registered row, sorted by order.
std::vector<AdapterInfo> registeredAdapters();

} // namespace vornbench
