#define VORN_LOG_SOURCE "AESCrypt"

#include "crypt/AESCrypt.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "log/VORNLog.h"

namespace vorn {

namespace {

// One AES-ECB context without padding, in the given direction. CFB only ever
// feeds it single whole blocks, so the context keeps no data between calls.
EVP_CIPHER_CTX *newBlockContext(const uint8_t *key, bool aes256, bool encrypt) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    if (!ctx) {
        throw std::bad_alloc();
    }
    const EVP_CIPHER *cipher = aes256 ? EVP_aes_256_ecb() : EVP_aes_128_ecb();
    if (EVP_CipherInit_ex(ctx, cipher, nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        throw std::runtime_error("AES key setup failed");
    }
    return ctx;
}

// In place: block = AES(block) in the context's direction.
void processBlock(EVP_CIPHER_CTX *ctx, uint8_t *block) {
    int outLength = 0;
    if (EVP_CipherUpdate(ctx, block, &outLength, block, static_cast<int>(kAESBlockSize)) != 1 ||
        outLength != static_cast<int>(kAESBlockSize)) {
        // Cannot happen with an initialised ECB context; going on would emit
        // bytes that are not the keystream (plaintext, for in-place callers).
        throw std::runtime_error("AES block operation failed");
    }
}

bool readDevURandom(uint8_t *output, size_t length) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, output + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    ::close(fd);
    return done == length;
}

// Cryptographic random bytes. Vectors must not repeat under one key (a reused
// vector reuses the keystream), so the time-based last resort at least never
// yields the same bytes twice within one process.
void randomBytes(uint8_t *output, size_t length) {
    if (RAND_bytes(output, static_cast<int>(length)) == 1) {
        return;
    }
    if (readDevURandom(output, length)) {
        return;
    }
    VORNError("no random source available, using clock and counter");
    static std::atomic<uint64_t> counter{0};
    const uint64_t clock = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    uint64_t state = clock ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (size_t i = 0; i < length; i++) {
        // splitmix64 step: spreads clock and counter over every output byte.
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        output[i] = static_cast<uint8_t>(z ^ (z >> 31));
    }
}

} // namespace

AESCrypt::AESCrypt(const void *key, size_t keyLength, const void *iv, size_t ivLength, bool aes256)
    : m_isClone(false), m_aes256(aes256), m_number(0), m_encryptKey(nullptr),
      m_rollbackKey(nullptr), m_key{}, m_vector{} {
    if (!key || keyLength == 0) {
        return;
    }
    memcpy(m_key, key, std::min(keyLength, this->keyLength()));
    resetIV(iv, ivLength);
    try {
        m_encryptKey = newBlockContext(m_key, m_aes256, true);
    } catch (...) {
        OPENSSL_cleanse(m_key, sizeof(m_key));
        throw;
    }
}

AESCrypt::AESCrypt(const AESCrypt &other, const AESCryptStatus &status)
    : m_isClone(true), m_aes256(other.m_aes256), m_number(status.m_number % kAESBlockSize),
      m_encryptKey(other.m_encryptKey), m_rollbackKey(nullptr), m_key{}, m_vector{} {
    // The key is copied (32 bytes) so that a clone can still build its own
    // decryption context and report its key.
    memcpy(m_key, other.m_key, sizeof(m_key));
    memcpy(m_vector, status.m_vector, sizeof(m_vector));
}

AESCrypt::~AESCrypt() {
    // EVP_CIPHER_CTX_free wipes the key schedule before releasing it.
    if (!m_isClone && m_encryptKey) {
        EVP_CIPHER_CTX_free(m_encryptKey);
    }
    if (m_rollbackKey) {
        EVP_CIPHER_CTX_free(m_rollbackKey);
    }
    OPENSSL_cleanse(m_key, sizeof(m_key));
    OPENSSL_cleanse(m_vector, sizeof(m_vector));
}

void AESCrypt::encryptVector() {
    processBlock(m_encryptKey, m_vector);
}

