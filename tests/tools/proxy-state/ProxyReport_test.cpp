#include "tools/proxy-state/ProxyReport.h"

#include "FakeNetworkSource.h"
#include "ReportScenarios.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace halyx {
namespace {

using nlohmann::ordered_json;
using testing::disabled;
using testing::FakeNetwork;
using testing::FakeNetworkSource;
using testing::FakeService;
using testing::network;
using testing::ReportScenario;
using testing::reportScenarios;
using testing::service;
using testing::withoutConfiguration;
using testing::withoutProtocol;

struct ReportRun {
    int status;
    std::string written;
    int writes;
};

// The expected texts are in the portable spelling, on every platform.
ReportRun report(FakeNetworkSource &source, bool writeSucceeds = true) {
    ReportRun run{-1, "", 0};
    run.status = reportProxyState(
        source,
        [&](const std::string &bytes) {
            run.written += bytes;
            ++run.writes;
            return writeSucceeds;
        },
        JsonDialect::Portable);
    return run;
}

TEST(ProxyReportTest, StatusAndExactOutputForEachKindOfNetwork) {
    for (const ReportScenario &c : reportScenarios()) {
        SCOPED_TRACE(c.name);
        FakeNetworkSource source(c.network);
        const ReportRun run = report(source);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.written, c.output);
        EXPECT_EQ(run.writes, c.status == 0 ? 1 : 0);
        EXPECT_EQ(source.liveHandles(), 0);
    }
}

TEST(ProxyReportTest, FailedWriteIsStatus1) {
    FakeNetworkSource source(network({service("A", "Ethernet")}));
    const ReportRun run = report(source, false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.writes, 1);
    EXPECT_EQ(run.written, R"([{"Id":"A","Name":"Ethernet","Config":{}}])");
}

