// cvfcollect: receives the records a line monitor forwards over UDP or
// TCP, checks them, keeps statistics per gateway and line and prints a
// summary at the end.
#include <cstdio>
#include <ctime>

#include "collect_capture.h"
#include "collect_dump.h"
#include "collect_net.h"
#include "collect_options.h"
#include "collect_report.h"
#include "collect_run.h"
#include "collect_stats.h"

static char g_stdoutBuf[1 << 16];  // stdout is fully buffered, flushed whenever the receive loop waits

// Opens the dump files; 0 when one cannot be created.
static int openDumps(void)
{
    if (g_dumpPath && !dumpOpen(&g_dump, g_dumpPath))
        return 0;
    if (g_dumpInvalidPath && !dumpOpen(&g_dumpInvalid, g_dumpInvalidPath))
        return 0;
    return 1;
}

// Summary, JSON, capture and dump files; 0 when anything could not be
// written. With the capture on standard output the summary goes to
// standard error.
static int finish(void)
{
    int ok = captureClose();
    ok &= dumpClose(&g_dump);
    ok &= dumpClose(&g_dumpInvalid);
    printSummary(captureToStdout() ? stderr : stdout, g_bUtc);
    if (g_jsonPath)
        ok &= writeJsonFile(g_jsonPath);
    if (fflush(stdout) != 0)
        ok = 0;
    return ok;
}

int main(int argc, char **argv)
{
    OptResult opt = parseOptions(argc, argv);
    if (opt != kOptRun)
        return opt == kOptHelp ? 0 : 1;
    tzset();
    setvbuf(stdout, g_stdoutBuf, _IOFBF, sizeof g_stdoutBuf);
    if (!openDumps())
        return 1;
    installSignals();
    if (!openListeners())
        return 1;
    if (!captureOpen()) {
        captureClose();
        return 1;
    }
    printListening(stderr);
    if (g_readyPath && !writeReadyFile(g_readyPath))
        return 1;
    runCollector();
    closeAllConns();
    int ok = finish();
    statsFree();
    return ok ? 0 : 1;
}
