#include "tools/proxy-state/LinuxProxyMapping.h"

namespace halyx {

namespace {

using nlohmann::ordered_json;

// macOS reports its Enable flags as the numbers 0 and 1, not as booleans.
int flag(bool on) {
    return on ? 1 : 0;
}

void addEndpoint(ordered_json &config, const DesktopProxySettings::Endpoint &endpoint, bool manual,
                 const char *enableKey, const char *proxyKey, const char *portKey) {
    const bool hasHost = !endpoint.host.empty();
    config[enableKey] = flag(manual && hasHost);
    if (hasHost) {
        config[proxyKey] = endpoint.host;
        config[portKey] = endpoint.port;
    }
}

} // namespace

std::optional<ordered_json> proxiesConfiguration(const std::optional<DesktopProxySettings> &desktop,
                                                 const std::optional<ProfileProxySettings> &profile) {
    if (!desktop && !profile) {
        return std::nullopt;
    }
    bool autoConfig = false;
    bool autoDiscovery = false;
    ordered_json config = ordered_json::object();

    if (desktop) {
        const bool manual = desktop->mode == "manual";
        addEndpoint(config, desktop->http, manual, "HTTPEnable", "HTTPProxy", "HTTPPort");
        if (!desktop->http.host.empty()) {
            config["HTTPProxyAuthenticated"] = flag(desktop->httpUseAuthentication);
        }
        addEndpoint(config, desktop->https, manual, "HTTPSEnable", "HTTPSProxy", "HTTPSPort");
        addEndpoint(config, desktop->socks, manual, "SOCKSEnable", "SOCKSProxy", "SOCKSPort");
        if (desktop->mode == "auto") {
            (desktop->autoconfigUrl.empty() ? autoDiscovery : autoConfig) = true;
        }
        config["ExceptionsList"] = desktop->ignoreHosts;
    }
    if (profile && profile->method == kProfileProxyMethodAuto) {
        const bool hasPac = !profile->pacUrl.empty() || !profile->pacScript.empty();
        (hasPac ? autoConfig : autoDiscovery) = true;
    }
    config["ProxyAutoConfigEnable"] = flag(autoConfig);
    config["ProxyAutoDiscoveryEnable"] = flag(autoDiscovery);
    return config;
}

} // namespace halyx
