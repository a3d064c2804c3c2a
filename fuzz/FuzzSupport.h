#pragma once

// Shared by the fuzz targets: invariant checks that abort (libFuzzer then
// keeps the input as a crash), a log capture, the fixed cipher of the
// encrypted targets, and a reference reader of the wire format.
//
// The reference reader is written from the format's rules, independently of
// encoding/: the targets run the library's readers and this one over the same
// bytes and require the same values, positions and failure texts. It is kept
// simple (byte by byte, std::map) rather than fast.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "crypt/AESCrypt.h"
#include "log/VORNLog.h"

#define FUZZ_CHECK(cond, what)                                                                                         \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fuzzsupport::fail(__FILE__, __LINE__, #cond, what);                                                        \
        }                                                                                                              \
    } while (0)

namespace fuzzsupport {

[[noreturn]] inline void fail(const char *file, int line, const char *condition, const std::string &what) {
    fprintf(stderr, "invariant broken at %s:%d: %s (%s)\n", file, line, condition, what.c_str());
    abort();
}

// ---- Input splitting ----

// Takes bytes from the front of the fuzz input; past its end, zeros.
class InputCursor {
public:
    InputCursor(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    uint8_t take() { return m_position < m_size ? m_data[m_position++] : 0; }
    // The rest of the input.
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> out(m_data + m_position, m_data + m_size);
        m_position = m_size;
        return out;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_position = 0;
};

// A heap block of exactly `bytes.size()` bytes (at least one allocated, none
// usable beyond the size), so that ASan reports any read past the region.
class ExactRegion {
public:
    explicit ExactRegion(const std::vector<uint8_t> &bytes)
        : m_block(new uint8_t[bytes.empty() ? 1 : bytes.size()]), m_size(bytes.size()) {
        if (!bytes.empty()) {
            memcpy(m_block, bytes.data(), bytes.size());
        }
    }
    ExactRegion(const uint8_t *bytes, size_t size) : ExactRegion(std::vector<uint8_t>(bytes, bytes + size)) {}
    ~ExactRegion() { delete[] m_block; }
    ExactRegion(const ExactRegion &) = delete;
    ExactRegion &operator=(const ExactRegion &) = delete;

    uint8_t *data() const { return m_block; }
    size_t size() const { return m_size; }
    bool contains(const void *p, size_t length) const {
        auto byte = static_cast<const uint8_t *>(p);
        return byte >= m_block && byte <= m_block + m_size && length <= static_cast<size_t>(m_block + m_size - byte);
    }

private:
    uint8_t *m_block;
    size_t m_size;
};

// ---- Log capture ----

struct LogLine {
    VORNLogLevel level;
    std::string file;
    std::string function;
    std::string message;
};

// Installed once per process (LLVMFuzzerInitialize); collects every line
// instead of printing it. Targets clear it before each decode.
class LogCapture : public vorn::VORNHandler {
public:
    static LogCapture &install() {
        static LogCapture capture;
        g_handler = &capture;
        g_currentLogLevel = VORNLogInfo;
        return capture;
    }
    void logMessage(VORNLogLevel level, const char *file, int, const char *function,
                    const std::string &message) override {
        lines.push_back({level, file, function, message});
    }
    VORNRecoverStrategic onVORNCRCCheckFail(const std::string &) override { return OnErrorDiscard; }
    VORNRecoverStrategic onVORNFileLengthError(const std::string &) override { return OnErrorDiscard; }
    void onContentChanged(const std::string &) override {}
    void onContentLoaded(const std::string &) override {}

    std::vector<LogLine> lines;
};

// ---- Reference reader ----

enum class Failure {
    None,
    ReachEnd,          // std::out_of_range "reach end, m_position: P, m_size: S"
    MalformedVarint32, // std::invalid_argument
    MalformedInt64,    // std::invalid_argument
    NegativeSize,      // std::length_error
    Truncated,         // std::out_of_range
    KeyTooLarge,       // std::length_error
    KVSizeTooLarge,    // std::length_error
    OutOfSpace,        // std::out_of_range
};

struct Outcome {
    Failure failure = Failure::None;
    size_t position = 0; // for ReachEnd: where reading stopped
    size_t size = 0;

    bool ok() const { return failure == Failure::None; }

