// Built into the program on Apple platforms only; the tests also build it
// elsewhere against a fake of the two frameworks. The report is serialised by
// ProxyReport.cpp, which on Apple platforms spells the JSON as Foundation's
// serializer does, so no Objective-C is needed.

#include "tools/proxy-state/SystemConfigurationSource.h"

#include <CoreFoundation/CoreFoundation.h>
#include <SystemConfiguration/SystemConfiguration.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halyx {

namespace {

using nlohmann::ordered_json;

// The handles are the CF references themselves, only with their type hidden.
template <class Handle> Handle *toHandle(CFTypeRef reference) {
    return reinterpret_cast<Handle *>(const_cast<void *>(reference));
}

template <class Reference, class Handle> Reference fromHandle(Handle *handle) {
    return static_cast<Reference>(static_cast<const void *>(handle));
}

// The exact UTF-8 bytes of `string` (embedded NULs included); false when the
// string holds something UTF-8 cannot express (an unpaired surrogate).
bool utf8String(CFStringRef string, std::string *out) {
    const CFIndex length = CFStringGetLength(string);
    const CFRange whole = CFRangeMake(0, length);
    CFIndex size = 0;
    if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, nullptr, 0, &size) != length) {
        return false;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    CFIndex written = 0;
    if (CFStringGetBytes(string, whole, kCFStringEncodingUTF8, 0, false, reinterpret_cast<UInt8 *>(&bytes[0]), size,
                         &written) != length ||
        written != size) {
        return false;
    }
    *out = std::move(bytes);
    return true;
}

std::optional<std::string> optionalString(CFStringRef string) {
    std::string text;
    if (!string || !utf8String(string, &text)) {
        return std::nullopt;
    }
    return text;
}

bool jsonValue(CFTypeRef value, ordered_json *out);

bool jsonArray(CFArrayRef array, ordered_json *out) {
    ordered_json items = ordered_json::array();
    const CFIndex count = CFArrayGetCount(array);
    for (CFIndex i = 0; i < count; ++i) {
        ordered_json item;
        if (!jsonValue(CFArrayGetValueAtIndex(array, i), &item)) {
            return false;
        }
        items.push_back(std::move(item));
    }
    *out = std::move(items);
    return true;
}

bool jsonObject(CFDictionaryRef dictionary, ordered_json *out) {
    const CFIndex count = CFDictionaryGetCount(dictionary);
    std::vector<const void *> keys(static_cast<size_t>(count));
    std::vector<const void *> values(static_cast<size_t>(count));
    if (count > 0) {
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data()); // borrowed
    }
    ordered_json members = ordered_json::object();
    for (CFIndex i = 0; i < count; ++i) {
        std::string key;
        ordered_json member;
        if (CFGetTypeID(keys[i]) != CFStringGetTypeID() || !utf8String(static_cast<CFStringRef>(keys[i]), &key) ||
            !jsonValue(values[i], &member)) {
            return false;
        }
        members[key] = std::move(member);
    }
    *out = std::move(members);
    return true;
}

bool jsonValue(CFTypeRef value, ordered_json *out) {
    if (!value) {
        return false;
    }
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFBooleanGetTypeID()) {
        *out = CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0;
        return true;
    }
    if (type == CFNumberGetTypeID()) {
        CFNumberRef number = static_cast<CFNumberRef>(value);
        if (CFNumberIsFloatType(number)) {
            double real = 0;
            if (!CFNumberGetValue(number, kCFNumberDoubleType, &real) || !std::isfinite(real)) {
                return false;
            }
            *out = real;
        } else {
            // The Enable flags are integer numbers 0 and 1 and stay integers.
            SInt64 integer = 0;
            if (!CFNumberGetValue(number, kCFNumberSInt64Type, &integer)) {
                return false;
            }
            *out = static_cast<int64_t>(integer);
        }
        return true;
    }
    if (type == CFStringGetTypeID()) {
        std::string text;
        if (!utf8String(static_cast<CFStringRef>(value), &text)) {
            return false;
        }
        *out = std::move(text);
        return true;
    }
    if (type == CFArrayGetTypeID()) {
        return jsonArray(static_cast<CFArrayRef>(value), out);
    }
    if (type == CFDictionaryGetTypeID()) {
        return jsonObject(static_cast<CFDictionaryRef>(value), out);
    }
    return false;
}

} // namespace

