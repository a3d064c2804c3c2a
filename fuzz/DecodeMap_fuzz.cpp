// RecordCoder::decodeMap / greedyDecodeMap into a plain store's index.
//
// Input: the item stream itself. Checked, against the reference stream
// decoder: the result, the exact error line, and every entry (record offset,
// sizes, value bytes inside the input). Besides:
//  - strict leaves the caller's index untouched on failure, and a strict
//    decode that succeeds agrees with a greedy one;
//  - loading in two steps (a prefix strictly, then the rest greedily from
//    the prefix's end, as a reload of appended records does) gives the same
//    index as loading the whole input;
//  - a greedy decode from an arbitrary position (from the last input byte)
//    applies what the reference applies from there.

#include <string>

#include "FuzzSupport.h"
#include "encoding/RecordCoder.h"

using namespace vorn;
using namespace fuzzsupport;

namespace {

LogCapture *g_log = nullptr;

const std::string kSentinelKey = "\xFF sentinel, not a key of the input";

// The index equals the reference map, and every entry lies inside the input.
void expectIndex(const VORNMap &dic, const RefMap &want, const ExactRegion &input, const std::string &what) {
    FUZZ_CHECK(dic.size() == want.size(),
               what + ": " + std::to_string(dic.size()) + " entries, expected " + std::to_string(want.size()));
    for (auto &&[key, kv] : dic) {
        auto it = want.find(std::string(key));
        FUZZ_CHECK(it != want.end(), what + ": a key the input does not hold");
        const RefEntry &ref = it->second;
        FUZZ_CHECK(kv.offset == ref.recordOffset && kv.keySize == ref.keySize && kv.valueSize == ref.valueSize &&
                       kv.offset + kv.computedKVSize == ref.valueOffset,
                   what + ": entry of key of " + std::to_string(key.size()) + " bytes differs");
        FUZZ_CHECK(static_cast<size_t>(kv.offset) + kv.computedKVSize + kv.valueSize <= input.size(),
                   what + ": an entry reaches beyond the input");
        VornBuffer value = kv.toVornBuffer(input.data());
        FUZZ_CHECK(value.data() == input.data() + ref.valueOffset && input.contains(value.data(), value.size()),
                   what + ": an entry's value is not its bytes in the input");
    }
}

// Exactly one error line with the reference's text after a failure, none after success.
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
    ExactRegion input(data, size);
    VornBuffer whole(input.data(), input.size(), VornBufferNoCopy);
    const RefStream ref = decodeRefStream(input.data(), input.size(), 0, true);

    // Strict, over an index that already holds an entry. The index reads its
    // keys in the stream it is bound to: the input with the sentinel's
    // record behind it, decoded up to the input's end.
    std::vector<uint8_t> withSentinel(input.data(), input.data() + input.size());
    withSentinel.push_back(static_cast<uint8_t>(kSentinelKey.size()));
    withSentinel.insert(withSentinel.end(), kSentinelKey.begin(), kSentinelKey.end());
    withSentinel.push_back(5);
    withSentinel.insert(withSentinel.end(), 5, 's');
    IndexEntry sentinel(static_cast<uint32_t>(kSentinelKey.size()), 5, static_cast<uint32_t>(input.size()));
    VORNMap strict;
    strict.bindStream(withSentinel.data());
    strict.insert_or_assign(kSentinelKey, sentinel);
    const bool strictOk =
        RecordCoder::decodeMap(strict, VornBuffer(withSentinel.data(), input.size(), VornBufferNoCopy));
    FUZZ_CHECK(strictOk == ref.outcome.ok(), "strict result, reference: " + ref.outcome.text());
    expectLog(ref.outcome, "strict");
    if (strictOk) {
        for (auto &&[key, kv] : strict) {
            FUZZ_CHECK(ref.map.count(std::string(key)) == 1 && kv.offset + kv.computedKVSize + kv.valueSize <=
                                                                     input.size(),
                       "strict: an entry the input does not hold");
        }
        FUZZ_CHECK(strict.size() == ref.map.size(), "strict: entry count differs");
    } else {
        auto it = strict.find(kSentinelKey);
        FUZZ_CHECK(strict.size() == 1 && it != strict.end() && it->second.offset == input.size() &&
                       it->second.valueSize == 5,
                   "a failed strict decode changed the caller's index");
    }

    // Greedy, from empty: what was applied up to the failure.
    VORNMap greedy;
    const bool greedyOk = RecordCoder::greedyDecodeMap(greedy, whole);
    FUZZ_CHECK(greedyOk == strictOk, "greedy and strict disagree on the result");
    expectLog(ref.outcome, "greedy");
    expectIndex(greedy, ref.map, input, "greedy");
    if (strictOk) {
        for (auto &&[key, kv] : strict) {
            auto it = greedy.find(key);
            FUZZ_CHECK(it != greedy.end() && it->second.offset == kv.offset && it->second.valueSize == kv.valueSize &&
                           it->second.computedKVSize == kv.computedKVSize && it->second.keySize == kv.keySize,
                       "strict and greedy indexes differ");
        }
    }

    // Two steps: the records before a boundary, then the rest appended.
    for (size_t boundary : someOf(ref.boundaries, 3)) {
        const std::string what = "two steps at " + std::to_string(boundary);
        ExactRegion prefixBytes(input.data(), boundary);
        VornBuffer prefix(prefixBytes.data(), prefixBytes.size(), VornBufferNoCopy);
        VORNMap index;
        FUZZ_CHECK(RecordCoder::decodeMap(index, prefix), what + ": the prefix does not decode");
        g_log->lines.clear();
        const RefStream first = decodeRefStream(input.data(), boundary, 0, true);
        expectIndex(index, first.map, prefixBytes, what + ", prefix");
        FUZZ_CHECK(RecordCoder::greedyDecodeMap(index, whole, boundary) == ref.outcome.ok(), what + ": result");
        expectLog(ref.outcome, what);
        expectIndex(index, ref.map, input, what);
    }

    // From an arbitrary position, possibly inside a record or past the end.
    if (size > 0) {
        const size_t position = data[size - 1] % (size + 2);
        const RefStream from = decodeRefStream(input.data(), input.size(), position, true, ref.map);
        VORNMap index;
        RecordCoder::greedyDecodeMap(index, whole);
        g_log->lines.clear();
        const bool ok = RecordCoder::greedyDecodeMap(index, whole, position);
        FUZZ_CHECK(ok == from.outcome.ok(), "greedy from " + std::to_string(position) + ": result");
        expectLog(from.outcome, "greedy from a position");
        expectIndex(index, from.map, input, "greedy from " + std::to_string(position));
    }
    return 0;
}
