#include "tools/vorn/ValueFormat.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/VORN.h"

namespace vorn::cli {

namespace {

constexpr size_t kMaxVarintSize = 10;

// A varint at p[0..size); its byte count goes to `used`. False when truncated
// or longer than 10 bytes.
bool readVarint(const uint8_t *p, size_t size, uint64_t &value, size_t &used) {
    value = 0;
    for (size_t i = 0; i < size && i < kMaxVarintSize; i++) {
        value |= static_cast<uint64_t>(p[i] & 0x7F) << (7 * i);
        if ((p[i] & 0x80) == 0) {
            used = i + 1;
            return true;
        }
    }
    return false;
}

// The whole buffer is exactly one varint.
bool wholeVarint(const uint8_t *p, size_t size, uint64_t &value) {
    size_t used = 0;
    return readVarint(p, size, value, used) && used == size;
}

// A varint length followed by exactly that many bytes.
bool lengthDelimited(const uint8_t *p, size_t size, const uint8_t *&body, size_t &length) {
    uint64_t declared = 0;
    size_t used = 0;
    if (!readVarint(p, size, declared, used) || declared != size - used) {
        return false;
    }
    body = p + used;
    length = static_cast<size_t>(declared);
    return true;
}

// Length of the UTF-8 sequence at p[0..size) (shortest form, no surrogates,
// at most U+10FFFF) with its code point in `cp`; 0 when it is not one.
size_t utf8Sequence(const uint8_t *p, size_t size, uint32_t &cp) {
    const uint8_t c = p[0];
    size_t extra = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (extra >= size) {
        return 0;
    }
    for (size_t k = 1; k <= extra; k++) {
        if ((p[k] & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return extra + 1;
}

bool isControl(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
}

// Text that reads as text in JSON: UTF-8 whose only control characters are
// tab, newline and carriage return. (A list of strings, whose length bytes
// are controls, stays hex.)
bool jsonText(const uint8_t *p, size_t size) {
    size_t i = 0;
    while (i < size) {
        uint32_t cp = 0;
        const size_t n = utf8Sequence(p + i, size - i, cp);
        if (n == 0 || (isControl(cp) && cp != '\t' && cp != '\n' && cp != '\r')) {
            return false;
        }
        i += n;
    }
    return true;
}

void appendVarint(std::vector<uint8_t> &out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

template <typename T> std::string exactDecimal(T value) {
    char text[64];
    snprintf(text, sizeof(text), "%.*g", std::numeric_limits<T>::max_digits10, static_cast<double>(value));
    return text;
}

bool parseSigned(const std::string &s, int64_t lo, int64_t hi, int64_t &out) {
    if (s.empty()) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long long v = strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool parseUnsigned(const std::string &s, uint64_t hi, uint64_t &out) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > hi) {
        return false;
    }
    out = v;
    return true;
}

bool parseHex(const std::string &s, std::vector<uint8_t> &out) {
    if (s.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < s.size(); i += 2) {
        unsigned byte = 0;
        for (size_t k = 0; k < 2; k++) {
            const char c = s[i + k];
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            } else {
                return false;
            }
            byte = byte * 16 + digit;
        }
        out.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

} // namespace

std::map<std::string, ValueType> typeNames() {
    return {{"string", ValueType::String},  {"bytes", ValueType::Bytes},   {"bool", ValueType::Bool},
            {"int32", ValueType::Int32},    {"uint32", ValueType::UInt32}, {"int64", ValueType::Int64},
            {"uint64", ValueType::UInt64},  {"float", ValueType::Float},   {"double", ValueType::Double},
            {"strings", ValueType::Strings}};
}

const char *typeName(ValueType type) {
    switch (type) {
    case ValueType::String:
        return "string";
    case ValueType::Bytes:
        return "bytes";
    case ValueType::Bool:
        return "bool";
    case ValueType::Int32:
        return "int32";
    case ValueType::UInt32:
        return "uint32";
    case ValueType::Int64:
        return "int64";
    case ValueType::UInt64:
        return "uint64";
    case ValueType::Float:
        return "float";
    case ValueType::Double:
        return "double";
    case ValueType::Strings:
        return "strings";
    }
    return "?";
}

bool validUtf8(const void *bytes, size_t size, bool allowControls) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    size_t i = 0;
    while (i < size) {
        uint32_t cp = 0;
        const size_t n = utf8Sequence(p + i, size - i, cp);
        if (n == 0 || (!allowControls && isControl(cp))) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string escapeText(std::string_view bytes) {
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
    std::string out;
    out.reserve(bytes.size());
    auto hexEscape = [&](uint8_t b) {
        static const char kDigits[] = "0123456789ABCDEF";
        out += "\\x";
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
    };
    size_t i = 0;
    while (i < bytes.size()) {
        uint32_t cp = 0;
        const size_t n = utf8Sequence(p + i, bytes.size() - i, cp);
        if (n == 0) {
            hexEscape(p[i]);
            i++;
            continue;
        }
        if (cp == '\\') {
            out += "\\\\";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (isControl(cp)) {
            for (size_t k = 0; k < n; k++) {
                hexEscape(p[i + k]);
            }
        } else {
            out.append(bytes.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::string hexOf(const void *bytes, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    const auto *p = static_cast<const uint8_t *>(bytes);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; i++) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 0xF];
    }
    return out;
}

bool printableString(const void *bytes, size_t size, std::string &text) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    const uint8_t *body = nullptr;
    size_t length = 0;
    if (size == 0 || !lengthDelimited(p, size, body, length) || !validUtf8(body, length, false)) {
        return false;
    }
    text.assign(reinterpret_cast<const char *>(body), length);
    return true;
}

bool formatValue(const void *bytes, size_t size, ValueType type, std::string &text) {
    const auto *p = static_cast<const uint8_t *>(bytes);
    uint64_t u = 0;
    const uint8_t *body = nullptr;
    size_t length = 0;
    switch (type) {
    case ValueType::String:
        if (!lengthDelimited(p, size, body, length)) {
            return false;
        }
        text.assign(reinterpret_cast<const char *>(body), length);
        return true;
    case ValueType::Bytes:
        if (!lengthDelimited(p, size, body, length)) {
            return false;
        }
        text = hexOf(body, length);
        return true;
    case ValueType::Bool:
        if (size != 1 || p[0] > 1) {
            return false;
        }
        text = p[0] ? "true" : "false";
        return true;
    case ValueType::Int32: {
        // A negative int32 is written sign-extended to 64 bits (10 bytes).
        if (!wholeVarint(p, size, u)) {
            return false;
        }
        const auto v = static_cast<int64_t>(u);
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
            return false;
        }
        text = std::to_string(v);
        return true;
    }
    case ValueType::UInt32:
        if (!wholeVarint(p, size, u) || u > std::numeric_limits<uint32_t>::max()) {
            return false;
        }
        text = std::to_string(u);
        return true;
    case ValueType::Int64:
        if (!wholeVarint(p, size, u)) {
            return false;
        }
        text = std::to_string(static_cast<int64_t>(u));
        return true;
    case ValueType::UInt64:
        if (!wholeVarint(p, size, u)) {
            return false;
        }
        text = std::to_string(u);
        return true;
    case ValueType::Float: {
        if (size != sizeof(float)) {
            return false;
        }
        uint32_t bits = 0;
        for (size_t i = 0; i < 4; i++) {
            bits |= static_cast<uint32_t>(p[i]) << (8 * i);
        }
        float f;
        memcpy(&f, &bits, sizeof(f));
        text = exactDecimal(f);
        return true;
    }
    case ValueType::Double: {
        if (size != sizeof(double)) {
            return false;
        }
        uint64_t bits = 0;
        for (size_t i = 0; i < 8; i++) {
            bits |= static_cast<uint64_t>(p[i]) << (8 * i);
        }
        double d;
        memcpy(&d, &bits, sizeof(d));
        text = exactDecimal(d);
        return true;
    }
    case ValueType::Strings: {
        if (!lengthDelimited(p, size, body, length)) {
            return false;
        }
        nlohmann::json list = nlohmann::json::array();
        size_t at = 0;
        while (at < length) {
            uint64_t itemLength = 0;
            size_t used = 0;
            if (!readVarint(body + at, length - at, itemLength, used) || itemLength > length - at - used) {
                return false;
            }
            list.push_back(std::string(reinterpret_cast<const char *>(body + at + used), itemLength));
            at += used + itemLength;
        }
        try {
            text = list.dump();
        } catch (const nlohmann::json::exception &) {
            return false; // an item that is not UTF-8 has no JSON form
        }
        return true;
    }
    }
    return false;
}

bool storeValue(VORN &store, const std::string &key, const std::string &value, ValueType type,
                std::optional<uint32_t> expire, std::string &error) {
    auto put = [&](const auto &typed) { return expire ? store.set(typed, key, *expire) : store.set(typed, key); };
    auto bad = [&](const char *what) {
        error = "'" + value + "' is not " + what;
        return false;
    };
    int64_t s = 0;
    uint64_t u = 0;
    switch (type) {
    case ValueType::String:
        return put(value);
    case ValueType::Bytes: {
        std::vector<uint8_t> raw;
        if (!parseHex(value, raw)) {
            return bad("hex (an even number of 0-9, a-f)");
        }
        VornBuffer buffer(raw.data(), raw.size(), VornBufferNoCopy);
        return put(static_cast<const VornBuffer &>(buffer));
    }
    case ValueType::Bool:
        if (value == "true" || value == "1") {
            return put(true);
        }
        if (value == "false" || value == "0") {
            return put(false);
        }
        return bad("a bool (true, false, 1, 0)");
    case ValueType::Int32:
        if (!parseSigned(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), s)) {
            return bad("an int32");
        }
        return put(static_cast<int32_t>(s));
    case ValueType::UInt32:
        if (!parseUnsigned(value, std::numeric_limits<uint32_t>::max(), u)) {
            return bad("a uint32");
        }
        return put(static_cast<uint32_t>(u));
    case ValueType::Int64:
        if (!parseSigned(value, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), s)) {
            return bad("an int64");
        }
        return put(s);
    case ValueType::UInt64:
        if (!parseUnsigned(value, std::numeric_limits<uint64_t>::max(), u)) {
            return bad("a uint64");
        }
        return put(u);
    case ValueType::Float:
    case ValueType::Double: {
        if (value.empty() || isspace(static_cast<unsigned char>(value[0]))) {
            return bad("a number");
        }
        errno = 0;
        char *end = nullptr;
        const double d = strtod(value.c_str(), &end);
        if (*end != '\0' || errno == ERANGE || !std::isfinite(d)) {
            return bad("a finite number");
        }
        return type == ValueType::Float ? put(static_cast<float>(d)) : put(d);
    }
    case ValueType::Strings: {
        std::vector<std::string> list;
        try {
            const nlohmann::json j = nlohmann::json::parse(value);
            if (!j.is_array()) {
                return bad("a JSON array of strings");
            }
            for (const auto &item : j) {
                if (!item.is_string()) {
                    return bad("a JSON array of strings");
                }
                list.push_back(item.get<std::string>());
            }
        } catch (const nlohmann::json::exception &) {
            return bad("a JSON array of strings");
        }
        return put(list);
    }
    }
    return false;
}

namespace {

// How storeRaw writes a value's bytes back: the typed setter whose encoding
// they are.
enum class RawShape { None, LengthDelimited, Varint, Float, Double };

RawShape rawShape(const std::vector<uint8_t> &raw) {
    const uint8_t *body = nullptr;
    size_t length = 0;
    uint64_t u = 0;
    std::vector<uint8_t> encoded;
    if (!raw.empty() && lengthDelimited(raw.data(), raw.size(), body, length)) {
        appendVarint(encoded, length);
        if (encoded.size() + length == raw.size()) {
            return RawShape::LengthDelimited; // the prefix is the shortest one, as setters write it
        }
    }
    encoded.clear();
    if (wholeVarint(raw.data(), raw.size(), u)) {
        appendVarint(encoded, u);
        if (encoded == raw) {
            return RawShape::Varint; // also bool (00, 01) and every integer type
        }
    }
    if (raw.size() == sizeof(float)) {
        return RawShape::Float;
    }
    if (raw.size() == sizeof(double)) {
        return RawShape::Double;
    }
    return RawShape::None;
}

} // namespace

bool reproducible(const std::vector<uint8_t> &raw) {
    return rawShape(raw) != RawShape::None;
}

nlohmann::json dumpItem(std::string_view key, const void *raw, size_t size, uint32_t expires) {
    nlohmann::json item = nlohmann::json::object();
    if (validUtf8(key.data(), key.size(), true)) {
        item["key"] = std::string(key);
    } else {
        item["keyHex"] = hexOf(key.data(), key.size());
    }
    const auto *p = static_cast<const uint8_t *>(raw);
    const uint8_t *body = nullptr;
    size_t length = 0;
    if (size > 0 && lengthDelimited(p, size, body, length) && jsonText(body, length) &&
        reproducible(std::vector<uint8_t>(p, p + size))) {
        item["text"] = std::string(reinterpret_cast<const char *>(body), length);
    } else {
        item["hex"] = hexOf(raw, size);
    }
    item["expires"] = expires;
    return item;
}

nlohmann::json keyItem(std::string_view key) {
    if (validUtf8(key.data(), key.size(), true)) {
        return std::string(key);
    }
    return nlohmann::json{{"keyHex", hexOf(key.data(), key.size())}};
}

bool parseItem(const nlohmann::json &item, RawItem &out, std::string &error) {
    if (!item.is_object()) {
        error = "not an object";
        return false;
    }
    const auto key = item.find("key");
    const auto keyHex = item.find("keyHex");
    if ((key == item.end()) == (keyHex == item.end())) {
        error = "needs one of \"key\" and \"keyHex\"";
        return false;
    }
    std::vector<uint8_t> bytes;
    if (key != item.end()) {
        if (!key->is_string()) {
            error = "\"key\" is not a string";
            return false;
        }
        out.key = key->get<std::string>();
    } else {
        if (!keyHex->is_string() || !parseHex(keyHex->get<std::string>(), bytes)) {
            error = "\"keyHex\" is not hex";
            return false;
        }
        out.key.assign(bytes.begin(), bytes.end());
    }
    if (out.key.empty()) {
        error = "the key is empty";
        return false;
    }
    const auto text = item.find("text");
    const auto hex = item.find("hex");
    if ((text == item.end()) == (hex == item.end())) {
        error = "needs one of \"text\" and \"hex\"";
        return false;
    }
    out.raw.clear();
    if (text != item.end()) {
        if (!text->is_string()) {
            error = "\"text\" is not a string";
            return false;
        }
        const std::string value = text->get<std::string>();
        appendVarint(out.raw, value.size());
        out.raw.insert(out.raw.end(), value.begin(), value.end());
    } else if (!hex->is_string() || !parseHex(hex->get<std::string>(), out.raw)) {
        error = "\"hex\" is not hex";
        return false;
    }
    if (!reproducible(out.raw)) {
        error = "no setter writes the bytes of \"hex\" (not a length-prefixed value, a varint, or 4 or 8 bytes)";
        return false;
    }
    out.expires = 0;
    const auto expires = item.find("expires");
    if (expires != item.end()) {
        if (!expires->is_number_unsigned() || expires->get<uint64_t>() > std::numeric_limits<uint32_t>::max()) {
            error = "\"expires\" is not a time in seconds (0 to 4294967295)";
            return false;
        }
        out.expires = expires->get<uint32_t>();
    }
    return true;
}

bool storeRaw(VORN &store, const RawItem &item, std::string &error) {
    const RawShape shape = rawShape(item.raw);
    const bool keyExpire = store.inspect().keyExpire;
    auto write = [&](std::optional<uint32_t> duration) {
        auto put = [&](const auto &typed) {
            return duration ? store.set(typed, item.key, *duration) : store.set(typed, item.key);
        };
        uint64_t u = 0;
        const uint8_t *body = nullptr;
        size_t length = 0;
        switch (shape) {
        case RawShape::LengthDelimited: {
            lengthDelimited(item.raw.data(), item.raw.size(), body, length);
            VornBuffer buffer(const_cast<uint8_t *>(body), length, VornBufferNoCopy);
            return put(static_cast<const VornBuffer &>(buffer));
        }
        case RawShape::Varint:
            wholeVarint(item.raw.data(), item.raw.size(), u);
            return put(u);
        case RawShape::Float: {
            // The bit pattern goes through unchanged (no arithmetic on it), NaN payloads included.
            uint32_t bits = 0;
            for (size_t i = 0; i < 4; i++) {
                bits |= static_cast<uint32_t>(item.raw[i]) << (8 * i);
            }
            float f;
            memcpy(&f, &bits, sizeof(f));
            return put(f);
        }
        case RawShape::Double: {
            uint64_t bits = 0;
            for (size_t i = 0; i < 8; i++) {
                bits |= static_cast<uint64_t>(item.raw[i]) << (8 * i);
            }
            double d;
            memcpy(&d, &bits, sizeof(d));
            return put(d);
        }
        case RawShape::None:
            break;
        }
        return false;
    };
    if (shape == RawShape::None) {
        error = "no setter writes the value bytes of key '" + escapeText(item.key) + "'";
        return false;
    }
    if (!keyExpire && item.expires != 0) {
        error = "key expiry is off in the store, so key '" + escapeText(item.key) + "' cannot expire";
        return false;
    }
    // The setter counts from its own clock reading; when the second changes
    // between ours and its, the stored time is one off: write again.
    bool written = false;
    for (int attempt = 0; attempt < 5 && !written; attempt++) {
        if (!keyExpire) {
            if (!write(std::nullopt)) {
                break;
            }
            written = true;
        } else {
            const uint32_t now = VORN::getCurrentTimeInSecond();
            if (item.expires != 0 && item.expires <= now) {
                error = "key '" + escapeText(item.key) + "' has expired";
                return false;
            }
            if (!write(item.expires == 0 ? 0 : item.expires - now)) {
                break;
            }
            written = store.getExpireTimeForKey(item.key) == item.expires;
        }
    }
    if (!written) {
        error = "the write of key '" + escapeText(item.key) + "' was refused or its expiry time did not hold";
        return false;
    }
    const VornBuffer stored = store.rawValue(item.key);
    if (stored.size() != item.raw.size() || memcmp(stored.data(), item.raw.data(), item.raw.size()) != 0) {
        error = "key '" + escapeText(item.key) + "' did not read back with the bytes written";
        return false;
    }
    return true;
}

} // namespace vorn::cli