    // The text the library's exception carries, and so the text its decoders log.
    std::string text() const {
        switch (failure) {
        case Failure::None:
            return "";
        case Failure::ReachEnd:
            return "reach end, m_position: " + std::to_string(position) + ", m_size: " + std::to_string(size);
        case Failure::MalformedVarint32:
            return "InvalidProtocolBuffer malformed varint32";
        case Failure::MalformedInt64:
            return "InvalidProtocolBuffer malformedInt64";
        case Failure::NegativeSize:
            return "InvalidProtocolBuffer negativeSize";
        case Failure::Truncated:
            return "InvalidProtocolBuffer truncatedMessage";
        case Failure::KeyTooLarge:
            return "VORN key too large for uint16 holder";
        case Failure::KVSizeTooLarge:
            return "VORN computed KV size too large for uint16 holder";
        case Failure::OutOfSpace:
            return "OutOfSpace";
        }
        return "?";
    }

    // The exception is of the documented type and carries the expected text.
    bool matches(const std::exception &e) const {
        bool typeOk = false;
        switch (failure) {
        case Failure::None:
            return false;
        case Failure::ReachEnd:
        case Failure::Truncated:
        case Failure::OutOfSpace:
            typeOk = dynamic_cast<const std::out_of_range *>(&e) != nullptr;
            break;
        case Failure::MalformedVarint32:
        case Failure::MalformedInt64:
            typeOk = dynamic_cast<const std::invalid_argument *>(&e) != nullptr;
            break;
        case Failure::NegativeSize:
        case Failure::KeyTooLarge:
        case Failure::KVSizeTooLarge:
            typeOk = dynamic_cast<const std::length_error *>(&e) != nullptr;
            break;
        }
        return typeOk && text() == e.what();
    }
};

constexpr uint32_t kRefMaxKeyLength = 65531;
constexpr size_t kRefMaxKVSize = 0xFFFF;

// Reads the format byte by byte. A failed step sets `outcome` and returns
// false; bytes taken before the failure stay taken, as in the library.
class RefReader {
public:
    RefReader(const uint8_t *bytes, size_t size) : m_bytes(bytes), m_size(size) {}

    size_t position() const { return m_position; }
    size_t size() const { return m_size; }
    size_t left() const { return m_size - m_position; }
    const uint8_t *at(size_t offset) const { return m_bytes + offset; }
    Outcome outcome;

    bool byte(uint8_t &b) {
        if (m_position >= m_size) {
            return failAt(Failure::ReachEnd);
        }
        b = m_bytes[m_position++];
        return true;
    }

    // Up to ten bytes; the low 32 bits of the 7-bit groups. A tenth byte with
    // its top bit set is malformed.
    bool varint32(uint32_t &value) {
        uint64_t groups = 0;
        for (int i = 0; i < 10; i++) {
            uint8_t b;
            if (!byte(b)) {
                return false;
            }
            if (i < 5) {
                groups |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
            }
            if (!(b & 0x80)) {
                value = static_cast<uint32_t>(groups);
                return true;
            }
        }
        return failAt(Failure::MalformedVarint32);
    }

    // Up to ten bytes; of the tenth only the lowest bit counts (bit 63).
    bool varint64(uint64_t &value) {
        uint64_t result = 0;
        for (int i = 0; i < 10; i++) {
            uint8_t b;
            if (!byte(b)) {
                return false;
            }
            result |= i < 9 ? static_cast<uint64_t>(b & 0x7F) << (7 * i) : static_cast<uint64_t>(b & 1) << 63;
            if (!(b & 0x80)) {
                value = result;
                return true;
            }
        }
        return failAt(Failure::MalformedInt64);
    }

    bool fixed(size_t width, uint64_t &value) {
        value = 0;
        for (size_t i = 0; i < width; i++) {
            uint8_t b;
            if (!byte(b)) {
                return false;
            }
            value |= static_cast<uint64_t>(b) << (8 * i);
        }
        return true;
    }

    // A length prefix that the bytes left can hold (with `exactly`: hold
    // precisely).
    bool length(uint32_t &result, bool exactly = false) {
        uint32_t raw;
        if (!varint32(raw)) {
            return false;
        }
        if (static_cast<int32_t>(raw) < 0) {
            return failAt(Failure::NegativeSize);
        }
        if (exactly ? raw != left() : raw > left()) {
            return failAt(Failure::Truncated);
        }
        result = raw;
        return true;
    }

    // A length-delimited item; `offset` is where its bytes start.
    bool item(size_t &offset, uint32_t &size, bool exactly = false) {
        if (!length(size, exactly)) {
            return false;
        }
        offset = m_position;
        m_position += size;
        return true;
    }

    bool seek(size_t n) {
        if (n > left()) {
            outcome.failure = Failure::OutOfSpace;
            return false;
        }
        m_position += n;
        return true;
    }

