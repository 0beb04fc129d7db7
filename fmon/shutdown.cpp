// Shutdown: the exit handler and the signals that end the program.
#include "shutdown.h"
#include "connection.h"
#include "ifreq.h"
#include "receive.h"
#include "settings.h"
#include "store.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

volatile sig_atomic_t g_termSignal;
int g_inCleanup;

void signal_terminate(int sig)
{
    g_termSignal = sig;
}

void installSignalHandlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = signal_terminate;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: blocking calls return with EINTR
    if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) {
        std::perror("cvfmonUdp: Can't register signal handler ");
        std::exit(4);
    }
}

void installExitHandler()
{
    if (std::atexit(cleanup) != 0) {
        std::fprintf(stderr, "Can't register exit handler\n");
        std::exit(4);
    }
}

static void pauseOneSecond()
{
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void checkTermination()
{
    if (g_termSignal == 0 || g_inCleanup)
        return;
    std::fprintf(stderr, "Signal Terminate, sig=%u\n", (unsigned)g_termSignal);
    pauseOneSecond();
    std::exit(2);
}

struct timeval tvDiff(const struct timeval &end, const struct timeval &start)
{
    struct timeval d;
    d.tv_sec = end.tv_sec - start.tv_sec;
    d.tv_usec = end.tv_usec - start.tv_usec;
    if (d.tv_usec < 0) {
        d.tv_sec -= 1;
        d.tv_usec += 1000000;
    }
    return d;
}

// Lowers the interface if it is up: only IFF_UP is cleared.
static void lowerInterface(const char *name)
{
    std::printf("Bringing interface %s down\n", name);
    short flags = 0;
    if (ifGetFlags(g_ifInfo.sock, name, &flags) < 0)
        error_exit("Error getting interface %s flags.\n%s\n", name, std::strerror(errno));
    if (flags & IFF_UP) {
        if (ifSetFlags(g_ifInfo.sock, name, (short)(flags & ~IFF_UP)) < 0)
            error_exit("Failed to bring interface %s down.\n%s\n", name, std::strerror(errno));
    }
}

static void undoInterface()
{
    const char *name = g_ifInfo.name;
    if (ifSetMonitorMode(g_ifInfo.sock, name, 0) != 0)
        std::fprintf(stderr, "%s: Problem on exit resetting monitor mode %s.\n\t%s\n", progname,
                     name, std::strerror(errno));
    // What the monitor socket holds now was received before the end: it is
    // handled, or counted, before the socket goes.
    takeQueuedRecords();
    reportKernelDropsAtExit();
    if (network_needed)
        lowerInterface(name);
    close(g_ifInfo.sock);
    g_bMonitorBound = 0;
    g_ifInfo.sock = 0;
    g_ifInfo.name = nullptr;
}

void cleanup()
{
    g_inCleanup = 1;
    if (g_ifInfo.name != nullptr)
        undoInterface();
    // Records held behind a gap would otherwise end with the process.
    drain_store();
    if (g_sockfd > 0) {
        if (g_bDisplayData)
            std::printf("Cleanup, close fd=%d\n", g_sockfd);
        close(g_sockfd);
        g_sockfd = -1;
    }
    if (g_bFloodSimulation) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        struct timeval d = tvDiff(now, starttv);
        std::printf("\nDuration=%lu.%06lu, successful sends=%lu\n", (unsigned long)d.tv_sec,
                    (unsigned long)d.tv_usec, floodSends);
    }
    std::fflush(stdout);
}