// CFB-128 with a running number: a keystream block is produced only when the
// first byte of a block is needed, so a call that ends mid-block leaves the
// unused keystream bytes in m_vector for the next call. Every whole block is
// read into a local first, which makes in-place and downward-overlapping
// buffers safe.
void AESCrypt::encrypt(const void *input, void *output, size_t length) {
    if (!input || !output || length == 0 || !m_encryptKey) {
        return;
    }
    auto in = static_cast<const uint8_t *>(input);
    auto out = static_cast<uint8_t *>(output);
    uint32_t n = m_number;

    while (n != 0 && length != 0) {
        m_vector[n] ^= *in++;
        *out++ = m_vector[n];
        length--;
        n = (n + 1) % kAESBlockSize;
    }
    while (length >= kAESBlockSize) {
        uint8_t block[kAESBlockSize];
        memcpy(block, in, kAESBlockSize);
        encryptVector();
        for (size_t i = 0; i < kAESBlockSize; i++) {
            m_vector[i] ^= block[i];
        }
        memcpy(out, m_vector, kAESBlockSize);
        in += kAESBlockSize;
        out += kAESBlockSize;
        length -= kAESBlockSize;
    }
    if (length != 0) {
        encryptVector();
        while (length != 0) {
            m_vector[n] ^= in[n];
            out[n] = m_vector[n];
            n++;
            length--;
        }
    }
    m_number = n;
}

void AESCrypt::decrypt(const void *input, void *output, size_t length) {
    if (!input || !output || length == 0 || !m_encryptKey) {
        return;
    }
    auto in = static_cast<const uint8_t *>(input);
    auto out = static_cast<uint8_t *>(output);
    uint32_t n = m_number;

    while (n != 0 && length != 0) {
        uint8_t c = *in++;
        *out++ = m_vector[n] ^ c;
        m_vector[n] = c;
        length--;
        n = (n + 1) % kAESBlockSize;
    }
    while (length >= kAESBlockSize) {
        uint8_t block[kAESBlockSize];
        memcpy(block, in, kAESBlockSize);
        encryptVector();
        uint8_t plain[kAESBlockSize];
        for (size_t i = 0; i < kAESBlockSize; i++) {
            plain[i] = m_vector[i] ^ block[i];
        }
        memcpy(m_vector, block, kAESBlockSize);
        memcpy(out, plain, kAESBlockSize);
        in += kAESBlockSize;
        out += kAESBlockSize;
        length -= kAESBlockSize;
    }
    if (length != 0) {
        encryptVector();
        while (length != 0) {
            uint8_t c = in[n];
            out[n] = m_vector[n] ^ c;
            m_vector[n] = c;
            n++;
            length--;
        }
    }
    m_number = n;
}

void AESCrypt::resetIV(const void *iv, size_t ivLength) {
    m_number = 0;
    if (iv && ivLength > 0) {
        memcpy(m_vector, iv, std::min(ivLength, kAESBlockSize));
    } else {
        memcpy(m_vector, m_key, kAESBlockSize);
    }
}

void AESCrypt::getKey(void *output) const {
    if (output) {
        memcpy(output, m_key, keyLength());
    }
}

void AESCrypt::getCurStatus(AESCryptStatus &status) const {
    status.m_number = static_cast<uint8_t>(m_number);
    memcpy(status.m_vector, m_vector, sizeof(status.m_vector));
}

void AESCrypt::resetStatus(const AESCryptStatus &status) {
    m_number = status.m_number % kAESBlockSize;
    memcpy(m_vector, status.m_vector, sizeof(m_vector));
}

