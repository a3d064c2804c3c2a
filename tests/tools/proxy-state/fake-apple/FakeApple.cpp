// A reference-counted fake of the CoreFoundation and SystemConfiguration
// functions declared beside it. Objects live on the heap with a retain count;
// containers retain what they hold; the ledger counts the references each
// Create/Copy handed to the code under test.

#include "FakeApple.h"

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace fakeapple {
namespace {

enum class Kind { String, Number, Boolean, Array, Dictionary, Preferences, NetworkSet, Service, Protocol };

const char *kindName(Kind kind) {
    switch (kind) {
    case Kind::String:
        return "CFString";
    case Kind::Number:
        return "CFNumber";
    case Kind::Boolean:
        return "CFBoolean";
    case Kind::Array:
        return "CFArray";
    case Kind::Dictionary:
        return "CFDictionary";
    case Kind::Preferences:
        return "SCPreferences";
    case Kind::NetworkSet:
        return "SCNetworkSet";
    case Kind::Service:
        return "SCNetworkService";
    case Kind::Protocol:
        return "SCNetworkProtocol";
    }
    return "?";
}

struct Object {
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
    long retainCount = 1;
    std::string label; // for the trace: a protocol's service identifier
};

struct String final : Object {
    String() : Object(Kind::String) {}
    std::u16string units;
};

struct Number final : Object {
    Number() : Object(Kind::Number) {}
    bool isFloat = false;
    SInt64 integer = 0;
    double real = 0;
};

struct BooleanObject final : Object {
    BooleanObject() : Object(Kind::Boolean) {}
    bool value = false;
};

struct Array final : Object {
    Array() : Object(Kind::Array) {}
    ~Array() override;
    std::vector<Object *> items;
};

struct Dictionary final : Object {
    Dictionary() : Object(Kind::Dictionary) {}
    ~Dictionary() override;
    std::vector<std::pair<Object *, Object *>> entries;
};

struct Protocol final : Object {
    Protocol() : Object(Kind::Protocol) {}
    ~Protocol() override;
    Dictionary *configuration = nullptr;
};

struct Service final : Object {
    Service() : Object(Kind::Service) {}
    ~Service() override;
    String *identifier = nullptr;
    String *name = nullptr;
    bool enabled = true;
    Protocol *proxies = nullptr;
};

struct NetworkSet final : Object {
    NetworkSet() : Object(Kind::NetworkSet) {}
    ~NetworkSet() override;
    std::vector<Service *> services;
};

struct Preferences final : Object {
    Preferences() : Object(Kind::Preferences) {}
};

struct State {
    std::set<const Object *> live;
    std::map<const Object *, long> owed; // Create/Copy references not yet released
    std::map<const Object *, std::string> owedBy;
    std::vector<std::string> violations;
    std::vector<std::string> trace;
    Network network;
    NetworkSet *set = nullptr;
    PreferencesRequest lastRequest;
};

State &state() {
    static State s;
    return s;
}

template <class T> T *create() {
    T *object = new T();
    state().live.insert(object);
    return object;
}

void retain(Object *object) {
    ++object->retainCount;
}

void release(Object *object) {
    if (object && --object->retainCount == 0) {
        state().live.erase(object);
        delete object;
    }
}

Array::~Array() {
    for (Object *item : items) {
        release(item);
    }
}

Dictionary::~Dictionary() {
    for (auto &entry : entries) {
        release(entry.first);
        release(entry.second);
    }
}

Protocol::~Protocol() {
    release(configuration);
}

Service::~Service() {
    release(identifier);
    release(name);
    release(proxies);
}

NetworkSet::~NetworkSet() {
    for (Service *service : services) {
        release(service);
    }
}

void violation(const std::string &what) {
    state().violations.push_back(what);
}

// `reference` as a live object of `kind`, or null after recording why not.
template <class T> T *expect(const void *reference, Kind kind, const char *function) {
    auto *object = static_cast<const Object *>(reference);
    if (!object) {
        violation(std::string(function) + ": NULL");
        return nullptr;
    }
    if (!state().live.count(object)) {
        violation(std::string(function) + ": an object that is not alive");
        return nullptr;
    }
    if (object->kind != kind) {
        violation(std::string(function) + ": a " + kindName(object->kind) + " instead of a " + kindName(kind));
        return nullptr;
    }
    return static_cast<T *>(const_cast<Object *>(object));
}

const Object *expectAny(const void *reference, const char *function) {
    auto *object = static_cast<const Object *>(reference);
    if (!object) {
        violation(std::string(function) + ": NULL");
        return nullptr;
    }
    if (!state().live.count(object)) {
        violation(std::string(function) + ": an object that is not alive");
        return nullptr;
    }
    return object;
}

// Hands one reference to the caller of `function` (already counted in the
// object's retain count) and books it.
template <class T> T *handOut(Object *object, const char *function) {
    State &s = state();
    ++s.owed[object];
    s.owedBy[object] = function;
    if (object->kind != Kind::String) {
        s.trace.push_back(std::string(function) + (object->label.empty() ? "" : " " + object->label));
    }
    return reinterpret_cast<T *>(object);
}

template <class Ref> Object *asObject(Ref reference) {
    return static_cast<Object *>(const_cast<void *>(static_cast<const void *>(reference)));
}

bool decodeUtf8(const std::string &bytes, std::u16string *units, bool escapeInvalid) {
    units->clear();
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        char32_t code = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length != 0 && i + length <= bytes.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (valid) {
            static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = code >= minimum[length] && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        }
        if (!valid) {
            if (!escapeInvalid) {
                return false;
            }
            units->push_back(static_cast<char16_t>(0xDC00 + lead));
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            units->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            units->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            units->push_back(static_cast<char16_t>(code));
        }
        i += length;
    }
    return true;
}

// The UTF-8 bytes of the character starting at units[i] and the number of
// units it takes; 0 units for a lone surrogate.
size_t encodeCharacter(const std::u16string &units, size_t i, size_t end, std::string *out) {
    char32_t code = units[i];
    size_t taken = 1;
    if (code >= 0xD800 && code <= 0xDBFF) {
        if (i + 1 >= end || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) {
            return 0;
        }
        code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
        taken = 2;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
        return 0;
    }
    out->clear();
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | (code >> 6));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | (code >> 12));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (code >> 18));
        *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return taken;
}

