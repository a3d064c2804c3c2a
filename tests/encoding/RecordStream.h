#pragma once

// Builders for data file item streams (item-size holder varint, then records
// of key and value, each varint length + bytes), their encryption, and a
// handler that records log lines.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crypt/AESCrypt.h"
#include "log/VORNLog.h"

#include "ExactBytes.h"

namespace recordstream {

using Bytes = std::vector<uint8_t>;

inline void appendVarint(Bytes &out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

// The varint of value stretched by `padding` extra bytes (continuation bits
// over zero groups): the same number in a longer, non-minimal form.
inline void appendPaddedVarint(Bytes &out, uint64_t value, size_t padding) {
    if (padding == 0) {
        appendVarint(out, value);
        return;
    }
    Bytes minimal;
    appendVarint(minimal, value);
    minimal.back() |= 0x80;
    for (size_t i = 1; i < padding; i++) {
        minimal.push_back(0x80);
    }
    minimal.push_back(0x00);
    out.insert(out.end(), minimal.begin(), minimal.end());
}

inline Bytes patternBytes(size_t length, uint8_t seed) {
    Bytes out(length);
    uint32_t x = seed * 2654435761u + 7;
    for (auto &b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

struct Record {
    std::string key;
    Bytes value;
};

// Builds a stream and remembers where each record and value starts.
class StreamBuilder {
public:
    // A holder of `holderWidth` bytes (value 0 in a padded varint form, as wide
    // as asked; its value is ignored by readers).
    explicit StreamBuilder(size_t holderWidth = 4) {
        for (size_t i = 0; i + 1 < holderWidth; i++) {
            m_bytes.push_back(0x80);
        }
        m_bytes.push_back(0x00);
    }
    // padding > 0 writes both length varints in a longer, non-minimal form.
    StreamBuilder &add(const std::string &key, const Bytes &value, size_t padding = 0) {
        m_recordOffsets.push_back(m_bytes.size());
        appendPaddedVarint(m_bytes, key.size(), padding);
        m_bytes.insert(m_bytes.end(), key.begin(), key.end());
        appendPaddedVarint(m_bytes, value.size(), padding);
        m_valueOffsets.push_back(m_bytes.size());
        m_bytes.insert(m_bytes.end(), value.begin(), value.end());
        return *this;
    }
    StreamBuilder &add(const std::string &key, const std::string &value) {
        return add(key, Bytes(value.begin(), value.end()));
    }
    StreamBuilder &raw(const Bytes &bytes) {
        m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
        return *this;
    }
    const Bytes &bytes() const { return m_bytes; }
    size_t recordOffset(size_t i) const { return m_recordOffsets.at(i); }
    size_t valueOffset(size_t i) const { return m_valueOffsets.at(i); }

private:
    Bytes m_bytes;
    std::vector<size_t> m_recordOffsets;
    std::vector<size_t> m_valueOffsets;
};

inline const uint8_t kKey16[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                   0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
inline const uint8_t kKey32[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                   0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                   0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
inline const uint8_t kIV[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

inline vorn::AESCrypt makeCipher(bool aes256 = false) {
    if (aes256) {
        return vorn::AESCrypt(kKey32, sizeof(kKey32), kIV, sizeof(kIV), true);
    }
    return vorn::AESCrypt(kKey16, sizeof(kKey16), kIV, sizeof(kIV), false);
}

// The stream encrypted from its first byte, in a heap block of exactly its size.
inline ExactBytes encrypted(const Bytes &plain, bool aes256 = false) {
    ExactBytes out(plain.size());
    vorn::AESCrypt cipher = makeCipher(aes256);
    cipher.encrypt(plain.data(), out.data(), plain.size());
    return out;
}

// The cipher state after decrypting the first `length` bytes of `cipherText`.
inline std::string statusAfter(const uint8_t *cipherText, size_t length, bool aes256 = false) {
    vorn::AESCrypt cipher = makeCipher(aes256);
    Bytes scratch(length ? length : 1);
    cipher.decrypt(cipherText, scratch.data(), length);
    vorn::AESCryptStatus status;
    cipher.getCurStatus(status);
    return std::string(reinterpret_cast<const char *>(&status), sizeof(status));
}

inline std::string statusOf(const vorn::AESCrypt &cipher) {
    vorn::AESCryptStatus status;
    cipher.getCurStatus(status);
    return std::string(reinterpret_cast<const char *>(&status), sizeof(status));
}

inline std::string statusOf(const vorn::AESCryptStatus &status) {
    return std::string(reinterpret_cast<const char *>(&status), sizeof(status));
}

struct LogLine {
    VORNLogLevel level;
    std::string file;
    std::string function;
    std::string message;
};

// Records every log line while it lives; restores the previous handler.
class LogCapture : public vorn::VORNHandler {
public:
    LogCapture() : m_previous(g_handler), m_previousLevel(g_currentLogLevel) {
        g_handler = this;
        g_currentLogLevel = VORNLogInfo;
    }
    ~LogCapture() override {
        g_handler = m_previous;
        g_currentLogLevel = m_previousLevel;
    }
    void logMessage(VORNLogLevel level, const char *file, int, const char *function,
                    const std::string &message) override {
        lines.push_back({level, file, function, message});
    }
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return OnErrorDiscard; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return OnErrorDiscard; }
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}

    // "E RecordCoder decodeOneMap: text" per line, for exact comparisons.
    std::vector<std::string> described() const {
        std::vector<std::string> out;
        for (const auto &line : lines) {
            static const char letters[] = "DIWEN";
            out.push_back(std::string(1, letters[line.level < 4 ? line.level : 4]) + " " + line.file + " " +
                          line.function + ": " + line.message);
        }
        return out;
    }

    std::vector<LogLine> lines;

private:
    vorn::VORNHandler *m_previous;
    int m_previousLevel;
};

} // namespace recordstream
