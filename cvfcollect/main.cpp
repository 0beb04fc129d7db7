// cvfcollect: receives the records a line monitor forwards over UDP or
// TCP, checks them, keeps statistics per gateway and line and prints a
// summary at the end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "capture.h"
#include "dump.h"
#include "net.h"
#include "options.h"
#include "summary.h"
#include "run.h"
#include "line_table.h"

static char g_stdoutBuf[1 << 16];  // stdout is fully buffered, flushed whenever the receive loop waits

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they
// were not, so that no file or socket opened later takes their place and
// receives what is meant for the standard streams. 0 when /dev/null cannot
// be opened.
static int openStandardDescriptors(void)
{
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            return 0;
        if (fd > 2) {
            close(fd);
            return 1;
        }
    }
}

// Opens the dump files; 0 when one cannot be created.
static int openDumps(void)
{
    if (g_options.dumpPath && !dumpOpen(&g_dump, g_options.dumpPath, &g_signals))
        return 0;
    if (g_options.dumpInvalidPath && !dumpOpen(&g_dumpInvalid, g_options.dumpInvalidPath, &g_signals))
        return 0;
    return 1;
}

// Opens the sockets and the capture, says where they listen and writes the
// ready file; 0 when any of that fails.
static int startListening(void)
{
    if (!openListeners() || !captureOpen(&g_signals))
        return 0;
    printListening(stderr);
    return !g_options.readyPath || writeReadyFile(g_options.readyPath, &g_signals);
}

// Summary, JSON, capture and dump files; 0 when anything could not be
// written. With the capture on standard output the summary goes to
// standard error.
static int finish(void)
{
    int ok = captureClose();
    ok &= dumpClose(&g_dump);
    ok &= dumpClose(&g_dumpInvalid);
    printSummary(captureToStdout() ? stderr : stdout, g_options.utc);
    if (fflush(stdout) != 0)  // before the JSON, which may go to the same file
        ok = 0;
    if (g_options.jsonPath)
        ok &= writeJsonFile(g_options.jsonPath, &g_signals);
    return ok;
}

int main(int argc, char **argv)
{
    if (!openStandardDescriptors())
        return 1;
    OptResult opt = parseOptions(argc, argv, &g_options);
    if (opt != kOptRun)
        return opt == kOptHelp ? 0 : 1;
    tzset();
    setvbuf(stdout, g_stdoutBuf, _IOFBF, sizeof g_stdoutBuf);
    if (!openDumps())
        return 1;
    ConnTable conns;
    if (!connTableOpen(&conns, g_options.listenTcp ? g_options.maxConns : 0))
        return 1;
    installSignals();
    int started = startListening();
    if (started)
        runCollector(&conns);
    connTableClose(&conns);
    if (!started) {
        captureClose();
        return 1;
    }
    int ok = finish();
    statsFree();
    return ok ? 0 : 1;
}
