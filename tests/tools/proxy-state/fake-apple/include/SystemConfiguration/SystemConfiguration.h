#pragma once

// Test double of <SystemConfiguration/SystemConfiguration.h>: only what the
// macOS network source uses, with Apple's documented signatures (see
// <CoreFoundation/CoreFoundation.h> beside it).

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

typedef const struct __SCPreferences *SCPreferencesRef;
typedef const struct __SCNetworkSet *SCNetworkSetRef;
typedef const struct __SCNetworkService *SCNetworkServiceRef;
typedef const struct __SCNetworkProtocol *SCNetworkProtocolRef;

extern const CFStringRef kSCNetworkProtocolTypeProxies;

SCPreferencesRef SCPreferencesCreate(CFAllocatorRef allocator, CFStringRef name, CFStringRef prefsID);

SCNetworkSetRef SCNetworkSetCopyCurrent(SCPreferencesRef prefs);
CFArrayRef SCNetworkSetCopyServices(SCNetworkSetRef set);

Boolean SCNetworkServiceGetEnabled(SCNetworkServiceRef service);
CFStringRef SCNetworkServiceGetName(SCNetworkServiceRef service);
CFStringRef SCNetworkServiceGetServiceID(SCNetworkServiceRef service);
SCNetworkProtocolRef SCNetworkServiceCopyProtocol(SCNetworkServiceRef service, CFStringRef protocolType);

CFDictionaryRef SCNetworkProtocolGetConfiguration(SCNetworkProtocolRef protocol);

} // extern "C"
