// halyx-proxy-state: prints the proxy settings of the enabled network services
// of the current network set as one compact JSON array, or nothing.
// Arguments, environment and standard input are not read; standard error is
// never written. Exit status 0: the document was written; 1: nothing was.

#include "tools/proxy-state/ProxyReport.h"

#ifdef __APPLE__
#include "tools/proxy-state/SystemConfigurationSource.h"
#else
#include "tools/proxy-state/LinuxNetworkSource.h"
#endif

#include <csignal>
#include <cstdio>

int main() {
    // A reader that went away must show as a failed write (status 1), not as
    // death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    try {
#ifdef __APPLE__
        halyx::SystemConfigurationSource source;
#else
        halyx::silenceGLibDiagnostics();
        halyx::LinuxNetworkSource source;
#endif
        return halyx::reportProxyState(source,
                                       [](const std::string &bytes) { return halyx::writeDocument(stdout, bytes); });
    } catch (...) {
        // Out of memory: a report is either whole or absent, and never a
        // message on standard error.
        return halyx::kExitNothingPrinted;
    }
}
