#include "crypt/AESCrypt.h"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

using vorn::AESCrypt;
using vorn::AESCryptStatus;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string &hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string toHex(const uint8_t *bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; i++) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// Readable form for comparisons: "number:vector".
std::string describe(const AESCryptStatus &status) {
    return std::to_string(status.m_number) + ":" + toHex(status.m_vector, sizeof(status.m_vector));
}

std::string statusOf(const AESCrypt &cipher) {
    AESCryptStatus status;
    cipher.getCurStatus(status);
    return describe(status);
}

Bytes pattern(size_t length, uint8_t seed) {
    Bytes out(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

// The NIST SP 800-38A sample key material.
struct KeyCase {
    const char *name;
    const char *keyHex;
    bool aes256;
};
const KeyCase kKeys[] = {
    {"AES-128", "2b7e151628aed2a6abf7158809cf4f3c", false},
    {"AES-256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", true},
};
const char *const kNistIV = "000102030405060708090a0b0c0d0e0f";
const char *const kNistPlain = "6bc1bee22e409f96e93d7e117393172a"
                               "ae2d8a571e03ac9c9eb76fac45af8e51"
                               "30c81c46a35ce411e5fbc1191a0a52ef"
                               "f69f2445df4f9b17ad2b417be66c3710";

AESCrypt cipherFor(const KeyCase &k) {
    Bytes key = fromHex(k.keyHex), iv = fromHex(kNistIV);
    return AESCrypt(key.data(), key.size(), iv.data(), iv.size(), k.aes256);
}

// OpenSSL's own CFB-128 (EVP, stateful across updates) as an independent reference.
class ReferenceCfb {
public:
    ReferenceCfb(const KeyCase &k, bool encrypt) : m_ctx(EVP_CIPHER_CTX_new()) {
        Bytes key = fromHex(k.keyHex), iv = fromHex(kNistIV);
        EXPECT_EQ(EVP_CipherInit_ex(m_ctx, k.aes256 ? EVP_aes_256_cfb128() : EVP_aes_128_cfb128(), nullptr, key.data(),
                                    iv.data(), encrypt ? 1 : 0),
                  1);
    }
    ~ReferenceCfb() { EVP_CIPHER_CTX_free(m_ctx); }
    Bytes update(const uint8_t *in, size_t length) {
        Bytes out(length + 16);
        int outLength = 0;
        EXPECT_EQ(EVP_CipherUpdate(m_ctx, out.data(), &outLength, in, static_cast<int>(length)), 1);
        out.resize(static_cast<size_t>(outLength));
        return out;
    }
    std::string status() const {
        AESCryptStatus s;
        s.m_number = static_cast<uint8_t>(EVP_CIPHER_CTX_get_num(m_ctx));
        EXPECT_EQ(EVP_CIPHER_CTX_get_updated_iv(m_ctx, s.m_vector, sizeof(s.m_vector)), 1);
        return describe(s);
    }

private:
    EVP_CIPHER_CTX *m_ctx;
};

void encryptInChunks(AESCrypt &cipher, const Bytes &in, Bytes &out, const std::vector<size_t> &plan, bool encrypt) {
    out.assign(in.size(), 0);
    size_t pos = 0, step = 0;
    while (pos < in.size()) {
        size_t n = std::min(plan[step++ % plan.size()], in.size() - pos);
        if (encrypt) {
            cipher.encrypt(in.data() + pos, out.data() + pos, n);
        } else {
            cipher.decrypt(in.data() + pos, out.data() + pos, n);
        }
        pos += n;
    }
}

TEST(AESCryptTest, NistCfb128KnownAnswers) {
    // SP 800-38A F.3.13/F.3.14 (AES-128) and F.3.17/F.3.18 (AES-256): the
    // encryption and decryption examples share key, IV and texts.
    const char *const cipherTexts[] = {
        "3b3fd92eb72dad20333449f8e83cfb4a"
        "c8a64537a0b3a93fcde3cdad9f1ce58b"
        "26751f67a3cbb140b1808cf187a4f4df"
        "c04b05357c5d1c0eeac4c66f9ff7f2e6",
        "dc7e84bfda79164b7ecd8486985d3860"
        "39ffed143b28b1c832113c6331e5407b"
        "df10132415e54b92a13ed0a8267ae2f9"
        "75a385741ab9cef82031623d55b1e471",
    };
    const Bytes plain = fromHex(kNistPlain);
    for (size_t i = 0; i < 2; i++) {
        SCOPED_TRACE(kKeys[i].name);
        const Bytes expected = fromHex(cipherTexts[i]);

        AESCrypt encrypter = cipherFor(kKeys[i]);
        Bytes out(plain.size());
        encrypter.encrypt(plain.data(), out.data(), plain.size());
        EXPECT_EQ(toHex(out.data(), out.size()), cipherTexts[i]);
        // At a block boundary the vector is the last ciphertext block.
        EXPECT_EQ(statusOf(encrypter), "0:" + std::string(cipherTexts[i]).substr(96));

        AESCrypt decrypter = cipherFor(kKeys[i]);
        Bytes back(expected.size());
        decrypter.decrypt(expected.data(), back.data(), expected.size());
        EXPECT_EQ(toHex(back.data(), back.size()), kNistPlain);
        EXPECT_EQ(statusOf(decrypter), statusOf(encrypter));
    }
}

TEST(AESCryptTest, UnevenChunksMatchOneCallAndOpenSslCfb128) {
    const Bytes plain = pattern(203, 7);
    const std::vector<std::vector<size_t>> plans = {
        {1}, {15}, {16}, {17}, {3, 29, 1, 16, 7, 40, 2, 15}, {203},
    };
    for (const auto &k : kKeys) {
        AESCrypt whole = cipherFor(k);
        Bytes expected(plain.size());
        whole.encrypt(plain.data(), expected.data(), plain.size());
        ReferenceCfb reference(k, true);
        ASSERT_EQ(reference.update(plain.data(), plain.size()), expected);

        for (const auto &plan : plans) {
            SCOPED_TRACE(std::string(k.name) + " first piece " + std::to_string(plan[0]));
            // Chunked encryption; the state after every piece must be the one
            // OpenSSL's CFB-128 holds (vector and running number).
            AESCrypt cipher = cipherFor(k);
            ReferenceCfb stepReference(k, true);
            Bytes out(plain.size());
            size_t pos = 0, step = 0;
            while (pos < plain.size()) {
                size_t n = std::min(plan[step++ % plan.size()], plain.size() - pos);
                cipher.encrypt(plain.data() + pos, out.data() + pos, n);
                stepReference.update(plain.data() + pos, n);
                ASSERT_EQ(statusOf(cipher), stepReference.status()) << "after " << pos + n << " bytes";
                pos += n;
            }
            EXPECT_EQ(out, expected);

            // Decrypting in other pieces gives the plaintext and the same end state.
            AESCrypt decrypter = cipherFor(k);
            Bytes back;
            encryptInChunks(decrypter, expected, back, {5, 16, 1, 33}, false);
            EXPECT_EQ(back, plain);
            EXPECT_EQ(statusOf(decrypter), statusOf(cipher));
        }
    }
}

TEST(AESCryptTest, InPlaceAndDownwardMovingBuffers) {
    const Bytes plain = pattern(90, 3);
    for (const auto &k : kKeys) {
        SCOPED_TRACE(k.name);
        AESCrypt reference = cipherFor(k);
        Bytes expected(plain.size());
        reference.encrypt(plain.data(), expected.data(), plain.size());

        // Encrypt in place, as the store does with a record it has just written.
        Bytes buffer = plain;
        AESCrypt inPlace = cipherFor(k);
        inPlace.encrypt(buffer.data(), buffer.data(), 11);
        inPlace.encrypt(buffer.data() + 11, buffer.data() + 11, buffer.size() - 11);
        EXPECT_EQ(buffer, expected);

        // Decrypt while moving the bytes 7 places down in the same buffer, as
        // a compaction does with a record that moves toward the stream start.
        const size_t shift = 7;
        Bytes moving(shift + expected.size(), 0xEE);
        memcpy(moving.data() + shift, expected.data(), expected.size());
        AESCrypt mover = cipherFor(k);
        size_t pos = 0;
        for (size_t n : {5, 32, 18, 35}) {
            mover.decrypt(moving.data() + shift + pos, moving.data() + pos, n);
            pos += n;
        }
        ASSERT_EQ(pos, plain.size());
        EXPECT_EQ(Bytes(moving.begin(), moving.begin() + plain.size()), plain);
    }
}

TEST(AESCryptTest, SavedStatusRestoresTheKeystreamPosition) {
    const Bytes plain = pattern(100, 11);
    for (const auto &k : kKeys) {
        for (size_t savedAt : {0, 1, 16, 23, 32, 47}) {
            SCOPED_TRACE(std::string(k.name) + " saved at " + std::to_string(savedAt));
            AESCrypt cipher = cipherFor(k);
            Bytes expected(plain.size());
            cipher.encrypt(plain.data(), expected.data(), savedAt);
            AESCryptStatus saved;
            cipher.getCurStatus(saved);
            cipher.encrypt(plain.data() + savedAt, expected.data() + savedAt, plain.size() - savedAt);

            // The same cipher, moved back.
            cipher.resetStatus(saved);
            EXPECT_EQ(describe(saved), statusOf(cipher));
            Bytes again(plain.size() - savedAt);
            cipher.encrypt(plain.data() + savedAt, again.data(), again.size());
            EXPECT_EQ(again, Bytes(expected.begin() + savedAt, expected.end()));

            // Another cipher with the same key and a different vector, given the status.
            Bytes key = fromHex(k.keyHex);
            AESCrypt other(key.data(), key.size(), nullptr, 0, k.aes256);
            other.resetStatus(saved);
            Bytes back(again.size());
            other.decrypt(expected.data() + savedAt, back.data(), back.size());
            EXPECT_EQ(back, Bytes(plain.begin() + savedAt, plain.end()));
        }
    }
}

TEST(AESCryptTest, StatusBeforeDecryptRecomputesEveryEarlierPosition) {
    // For every stream length up to 70 and every rollback length, the result
    // must be the status recorded at that earlier position, whether the cipher
    // got there by encrypting (writer) or decrypting (reader), and a clone
    // started there must reproduce the rest of the stream.
    const size_t maxLength = 70;
    const Bytes plain = pattern(maxLength, 5);
    for (const auto &k : kKeys) {
        AESCrypt recorder = cipherFor(k);
        Bytes cipherText(maxLength);
        std::vector<std::string> statusAt{statusOf(recorder)};
        for (size_t i = 0; i < maxLength; i++) {
            recorder.encrypt(&plain[i], &cipherText[i], 1);
            statusAt.push_back(statusOf(recorder));
        }
        for (bool viaDecrypt : {false, true}) {
            for (size_t total = 0; total <= maxLength; total++) {
                SCOPED_TRACE(std::string(k.name) + (viaDecrypt ? " reader" : " writer") + " at " +
                             std::to_string(total));
                AESCrypt cipher = cipherFor(k);
                Bytes scratch(total);
                if (viaDecrypt) {
                    cipher.decrypt(cipherText.data(), scratch.data(), total);
                } else {
                    cipher.encrypt(plain.data(), scratch.data(), total);
                }
                const std::string before = statusOf(cipher);
                for (size_t length = 1; length <= total; length++) {
                    AESCryptStatus status;
                    cipher.statusBeforeDecrypt(cipherText.data() + total, plain.data() + total, length, status);
                    ASSERT_EQ(describe(status), statusAt[total - length]) << "rolled back " << length;

                    AESCrypt clone = cipher.cloneWithStatus(status);
                    Bytes replay(length);
                    clone.decrypt(cipherText.data() + total - length, replay.data(), length);
                    ASSERT_EQ(replay, Bytes(plain.begin() + (total - length), plain.begin() + total));
                }
                EXPECT_EQ(statusOf(cipher), before); // the cipher itself did not move
            }
        }
    }
}

TEST(AESCryptTest, StatusBeforeDecryptWithLengthZeroLeavesStatusAlone) {
    AESCrypt cipher = cipherFor(kKeys[0]);
    const Bytes plain = pattern(20, 1);
    Bytes out(plain.size());
    cipher.encrypt(plain.data(), out.data(), out.size());
    AESCryptStatus status;
    memset(&status, 0xAB, sizeof(status));
    cipher.statusBeforeDecrypt(out.data() + out.size(), plain.data() + plain.size(), 0, status);
    std::string untouched = "171:"; // 0xAB in every byte
    for (int i = 0; i < 16; i++)
        untouched += "ab";
    EXPECT_EQ(describe(status), untouched);
}

TEST(AESCryptTest, ClonesAreIndependentOfTheSourceAndOfEachOther) {
    const Bytes plain = pattern(120, 9);
    for (const auto &k : kKeys) {
        SCOPED_TRACE(k.name);
        AESCrypt reference = cipherFor(k);
        Bytes expected(plain.size());
        reference.encrypt(plain.data(), expected.data(), plain.size());

        AESCrypt source = cipherFor(k);
        Bytes out(plain.size());
        source.encrypt(plain.data(), out.data(), 21);
        AESCryptStatus at21;
        source.getCurStatus(at21);
        {
            AESCrypt first = source.cloneWithStatus(at21);
            AESCrypt second(source, at21);
            EXPECT_TRUE(first.isClone());
            Bytes a(60), b(60);
            first.decrypt(expected.data() + 21, a.data(), a.size());
            // The source moves on between the two clones' work.
            source.encrypt(plain.data() + 21, out.data() + 21, 9);
            second.decrypt(expected.data() + 21, b.data(), 30);
            second.decrypt(expected.data() + 51, b.data() + 30, 30);
            EXPECT_EQ(a, Bytes(plain.begin() + 21, plain.begin() + 81));
            EXPECT_EQ(b, a);
            EXPECT_EQ(statusOf(first), statusOf(second));

            // A clone of a clone starts where the inner clone stands.
            AESCryptStatus at81;
            first.getCurStatus(at81);
            AESCrypt nested = first.cloneWithStatus(at81);
            Bytes c(39);
            nested.decrypt(expected.data() + 81, c.data(), c.size());
            EXPECT_EQ(c, Bytes(plain.begin() + 81, plain.end()));

            // A clone knows the key and can roll back on its own.
            Bytes sourceKey(32), cloneKey(32);
            source.getKey(sourceKey.data());
            first.getKey(cloneKey.data());
            EXPECT_EQ(cloneKey, sourceKey);
            AESCryptStatus rolledBack;
            first.statusBeforeDecrypt(expected.data() + 81, plain.data() + 81, 60, rolledBack);
            EXPECT_EQ(describe(rolledBack), describe(at21));
        }
        // The clones are gone; the source's shared context must still work.
        source.encrypt(plain.data() + 30, out.data() + 30, plain.size() - 30);
        EXPECT_EQ(out, expected);
    }
}

TEST(AESCryptTest, KeyIsCutOrZeroPaddedToTheSelectedLength) {
    const Bytes longKey = pattern(40, 21);
    const Bytes iv = fromHex(kNistIV);
    struct Case {
        size_t keyLength;
        bool aes256;
        size_t used; // bytes of longKey that count; the rest of the key is zero
    } cases[] = {
        {20, false, 16}, {16, false, 16}, {5, false, 5},  {1, false, 1},
        {40, true, 32},  {32, true, 32},  {20, true, 20}, {16, true, 16},
    };
    const Bytes plain = pattern(50, 2);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.keyLength) + (c.aes256 ? " AES-256" : " AES-128"));
        const size_t size = c.aes256 ? 32 : 16;
        Bytes padded(longKey.begin(), longKey.begin() + c.used);
        padded.resize(size, 0);

        AESCrypt cipher(longKey.data(), c.keyLength, iv.data(), iv.size(), c.aes256);
        EXPECT_EQ(cipher.keyLength(), size);
        Bytes key(32, 0x55);
        cipher.getKey(key.data());
        EXPECT_EQ(Bytes(key.begin(), key.begin() + size), padded);
        EXPECT_EQ(Bytes(key.begin() + size, key.end()), Bytes(32 - size, 0x55)); // nothing beyond the key length

        AESCrypt explicitKey(padded.data(), padded.size(), iv.data(), iv.size(), c.aes256);
        Bytes a(plain.size()), b(plain.size());
        cipher.encrypt(plain.data(), a.data(), a.size());
        explicitKey.encrypt(plain.data(), b.data(), b.size());
        EXPECT_EQ(a, b);
        // And the key is really used: a different AES size gives other bytes.
        AESCrypt otherSize(padded.data(), padded.size(), iv.data(), iv.size(), !c.aes256);
        otherSize.encrypt(plain.data(), b.data(), b.size());
        EXPECT_NE(a, b);
    }
}

