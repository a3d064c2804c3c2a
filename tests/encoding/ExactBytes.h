#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// A heap block of exactly the given size, nothing after it: under ASan any
// access one byte beyond the block is reported, so a test over it shows that a
// reader or writer stays inside its region.
class ExactBytes {
public:
    explicit ExactBytes(size_t size) : m_bytes(new uint8_t[size]), m_size(size) { memset(m_bytes.get(), 0, size); }
    explicit ExactBytes(const std::vector<uint8_t> &bytes) : ExactBytes(bytes.size()) {
        if (!bytes.empty()) memcpy(m_bytes.get(), bytes.data(), bytes.size());
    }
    ExactBytes(const std::vector<uint8_t> &bytes, size_t prefix) : ExactBytes(prefix) {
        if (prefix > 0) memcpy(m_bytes.get(), bytes.data(), prefix);
    }

    uint8_t *data() { return m_bytes.get(); }
    size_t size() const { return m_size; }
    std::vector<uint8_t> bytes() const { return std::vector<uint8_t>(m_bytes.get(), m_bytes.get() + m_size); }

private:
    std::unique_ptr<uint8_t[]> m_bytes;
    size_t m_size;
};

// "01 AC 02": bytes as hex, for readable failure messages.
inline std::string hexOf(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

inline std::vector<uint8_t> repeated(uint8_t byte, size_t count, std::vector<uint8_t> tail = {}) {
    std::vector<uint8_t> out(count, byte);
    for (uint8_t b : tail)
        out.push_back(b);
    return out;
}