bool sameKey(const Object *a, const Object *b) {
    if (a == b) {
        return true;
    }
    if (a->kind != Kind::String || b->kind != Kind::String) {
        return false;
    }
    return static_cast<const String *>(a)->units == static_cast<const String *>(b)->units;
}

String *proxiesType() {
    // A constant string: never created by the code under test, never freed.
    static String *type = [] {
        String *s = create<String>();
        decodeUtf8("Proxies", &s->units, false);
        return s;
    }();
    return type;
}

} // namespace

// ---- building a network ----

CFStringRef makeString(const std::string &utf8) {
    String *s = create<String>();
    decodeUtf8(utf8, &s->units, true);
    return reinterpret_cast<CFStringRef>(s);
}

CFStringRef makeStringUtf16(const std::u16string &units) {
    String *s = create<String>();
    s->units = units;
    return reinterpret_cast<CFStringRef>(s);
}

CFNumberRef makeInteger(SInt64 value) {
    Number *n = create<Number>();
    n->integer = value;
    return reinterpret_cast<CFNumberRef>(n);
}

CFNumberRef makeDouble(double value) {
    Number *n = create<Number>();
    n->isFloat = true;
    n->real = value;
    return reinterpret_cast<CFNumberRef>(n);
}

CFBooleanRef makeBoolean(bool value) {
    BooleanObject *b = create<BooleanObject>();
    b->value = value;
    return reinterpret_cast<CFBooleanRef>(b);
}

CFArrayRef makeArray(std::vector<CFTypeRef> items) {
    Array *a = create<Array>();
    for (CFTypeRef item : items) {
        a->items.push_back(asObject(item));
    }
    return reinterpret_cast<CFArrayRef>(a);
}

CFDictionaryRef makeDictionary(std::vector<std::pair<CFTypeRef, CFTypeRef>> entries) {
    Dictionary *d = create<Dictionary>();
    for (auto &entry : entries) {
        d->entries.emplace_back(asObject(entry.first), asObject(entry.second));
    }
    return reinterpret_cast<CFDictionaryRef>(d);
}