TEST(AESCryptTest, InitialVectorFromIVOrFromTheKey) {
    const Bytes key = pattern(32, 8);
    const Bytes iv = pattern(20, 4);
    struct Case {
        const char *name;
        const uint8_t *iv;
        size_t ivLength;
        bool aes256;
        Bytes vector;
    } cases[] = {
        {"no iv, AES-128", nullptr, 0, false, Bytes(key.begin(), key.begin() + 16)},
        {"no iv, AES-256", nullptr, 0, true, Bytes(key.begin(), key.begin() + 16)},
        {"iv of length 0", iv.data(), 0, false, Bytes(key.begin(), key.begin() + 16)},
        {"iv of 16", iv.data(), 16, false, Bytes(iv.begin(), iv.begin() + 16)},
        {"iv of 20 is cut", iv.data(), 20, true, Bytes(iv.begin(), iv.begin() + 16)},
        {"iv of 4 is zero-padded", iv.data(), 4, false,
         [&] {
             Bytes v(iv.begin(), iv.begin() + 4);
             v.resize(16, 0);
             return v;
         }()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AESCrypt cipher(key.data(), key.size(), c.iv, c.ivLength, c.aes256);
        EXPECT_EQ(statusOf(cipher), "0:" + toHex(c.vector.data(), 16));
    }
}

TEST(AESCryptTest, ResetIVRestartsTheStream) {
    const Bytes key = pattern(16, 12);
    const Bytes iv = pattern(16, 13);
    const Bytes plain = pattern(45, 14);

    AESCrypt fresh(key.data(), key.size(), iv.data(), iv.size(), false);
    Bytes expected(plain.size());
    fresh.encrypt(plain.data(), expected.data(), plain.size());

    AESCrypt cipher(key.data(), key.size(), nullptr, 0, false);
    Bytes out(plain.size());
    cipher.encrypt(plain.data(), out.data(), 37);
    cipher.resetIV(iv.data(), iv.size());
    EXPECT_EQ(statusOf(cipher), "0:" + toHex(iv.data(), 16));
    cipher.encrypt(plain.data(), out.data(), plain.size());
    EXPECT_EQ(out, expected);

    // Without an iv the stream restarts at the key-derived vector.
    cipher.resetIV();
    EXPECT_EQ(statusOf(cipher), "0:" + toHex(key.data(), 16));

    // A shorter iv overwrites only the start of the current vector.
    const uint8_t shortIV[4] = {1, 2, 3, 4};
    cipher.resetIV(shortIV, sizeof(shortIV));
    EXPECT_EQ(statusOf(cipher), "0:01020304" + toHex(key.data() + 4, 12));
}

TEST(AESCryptTest, NullPointersZeroLengthsAndMissingKeysDoNothing) {
    const Bytes plain = pattern(10, 15);
    AESCrypt cipher = cipherFor(kKeys[1]);
    Bytes out(plain.size(), 0x77);
    cipher.encrypt(plain.data(), out.data(), 3);
    const std::string before = statusOf(cipher);
    const Bytes afterThree = out;

    cipher.encrypt(nullptr, out.data(), 5);
    cipher.encrypt(plain.data(), nullptr, 5);
    cipher.encrypt(plain.data(), out.data(), 0);
    cipher.decrypt(nullptr, out.data(), 5);
    cipher.decrypt(plain.data(), nullptr, 5);
    cipher.decrypt(plain.data(), out.data(), 0);
    cipher.getKey(nullptr);
    EXPECT_EQ(statusOf(cipher), before);
    EXPECT_EQ(out, afterThree);

    // A cipher made without a key has no schedule and must leave bytes alone
    // rather than emit anything that looks encrypted.
    const Bytes key = fromHex(kKeys[0].keyHex);
    AESCrypt nullKey(nullptr, 16, nullptr, 0, false);
    AESCrypt emptyKey(key.data(), 0, nullptr, 0, true);
    for (AESCrypt *keyless : {&nullKey, &emptyKey}) {
        Bytes untouched(plain.size(), 0x77);
        keyless->encrypt(plain.data(), untouched.data(), plain.size());
        keyless->decrypt(plain.data(), untouched.data(), plain.size());
        EXPECT_EQ(untouched, Bytes(plain.size(), 0x77));
        EXPECT_EQ(statusOf(*keyless), "0:" + std::string(32, '0'));
        AESCryptStatus status;
        memset(&status, 0x11, sizeof(status));
        keyless->statusBeforeDecrypt(untouched.data() + 10, plain.data() + 10, 10, status);
        EXPECT_EQ(status.m_number, 0x11);
    }
}

TEST(AESCryptTest, RandomVectorsDifferBetweenCalls) {
    // Calls within one second must not repeat a vector: a repeated vector under
    // the same key repeats the keystream.
    std::set<std::string> seen;
    for (int i = 0; i < 16; i++) {
        uint8_t iv[16] = {};
        AESCrypt::fillRandomIV(iv);
        seen.insert(toHex(iv, sizeof(iv)));
    }
    EXPECT_EQ(seen.size(), 16u);
}

size_t varintSize(uint32_t value) {
    size_t size = 1;
    while (value >= 0x80) {
        value >>= 7;
        size++;
    }
    return size;
}

TEST(AESCryptTest, ItemSizeHolderHasExactlyTheRequestedVarintWidth) {
    struct Case {
        uint32_t requested;
        size_t width;
    } cases[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {0, 1}, {6, 5}, {100, 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.requested));
        std::set<uint32_t> values;
        for (int i = 0; i < 200; i++) {
            uint32_t value = AESCrypt::randomItemSizeHolder(c.requested);
            ASSERT_EQ(varintSize(value), c.width) << value;
            values.insert(value);
        }
        EXPECT_GT(values.size(), 1u); // drawn fresh each call, not once per second
    }
}

} // namespace
