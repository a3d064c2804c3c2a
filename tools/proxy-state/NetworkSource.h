#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace halyx {

// Opaque handles handed out by a NetworkSource. They are never defined: each
// source casts its own objects to and from them, so the report logic can hold
// them without knowing what lies behind (the macOS source hands out
// CoreFoundation references, the Linux source snapshots of D-Bus replies).
struct SourcePreferences;
struct SourceNetworkSet;
struct SourceServiceList;
struct SourceService;
struct SourceProtocol;
struct SourceConfiguration;

// The system's network data, as far as the proxy report needs it: a
// preferences object, its current network set, the set's ordered list of
// network services, and per service its enabled state, name, identifier and
// proxies protocol with that protocol's configuration (a dictionary from key to
// value).
//
// Ownership follows the create/copy rule: what createPreferences and the copy*
// operations return belongs to the caller, who hands it back to the matching
// release exactly once. Everything else (services, configurations, names and
// identifiers) is borrowed from its owner and stays valid while that owner
// (the list, the protocol) is held. A null handle means "none"; no operation
// is called with a null handle, and release never is.
//
// Failure is only ever "none" (null or an empty optional); a source never
// throws and never writes to standard output or standard error.
class NetworkSource {
public:
    virtual ~NetworkSource() = default;

    // The system's own network preferences; `callerName` names the reader.
    virtual SourcePreferences *createPreferences(const char *callerName) = 0;
    virtual SourceNetworkSet *copyCurrentSet(SourcePreferences *preferences) = 0;
    virtual SourceServiceList *copyServices(SourceNetworkSet *set) = 0;

    // Number of services in the list at the moment of the call; the list may
    // be read again after every service.
    virtual long serviceCount(SourceServiceList *list) = 0;
    // REQUIRES: 0 <= index < serviceCount(list).
    virtual SourceService *serviceAt(SourceServiceList *list, long index) = 0;

    virtual bool serviceEnabled(SourceService *service) = 0;
    virtual SourceProtocol *copyProxiesProtocol(SourceService *service) = 0;
    virtual SourceConfiguration *protocolConfiguration(SourceProtocol *protocol) = 0;

    // Stores the value the configuration holds for `key` in `*value`, copied
    // unchanged (integers stay integers, booleans stay booleans; strings, lists
    // and dictionaries as they are), and returns true; returns false and
    // leaves `*value` alone when the key is absent.
    virtual bool configurationValue(SourceConfiguration *configuration, const std::string &key,
                                    nlohmann::ordered_json *value) = 0;

    virtual std::optional<std::string> serviceName(SourceService *service) = 0;
    virtual std::optional<std::string> serviceIdentifier(SourceService *service) = 0;

    virtual void release(SourcePreferences *preferences) = 0;
    virtual void release(SourceNetworkSet *set) = 0;
    virtual void release(SourceServiceList *list) = 0;
    virtual void release(SourceProtocol *protocol) = 0;
};

} // namespace halyx