    bool failAt(Failure failure) {
        outcome.failure = failure;
        outcome.position = m_position;
        outcome.size = m_size;
        return false;
    }

private:
    const uint8_t *m_bytes;
    size_t m_size;
    size_t m_position = 0;
};

// One key's newest record in a decoded item stream.
struct RefEntry {
    size_t recordOffset = 0;
    size_t keySize = 0;
    size_t valueOffset = 0;
    size_t valueSize = 0;
};

using RefMap = std::map<std::string, RefEntry>;

// Item stream: an item-size holder varint (or, from a position other than 0,
// a skip of that many bytes), then records (key, value) up to the end. An
// empty key is passed over (the next bytes are read as the next record); an
// empty value removes the key. `checkKVSize`: refuse records whose bytes in
// front of the value reach 65536 (the plain index entry's 16-bit field).
struct RefStream {
    Outcome outcome;
    // `initial` with every record read applied, up to a failure.
    RefMap map;
    // First bytes of the records read without failure, and, on success, the
    // end of the input.
    std::vector<size_t> boundaries;
};

inline RefStream decodeRefStream(const uint8_t *bytes, size_t size, size_t position, bool checkKVSize,
                                 RefMap initial = RefMap()) {
    RefStream result;
    result.map = std::move(initial);
    RefReader in(bytes, size);
    auto finish = [&]() -> RefStream & {
        result.outcome = in.outcome;
        return result;
    };
    if (position == 0) {
        uint32_t holder;
        if (!in.varint32(holder)) {
            return finish();
        }
    } else if (!in.seek(position)) {
        return finish();
    }
    while (in.left() > 0) {
        const size_t recordOffset = in.position();
        result.boundaries.push_back(recordOffset);
        size_t keyOffset;
        uint32_t keySize;
        if (!in.item(keyOffset, keySize)) {
            return finish();
        }
        if (keySize > kRefMaxKeyLength) {
            in.failAt(Failure::KeyTooLarge);
            return finish();
        }
        std::string key(reinterpret_cast<const char *>(in.at(keyOffset)), keySize);
        if (key.empty()) {
            continue;
        }
        uint32_t valueSize;
        if (!in.length(valueSize)) {
            return finish();
        }
        if (checkKVSize && in.position() - recordOffset > kRefMaxKVSize) {
            in.failAt(Failure::KVSizeTooLarge);
            return finish();
        }
        const size_t valueOffset = in.position();
        in.seek(valueSize);
        if (valueSize > 0) {
            result.map[key] = RefEntry{recordOffset, keySize, valueOffset, valueSize};
        } else {
            result.map.erase(key);
        }
    }
    result.boundaries.push_back(size);
    return finish();
}

// Up to `count` boundaries spread over the list (first, last, between).
inline std::vector<size_t> someOf(const std::vector<size_t> &all, size_t count) {
    if (all.size() <= count) {
        return all;
    }
    std::vector<size_t> out;
    for (size_t i = 0; i < count; i++) {
        out.push_back(all[i * (all.size() - 1) / (count - 1)]);
    }
    return out;
}

// ---- Cipher of the encrypted targets ----

inline const uint8_t kKey[32] = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe, 0x2b, 0x73, 0xae,
                                 0xf0, 0x85, 0x7d, 0x77, 0x81, 0x1f, 0x35, 0x2c, 0x07, 0x3b, 0x61,
                                 0x08, 0xd7, 0x2d, 0x98, 0x10, 0xa3, 0x09, 0x14, 0xdf, 0xf4};
inline const uint8_t kIV[16] = {0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87,
                                0x78, 0x69, 0x5a, 0x4b, 0x3c, 0x2d, 0x1e, 0x0f};

// First byte of an encrypted target's input.
struct CryptHeader {
    bool aes256;
    // The rest of the input is ciphertext (else plaintext the target encrypts).
    bool cipherText;
    // Keystream bytes used before the stream's first byte: the stream starts
    // this far into an AES block, as the appended part of a partial load does.
    size_t startOffset;

    explicit CryptHeader(uint8_t b) : aes256(b & 1), cipherText(b & 2), startOffset((b >> 2) & 0x0F) {}
    static uint8_t encode(bool aes256, bool cipherText, size_t startOffset) {
        return static_cast<uint8_t>((aes256 ? 1 : 0) | (cipherText ? 2 : 0) | ((startOffset & 0x0F) << 2));
    }
};

// Moves a cipher `offset` bytes on in its keystream.
inline void advance(vorn::AESCrypt &cipher, size_t offset) {
    std::vector<uint8_t> scratch(offset + 1);
    cipher.decrypt(scratch.data(), scratch.data(), offset);
}

// The same cipher state, as bytes, for comparisons.
inline std::string statusBytes(const vorn::AESCryptStatus &status) {
    return std::string(reinterpret_cast<const char *>(&status), sizeof(status));
}
inline std::string statusBytes(const vorn::AESCrypt &cipher) {
    vorn::AESCryptStatus status;
    cipher.getCurStatus(status);
    return statusBytes(status);
}

// A cipher with the fixed key, standing `offset` bytes into its keystream.
inline std::unique_ptr<vorn::AESCrypt> newCipher(bool aes256, size_t offset) {
    auto cipher = std::make_unique<vorn::AESCrypt>(kKey, sizeof(kKey), kIV, sizeof(kIV), aes256);
    advance(*cipher, offset);
    return cipher;
}

// A stream in both forms and the cipher states along it.
struct CryptStream {
    CryptHeader header;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> cipher;
    // statuses[k]: the state of a cipher that has decrypted the stream's first k bytes.
    std::vector<std::string> statuses;

