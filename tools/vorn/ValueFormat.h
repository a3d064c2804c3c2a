#pragma once

// Value bytes to text and text to typed writes, for the `vorn` tool.
//
// Stored values carry no type tag, so reading one "as a type" means checking
// that its bytes have exactly that type's shape: a whole varint and nothing
// after it (int32/uint32 also within range), 1 byte 00/01 for bool, 4 or 8
// bytes for float/double, a varint length equal to the rest for string and
// bytes, and for strings a total length followed by length-prefixed items that
// fill it exactly. A string that happens to fit another shape (the int32 1 and
// the bool true are both 01) reads as either; nothing in the file can tell.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

class VORN;

namespace vorn::cli {

enum class ValueType { String, Bytes, Bool, Int32, UInt32, Int64, UInt64, Float, Double, Strings };

// Lower-case name -> type, as --type accepts them.
std::map<std::string, ValueType> typeNames();
const char *typeName(ValueType type);

// The value bytes as text of `type`: strings as they are, bytes as upper-case
// hex, bool as true/false, numbers in decimal (float/double with enough
// digits to read back exactly), a list of strings as a JSON array. False when
// the bytes do not have the type's shape.
bool formatValue(const void *bytes, size_t size, ValueType type, std::string &text);

// Whether the bytes are a length-prefixed string of valid UTF-8 without
// control characters; the string goes to `text`.
bool printableString(const void *bytes, size_t size, std::string &text);

std::string hexOf(const void *bytes, size_t size);

// Whether bytes are valid UTF-8 (shortest forms, no surrogates); with
// allowControls false, also free of C0 controls, DEL and C1 controls.
bool validUtf8(const void *bytes, size_t size, bool allowControls);

// Bytes for one line of text output: backslash, tab, newline, carriage
// return, every other control character (C0, DEL, C1) and every byte that is
// not part of valid UTF-8 become escapes (\\ \t \n \r \xHH), so a key or
// value always takes one line and two different byte strings never print
// alike.
std::string escapeText(std::string_view bytes);

// One key in the JSON shape that `dump --json` writes, `get --json` prints
// and `load` reads:
//   {"key": K, "text": T, "expires": N}
// "key" is the key when it is valid UTF-8, else "keyHex" holds its bytes in
// hex. "text" is a string value (the bytes are a length prefix and UTF-8
// with no control characters but tab, newline and carriage return) without
// its prefix; any other value is "hex", its exact stored bytes.
// "expires" is the absolute expiry time in seconds since the epoch, 0 never.
nlohmann::json dumpItem(std::string_view key, const void *raw, size_t size, uint32_t expires);

// A key as ls --json lists it: a string, or {"keyHex": H} when not UTF-8.
nlohmann::json keyItem(std::string_view key);

// One item of a load, decoded back to bytes.
struct RawItem {
    std::string key;
    std::vector<uint8_t> raw; // the value bytes exactly as a setter encoded them
    uint32_t expires = 0;     // absolute, seconds since the epoch; 0 never
};

// Reads one item of the shape above; false with `error` set when it does
// not have that shape or when no setter of the store writes exactly its
// bytes (see storeRaw).
bool parseItem(const nlohmann::json &item, RawItem &out, std::string &error);

// Stores item.raw under item.key so that rawValue() then returns exactly
// those bytes. The store has no setter for raw bytes, so the bytes are
// written through the typed setter whose encoding reproduces them (a
// length-prefixed value, a varint, a 4- or 8-byte float); they are read back
// and compared. With expiry on, the expiry time is item.expires exactly (the
// setter takes a duration from now, so a second that ticks in between is
// caught by reading the time back and writing again). False with `error`
// set when the store refuses or the bytes cannot be reproduced.
bool storeRaw(VORN &store, const RawItem &item, std::string &error);

// Whether some setter writes exactly these bytes.
bool reproducible(const std::vector<uint8_t> &raw);

// Parses `value` as `type` (bytes as hex, bool as true/false/1/0, a list as a
// JSON array of strings) and stores it under key, with `expire` seconds when
// given. A value that does not parse sets `error` and returns false; otherwise
// the store's answer is returned.
bool storeValue(VORN &store, const std::string &key, const std::string &value, ValueType type,
                std::optional<uint32_t> expire, std::string &error);

} // namespace vorn::cli
