#pragma once

#include "tools/proxy-state/NetworkSource.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace halyx::testing {

struct FakeService {
    std::optional<std::string> identifier;
    std::optional<std::string> name;
    bool enabled = true;
    bool hasProtocol = true;
    // The proxies protocol's configuration (a JSON object); none: the protocol
    // has no configuration.
    std::optional<nlohmann::ordered_json> configuration = nlohmann::ordered_json::object();
};

struct FakeNetwork {
    bool preferencesFail = false;
    bool hasSet = true;
    bool hasList = true;
    std::vector<FakeService> services;
    // The count each successive serviceCount call reports (the last one
    // repeats), to stand for a list that changes during the walk; empty: the
    // number of services.
    std::vector<long> counts;
};

// An in-memory network with a trace: every call is recorded in `events`, e.g.
// "createPreferences halyx proxy state", "copyProxiesProtocol 2",
// "release protocol 2". Created and copied handles are heap objects freed by
// release, so a double or missing release shows under the sanitizers and in
// liveHandles().
class FakeNetworkSource final : public NetworkSource {
public:
    explicit FakeNetworkSource(FakeNetwork network) : m_network(std::move(network)) {}
    ~FakeNetworkSource() override;

    std::vector<std::string> events;
    int liveHandles() const { return m_live; }

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

private:
    struct Object {
        std::string kind;
        size_t service = 0; // protocols: the index of their service
    };

    Object *newObject(const std::string &kind, size_t service = 0);
    void releaseObject(void *handle, const std::string &kind);
    size_t serviceIndex(SourceService *service) const;

    FakeNetwork m_network;
    size_t m_countReads = 0;
    int m_live = 0;
};

} // namespace halyx::testing
