// cvfmonUdp: sync-port line monitor and frame forwarder.
#include "connection.h"
#include "flood.h"
#include "receive.h"
#include "settings.h"
#include "shutdown.h"
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// First connection: fatal for UDP, retried later by monitor mode for TCP.
static void firstConnection()
{
    if (connectToRemoteServer()) {
        if (g_bDisplayData)
            std::fprintf(stderr, "Connection successful.\n");
        return;
    }
    if (!g_bUseTcp) {
        std::perror("cvfmonUdp: Unable to connect to UDP socket");
        std::exit(105);
    }
    closeRemote();
}

int main(int argc, char **argv)
{
    // Before anything is opened: a closed standard stream must not become
    // the collector socket.
    openStandardDescriptors();
    setProgname(argc > 0 ? argv[0] : nullptr);
    // Lines on standard output reach a pipe as they are printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::fprintf(stderr, "%s version 1.8.4, %s\n", progname, __DATE__);
    processCommandLine(argc, argv);
    if (setuid(0) != 0) {
        // Not root: the requests that need it report the failure themselves.
    }
    deriveLineNumber();
    installSignalHandlers();
    installExitHandler();
    firstConnection();
    if (g_bFloodSimulation)
        runFlood();
    runMonitor();
}