CFTypeRef makeValue(const nlohmann::ordered_json &value) {
    using nlohmann::ordered_json;
    switch (value.type()) {
    case ordered_json::value_t::object: {
        std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
        for (const auto &member : value.items()) {
            entries.emplace_back(makeString(member.key()), makeValue(member.value()));
        }
        return makeDictionary(std::move(entries));
    }
    case ordered_json::value_t::array: {
        std::vector<CFTypeRef> items;
        for (const ordered_json &item : value) {
            items.push_back(makeValue(item));
        }
        return makeArray(std::move(items));
    }
    case ordered_json::value_t::string:
        return makeString(value.get<std::string>());
    case ordered_json::value_t::boolean:
        return makeBoolean(value.get<bool>());
    case ordered_json::value_t::number_integer:
    case ordered_json::value_t::number_unsigned:
        return makeInteger(value.get<SInt64>());
    case ordered_json::value_t::number_float:
        return makeDouble(value.get<double>());
    default:
        violation("makeValue: no CF value for " + value.dump());
        return makeBoolean(false);
    }
}

SCNetworkServiceRef makeService(ServiceSetup setup) {
    Service *service = create<Service>();
    service->identifier = static_cast<String *>(asObject(setup.identifier));
    service->name = static_cast<String *>(asObject(setup.name));
    service->enabled = setup.enabled;
    if (setup.hasProxiesProtocol) {
        service->proxies = create<Protocol>();
        service->proxies->configuration = static_cast<Dictionary *>(asObject(setup.configuration));
        if (service->identifier) {
            std::string label;
            for (char16_t unit : service->identifier->units) {
                label += unit < 0x80 ? static_cast<char>(unit) : '?';
            }
            service->proxies->label = label;
        }
    } else {
        release(asObject(setup.configuration));
    }
    return reinterpret_cast<SCNetworkServiceRef>(service);
}

void install(Network network) {
    uninstall();
    State &s = state();
    s.set = create<NetworkSet>();
    for (SCNetworkServiceRef service : network.services) {
        s.set->services.push_back(static_cast<Service *>(asObject(service)));
    }
    network.services.clear();
    s.network = std::move(network);
}

long uninstall() {
    State &s = state();
    release(s.set);
    s.set = nullptr;
    s.owed.clear();
    s.owedBy.clear();
    s.violations.clear();
    s.trace.clear();
    s.lastRequest = PreferencesRequest();
    return static_cast<long>(s.live.size()) - (s.live.count(proxiesType()) ? 1 : 0);
}

std::vector<std::string> unreleased() {
    std::vector<std::string> lines;
    for (const auto &entry : state().owed) {
        for (long i = 0; i < entry.second; ++i) {
            lines.push_back(state().owedBy[entry.first] + ": " + kindName(entry.first->kind));
        }
    }
    return lines;
}

std::vector<std::string> violations() {
    return state().violations;
}

std::vector<std::string> ownershipTrace() {
    return state().trace;
}

PreferencesRequest lastPreferencesRequest() {
    return state().lastRequest;
}

} // namespace fakeapple

// ---- the faked API ----

using namespace fakeapple;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFStringRef kSCNetworkProtocolTypeProxies = reinterpret_cast<CFStringRef>(proxiesType());

void CFRelease(CFTypeRef cf) {
    const Object *object = expectAny(cf, "CFRelease");
    if (!object) {
        return;
    }
    State &s = state();
    auto owed = s.owed.find(object);
    if (owed == s.owed.end() || owed->second == 0) {
        violation(std::string("CFRelease: a ") + kindName(object->kind) +
                  " reference the caller does not own (borrowed, or released before)");
        return;
    }
    if (object->kind != Kind::String) {
        s.trace.push_back(std::string("CFRelease ") + kindName(object->kind) +
                          (object->label.empty() ? "" : " " + object->label));
    }
    if (--owed->second == 0) {
        s.owed.erase(owed);
    }
    release(const_cast<Object *>(object));
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    const Object *object = expectAny(cf, "CFGetTypeID");
    return object ? static_cast<CFTypeID>(object->kind) + 1 : 0;
}

