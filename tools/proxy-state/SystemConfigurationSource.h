#pragma once

#include "tools/proxy-state/NetworkSource.h"

namespace halyx {

// The network data of macOS, read through SystemConfiguration. The handles
// are the framework's own CoreFoundation references (SCPreferencesRef,
// SCNetworkSetRef, the CFArrayRef of SCNetworkServiceRef, SCNetworkProtocolRef
// and the protocol's CFDictionaryRef); what is created or copied is given back
// with CFRelease. Configuration values are converted to JSON values: CFBoolean
// to a boolean, an integer CFNumber to an integer, a floating CFNumber to a
// number, CFString to a UTF-8 string, CFArray and CFDictionary (string keys)
// recursively. A value of any other type, or one that does not convert (a
// string that is not valid Unicode, a non-finite number), counts as absent.
// Not thread-safe: one source per thread.
class SystemConfigurationSource final : public NetworkSource {
public:
    SourcePreferences *createPreferences(const char *callerName) override;
    SourceNetworkSet *copyCurrentSet(SourcePreferences *preferences) override;
    SourceServiceList *copyServices(SourceNetworkSet *set) override;
    long serviceCount(SourceServiceList *list) override;
    SourceService *serviceAt(SourceServiceList *list, long index) override;
    bool serviceEnabled(SourceService *service) override;
    SourceProtocol *copyProxiesProtocol(SourceService *service) override;
    SourceConfiguration *protocolConfiguration(SourceProtocol *protocol) override;
    bool configurationValue(SourceConfiguration *configuration, const std::string &key,
                            nlohmann::ordered_json *value) override;
    std::optional<std::string> serviceName(SourceService *service) override;
    std::optional<std::string> serviceIdentifier(SourceService *service) override;
    void release(SourcePreferences *preferences) override;
    void release(SourceNetworkSet *set) override;
    void release(SourceServiceList *list) override;
    void release(SourceProtocol *protocol) override;
};

} // namespace halyx
