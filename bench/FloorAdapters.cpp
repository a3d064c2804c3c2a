// The two floors every store row is compared with: what the work of a store
// costs with nothing but a hash map, and with nothing but an append into a
// shared mapping plus its checksum and index.
#include "bench/StoreAdapter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unordered_map>

namespace vornbench {
namespace {

// A std::unordered_map alone: no file, no encoding. Its "reopen" has nothing
// to read, so W4 and W5 don't apply.
class HashMapFloor final : public StoreAdapter {
public:
    void open(const std::string &, size_t) override { m_map.clear(); }
    bool putInt32(std::string_view key, int32_t value) override {
        m_map[std::string(key)].assign(reinterpret_cast<const char *>(&value), sizeof value);
        return true;
    }
    bool putString(std::string_view key, const std::string &value) override {
        m_map[std::string(key)] = value;
        return true;
    }
    bool getString(std::string_view key, std::string &out) override {
        auto it = m_map.find(std::string(key));
        if (it == m_map.end()) {
            return false;
        }
        out = it->second;
        return true;
    }
    void close() override { m_map.clear(); }

private:
    std::unordered_map<std::string, std::string> m_map;
};

// Append floor: each put appends (varint key length, key, varint value
// length, value) to a MAP_SHARED mapping sized up front, extends a zlib
// crc32 over exactly the new bytes, stores size and CRC in the file's
// header and points the key at the record in a hash map. The least any
// append-only mapped store does per write. No growth, no compaction.
//
// File layout: uint32 stream size, uint32 crc32 of the stream (host order),
// then the stream.
class MappingFloor final : public StoreAdapter {
public:
    ~MappingFloor() override { unmap(); }

    void open(const std::string &dir, size_t expectedKeys) override {
        const std::string path = dir + "/floor.data";
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0) {
            fail("open " + path);
        }
        struct stat st {};
        if (fstat(m_fd, &st) != 0) {
            fail("fstat " + path);
        }
        m_capacity = static_cast<size_t>(st.st_size);
        if (m_capacity == 0) {
            // Two workloads of N records of at most 48 bytes each, page rounded.
            m_capacity = (expectedKeys * 2 * 48 + kHeader + (1 << 20)) & ~size_t(4095);
            if (ftruncate(m_fd, static_cast<off_t>(m_capacity)) != 0) {
                fail("ftruncate " + path);
            }
        }
        void *base = mmap(nullptr, m_capacity, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
        if (base == MAP_FAILED) {
            fail("mmap " + path);
        }
        m_base = static_cast<uint8_t *>(base);
        loadStream();
    }

    bool putInt32(std::string_view key, int32_t value) override {
        uint8_t bytes[10];
        size_t n = putVarint(bytes, static_cast<uint32_t>(value));
        return append(key, bytes, n);
    }
    bool putString(std::string_view key, const std::string &value) override {
        return append(key, reinterpret_cast<const uint8_t *>(value.data()), value.size());
    }
    bool getString(std::string_view key, std::string &out) override {
        auto it = m_index.find(std::string(key));
        if (it == m_index.end()) {
            return false;
        }
        const uint8_t *p = m_base + it->second;
        uint32_t length = 0;
        p += getVarint(p, length);
        out.assign(reinterpret_cast<const char *>(p), length);
        return true;
    }
    void sync() override {
        if (msync(m_base, m_capacity, MS_SYNC) != 0) {
            fail("msync");
        }
    }
    void close() override {
        unmap();
        m_index.clear();
    }

private:
    static constexpr size_t kHeader = 8;

    [[noreturn]] static void fail(const std::string &what) {
        throw std::runtime_error(what + ": " + std::strerror(errno));
    }

    static size_t putVarint(uint8_t *p, uint32_t v) {
        size_t n = 0;
        while (v >= 0x80) {
            p[n++] = static_cast<uint8_t>(v | 0x80);
            v >>= 7;
        }
        p[n++] = static_cast<uint8_t>(v);
        return n;
    }
    // Callers guarantee 5 readable bytes; the stream is the floor's own.
    static size_t getVarint(const uint8_t *p, uint32_t &v) {
        v = 0;
        size_t n = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            uint8_t b = p[n++];
            v |= uint32_t(b & 0x7f) << shift;
            if (!(b & 0x80)) {
                break;
            }
        }
        return n;
    }

    bool append(std::string_view key, const uint8_t *value, size_t valueSize) {
        uint8_t *start = m_base + kHeader + m_size;
        if (kHeader + m_size + 10 + key.size() + valueSize > m_capacity) {
            return false;
        }
        uint8_t *p = start;
        p += putVarint(p, static_cast<uint32_t>(key.size()));
        std::memcpy(p, key.data(), key.size());
        p += key.size();
        const uint32_t valueOffset = static_cast<uint32_t>(p - m_base);
        p += putVarint(p, static_cast<uint32_t>(valueSize));
        std::memcpy(p, value, valueSize);
        p += valueSize;
        m_crc = static_cast<uint32_t>(crc32(m_crc, start, static_cast<uInt>(p - start)));
        m_size += static_cast<uint32_t>(p - start);
        std::memcpy(m_base, &m_size, 4);
        std::memcpy(m_base + 4, &m_crc, 4);
        m_index[std::string(key)] = valueOffset;
        return true;
    }

    // Reopen: one CRC pass over the stream, then one decode pass that indexes
    // each key without copying its value.
    void loadStream() {
        std::memcpy(&m_size, m_base, 4);
        std::memcpy(&m_crc, m_base + 4, 4);
        if (m_size > m_capacity - kHeader) {
            throw std::runtime_error("floor stream size past the file");
        }
        const uint8_t *stream = m_base + kHeader;
        if (crc32(0, stream, m_size) != m_crc) {
            throw std::runtime_error("floor stream CRC mismatch");
        }
        size_t pos = 0;
        while (pos < m_size) {
            uint32_t keySize = 0;
            uint32_t valueSize = 0;
            pos += getVarint(stream + pos, keySize);
            if (pos + keySize > m_size) {
                throw std::runtime_error("floor stream key past its end");
            }
            std::string_view key(reinterpret_cast<const char *>(stream + pos), keySize);
            pos += keySize;
            const uint32_t valueOffset = static_cast<uint32_t>(kHeader + pos);
            pos += getVarint(stream + pos, valueSize);
            pos += valueSize;
            if (pos > m_size) {
                throw std::runtime_error("floor stream record past its end");
            }
            m_index[std::string(key)] = valueOffset;
        }
    }

    void unmap() {
        if (m_base) {
            munmap(m_base, m_capacity);
            m_base = nullptr;
        }
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    int m_fd = -1;
    uint8_t *m_base = nullptr;
    size_t m_capacity = 0;
    uint32_t m_size = 0;
    uint32_t m_crc = 0;
    std::unordered_map<std::string, uint32_t> m_index;
};

const bool registered = registerAdapter({90, "floor-map", "floor: unordered_map", false,
                                         [] { return std::make_unique<HashMapFloor>(); }}) &&
                        registerAdapter({91, "floor-mapping", "floor: append to mapping", true,
                                         [] { return std::make_unique<MappingFloor>(); }});

} // namespace
} // namespace vornbench