CFTypeID CFStringGetTypeID(void) {
    return static_cast<CFTypeID>(Kind::String) + 1;
}
CFTypeID CFArrayGetTypeID(void) {
    return static_cast<CFTypeID>(Kind::Array) + 1;
}
CFTypeID CFDictionaryGetTypeID(void) {
    return static_cast<CFTypeID>(Kind::Dictionary) + 1;
}
CFTypeID CFBooleanGetTypeID(void) {
    return static_cast<CFTypeID>(Kind::Boolean) + 1;
}
CFTypeID CFNumberGetTypeID(void) {
    return static_cast<CFTypeID>(Kind::Number) + 1;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char *cStr, CFStringEncoding encoding) {
    if (!cStr || encoding != kCFStringEncodingUTF8) {
        violation("CFStringCreateWithCString: no text, or not UTF-8");
        return nullptr;
    }
    String *s = create<String>();
    if (!decodeUtf8(cStr, &s->units, false)) {
        release(s);
        return nullptr;
    }
    return handOut<const __CFString>(s, "CFStringCreateWithCString");
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8 *bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean) {
    if ((!bytes && numBytes > 0) || numBytes < 0 || encoding != kCFStringEncodingUTF8) {
        violation("CFStringCreateWithBytes: bad bytes, or not UTF-8");
        return nullptr;
    }
    String *s = create<String>();
    if (!decodeUtf8(std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(numBytes)), &s->units,
                    false)) {
        release(s);
        return nullptr;
    }
    return handOut<const __CFString>(s, "CFStringCreateWithBytes");
}

CFIndex CFStringGetLength(CFStringRef theString) {
    const String *s = expect<String>(theString, Kind::String, "CFStringGetLength");
    return s ? static_cast<CFIndex>(s->units.size()) : 0;
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8 lossByte, Boolean,
                         UInt8 *buffer, CFIndex maxBufLen, CFIndex *usedBufLen) {
    const String *s = expect<String>(theString, Kind::String, "CFStringGetBytes");
    if (!s) {
        return 0;
    }
    if (range.location < 0 || range.length < 0 ||
        static_cast<size_t>(range.location + range.length) > s->units.size() || encoding != kCFStringEncodingUTF8 ||
        lossByte != 0) {
        violation("CFStringGetBytes: range outside the string, not UTF-8, or a loss byte");
        return 0;
    }
    // Converts whole characters while they are convertible and fit.
    const size_t end = static_cast<size_t>(range.location + range.length);
    size_t i = static_cast<size_t>(range.location);
    CFIndex used = 0;
    std::string character;
    while (i < end) {
        const size_t taken = encodeCharacter(s->units, i, end, &character);
        if (taken == 0) {
            break;
        }
        if (buffer) {
            if (used + static_cast<CFIndex>(character.size()) > maxBufLen) {
                break;
            }
            std::memcpy(buffer + used, character.data(), character.size());
        }
        used += static_cast<CFIndex>(character.size());
        i += taken;
    }
    if (usedBufLen) {
        *usedBufLen = used;
    }
    return static_cast<CFIndex>(i) - range.location;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const Array *a = expect<Array>(theArray, Kind::Array, "CFArrayGetCount");
    return a ? static_cast<CFIndex>(a->items.size()) : 0;
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const Array *a = expect<Array>(theArray, Kind::Array, "CFArrayGetValueAtIndex");
    if (!a) {
        return nullptr;
    }
    if (idx < 0 || static_cast<size_t>(idx) >= a->items.size()) {
        violation("CFArrayGetValueAtIndex: index out of range");
        return nullptr;
    }
    return a->items[static_cast<size_t>(idx)];
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    const Dictionary *d = expect<Dictionary>(theDict, Kind::Dictionary, "CFDictionaryGetCount");
    return d ? static_cast<CFIndex>(d->entries.size()) : 0;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void **keys, const void **values) {
    const Dictionary *d = expect<Dictionary>(theDict, Kind::Dictionary, "CFDictionaryGetKeysAndValues");
    if (!d) {
        return;
    }
    for (size_t i = 0; i < d->entries.size(); ++i) {
        if (keys) {
            keys[i] = d->entries[i].first;
        }
        if (values) {
            values[i] = d->entries[i].second;
        }
    }
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key) {
    const Dictionary *d = expect<Dictionary>(theDict, Kind::Dictionary, "CFDictionaryGetValue");
    const Object *k = expectAny(key, "CFDictionaryGetValue key");
    if (!d || !k) {
        return nullptr;
    }
    for (const auto &entry : d->entries) {
        if (sameKey(entry.first, k)) {
            return entry.second;
        }
    }
    return nullptr;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    const BooleanObject *b = expect<BooleanObject>(boolean, Kind::Boolean, "CFBooleanGetValue");
    return b && b->value;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    const Number *n = expect<Number>(number, Kind::Number, "CFNumberIsFloatType");
    return n && n->isFloat;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr) {
    const Number *n = expect<Number>(number, Kind::Number, "CFNumberGetValue");
    if (!n || !valuePtr) {
        return false;
    }
    // As on macOS: the value is converted; the result says whether exactly.
    if (theType == kCFNumberSInt64Type) {
        const SInt64 value = n->isFloat ? static_cast<SInt64>(n->real) : n->integer;
        std::memcpy(valuePtr, &value, sizeof value);
        return !n->isFloat || static_cast<double>(value) == n->real;
    }
    if (theType == kCFNumberDoubleType) {
        const double value = n->isFloat ? n->real : static_cast<double>(n->integer);
        std::memcpy(valuePtr, &value, sizeof value);
        return n->isFloat || static_cast<SInt64>(value) == n->integer;
    }
    violation("CFNumberGetValue: a number type the fake does not model");
    return false;
}

