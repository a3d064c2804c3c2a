#pragma once

#include <cstddef>
#include <cstdint>

#include <openssl/types.h>

namespace vorn {

// AES block size; also the length of a CFB feedback vector and of an IV.
constexpr size_t kAESBlockSize = 16;
// Key lengths in bytes: AES-128 uses 16, AES-256 uses 32. Longer keys are cut,
// shorter ones zero-padded to the selected length.
constexpr size_t kAES128KeyLength = 16;
constexpr size_t kAES256KeyLength = 32;

// A position in a CFB-128 key stream: exactly what a cipher needs to go on
// encrypting or decrypting from that byte. 17 bytes, packed, because it is
// copied into index entries.
//
// m_number is the byte position inside the current block (0..15). With 0,
// m_vector is the last complete ciphertext block (or the initial vector at the
// start of the stream). With k > 0, bytes 0..k-1 are the ciphertext of the
// current block so far and bytes k..15 the rest of its keystream block.
#pragma pack(push, 1)
struct AESCryptStatus {
    uint8_t m_number;
    uint8_t m_vector[kAESBlockSize];
};
#pragma pack(pop)
static_assert(sizeof(AESCryptStatus) == 17, "AESCryptStatus is stored packed in index entries");

// The AES-CFB-128 state of one continuous encrypted stream: key, feedback
// vector and running byte number. Encryption and decryption continue across
// calls exactly as if the whole stream had been processed in one call, and
// one state serves both directions.
//
// Ownership: a cipher built from a key owns its OpenSSL contexts (created once
// here, wiped and freed by the destructor). A clone (cloneWithStatus) borrows
// the encryption context of the cipher it was made from, keeps its own
// position, and must not outlive that cipher or be used after it was
// re-keyed. Not copyable; clones are the cheap way to read from a saved
// position without disturbing the store's own cipher.
//
// Thread safety: none; a cipher's state changes with every byte. The store
// uses its cipher and the clones of it under its own lock.
//
// Failures: none are reported. Null pointers or zero lengths make a call do
// nothing. A cipher built without a key (null key or length 0) has no key
// schedule: encrypt, decrypt and statusBeforeDecrypt then do nothing.
// Construction throws std::bad_alloc when OpenSSL cannot allocate a context,
// and std::runtime_error if AES cannot be set up at all.
class AESCrypt {
public:
    // Key bytes are cut or zero-padded to 16 (aes256 false) or 32 bytes. The
    // initial vector is the first min(ivLength, 16) bytes of iv, zero-padded;
    // without an iv it is the first 16 bytes of the padded key.
    AESCrypt(const void *key, size_t keyLength, const void *iv = nullptr, size_t ivLength = 0, bool aes256 = false);

    // A clone of `other` standing at `status`. REQUIRES: other outlives it.
    AESCrypt(const AESCrypt &other, const AESCryptStatus &status);

    ~AESCrypt();

    AESCrypt(const AESCrypt &) = delete;
    AESCrypt &operator=(const AESCrypt &) = delete;
    AESCrypt(AESCrypt &&) = delete;
    AESCrypt &operator=(AESCrypt &&) = delete;

    // Same as the clone constructor (returned by guaranteed copy elision).
    AESCrypt cloneWithStatus(const AESCryptStatus &status) const { return AESCrypt(*this, status); }

    // CFB-128 over `length` bytes, advancing the stream position. `input` and
    // `output` may be the same memory; `output` may also start before `input`
    // in the same buffer (moving records down while they are decrypted).
    void encrypt(const void *input, void *output, size_t length);
    void decrypt(const void *input, void *output, size_t length);

    // Back to the start of a stream: number 0, vector from iv (its first
    // min(ivLength, 16) bytes overwrite the start of the current vector), or
    // the first 16 key bytes when iv is null or ivLength is 0.
    void resetIV(const void *iv = nullptr, size_t ivLength = 0);

    // Writes keyLength() bytes of the padded key to output (nothing when null).
    void getKey(void *output) const;
    size_t keyLength() const { return m_aes256 ? kAES256KeyLength : kAES128KeyLength; }
    bool isAES256() const { return m_aes256; }
    bool isClone() const { return m_isClone; }

    // A short value that tells whether two ciphers have the same key and
    // size, without revealing the key: the first kKeyCheckLength bytes of
    // HMAC-SHA-256 keyed with the padded key over a fixed label, the key
    // size and `vector` (16 bytes). A different vector gives an unrelated
    // value, so stores that share a key do not share a check value. False
    // (output zeroed) when the cipher has no key or the MAC fails.
    static constexpr size_t kKeyCheckLength = 8;
    bool keyCheck(const uint8_t *vector, uint8_t *output) const;

    void getCurStatus(AESCryptStatus &status) const;
    // REQUIRES: status.m_number < 16 (higher values are reduced modulo 16).
    void resetStatus(const AESCryptStatus &status);

    // Writes into `status` the state this cipher had `length` bytes before its
    // current position, i.e. what getCurStatus would have given then. The
    // caller passes one-past-the-end pointers of the ciphertext and the
    // plaintext of bytes this cipher has just processed; the `length` bytes
    // before each must be readable. This cipher's own state is unchanged.
    // Length 0 leaves status untouched. Builds a decryption context on the
    // first call that needs one.
    void statusBeforeDecrypt(const void *encryptedEnd, const void *decryptedEnd, size_t length, AESCryptStatus &status);

    // 16 bytes from the system's cryptographic random source (nothing when iv is null).
    static void fillRandomIV(void *iv);

    // A random value whose varint encoding takes exactly `size` bytes; size is
    // 1 to 5 (smaller sizes are taken as 1, larger ones as 5).
    static uint32_t randomItemSizeHolder(uint32_t size);

private:
    // Replaces m_vector by its AES encryption: the next keystream block.
    void encryptVector();

    bool m_isClone;
    bool m_aes256;
    uint32_t m_number;
    // AES-ECB encryption context without padding, borrowed by clones.
    EVP_CIPHER_CTX *m_encryptKey;
    // AES-ECB decryption context, built on first need; never shared.
    EVP_CIPHER_CTX *m_rollbackKey;
    uint8_t m_key[kAES256KeyLength];
    uint8_t m_vector[kAESBlockSize];
};

} // namespace vorn
