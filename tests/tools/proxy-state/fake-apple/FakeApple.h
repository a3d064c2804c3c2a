#pragma once

// Control side of the CoreFoundation / SystemConfiguration test double: tests
// build the network the fake functions report, run code against it, and then
// read the reference ledger.
//
// Ownership as on macOS: every Create or Copy function hands its caller one
// reference, which the caller must give back with CFRelease exactly once;
// Get functions lend objects owned by their container. The fake keeps a
// ledger of the references each Create/Copy handed out. CFRelease of a
// reference the caller was never handed (a borrowed object, one released
// already, NULL) is a violation and changes nothing; so is any call with an
// object that is not alive or not of the expected type.

#include <CoreFoundation/CoreFoundation.h>
#include <SystemConfiguration/SystemConfiguration.h>

#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace fakeapple {

// Objects for building a network. Each function returns one reference owned
// by the test; the containers and install() take over (consume) the
// references given to them. Test references are outside the ledger.

// A string from UTF-8 text; each byte that is not part of valid UTF-8 becomes
// the lone surrogate U+DC00 + byte (the string then holds something UTF-8
// cannot express, like a CFString made from broken UTF-16).
CFStringRef makeString(const std::string &utf8);
CFStringRef makeStringUtf16(const std::u16string &units);
CFNumberRef makeInteger(SInt64 value);
CFNumberRef makeDouble(double value);
CFBooleanRef makeBoolean(bool value);
CFArrayRef makeArray(std::vector<CFTypeRef> items);
CFDictionaryRef makeDictionary(std::vector<std::pair<CFTypeRef, CFTypeRef>> entries);
// JSON to CF: objects to dictionaries with string keys, arrays, strings (as
// makeString), booleans, integers to SInt64 numbers, floating point to double
// numbers. Null has no CF counterpart here.
CFTypeRef makeValue(const nlohmann::ordered_json &value);

struct ServiceSetup {
    CFStringRef identifier = nullptr; // may be null
    CFStringRef name = nullptr;       // may be null
    bool enabled = true;
    bool hasProxiesProtocol = true;
    CFDictionaryRef configuration = nullptr; // the protocol's; may be null
};
SCNetworkServiceRef makeService(ServiceSetup setup);

struct Network {
    bool preferencesFail = false; // SCPreferencesCreate returns NULL
    bool hasSet = true;           // SCNetworkSetCopyCurrent returns a set
    bool hasList = true;          // SCNetworkSetCopyServices returns a list
    std::vector<SCNetworkServiceRef> services;
};

// Makes `network` what the SC functions report, replacing any earlier one and
// clearing the ledger.
void install(Network network);

// Drops the installed network and every test reference it holds; returns the
// number of fake objects still alive afterwards, which is 0 unless some
// Create/Copy reference was never released.
long uninstall();

// Create/Copy references handed out and not yet released, one line each
// ("SCNetworkServiceCopyProtocol: SCNetworkProtocol").
std::vector<std::string> unreleased();
// Misuses seen since install(), one line each.
std::vector<std::string> violations();
// Every Create/Copy and CFRelease of an object other than a string, in
// order; protocols carry their service's identifier:
// "SCNetworkServiceCopyProtocol A", "CFRelease SCNetworkProtocol A",
// "CFRelease CFArray".
std::vector<std::string> ownershipTrace();
// The arguments of the last SCPreferencesCreate: the name's text, and whether
// a preferences identifier was given.
struct PreferencesRequest {
    std::string name;
    bool hasPrefsID = false;
};
PreferencesRequest lastPreferencesRequest();

} // namespace fakeapple
