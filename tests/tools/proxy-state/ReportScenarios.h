#pragma once

#include "FakeNetworkSource.h"

#include <string>
#include <vector>

namespace halyx::testing {

// Building blocks of in-memory networks.
FakeService service(const char *identifier, const char *name, const char *configuration = "{}");
FakeService disabled(FakeService result);
FakeService withoutProtocol(FakeService result);
FakeService withoutConfiguration(FakeService result);
FakeNetwork network(std::vector<FakeService> services);

// One network and what the report makes of it: the exit status and the exact
// bytes written (the portable spelling). Every source of network data is run
// through the same list.
struct ReportScenario {
    const char *name;
    FakeNetwork network;
    int status;
    std::string output;
};

std::vector<ReportScenario> reportScenarios();

} // namespace halyx::testing