    CryptStream(uint8_t headerByte, std::vector<uint8_t> body) : header(headerByte) {
        auto reference = newCipher();
        (header.cipherText ? cipher : plain) = std::move(body);
        const size_t size = header.cipherText ? cipher.size() : plain.size();
        (header.cipherText ? plain : cipher).resize(size);
        statuses.reserve(size + 1);
        statuses.push_back(statusBytes(*reference));
        for (size_t i = 0; i < size; i++) {
            if (header.cipherText) {
                reference->decrypt(&cipher[i], &plain[i], 1);
            } else {
                reference->encrypt(&plain[i], &cipher[i], 1);
            }
            statuses.push_back(statusBytes(*reference));
        }
    }

    // A cipher standing at the stream's first byte.
    std::unique_ptr<vorn::AESCrypt> newCipher() const {
        return fuzzsupport::newCipher(header.aes256, header.startOffset);
    }
    // A cipher standing at the stream's byte `offset`, as one that has
    // decrypted the bytes before it (a CFB state holds the current block's
    // ciphertext so far, so only the real bytes lead there).
    std::unique_ptr<vorn::AESCrypt> cipherAt(size_t offset) const {
        auto cipher = newCipher();
        vorn::AESCryptStatus status;
        memcpy(&status, statuses.at(offset).data(), sizeof(status));
        cipher->resetStatus(status);
        return cipher;
    }
};

// ---- Whole-store inputs (StoreLoad) ----

// The keys StoreLoad opens encrypted stores with; the seeds are written under
// them. The wrong key differs from the AES-128 one in its last byte.
inline const std::string kStoreKey128 = "store-load-key-1";
inline const std::string kStoreKey256 = "store-load-key-2-for-AES-256-use";
inline const std::string kStoreWrongKey = "store-load-key-X";

// The first four bytes of a StoreLoad input (the layout is described in
// StoreLoad_fuzz.cpp).
struct StoreLoadHeader {
    enum Cipher : uint8_t { CipherPlain, CipherAES128, CipherAES256, CipherWrongKey };
    enum Expiry : uint8_t { ExpiryUnset, ExpiryOn, ExpiryOff, ExpiryUnsetToo };
    enum WriteKey : uint8_t { WriteOwnKey, WriteFirstKey, WriteLastKey, WriteOwnKeyToo };
    static constexpr size_t kValueStep = 67;
    static constexpr size_t kSize = 4;

    Cipher cipher = CipherPlain;
    bool multiProcess = false;
    bool readOnly = false;
    Expiry expiry = ExpiryUnset;
    bool recover = false;
    bool seal = false;
    WriteKey writeKey = WriteOwnKey;
    size_t valueLength = 0; // a multiple of kValueStep, at most 63 of them
    uint16_t dataLength = 0;

    static StoreLoadHeader decode(InputCursor &cursor) {
        StoreLoadHeader h;
        const uint8_t options = cursor.take();
        h.cipher = static_cast<Cipher>(options & 3);
        h.multiProcess = options & 4;
        h.readOnly = options & 8;
        h.expiry = static_cast<Expiry>((options >> 4) & 3);
        h.recover = options & 0x40;
        h.seal = options & 0x80;
        const uint8_t write = cursor.take();
        h.writeKey = static_cast<WriteKey>(write & 3);
        h.valueLength = (write >> 2) * kValueStep;
        h.dataLength = static_cast<uint16_t>(cursor.take() | cursor.take() << 8);
        return h;
    }

    std::vector<uint8_t> encode() const {
        const uint8_t options = static_cast<uint8_t>(cipher | (multiProcess ? 4 : 0) | (readOnly ? 8 : 0) |
                                                     expiry << 4 | (recover ? 0x40 : 0) | (seal ? 0x80 : 0));
        const uint8_t write = static_cast<uint8_t>(writeKey | (valueLength / kValueStep) << 2);
        return {options, write, static_cast<uint8_t>(dataLength), static_cast<uint8_t>(dataLength >> 8)};
    }
};

} // namespace fuzzsupport