// Walks back from the current position. Every keystream byte is ciphertext XOR
// plaintext of its position, and a complete keystream block decrypts to the
// ciphertext block before it. A whole keystream block determines the state at
// its start without the bytes after it, so of all whole blocks passed only the
// earliest one is decrypted: at most one AES operation per call.
void AESCrypt::statusBeforeDecrypt(const void *encryptedEnd, const void *decryptedEnd, size_t length,
                                   AESCryptStatus &status) {
    if (!encryptedEnd || !decryptedEnd || length == 0 || !m_encryptKey) {
        return;
    }
    auto cipherText = static_cast<const uint8_t *>(encryptedEnd);
    auto plainText = static_cast<const uint8_t *>(decryptedEnd);
    uint8_t vector[kAESBlockSize];
    memcpy(vector, m_vector, sizeof(vector));
    size_t number = m_number;
    bool holdsKeystreamBlock = false;

    // The bytes of the current block so far turn back into keystream.
    size_t partial = std::min(length, number);
    for (size_t i = 0; i < partial; i++) {
        --number;
        vector[number] = *--cipherText ^ *--plainText;
    }
    size_t remaining = length - partial;
    if (partial > 0 && number == 0) {
        holdsKeystreamBlock = true;
    }

    if (remaining >= kAESBlockSize) {
        size_t wholeBlocks = remaining / kAESBlockSize * kAESBlockSize;
        cipherText -= wholeBlocks;
        plainText -= wholeBlocks;
        remaining -= wholeBlocks;
        for (size_t i = 0; i < kAESBlockSize; i++) {
            vector[i] = cipherText[i] ^ plainText[i];
        }
        holdsKeystreamBlock = true;
    }
    if (holdsKeystreamBlock) {
        if (!m_rollbackKey) {
            m_rollbackKey = newBlockContext(m_key, m_aes256, false);
        }
        processBlock(m_rollbackKey, vector); // now the ciphertext block before it
    }

    // The target lies inside that ciphertext block: its last bytes become keystream.
    if (remaining > 0) {
        for (size_t i = 0; i < remaining; i++) {
            vector[kAESBlockSize - 1 - i] = *--cipherText ^ *--plainText;
        }
        number = kAESBlockSize - remaining;
    }

    status.m_number = static_cast<uint8_t>(number);
    memcpy(status.m_vector, vector, sizeof(status.m_vector));
}

bool AESCrypt::keyCheck(const uint8_t *vector, uint8_t *output) const {
    memset(output, 0, kKeyCheckLength);
    if (!m_encryptKey || !vector) {
        return false;
    }
    static const char kLabel[] = "corvane_vorn key check";
    uint8_t message[sizeof(kLabel) + 1 + kAESBlockSize];
    memcpy(message, kLabel, sizeof(kLabel));
    message[sizeof(kLabel)] = static_cast<uint8_t>(keyLength());
    memcpy(message + sizeof(kLabel) + 1, vector, kAESBlockSize);
    uint8_t mac[EVP_MAX_MD_SIZE];
    size_t macLength = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, m_key, keyLength(), message, sizeof(message), mac,
                   sizeof(mac), &macLength) ||
        macLength < kKeyCheckLength) {
        OPENSSL_cleanse(mac, sizeof(mac));
        return false;
    }
    memcpy(output, mac, kKeyCheckLength);
    OPENSSL_cleanse(mac, sizeof(mac));
    return true;
}

void AESCrypt::fillRandomIV(void *iv) {
    if (iv) {
        randomBytes(static_cast<uint8_t *>(iv), kAESBlockSize);
    }
}

uint32_t AESCrypt::randomItemSizeHolder(uint32_t size) {
    // Smallest value of each varint width 1..5; width 5 runs up to 2^32.
    static constexpr uint64_t lowerBounds[] = {0, 1ull << 7, 1ull << 14, 1ull << 21, 1ull << 28, 1ull << 32};
    size = std::min<uint32_t>(std::max<uint32_t>(size, 1), 5);
    uint64_t lower = lowerBounds[size - 1];
    uint64_t range = lowerBounds[size] - lower;
    uint64_t random = 0;
    randomBytes(reinterpret_cast<uint8_t *>(&random), sizeof(random));
    return static_cast<uint32_t>(lower + random % range);
}

} // namespace vorn