SourcePreferences *SystemConfigurationSource::createPreferences(const char *callerName) {
    CFStringRef name = CFStringCreateWithCString(kCFAllocatorDefault, callerName, kCFStringEncodingUTF8);
    if (!name) {
        return nullptr;
    }
    // No preferences identifier: the system's own network preferences.
    SCPreferencesRef preferences = SCPreferencesCreate(kCFAllocatorDefault, name, nullptr);
    CFRelease(name);
    return preferences ? toHandle<SourcePreferences>(preferences) : nullptr;
}

SourceNetworkSet *SystemConfigurationSource::copyCurrentSet(SourcePreferences *preferences) {
    SCNetworkSetRef set = SCNetworkSetCopyCurrent(fromHandle<SCPreferencesRef>(preferences));
    return set ? toHandle<SourceNetworkSet>(set) : nullptr;
}

SourceServiceList *SystemConfigurationSource::copyServices(SourceNetworkSet *set) {
    CFArrayRef services = SCNetworkSetCopyServices(fromHandle<SCNetworkSetRef>(set));
    return services ? toHandle<SourceServiceList>(services) : nullptr;
}

long SystemConfigurationSource::serviceCount(SourceServiceList *list) {
    return CFArrayGetCount(fromHandle<CFArrayRef>(list));
}

SourceService *SystemConfigurationSource::serviceAt(SourceServiceList *list, long index) {
    // Borrowed from the list.
    return toHandle<SourceService>(CFArrayGetValueAtIndex(fromHandle<CFArrayRef>(list), index));
}

bool SystemConfigurationSource::serviceEnabled(SourceService *service) {
    return SCNetworkServiceGetEnabled(fromHandle<SCNetworkServiceRef>(service)) != 0;
}

SourceProtocol *SystemConfigurationSource::copyProxiesProtocol(SourceService *service) {
    SCNetworkProtocolRef protocol =
        SCNetworkServiceCopyProtocol(fromHandle<SCNetworkServiceRef>(service), kSCNetworkProtocolTypeProxies);
    return protocol ? toHandle<SourceProtocol>(protocol) : nullptr;
}

SourceConfiguration *SystemConfigurationSource::protocolConfiguration(SourceProtocol *protocol) {
    // Borrowed from the protocol ("Get" rule): not released here.
    CFDictionaryRef configuration = SCNetworkProtocolGetConfiguration(fromHandle<SCNetworkProtocolRef>(protocol));
    return configuration ? toHandle<SourceConfiguration>(configuration) : nullptr;
}

bool SystemConfigurationSource::configurationValue(SourceConfiguration *configuration, const std::string &key,
                                                   ordered_json *value) {
    CFStringRef cfKey = CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(key.data()),
                                                static_cast<CFIndex>(key.size()), kCFStringEncodingUTF8, false);
    if (!cfKey) {
        return false;
    }
    CFTypeRef found = CFDictionaryGetValue(fromHandle<CFDictionaryRef>(configuration), cfKey); // borrowed
    CFRelease(cfKey);
    ordered_json converted;
    if (!jsonValue(found, &converted)) {
        return false;
    }
    *value = std::move(converted);
    return true;
}

std::optional<std::string> SystemConfigurationSource::serviceName(SourceService *service) {
    return optionalString(SCNetworkServiceGetName(fromHandle<SCNetworkServiceRef>(service))); // borrowed
}

std::optional<std::string> SystemConfigurationSource::serviceIdentifier(SourceService *service) {
    return optionalString(SCNetworkServiceGetServiceID(fromHandle<SCNetworkServiceRef>(service))); // borrowed
}

void SystemConfigurationSource::release(SourcePreferences *preferences) {
    CFRelease(fromHandle<SCPreferencesRef>(preferences));
}

void SystemConfigurationSource::release(SourceNetworkSet *set) {
    CFRelease(fromHandle<SCNetworkSetRef>(set));
}

void SystemConfigurationSource::release(SourceServiceList *list) {
    CFRelease(fromHandle<CFArrayRef>(list));
}

void SystemConfigurationSource::release(SourceProtocol *protocol) {
    CFRelease(fromHandle<SCNetworkProtocolRef>(protocol));
}

} // namespace halyx
