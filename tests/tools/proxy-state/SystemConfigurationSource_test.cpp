// The macOS network source, compiled unchanged against the CoreFoundation /
// SystemConfiguration fake in fake-apple/, run through the same networks as
// the in-memory source, with every reference it takes checked.

#include "tools/proxy-state/ProxyReport.h"
#include "tools/proxy-state/SystemConfigurationSource.h"

#include "FakeApple.h"
#include "ReportScenarios.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace halyx {
namespace {

using nlohmann::ordered_json;
using testing::FakeNetwork;
using testing::FakeService;
using testing::ReportScenario;

CFStringRef optionalString(const std::optional<std::string> &text) {
    return text ? fakeapple::makeString(*text) : nullptr;
}

// The in-memory network as SystemConfiguration would show it. Text that is
// not UTF-8 becomes a CFString holding lone surrogates: the CF counterpart of
// text that cannot be written as UTF-8.
fakeapple::Network toSystemConfiguration(const FakeNetwork &network) {
    fakeapple::Network result;
    result.preferencesFail = network.preferencesFail;
    result.hasSet = network.hasSet;
    result.hasList = network.hasList;
    for (const FakeService &service : network.services) {
        fakeapple::ServiceSetup setup;
        setup.identifier = optionalString(service.identifier);
        setup.name = optionalString(service.name);
        setup.enabled = service.enabled;
        setup.hasProxiesProtocol = service.hasProtocol;
        if (service.configuration) {
            setup.configuration = static_cast<CFDictionaryRef>(fakeapple::makeValue(*service.configuration));
        }
        result.services.push_back(fakeapple::makeService(setup));
    }
    return result;
}

struct ReportRun {
    int status = -1;
    std::string written;
};

// Runs the report over the installed network in `dialect`, then checks the
// ledger: every Create/Copy released once, nothing else released, no call
// with a dead or mistyped object, and no fake object left alive.
ReportRun runInstalled(JsonDialect dialect = JsonDialect::Portable) {
    ReportRun run;
    {
        SystemConfigurationSource source;
        run.status = reportProxyState(
            source,
            [&](const std::string &bytes) {
                run.written += bytes;
                return true;
            },
            dialect);
    }
    EXPECT_EQ(fakeapple::unreleased(), std::vector<std::string>());
    EXPECT_EQ(fakeapple::violations(), std::vector<std::string>());
    return run;
}

void expectNothingAlive() {
    EXPECT_EQ(fakeapple::uninstall(), 0) << "fake objects still alive: a reference was never released";
}

TEST(SystemConfigurationSourceTest, SameOutputAsTheInMemorySourceAndEveryReferenceReleasedOnce) {
    for (const ReportScenario &c : testing::reportScenarios()) {
        SCOPED_TRACE(c.name);
        fakeapple::install(toSystemConfiguration(c.network));
        const ReportRun run = runInstalled();
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.written, c.output);
        const fakeapple::PreferencesRequest request = fakeapple::lastPreferencesRequest();
        EXPECT_EQ(request.name, "halyx proxy state");
        EXPECT_FALSE(request.hasPrefsID);
        expectNothingAlive();
    }
}

