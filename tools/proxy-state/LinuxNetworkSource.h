#pragma once

#include "tools/proxy-state/NetworkSource.h"

namespace halyx {

// The network data of a Linux desktop, read through GIO:
// - the current network set exists when NetworkManager answers on the system
//   D-Bus (no system bus, or no NetworkManager on it: no set);
// - its services are NetworkManager's connection profiles, in the order
//   Settings.ListConnections gives them; identifier = the profile's
//   connection.uuid, name = its connection.id;
// - a service is enabled while its profile is in use: the Connection of one of
//   NetworkManager's ActiveConnections, in state activating or activated;
// - profiles the user never configured are not services at all: loopback
//   profiles (connection.type "loopback", connection.interface-name "lo", or
//   active on a loopback device) and profiles NetworkManager only mirrors from
//   an interface that other software set up (docker0, libvirt bridges, VPN
//   tunnels): the profile's Flags carry EXTERNAL, or its active connection's
//   StateFlags do;
// - its proxies configuration is the desktop's system proxy settings
//   (GSettings org.gnome.system.proxy) combined with the profile's own proxy
//   setting, mapped by proxiesConfiguration() (LinuxProxyMapping.h).
//
// The whole conversation with the bus (connecting, authenticating, every call)
// ends within kBusDeadlineMs of createPreferences: a bus or a NetworkManager
// that does not answer in time means there is no current set. No call starts
// a service. copyCurrentSet reads everything at once (profiles, active
// connections, desktop settings); the set and its lists are snapshots that
// later changes do not reach. Not thread-safe: one source per thread. GLib may print
// diagnostics of its own; a caller that must keep standard error empty calls
// silenceGLibDiagnostics() first.
class LinuxNetworkSource final : public NetworkSource {
public:
    // Milliseconds, counted from createPreferences.
    static constexpr int kBusDeadlineMs = 3000;

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

// Routes every GLib log message and g_print/g_printerr text of this process to
// nowhere. Call once, before the first GLib call that may log.
void silenceGLibDiagnostics();

} // namespace halyx