TEST(ProxyReportTest, CallsAndReleasesInOrder) {
    FakeNetwork failingPreferences;
    failingPreferences.preferencesFail = true;
    FakeNetwork noSet = network({service("A", "Ethernet")});
    noSet.hasSet = false;
    FakeNetwork noList = network({service("A", "Ethernet")});
    noList.hasList = false;
    FakeService nameOnly = service("D", "Bluetooth PAN");
    nameOnly.identifier.reset();

    struct Case {
        const char *name;
        FakeNetwork network;
        std::vector<std::string> events;
    };
    const std::vector<Case> cases = {
        {"preferences cannot be created", failingPreferences, {"createPreferences halyx proxy state"}},
        {"no set: the list is never asked for",
         noSet,
         {"createPreferences halyx proxy state", "copyCurrentSet", "release preferences"}},
        {"no list",
         noList,
         {"createPreferences halyx proxy state", "copyCurrentSet", "copyServices", "release set",
          "release preferences"}},
        {"empty list: no service is read",
         network({}),
         {"createPreferences halyx proxy state", "copyCurrentSet", "copyServices", "serviceCount 0", "release list",
          "release set", "release preferences"}},
        {"every kind of service",
         network({service("A", "Ethernet"), disabled(service("B", "Wi-Fi")), withoutProtocol(service("C", "VPN")),
                  nameOnly, withoutConfiguration(service("E", "USB"))}),
         {"createPreferences halyx proxy state",
          "copyCurrentSet",
          "copyServices",
          "serviceCount 5",
          "serviceAt 0",
          "serviceEnabled 0",
          "copyProxiesProtocol 0",
          "protocolConfiguration 0",
          "serviceName 0",
          "serviceIdentifier 0",
          "release protocol 0",
          "serviceCount 5",
          "serviceAt 1",
          "serviceEnabled 1",
          "serviceCount 5",
          "serviceAt 2",
          "serviceEnabled 2",
          "copyProxiesProtocol 2",
          "serviceCount 5",
          "serviceAt 3",
          "serviceEnabled 3",
          "copyProxiesProtocol 3",
          "protocolConfiguration 3",
          "serviceName 3",
          "serviceIdentifier 3",
          "release protocol 3",
          "serviceCount 5",
          "serviceAt 4",
          "serviceEnabled 4",
          "copyProxiesProtocol 4",
          "protocolConfiguration 4",
          "serviceName 4",
          "serviceIdentifier 4",
          "release protocol 4",
          "serviceCount 5",
          "release list",
          "release set",
          "release preferences"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeNetworkSource source(c.network);
        report(source);
        EXPECT_EQ(source.events, c.events);
        EXPECT_EQ(source.liveHandles(), 0);
    }
}

TEST(ProxyReportTest, CountIsReadAgainAfterEveryService) {
    struct Case {
        const char *name;
        std::vector<long> counts;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"list grows during the walk",
         {1, 3},
         R"([{"Id":"A","Name":"a","Config":{}},{"Id":"B","Name":"b","Config":{}},{"Id":"C","Name":"c","Config":{}}])"},
        {"list shrinks during the walk", {3, 1}, R"([{"Id":"A","Name":"a","Config":{}}])"},
        {"list shrinks after the second service",
         {3, 3, 2},
         R"([{"Id":"A","Name":"a","Config":{}},{"Id":"B","Name":"b","Config":{}}])"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeNetwork changing = network({service("A", "a"), service("B", "b"), service("C", "c")});
        changing.counts = c.counts;
        FakeNetworkSource source(changing);
        const ReportRun run = report(source);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.written, c.output);
    }
}

// The two spellings of one document: the same values, differing only in "/"
// and in whole floating-point numbers.
TEST(SerializeDocumentTest, PortableAndFoundationSpelling) {
    struct Case {
        const char *name;
        ordered_json document;
        std::string portable;
        std::string foundation;
    };
    const std::vector<Case> cases = {
        {"slashes in values and keys",
         ordered_json::parse(R"({"ExceptionsList":["169.254/16","*.local"],"a/b":"http://wpad/x.pac","//":"/"})"),
         R"({"ExceptionsList":["169.254/16","*.local"],"a/b":"http://wpad/x.pac","//":"/"})",
         R"({"ExceptionsList":["169.254\/16","*.local"],"a\/b":"http:\/\/wpad\/x.pac","\/\/":"\/"})"},
        {"whole floating-point numbers",
         ordered_json::array({1.0, -2.0, 8080.0, 0.0, 123456789012.0, 1e15, 9007199254740993.0, 1e17, 1e20}),
         "[1.0,-2.0,8080.0,0.0,123456789012.0,1e+15,9.007199254740992e+15,1e+17,1e+20]",
         "[1,-2,8080,0,123456789012,1000000000000000,9007199254740992,1e+17,1e+20]"},
        {"other floating-point numbers keep their fraction or exponent",
         ordered_json::array({0.5, -1.25, 1.5e-7, 3128.75}), "[0.5,-1.25,1.5e-07,3128.75]",
         "[0.5,-1.25,1.5e-07,3128.75]"},
        {"integers, booleans, null and empty containers alike",
         ordered_json::parse(R"([3128,-1,9007199254740993,0,true,false,null,{},[],{"x":[{}]}])"),
         R"([3128,-1,9007199254740993,0,true,false,null,{},[],{"x":[{}]}])",
         R"([3128,-1,9007199254740993,0,true,false,null,{},[],{"x":[{}]}])"},
        {"escapes other than the slash alike, UTF-8 raw",
         ordered_json::array({"q\"b\\n\n\t\r\b\f\x01\x1f\x7f", "Caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x93\xb6"}),
         "[\"q\\\"b\\\\n\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\",\"Caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x93\xb6\"]",
         "[\"q\\\"b\\\\n\\n\\t\\r\\b\\f\\u0001\\u001f\x7f\",\"Caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x93\xb6\"]"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(serializeDocument(c.document, JsonDialect::Portable), c.portable);
        EXPECT_EQ(serializeDocument(c.document, JsonDialect::Foundation), c.foundation);
    }

    for (const ordered_json &notUtf8 : {ordered_json::array({"Caf\xe9/x"}), ordered_json::object({{"k\xff", 1}})}) {
        EXPECT_THROW(serializeDocument(notUtf8, JsonDialect::Portable), ordered_json::exception);
        EXPECT_THROW(serializeDocument(notUtf8, JsonDialect::Foundation), ordered_json::exception);
    }
#ifdef __APPLE__
    EXPECT_EQ(kPlatformJsonDialect, JsonDialect::Foundation);
#else
    EXPECT_EQ(kPlatformJsonDialect, JsonDialect::Portable);
#endif
}

// The report hands the dialect's bytes to the writer.
TEST(ProxyReportTest, ReportIsSpelledInTheGivenDialect) {
    const FakeNetwork exceptions =
        network({service("A", "Ethernet", R"({"HTTPPort":8080.0,"ExceptionsList":["*.local","169.254/16"]})")});
    const std::string portable =
        R"([{"Id":"A","Name":"Ethernet","Config":{"HTTPPort":8080.0,"ExceptionsList":["*.local","169.254/16"]}}])";
    const std::string foundation =
        R"([{"Id":"A","Name":"Ethernet","Config":{"HTTPPort":8080,"ExceptionsList":["*.local","169.254\/16"]}}])";
    for (JsonDialect dialect : {JsonDialect::Portable, JsonDialect::Foundation}) {
        FakeNetworkSource source(exceptions);
        std::string written;
        EXPECT_EQ(reportProxyState(
                      source,
                      [&](const std::string &bytes) {
                          written += bytes;
                          return true;
                      },
                      dialect),
                  kExitPrinted);
        EXPECT_EQ(written, dialect == JsonDialect::Portable ? portable : foundation);
    }
}

// The real writer: everything or failure, no newline added.
TEST(WriteDocumentTest, WritesExactBytesOrReportsFailure) {
    const std::string document = R"([{"Id":"A","Name":"Ethernet","Config":{}}])";

    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(writeDocument(file, document));
    std::rewind(file);
    std::string readBack(document.size() + 16, '\0');
    readBack.resize(std::fread(&readBack[0], 1, readBack.size(), file));
    std::fclose(file);
    EXPECT_EQ(readBack, document);

    std::FILE *full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_FALSE(writeDocument(full, document));
    std::fclose(full);

    // Larger than any stdio buffer: fwrite itself already comes back short.
    std::FILE *fullLarge = std::fopen("/dev/full", "w");
    ASSERT_NE(fullLarge, nullptr);
    EXPECT_FALSE(writeDocument(fullLarge, std::string(1 << 20, 'x')));
    std::fclose(fullLarge);
}

} // namespace
} // namespace halyx
