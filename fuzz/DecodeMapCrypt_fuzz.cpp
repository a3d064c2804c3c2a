// RecordCoder::decodeMap / greedyDecodeMap into an encrypted store's index.
//
// Input: a CryptHeader byte (key size, whether the rest is plaintext to
// encrypt or ciphertext to take as it is, and how far into an AES block the
// stream starts), then the stream. Checked against the reference stream
// decoder run over the plaintext: the result, the exact error line, every
// entry's value (decrypted again for long values, whose entry must carry the
// cipher state at its record's first byte) and the cipher's state afterwards.
// Besides:
//  - strict leaves the caller's index untouched on failure; strict success
//    agrees with greedy;
//  - decoding the same bytes twice gives the same index;
//  - a two-step load (a prefix strictly, then the rest greedily from the
//    prefix's end with the cipher where the first step left it) gives the
//    same index as one load of the whole stream.

#include <string>

#include "FuzzSupport.h"
#include "encoding/RecordCoder.h"

using namespace vorn;
using namespace fuzzsupport;

namespace {

LogCapture *g_log = nullptr;

const std::string kSentinelKey = "\xFF sentinel, not a key of the input";

std::string valueOf(const CryptIndexEntry &kv, const ExactRegion &cipherText, const AESCrypt &cipher) {
    VornBuffer value = kv.toVornBuffer(cipherText.data(), &cipher);
    return std::string(static_cast<const char *>(value.data()), value.size());
}

// The index equals the reference map: same keys, each with its plaintext
// value; a long value held as its record's position and the cipher state there.
void expectIndex(const VORNMapCrypt &dic, const RefMap &want, const CryptStream &stream, const ExactRegion &cipherText,
                 const std::string &what) {
    FUZZ_CHECK(dic.size() == want.size(),
               what + ": " + std::to_string(dic.size()) + " entries, expected " + std::to_string(want.size()));
    auto cipher = stream.newCipher();
    for (const auto &[key, kv] : dic) {
        auto it = want.find(key);
        FUZZ_CHECK(it != want.end(), what + ": a key the input does not hold");
        const RefEntry &ref = it->second;
        FUZZ_CHECK(kv.realValueSize() == ref.valueSize, what + ": value size differs");
        const std::string plainValue(reinterpret_cast<const char *>(stream.plain.data() + ref.valueOffset),
                                     ref.valueSize);
        if (ref.valueSize > CryptIndexEntry::kMaxDecryptedValueSize) {
            const uint32_t offset = kv.offset;
            const uint16_t keySize = kv.keySize;
            FUZZ_CHECK(kv.kind == KVHolderOffset && offset == ref.recordOffset && keySize == ref.keySize &&
                           offset + kv.recordSize() == ref.valueOffset + ref.valueSize,
                       what + ": a long value's entry does not describe its record");
            FUZZ_CHECK(statusBytes(kv.cryptStatus) == stream.statuses[ref.recordOffset],
                       what + ": a long value's entry holds the wrong cipher state");
        } else {
            FUZZ_CHECK(kv.kind ==
                           (ref.valueSize <= CryptIndexEntry::kInlineCapacity ? KVHolderInline : KVHolderHeap),
                       what + ": a short value is not held decrypted in its entry");
        }
        FUZZ_CHECK(valueOf(kv, cipherText, *cipher) == plainValue, what + ": a value does not decrypt to its bytes");
    }
}

// Two indexes with the same keys and byte-identical entries.
void expectSameIndex(const VORNMapCrypt &a, const VORNMapCrypt &b, const std::string &what) {
    FUZZ_CHECK(a.size() == b.size(), what + ": sizes differ");
    for (const auto &[key, kv] : a) {
        auto it = b.find(key);
        FUZZ_CHECK(it != b.end(), what + ": keys differ");
        const CryptIndexEntry &other = it->second;
        FUZZ_CHECK(kv.kind == other.kind && kv.realValueSize() == other.realValueSize(), what + ": entries differ");
        if (kv.kind == KVHolderOffset) {
            FUZZ_CHECK(memcmp(&kv, &other, sizeof(kv)) == 0, what + ": offset entries differ");
        } else {
            const uint8_t *p = kv.kind == KVHolderInline ? kv.inlineBytes : kv.heapPtr;
            const uint8_t *q = other.kind == KVHolderInline ? other.inlineBytes : other.heapPtr;
            FUZZ_CHECK(kv.realValueSize() == 0 || memcmp(p, q, kv.realValueSize()) == 0, what + ": values differ");
        }
    }
}

void expectLog(const Outcome &outcome, const std::string &what) {
    if (outcome.ok()) {
        FUZZ_CHECK(g_log->lines.empty(), what + ": logged after a success: " + g_log->lines[0].message);
    } else {
        FUZZ_CHECK(g_log->lines.size() == 1, what + ": " + std::to_string(g_log->lines.size()) + " log lines");
        const LogLine &line = g_log->lines[0];
        FUZZ_CHECK(line.level == VORNLogError && line.file == "RecordCoder" && line.function == "decodeOneMap" &&
                       line.message == outcome.text(),
                   what + ": logged '" + line.message + "', expected '" + outcome.text() + "'");
    }
    g_log->lines.clear();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_log = &LogCapture::install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_log->lines.clear();
    InputCursor cursor(data, size);
    const uint8_t header = cursor.take();
    const CryptStream stream(header, cursor.rest());
    ExactRegion cipherText(stream.cipher);
    VornBuffer whole(cipherText.data(), cipherText.size(), VornBufferNoCopy);
    // The encrypted index keeps no 16-bit key part size: no such limit there.
    const RefStream ref = decodeRefStream(stream.plain.data(), stream.plain.size(), 0, false);

    // Strict, over an index that already holds an entry.
    VORNMapCrypt strict;
    strict.insert_or_assign(kSentinelKey, CryptIndexEntry("kept", 4));
    auto strictCipher = stream.newCipher();
    const bool strictOk = RecordCoder::decodeMap(strict, whole, strictCipher.get());
    FUZZ_CHECK(strictOk == ref.outcome.ok(), "strict result, reference: " + ref.outcome.text());
    expectLog(ref.outcome, "strict");
    if (strictOk) {
        expectIndex(strict, ref.map, stream, cipherText, "strict");
        FUZZ_CHECK(statusBytes(*strictCipher) == stream.statuses.back(),
                   "after a whole decode the cipher does not stand at the stream's end");
    } else {
        auto it = strict.find(kSentinelKey);
        FUZZ_CHECK(strict.size() == 1 && it != strict.end() && it->second.realValueSize() == 4 &&
                       memcmp(it->second.inlineBytes, "kept", 4) == 0,
                   "a failed strict decode changed the caller's index");
    }

    // Greedy, from empty, twice: the same bytes give the same index.
    VORNMapCrypt greedy;
    auto greedyCipher = stream.newCipher();
    const bool greedyOk = RecordCoder::greedyDecodeMap(greedy, whole, greedyCipher.get());
    FUZZ_CHECK(greedyOk == strictOk, "greedy and strict disagree on the result");
    expectLog(ref.outcome, "greedy");
    expectIndex(greedy, ref.map, stream, cipherText, "greedy");
    if (strictOk) {
        expectSameIndex(strict, greedy, "strict and greedy");
    }
    VORNMapCrypt again;
    auto againCipher = stream.newCipher();
    RecordCoder::greedyDecodeMap(again, whole, againCipher.get());
    g_log->lines.clear();
    expectSameIndex(greedy, again, "a second decode of the same bytes");
    FUZZ_CHECK(statusBytes(*againCipher) == statusBytes(*greedyCipher),
               "a second decode of the same bytes leaves the cipher elsewhere");

    // Two steps: the records before a boundary, then the rest appended.
    for (size_t boundary : someOf(ref.boundaries, 3)) {
        const std::string what = "two steps at " + std::to_string(boundary);
        ExactRegion prefixBytes(cipherText.data(), boundary);
        VornBuffer prefix(prefixBytes.data(), prefixBytes.size(), VornBufferNoCopy);
        VORNMapCrypt index;
        auto cipher = stream.newCipher();
        FUZZ_CHECK(RecordCoder::decodeMap(index, prefix, cipher.get()), what + ": the prefix does not decode");
        g_log->lines.clear();
        FUZZ_CHECK(statusBytes(*cipher) == stream.statuses[boundary],
                   what + ": after the prefix the cipher does not stand at its end");
        FUZZ_CHECK(RecordCoder::greedyDecodeMap(index, whole, cipher.get(), boundary) == ref.outcome.ok(),
                   what + ": result");
        expectLog(ref.outcome, what);
        expectIndex(index, ref.map, stream, cipherText, what);
        if (ref.outcome.ok()) {
            FUZZ_CHECK(statusBytes(*cipher) == stream.statuses.back(),
                       what + ": the cipher does not stand at the stream's end");
        }
    }
    return 0;
}
