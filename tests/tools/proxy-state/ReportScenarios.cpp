#include "ReportScenarios.h"

namespace halyx::testing {

using nlohmann::ordered_json;

FakeService service(const char *identifier, const char *name, const char *configuration) {
    FakeService result;
    result.identifier = identifier;
    result.name = name;
    result.configuration = ordered_json::parse(configuration);
    return result;
}

FakeService disabled(FakeService result) {
    result.enabled = false;
    return result;
}

FakeService withoutProtocol(FakeService result) {
    result.hasProtocol = false;
    return result;
}

FakeService withoutConfiguration(FakeService result) {
    result.configuration.reset();
    return result;
}

FakeNetwork network(std::vector<FakeService> services) {
    FakeNetwork result;
    result.services = std::move(services);
    return result;
}

std::vector<ReportScenario> reportScenarios() {
    FakeNetwork failingPreferences;
    failingPreferences.preferencesFail = true;
    FakeNetwork noSet = network({service("A", "Ethernet")});
    noSet.hasSet = false;
    FakeNetwork noList = network({service("A", "Ethernet")});
    noList.hasList = false;
    FakeService nameOnly = service("A", "Ethernet");
    nameOnly.identifier.reset();
    FakeService identifierOnly = service("B", "Wi-Fi");
    identifierOnly.name.reset();

    return {
        {"preferences cannot be created", failingPreferences, 1, ""},
        {"no current set", noSet, 1, ""},
        {"set without a list", noList, 1, ""},
        {"empty list", network({}), 1, ""},
        {"every service disabled",
         network({disabled(service("A", "Ethernet", R"({"HTTPEnable":1})")), disabled(service("B", "Wi-Fi"))}), 1, ""},
        {"no proxies protocol", network({withoutProtocol(service("A", "Ethernet"))}), 1, ""},
        {"name without identifier, identifier without name", network({nameOnly, identifierOnly}), 1, ""},
        {"absent configuration", network({withoutConfiguration(service("A", "Ethernet"))}), 0,
         R"([{"Id":"A","Name":"Ethernet","Config":{}}])"},
        {"configuration without any proxy key",
         network({service("A", "Ethernet", R"({"FTPPassive":1,"ProxyAutoConfigURLString":"http://pac"})")}), 0,
         R"([{"Id":"A","Name":"Ethernet","Config":{}}])"},
        {"unknown keys dropped, keys in list order",
         network({service("A", "Ethernet",
                          R"({"ExceptionsList":["*.local"],"FTPPassive":1,"HTTPPort":8080,"FTPProxy":"f",)"
                          R"("HTTPProxy":"proxy","HTTPEnable":1})")}),
         0,
         R"([{"Id":"A","Name":"Ethernet","Config":{"HTTPEnable":1,"HTTPProxy":"proxy","HTTPPort":8080,)"
         R"("ExceptionsList":["*.local"]}}])"},
        {"all fifteen keys, value types kept",
         network({service("S", "Wi-Fi",
                          R"({"HTTPEnable":1,"HTTPProxy":"h","HTTPPort":3128,"HTTPProxyAuthenticated":0,)"
                          R"("HTTPSEnable":true,"HTTPSProxy":"","HTTPSPort":-1,"HTTPSProxyAuthenticated":false,)"
                          R"("SOCKSEnable":1,"SOCKSProxy":"s","SOCKSPort":9007199254740993,)"
                          R"("SOCKSProxyAuthenticated":1.5,"ProxyAutoConfigEnable":"1",)"
                          R"("ProxyAutoDiscoveryEnable":{"x":[1]},"ExceptionsList":[]})")}),
         0,
         R"([{"Id":"S","Name":"Wi-Fi","Config":{"HTTPEnable":1,"HTTPProxy":"h","HTTPPort":3128,)"
         R"("HTTPProxyAuthenticated":0,"HTTPSEnable":true,"HTTPSProxy":"","HTTPSPort":-1,)"
         R"("HTTPSProxyAuthenticated":false,"SOCKSEnable":1,"SOCKSProxy":"s","SOCKSPort":9007199254740993,)"
         R"("SOCKSProxyAuthenticated":1.5,"ProxyAutoConfigEnable":"1","ProxyAutoDiscoveryEnable":{"x":[1]},)"
         R"("ExceptionsList":[]}}])"},
        {"services in list order, skipped ones left out",
         network({service("A", "Ethernet", R"({"HTTPEnable":0})"), disabled(service("B", "Wi-Fi")),
                  withoutProtocol(service("C", "VPN")), nameOnly, service("E", "Thunderbolt Bridge"), identifierOnly,
                  service("G", "iPhone USB", R"({"SOCKSEnable":1})")}),
         0,
         R"([{"Id":"A","Name":"Ethernet","Config":{"HTTPEnable":0}},)"
         R"({"Id":"E","Name":"Thunderbolt Bridge","Config":{}},)"
         R"({"Id":"G","Name":"iPhone USB","Config":{"SOCKSEnable":1}}])"},
        {"text escaped as JSON, UTF-8 kept raw",
         network({service("id\"1", "Caf\xc3\xa9 \"5G\"\n\\", R"({"HTTPProxy":"a/b\t"})")}), 0,
         "[{\"Id\":\"id\\\"1\",\"Name\":\"Caf\xc3\xa9 \\\"5G\\\"\\n\\\\\",\"Config\":{\"HTTPProxy\":\"a/b\\t\"}}]"},
        {"name that is not UTF-8 cannot be serialised", network({service("A", "Caf\xe9")}), 1, ""},
    };
}

} // namespace halyx::testing
