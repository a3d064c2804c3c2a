// CodedInputDataCrypt: reading an encrypted item stream must give what a
// CodedInputData gives over the plaintext (values, positions, exceptions),
// with the cipher never more than a varint and a block ahead of the read
// position, and standing exactly at the end once everything is read.
//
// Input: a CryptHeader byte, a byte whose low 5 bits give the number of
// script steps, one byte per step (low 3 bits: the read; the rest its
// parameter), then the stream (plaintext or ciphertext, per the header).
// Two passes over the stream:
//  - records, as the map decoder reads them: entries with the right value
//    (long values: the record's position and the cipher state at its first
//    byte), and a buffer that stays within twice the largest record it had
//    to hold;
//  - the script, mixing single bytes, varints and records; a seek may only
//    come first (the reader's contract), with the cipher brought to the
//    target offset, as a partial load does.

#include <algorithm>
#include <string>

#include "FuzzSupport.h"
#include "encoding/CodedInputData.h"
#include "encoding/CodedInputDataCrypt.h"
#include "encoding/IndexEntry.h"

using namespace vorn;
using namespace fuzzsupport;

namespace {

// Plaintext the cipher may have decrypted past the read position: a varint
// read makes sure of 10 bytes, rounded up to the end of a 16-byte block.
constexpr size_t kMaxDecryptedAhead = kMaxVarintSize + kAESBlockSize - 1;

enum Op : uint8_t {
    OpRawByte,
    OpVarint,     // readRawVarint32(false)
    OpVarintKeep, // readRawVarint32(true)
    OpInt32,
    OpRecord, // readString(kv) then readData(kv)
    OpSeek,   // seek(parameter), or past the end for parameter 31; first step only
    OpCount,
};

struct Context {
    const CryptStream &stream;
    const ExactRegion &cipherText;
    const ExactRegion &plainText;
};

// Where the cipher stands, in stream bytes: it must be at or after the read
// position and at most kMaxDecryptedAhead bytes beyond it.
void expectCipherNear(const Context &c, const AESCrypt &cipher, size_t position, const std::string &what) {
    const std::string status = statusBytes(cipher);
    const size_t last = std::min(c.stream.statuses.size() - 1, position + kMaxDecryptedAhead);
    for (size_t k = position; k <= last; k++) {
        if (c.stream.statuses[k] == status) {
            return;
        }
    }
    FUZZ_CHECK(false, what + ": the cipher is not within " + std::to_string(kMaxDecryptedAhead) +
                          " bytes after the read position " + std::to_string(position));
}

// Runs `crypt` and `plain`; both must fail alike or give equal results.
// Returns whether they succeeded.
template <typename Crypt, typename Plain> bool same(Crypt crypt, Plain plain, const std::string &what) {
    std::string plainError;
    bool plainOk = true;
    decltype(plain()) want{};
    try {
        want = plain();
    } catch (const std::exception &e) {
        plainOk = false;
        plainError = std::string(typeid(e).name()) + ": " + e.what();
    }
    try {
        auto got = crypt();
        FUZZ_CHECK(plainOk, what + ": succeeded over the ciphertext, plaintext reader threw " + plainError);
        FUZZ_CHECK(got == want, what + ": read a different value than over the plaintext");
        return true;
    } catch (const std::exception &e) {
        const std::string error = std::string(typeid(e).name()) + ": " + e.what();
        FUZZ_CHECK(!plainOk, what + ": threw " + error + ", plaintext reader succeeded");
        FUZZ_CHECK(error == plainError, what + ": threw " + error + ", plaintext reader threw " + plainError);
        return false;
    }
}

// One record through both readers; the crypt entry must hold the value.
// Returns whether it was read; `held` is what the reader had to buffer of it
// (the bytes read, less a value it only passes over).
bool readRecord(const Context &c, CodedInputDataCrypt &crypt, CodedInputData &plain, const AESCrypt &cipher,
                const std::string &what, size_t &held) {
    const size_t recordOffset = plain.getPosition();
    held = 0;
    CryptIndexEntry kv;
    IndexEntry holder;
    if (!same([&] { return crypt.readString(kv); }, [&] { return plain.readString(holder); }, what + " key")) {
        held = plain.getPosition() - recordOffset;
        return false;
    }
    if (!same(
            [&] {
                crypt.readData(kv);
                return kv.realValueSize();
            },
            [&] {
                plain.readData(holder);
                return holder.valueSize;
            },
            what + " value")) {
        held = plain.getPosition() - recordOffset;
        return false;
    }
    held = plain.getPosition() - recordOffset;
    const size_t valueOffset = recordOffset + holder.computedKVSize;
    const std::string value(reinterpret_cast<const char *>(c.plainText.data() + valueOffset), holder.valueSize);
    if (holder.valueSize > CryptIndexEntry::kMaxDecryptedValueSize) {
        const uint32_t offset = kv.offset;
        FUZZ_CHECK(kv.kind == KVHolderOffset && offset == recordOffset &&
                       kv.recordSize() == holder.computedKVSize + holder.valueSize,
                   what + ": a long value's entry does not describe its record");
        FUZZ_CHECK(statusBytes(kv.cryptStatus) == c.stream.statuses[recordOffset],
                   what + ": a long value's entry holds the wrong cipher state");
        held = holder.computedKVSize;
    } else {
        FUZZ_CHECK(kv.kind != KVHolderOffset, what + ": a short value is not held decrypted");
    }
    VornBuffer got = kv.toVornBuffer(c.cipherText.data(), &cipher);
    FUZZ_CHECK(std::string(static_cast<const char *>(got.data()), got.size()) == value,
               what + ": the entry's value is not the record's plaintext");
    return true;
}

void recordsPass(const Context &c) {
    auto cipher = c.stream.newCipher();
    CodedInputDataCrypt crypt(c.cipherText.data(), c.cipherText.size(), *cipher);
    CodedInputData plain(c.plainText.data(), c.plainText.size());
    auto checkState = [&](const std::string &what) {
        FUZZ_CHECK(crypt.getPosition() == plain.getPosition(), what + ": positions differ");
        expectCipherNear(c, *cipher, crypt.getPosition(), what);
    };
    if (!same([&] { return crypt.readInt32(); }, [&] { return plain.readInt32(); }, "item-size holder")) {
        return;
    }
    checkState("item-size holder");
    size_t largest = 0;
    for (size_t record = 0; !crypt.reachedEnd(); record++) {
        const std::string what = "record " + std::to_string(record);
        size_t held = 0;
        const bool ok = readRecord(c, crypt, plain, *cipher, what, held);
        largest = std::max(largest, held);
        const size_t bound =
            std::max(CodedInputDataCrypt::kInitialBufferSize, 2 * (largest + kMaxDecryptedAhead + kAESBlockSize));
        FUZZ_CHECK(crypt.bufferCapacity() <= bound, what + ": buffer of " + std::to_string(crypt.bufferCapacity()) +
                                                        " bytes for records of at most " + std::to_string(largest) +
                                                        " buffered bytes");
        if (!ok) {
            return;
        }
        checkState(what);
    }
    FUZZ_CHECK(statusBytes(*cipher) == c.stream.statuses.back(),
               "after the whole stream the cipher does not stand at its end");
}

void scriptPass(const Context &c, const std::vector<uint8_t> &script) {
    const size_t size = c.cipherText.size();
    // A leading seek: the cipher is brought to the target first.
    size_t seekTo = 0;
    bool seekFirst = !script.empty() && (script[0] & 0x07) % OpCount == OpSeek;
    if (seekFirst) {
        const size_t parameter = script[0] >> 3;
        seekTo = parameter < 31 ? parameter : size + 1;
    }
    auto cipher = c.stream.cipherAt(seekTo <= size ? seekTo : 0);
    CodedInputDataCrypt crypt(c.cipherText.data(), size, *cipher);
    CodedInputData plain(c.plainText.data(), c.plainText.size());
    if (seekFirst) {
        same(
            [&] {
                crypt.seek(seekTo);
                return 0;
            },
            [&] {
                plain.seek(seekTo);
                return 0;
            },
            "leading seek");
        FUZZ_CHECK(crypt.getPosition() == plain.getPosition(), "positions differ after the leading seek");
    }
    for (size_t i = seekFirst ? 1 : 0; i < script.size(); i++) {
        const std::string what = "step " + std::to_string(i);
        switch ((script[i] & 0x07) % OpCount) {
        case OpRawByte:
            same([&] { return crypt.readRawByte(); }, [&] { return plain.readRawByte(); }, what);
            break;
        case OpVarint:
            same([&] { return crypt.readRawVarint32(false); }, [&] { return plain.readRawVarint32(); }, what);
            break;
        case OpVarintKeep:
            same([&] { return crypt.readRawVarint32(true); }, [&] { return plain.readRawVarint32(); }, what);
            break;
        case OpInt32:
            same([&] { return crypt.readInt32(); }, [&] { return plain.readInt32(); }, what);
            break;
        case OpRecord: {
            size_t held;
            readRecord(c, crypt, plain, *cipher, what, held);
            break;
        }
        case OpSeek:
            // Only valid before any read.
            break;
        }
        FUZZ_CHECK(crypt.getPosition() == plain.getPosition(), what + ": positions differ");
        FUZZ_CHECK(crypt.reachedEnd() == plain.reachedEnd(), what + ": reachedEnd differs");
        expectCipherNear(c, *cipher, crypt.getPosition(), what);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The plaintext reader refuses records whose bytes before the value reach
    // 64 KiB (the plain entry's 16-bit field), the encrypted entry has no such
    // field: keep inputs below that, where the two readers must agree.
    if (size > kMaxComputedKVSize) {
        return 0;
    }
    InputCursor cursor(data, size);
    const uint8_t header = cursor.take();
    const size_t steps = cursor.take() & 0x1F;
    std::vector<uint8_t> script;
    for (size_t i = 0; i < steps; i++) {
        script.push_back(cursor.take());
    }
    const CryptStream stream(header, cursor.rest());
    ExactRegion cipherText(stream.cipher);
    ExactRegion plainText(stream.plain);
    const Context context{stream, cipherText, plainText};
    recordsPass(context);
    scriptPass(context, script);
    return 0;
}
