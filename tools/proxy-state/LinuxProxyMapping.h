#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halyx {

// The desktop's system proxy settings: GSettings schema org.gnome.system.proxy
// and its children http, https and socks (ftp has no key in the report).
struct DesktopProxySettings {
    struct Endpoint {
        std::string host; // empty: not set
        int32_t port = 0;
    };

    std::string mode; // "none", "manual" or "auto"
    std::string autoconfigUrl;
    std::vector<std::string> ignoreHosts;
    Endpoint http;
    bool httpUseAuthentication = false;
    Endpoint https;
    Endpoint socks;
};

// A NetworkManager profile's own "proxy" setting.
struct ProfileProxySettings {
    int32_t method = 0; // kProfileProxyMethodNone or kProfileProxyMethodAuto
    std::string pacUrl;
    std::string pacScript;
};

// Values of the profile setting proxy.method.
inline constexpr int32_t kProfileProxyMethodNone = 0;
inline constexpr int32_t kProfileProxyMethodAuto = 1;

// The proxies configuration a macOS service with the same settings would
// report, as a JSON object whose keys are taken from the report's proxy key
// list (the order of the keys inside the object is not significant). The
// Enable keys are the integers 0 or 1, ports integers, ExceptionsList a list of
// strings:
// - each of http, https, socks with a host: its Proxy and Port keys (and for
//   http HTTPProxyAuthenticated from use-authentication), whatever the mode;
//   its Enable key is 1 only in mode "manual" with a host, else 0;
// - ProxyAutoConfigEnable is 1 when the desktop is in mode "auto" with an
//   autoconfig URL or the profile's method is auto with a PAC URL or script;
//   ProxyAutoDiscoveryEnable is 1 when either of them is auto without one;
// - ExceptionsList: the desktop's ignore-hosts.
// Without desktop settings only the two automatic keys, from the profile, are
// given. Returns std::nullopt when neither source exists: the service then has
// no proxies protocol.
std::optional<nlohmann::ordered_json> proxiesConfiguration(const std::optional<DesktopProxySettings> &desktop,
                                                           const std::optional<ProfileProxySettings> &profile);

} // namespace halyx
