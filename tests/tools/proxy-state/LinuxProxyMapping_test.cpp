#include "tools/proxy-state/LinuxProxyMapping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halyx {
namespace {

DesktopProxySettings desktop(const char *mode) {
    DesktopProxySettings settings;
    settings.mode = mode;
    settings.ignoreHosts = {"localhost", "*.corp.example"};
    return settings;
}

DesktopProxySettings withHosts(DesktopProxySettings settings) {
    settings.http = {"proxy.corp.example", 3128};
    settings.httpUseAuthentication = true;
    settings.https = {"secure.corp.example", 443};
    settings.socks = {"socks.corp.example", 1080};
    return settings;
}

ProfileProxySettings profile(int32_t method, const char *pacUrl = "", const char *pacScript = "") {
    return ProfileProxySettings{method, pacUrl, pacScript};
}

// The object's members are compared regardless of their order (it is the
// report that orders them), but with their JSON types: 1 is not true.
nlohmann::json unordered(const nlohmann::ordered_json &value) {
    return nlohmann::json::parse(value.dump());
}

TEST(LinuxProxyMappingTest, DesktopAndProfileSettingsToProxyKeys) {
    DesktopProxySettings autoWithUrl = withHosts(desktop("auto"));
    autoWithUrl.autoconfigUrl = "http://wpad.corp.example/wpad.dat";
    DesktopProxySettings portZero = desktop("manual");
    portZero.http = {"proxy", 0};
    DesktopProxySettings noExceptions = desktop("none");
    noExceptions.ignoreHosts.clear();

    struct Case {
        const char *name;
        std::optional<DesktopProxySettings> desktop;
        std::optional<ProfileProxySettings> profile;
        const char *expected; // null: no proxies protocol
    };
    const std::vector<Case> cases = {
        {"neither", std::nullopt, std::nullopt, nullptr},
        {"manual with every host", withHosts(desktop("manual")), std::nullopt,
         R"({"HTTPEnable":1,"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,)"
         R"("HTTPSEnable":1,"HTTPSProxy":"secure.corp.example","HTTPSPort":443,)"
         R"("SOCKSEnable":1,"SOCKSProxy":"socks.corp.example","SOCKSPort":1080,)"
         R"("ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","*.corp.example"]})"},
        {"manual without hosts enables nothing", desktop("manual"), std::nullopt,
         R"({"HTTPEnable":0,"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,)"
         R"("ExceptionsList":["localhost","*.corp.example"]})"},
        {"none keeps the hosts, switched off", withHosts(desktop("none")), std::nullopt,
         R"({"HTTPEnable":0,"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,)"
         R"("HTTPSEnable":0,"HTTPSProxy":"secure.corp.example","HTTPSPort":443,)"
         R"("SOCKSEnable":0,"SOCKSProxy":"socks.corp.example","SOCKSPort":1080,)"
         R"("ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","*.corp.example"]})"},
        {"auto with a URL", autoWithUrl, std::nullopt,
         R"({"HTTPEnable":0,"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,)"
         R"("HTTPSEnable":0,"HTTPSProxy":"secure.corp.example","HTTPSPort":443,)"
         R"("SOCKSEnable":0,"SOCKSProxy":"socks.corp.example","SOCKSPort":1080,)"
         R"("ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","*.corp.example"]})"},
        {"auto without a URL", desktop("auto"), std::nullopt,
         R"({"HTTPEnable":0,"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":1,)"
         R"("ExceptionsList":["localhost","*.corp.example"]})"},
        {"port 0 with a host is reported", portZero, std::nullopt,
         R"({"HTTPEnable":1,"HTTPProxy":"proxy","HTTPPort":0,"HTTPProxyAuthenticated":0,"HTTPSEnable":0,)"
         R"("SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,)"
         R"("ExceptionsList":["localhost","*.corp.example"]})"},
        {"empty ignore-hosts is an empty list", noExceptions, std::nullopt,
         R"({"HTTPEnable":0,"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0,)"
         R"("ExceptionsList":[]})"},
        {"profile only, auto with a PAC URL", std::nullopt, profile(kProfileProxyMethodAuto, "http://pac"),
         R"({"ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":0})"},
        {"profile only, auto with a PAC script", std::nullopt,
         profile(kProfileProxyMethodAuto, "", "function FindProxyForURL(u, h) { return \"DIRECT\"; }"),
         R"({"ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":0})"},
        {"profile only, auto without PAC", std::nullopt, profile(kProfileProxyMethodAuto),
         R"({"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":1})"},
        {"profile only, method none", std::nullopt, profile(kProfileProxyMethodNone, "http://pac"),
         R"({"ProxyAutoConfigEnable":0,"ProxyAutoDiscoveryEnable":0})"},
        {"manual desktop and a profile PAC URL", withHosts(desktop("manual")),
         profile(kProfileProxyMethodAuto, "http://pac"),
         R"({"HTTPEnable":1,"HTTPProxy":"proxy.corp.example","HTTPPort":3128,"HTTPProxyAuthenticated":1,)"
         R"("HTTPSEnable":1,"HTTPSProxy":"secure.corp.example","HTTPSPort":443,)"
         R"("SOCKSEnable":1,"SOCKSProxy":"socks.corp.example","SOCKSPort":1080,)"
         R"("ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":0,"ExceptionsList":["localhost","*.corp.example"]})"},
        {"desktop discovery and a profile PAC URL", desktop("auto"), profile(kProfileProxyMethodAuto, "http://pac"),
         R"({"HTTPEnable":0,"HTTPSEnable":0,"SOCKSEnable":0,"ProxyAutoConfigEnable":1,"ProxyAutoDiscoveryEnable":1,)"
         R"("ExceptionsList":["localhost","*.corp.example"]})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<nlohmann::ordered_json> configuration = proxiesConfiguration(c.desktop, c.profile);
        if (!c.expected) {
            EXPECT_FALSE(configuration.has_value());
            continue;
        }
        ASSERT_TRUE(configuration.has_value());
        EXPECT_EQ(unordered(*configuration), nlohmann::json::parse(c.expected));
    }
}

} // namespace
} // namespace halyx