SCPreferencesRef SCPreferencesCreate(CFAllocatorRef, CFStringRef name, CFStringRef prefsID) {
    State &s = state();
    const String *text = expect<String>(name, Kind::String, "SCPreferencesCreate");
    s.lastRequest = PreferencesRequest();
    if (text) {
        std::string utf8;
        std::string character;
        for (size_t i = 0; i < text->units.size();) {
            const size_t taken = encodeCharacter(text->units, i, text->units.size(), &character);
            if (taken == 0) {
                break;
            }
            utf8 += character;
            i += taken;
        }
        s.lastRequest.name = utf8;
    }
    s.lastRequest.hasPrefsID = prefsID != nullptr;
    if (s.network.preferencesFail) {
        s.trace.push_back("SCPreferencesCreate failed");
        return nullptr;
    }
    return handOut<const __SCPreferences>(create<Preferences>(), "SCPreferencesCreate");
}

SCNetworkSetRef SCNetworkSetCopyCurrent(SCPreferencesRef prefs) {
    State &s = state();
    if (!expect<Preferences>(prefs, Kind::Preferences, "SCNetworkSetCopyCurrent") || !s.network.hasSet || !s.set) {
        return nullptr;
    }
    retain(s.set);
    return handOut<const __SCNetworkSet>(s.set, "SCNetworkSetCopyCurrent");
}

CFArrayRef SCNetworkSetCopyServices(SCNetworkSetRef set) {
    const NetworkSet *networkSet = expect<NetworkSet>(set, Kind::NetworkSet, "SCNetworkSetCopyServices");
    if (!networkSet || !state().network.hasList) {
        return nullptr;
    }
    Array *list = create<Array>();
    for (Service *service : networkSet->services) {
        retain(service);
        list->items.push_back(service);
    }
    return handOut<const __CFArray>(list, "SCNetworkSetCopyServices");
}

Boolean SCNetworkServiceGetEnabled(SCNetworkServiceRef service) {
    const Service *s = expect<Service>(service, Kind::Service, "SCNetworkServiceGetEnabled");
    return s && s->enabled;
}

CFStringRef SCNetworkServiceGetName(SCNetworkServiceRef service) {
    const Service *s = expect<Service>(service, Kind::Service, "SCNetworkServiceGetName");
    return s ? reinterpret_cast<CFStringRef>(s->name) : nullptr;
}

CFStringRef SCNetworkServiceGetServiceID(SCNetworkServiceRef service) {
    const Service *s = expect<Service>(service, Kind::Service, "SCNetworkServiceGetServiceID");
    return s ? reinterpret_cast<CFStringRef>(s->identifier) : nullptr;
}

SCNetworkProtocolRef SCNetworkServiceCopyProtocol(SCNetworkServiceRef service, CFStringRef protocolType) {
    const Service *s = expect<Service>(service, Kind::Service, "SCNetworkServiceCopyProtocol");
    const String *type = expect<String>(protocolType, Kind::String, "SCNetworkServiceCopyProtocol type");
    if (!s || !type) {
        return nullptr;
    }
    if (!sameKey(type, proxiesType())) {
        violation("SCNetworkServiceCopyProtocol: a protocol type other than Proxies");
        return nullptr;
    }
    if (!s->proxies) {
        return nullptr;
    }
    retain(s->proxies);
    return handOut<const __SCNetworkProtocol>(s->proxies, "SCNetworkServiceCopyProtocol");
}

CFDictionaryRef SCNetworkProtocolGetConfiguration(SCNetworkProtocolRef protocol) {
    const Protocol *p = expect<Protocol>(protocol, Kind::Protocol, "SCNetworkProtocolGetConfiguration");
    return p ? reinterpret_cast<CFDictionaryRef>(p->configuration) : nullptr;
}

} // extern "C"