TEST(SystemConfigurationSourceTest, ReleasesEachProtocolAfterItsServiceThenListSetPreferences) {
    FakeService nameOnly = testing::service("D", "Bluetooth PAN");
    nameOnly.identifier.reset();
    struct Case {
        const char *name;
        FakeNetwork network;
        std::vector<std::string> trace;
    };
    FakeNetwork noSet = testing::network({testing::service("A", "Ethernet")});
    noSet.hasSet = false;
    FakeNetwork noList = testing::network({testing::service("A", "Ethernet")});
    noList.hasList = false;
    const std::vector<Case> cases = {
        {"no set", noSet, {"SCPreferencesCreate", "CFRelease SCPreferences"}},
        {"no list",
         noList,
         {"SCPreferencesCreate", "SCNetworkSetCopyCurrent", "CFRelease SCNetworkSet", "CFRelease SCPreferences"}},
        {"every kind of service",
         testing::network({testing::service("A", "Ethernet"), testing::disabled(testing::service("B", "Wi-Fi")),
                           testing::withoutProtocol(testing::service("C", "VPN")), nameOnly,
                           testing::withoutConfiguration(testing::service("E", "USB"))}),
         {"SCPreferencesCreate", "SCNetworkSetCopyCurrent", "SCNetworkSetCopyServices",
          "SCNetworkServiceCopyProtocol A", "CFRelease SCNetworkProtocol A", "SCNetworkServiceCopyProtocol",
          "CFRelease SCNetworkProtocol", "SCNetworkServiceCopyProtocol E", "CFRelease SCNetworkProtocol E",
          "CFRelease CFArray", "CFRelease SCNetworkSet", "CFRelease SCPreferences"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fakeapple::install(toSystemConfiguration(c.network));
        runInstalled();
        EXPECT_EQ(fakeapple::ownershipTrace(), c.trace);
        expectNothingAlive();
    }
}

CFDictionaryRef configuration(std::vector<std::pair<const char *, CFTypeRef>> members) {
    std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
    for (auto &member : members) {
        entries.emplace_back(fakeapple::makeString(member.first), member.second);
    }
    return fakeapple::makeDictionary(std::move(entries));
}

// Values as CoreFoundation holds them: the conversion keeps what JSON can
// express exactly and treats the rest as absent; the document comes out in
// either spelling.
TEST(SystemConfigurationSourceTest, ConvertsConfigurationValuesOrLeavesThemOut) {
    using fakeapple::makeArray;
    using fakeapple::makeBoolean;
    using fakeapple::makeDictionary;
    using fakeapple::makeDouble;
    using fakeapple::makeInteger;
    using fakeapple::makeString;
    using fakeapple::makeStringUtf16;
    const std::u16string loneSurrogate = {u'p', 0xD800, u'x'};
    const std::u16string nulAndPair = {u'W', u'i', 0, 0xD83D, 0xDCF6};
    struct Case {
        const char *name;
        std::function<CFDictionaryRef()> configuration; // a new one per run
        std::string portable;                           // the "Config" member
        std::string foundation;
    };
    const std::vector<Case> cases = {
        {"numbers keep integer or floating type",
         [] {
             return configuration({{"HTTPPort", makeInteger(3128)},
                                   {"HTTPSPort", makeDouble(443.0)},
                                   {"SOCKSPort", makeInteger(-9007199254740993LL)},
                                   {"SOCKSProxyAuthenticated", makeDouble(0.25)}});
         },
         R"({"HTTPPort":3128,"HTTPSPort":443.0,"SOCKSPort":-9007199254740993,"SOCKSProxyAuthenticated":0.25})",
         R"({"HTTPPort":3128,"HTTPSPort":443,"SOCKSPort":-9007199254740993,"SOCKSProxyAuthenticated":0.25})"},
        {"booleans, nested lists and dictionaries",
         [] {
             return configuration({{"HTTPEnable", makeBoolean(true)},
                                   {"ExceptionsList", makeArray({makeString("*.local"), makeString("169.254/16")})},
                                   {"ProxyAutoDiscoveryEnable",
                                    makeDictionary({{makeString("a/b"), makeArray({makeBoolean(false)})}})}});
         },
         R"({"HTTPEnable":true,"ProxyAutoDiscoveryEnable":{"a/b":[false]},"ExceptionsList":["*.local","169.254/16"]})",
         R"({"HTTPEnable":true,"ProxyAutoDiscoveryEnable":{"a\/b":[false]},"ExceptionsList":["*.local","169.254\/16"]})"},
        {"text with NUL and a character outside the BMP",
         [&] {
             return configuration({{"HTTPProxy", makeStringUtf16(nulAndPair)}});
         },
         "{\"HTTPProxy\":\"Wi\\u0000\xf0\x9f\x93\xb6\"}", "{\"HTTPProxy\":\"Wi\\u0000\xf0\x9f\x93\xb6\"}"},
        {"values JSON cannot hold are absent",
         [&] {
             return configuration(
                 {{"HTTPEnable", makeInteger(1)},
                  {"HTTPProxy", makeStringUtf16(loneSurrogate)},
                  {"HTTPPort", makeDouble(std::numeric_limits<double>::quiet_NaN())},
                  {"HTTPSPort", makeDouble(std::numeric_limits<double>::infinity())},
                  {"ExceptionsList", makeArray({makeString("ok"), makeStringUtf16(loneSurrogate)})},
                  {"SOCKSProxy", makeDictionary({{makeInteger(1), makeString("v")}})},
                  {"ProxyAutoDiscoveryEnable", makeDictionary({{makeStringUtf16(loneSurrogate), makeInteger(1)}})},
                  {"SOCKSEnable", makeInteger(0)}});
         },
         R"({"HTTPEnable":1,"SOCKSEnable":0})", R"({"HTTPEnable":1,"SOCKSEnable":0})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (JsonDialect dialect : {JsonDialect::Portable, JsonDialect::Foundation}) {
            fakeapple::ServiceSetup setup;
            setup.identifier = makeString("A");
            setup.name = makeString("Ethernet");
            setup.configuration = c.configuration();
            fakeapple::Network network;
            network.services.push_back(fakeapple::makeService(setup));
            fakeapple::install(network);
            const ReportRun run = runInstalled(dialect);
            EXPECT_EQ(run.status, kExitPrinted);
            EXPECT_EQ(run.written, R"([{"Id":"A","Name":"Ethernet","Config":)" +
                                       (dialect == JsonDialect::Portable ? c.portable : c.foundation) + "}]");
            expectNothingAlive();
        }
    }
}

} // namespace
} // namespace halyx
