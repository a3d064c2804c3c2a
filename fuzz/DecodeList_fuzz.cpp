// RecordCoder's list decoders: decodeVector (strings, throws) and the typed
// decodeOneVector forms (bool, int32, uint32, int64, uint64, float, double,
// logging), all run over the same input.
//
// Input: the encoded list. Each decoder is checked against the reference
// reader: the elements (appended after what the vector held; on failure the
// ones before it kept), the result, the exception or the exact error line.
// A decoded list encodes again and decodes back to the same elements.

#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "encoding/RecordCoder.h"

using namespace vorn;
using namespace fuzzsupport;

namespace {

LogCapture *g_log = nullptr;

void expectLog(const Outcome &outcome, const std::string &what) {
    if (outcome.ok()) {
        FUZZ_CHECK(g_log->lines.empty(), what + ": logged after a success: " + g_log->lines[0].message);
    } else {
        FUZZ_CHECK(g_log->lines.size() == 1, what + ": " + std::to_string(g_log->lines.size()) + " log lines");
        const LogLine &line = g_log->lines[0];
        FUZZ_CHECK(line.level == VORNLogError && line.file == "RecordCoder" && line.function == "decodeOneVector" &&
                       line.message == outcome.text(),
                   what + ": logged '" + line.message + "', expected '" + outcome.text() + "'");
    }
    g_log->lines.clear();
}

// The reference list: a varint32 prefix (not used to stop), then elements
// read by `element` until the end of the input.
template <typename T, typename Element>
Outcome referenceList(const ExactRegion &input, std::vector<T> &out, Element element) {
    RefReader in(input.data(), input.size());
    uint32_t prefix;
    if (in.varint32(prefix)) {
        T value;
        while (in.left() > 0 && element(in, value)) {
            out.push_back(value);
        }
    }
    return in.outcome;
}

template <typename T> std::vector<uint8_t> bitsOf(const std::vector<T> &values) {
    std::vector<uint8_t> out(values.size() * sizeof(T));
    for (size_t i = 0; i < values.size(); i++) {
        T value = values[i];
        memcpy(out.data() + i * sizeof(T), &value, sizeof(T));
    }
    return out;
}

template <typename T> T sentinel() {
    return static_cast<T>(0x5A);
}

template <typename T> std::vector<T> decodeAgain(const VornBuffer &encoded) {
    RecordCoder decoder(&encoded);
    std::vector<T> out;
    FUZZ_CHECK(decoder.decodeOneVector(out), "a re-encoded list does not decode");
    g_log->lines.clear();
    return out;
}

template <typename T> VornBuffer encodeAgain(const std::vector<T> &values) {
    if constexpr (std::is_same_v<T, bool> || std::is_floating_point_v<T>) {
        return RecordCoder::getEncodeData(values);
    } else {
        RecordCoder encoder;
        return encoder.writePreparedItems(encoder.prepareObjectForEncode(VornSpan<T>(values)));
    }
}

// One typed decoder over a vector that already holds one element.
template <typename T, typename Element> void checkTyped(const ExactRegion &input, const char *name, Element element) {
    std::vector<T> want{sentinel<T>()};
    const Outcome outcome = referenceList(input, want, element);
    VornBuffer buffer(input.data(), input.size(), VornBufferNoCopy);
    RecordCoder decoder(&buffer);
    std::vector<T> got{sentinel<T>()};
    const bool ok = decoder.decodeOneVector(got);
    const std::string what = std::string("list of ") + name;
    FUZZ_CHECK(ok == outcome.ok(), what + ": result, reference: " + outcome.text());
    expectLog(outcome, what);
    FUZZ_CHECK(bitsOf(got) == bitsOf(want), what + ": elements differ");
    if (ok) {
        std::vector<T> decoded(got.begin() + 1, got.end());
        FUZZ_CHECK(bitsOf(decodeAgain<T>(encodeAgain(decoded))) == bitsOf(decoded),
                   what + ": does not survive encoding again");
    }
}

void checkStrings(const ExactRegion &input) {
    std::vector<std::string> want;
    const Outcome outcome = referenceList(input, want, [](RefReader &in, std::string &value) {
        size_t offset;
        uint32_t size;
        if (!in.item(offset, size)) {
            return false;
        }
        value.assign(reinterpret_cast<const char *>(in.at(offset)), size);
        return true;
    });
    VornBuffer buffer(input.data(), input.size(), VornBufferNoCopy);
    try {
        std::vector<std::string> got = RecordCoder::decodeVector(buffer);
        FUZZ_CHECK(outcome.ok(), "list of strings decoded, reference: " + outcome.text());
        FUZZ_CHECK(got == want, "list of strings: elements differ");
        RecordCoder encoder;
        VornBuffer encoded = encoder.writePreparedItems(encoder.prepareObjectForEncode(VornSpan<std::string>(got)));
        FUZZ_CHECK(RecordCoder::decodeVector(encoded) == got, "list of strings: does not survive encoding again");
    } catch (const std::exception &e) {
        FUZZ_CHECK(outcome.matches(e),
                   std::string("list of strings threw '") + e.what() + "', expected '" + outcome.text() + "'");
    }
    FUZZ_CHECK(g_log->lines.empty(), "decodeVector logged");
}

bool readFixed32(RefReader &in, uint32_t &bits) {
    uint64_t value;
    bool ok = in.fixed(4, value);
    bits = static_cast<uint32_t>(value);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_log = &LogCapture::install();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    g_log->lines.clear();
    ExactRegion input(data, size);
    checkStrings(input);
    checkTyped<bool>(input, "bool", [](RefReader &in, bool &value) {
        uint32_t raw;
        bool ok = in.varint32(raw);
        value = raw != 0;
        return ok;
    });
    checkTyped<int32_t>(input, "int32", [](RefReader &in, int32_t &value) {
        uint32_t raw;
        bool ok = in.varint32(raw);
        value = static_cast<int32_t>(raw);
        return ok;
    });
    checkTyped<uint32_t>(input, "uint32", [](RefReader &in, uint32_t &value) { return in.varint32(value); });
    checkTyped<int64_t>(input, "int64", [](RefReader &in, int64_t &value) {
        uint64_t raw;
        bool ok = in.varint64(raw);
        value = static_cast<int64_t>(raw);
        return ok;
    });
    checkTyped<uint64_t>(input, "uint64", [](RefReader &in, uint64_t &value) { return in.varint64(value); });
    checkTyped<float>(input, "float", [](RefReader &in, float &value) {
        uint32_t bits;
        bool ok = readFixed32(in, bits);
        memcpy(&value, &bits, sizeof(value));
        return ok;
    });
    checkTyped<double>(input, "double", [](RefReader &in, double &value) {
        uint64_t bits;
        bool ok = in.fixed(8, bits);
        memcpy(&value, &bits, sizeof(value));
        return ok;
    });
    return 0;
}
