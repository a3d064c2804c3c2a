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

// Parses `value` as `type` (bytes as hex, bool as true/false/1/0, a list as a
// JSON array of strings) and stores it under key, with `expire` seconds when
// given. A value that does not parse sets `error` and returns false; otherwise
// the store's answer is returned.
bool storeValue(VORN &store, const std::string &key, const std::string &value, ValueType type,
                std::optional<uint32_t> expire, std::string &error);

} // namespace vorn::cli
