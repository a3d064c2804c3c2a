#pragma once

#include "tools/proxy-state/NetworkSource.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

namespace halyx {

// The proxy keys a report keeps, in the order they are looked up; a
// configuration's other keys never reach the output.
inline constexpr std::array<const char *, 15> kProxyKeys = {
    "HTTPEnable",
    "HTTPProxy",
    "HTTPPort",
    "HTTPProxyAuthenticated",
    "HTTPSEnable",
    "HTTPSProxy",
    "HTTPSPort",
    "HTTPSProxyAuthenticated",
    "SOCKSEnable",
    "SOCKSProxy",
    "SOCKSPort",
    "SOCKSProxyAuthenticated",
    "ProxyAutoConfigEnable",
    "ProxyAutoDiscoveryEnable",
    "ExceptionsList",
};

// The name the tool gives itself when it opens the network preferences.
inline constexpr const char kCallerName[] = "halyx proxy state";

// Exit statuses: 0 when the document reached standard output; 1 for every
// failure, after which nothing was written.
enum ExitStatus : int {
    kExitPrinted = 0,
    kExitNothingPrinted = 1,
};

// Walks the enabled services of the source's current network set and returns
// the array of {"Id", "Name", "Config"} records, in the set's order (empty when
// there is no set, no list or no reportable service). Returns std::nullopt when
// the preferences object could not be created. Every handle taken from the
// source is released before returning: each protocol right after its service,
// then the list, the set and the preferences object, in that order.
std::optional<nlohmann::ordered_json> collectServiceRecords(NetworkSource &source);

// How the document is spelled. Both are compact JSON (no white space, members
// in insertion order, no trailing newline, text other than the characters
// JSON must escape kept as raw UTF-8) holding the same values; they differ
// only where JSON leaves a choice.
enum class JsonDialect {
    // "/" unescaped; a floating-point number always shows a fraction or an
    // exponent (1.0, 0.5, 1e-07), so it reads back as floating point.
    Portable,
    // The bytes macOS's own JSON serializer writes: "/" escaped as "\/"
    // ("169.254\/16"), and a floating-point number that is whole loses its
    // ".0" and is written as its digits (1.0 as 1, 1e15 as 1000000000000000)
    // below 1e17; others as in Portable.
    Foundation,
};

// Hosts on macOS compare the document with what the system's serializer
// makes of the same configuration.
#ifdef __APPLE__
inline constexpr JsonDialect kPlatformJsonDialect = JsonDialect::Foundation;
#else
inline constexpr JsonDialect kPlatformJsonDialect = JsonDialect::Portable;
#endif

// `document` as compact JSON text in `dialect`. Throws
// nlohmann::ordered_json::exception for a string that is not UTF-8.
std::string serializeDocument(const nlohmann::ordered_json &document, JsonDialect dialect);

// Receives the whole document in one call; returns false when not all of it
// was delivered.
using DocumentWriter = std::function<bool(const std::string &bytes)>;

// The whole run: collect, serialise (serializeDocument in `dialect`) and hand
// the bytes to `write` once. Returns kExitPrinted only when `write` reported
// success; kExitNothingPrinted when the preferences failed, no record was
// collected, the array could not be serialised (e.g. a string that is not
// UTF-8; `write` is then not called) or the write failed.
int reportProxyState(NetworkSource &source, const DocumentWriter &write, JsonDialect dialect = kPlatformJsonDialect);

// Writes `bytes` to `stream` with one fwrite and flushes it. Returns true only
// when every byte was accepted and the flush succeeded; the stream's error
// state is left as the C library set it.
bool writeDocument(std::FILE *stream, const std::string &bytes);

} // namespace halyx
