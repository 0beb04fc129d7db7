// Shutdown: the exit handler, signals and the interface requests.
#include "connection.h"
#include "fmon_test_util.h"
#include "ifreq.h"
#include "settings.h"
#include "shutdown.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

TEST(Duration, MicrosecondsBorrowFromSeconds)
{
    timeval d = tvDiff({12, 100000}, {10, 900000});
    EXPECT_EQ(d.tv_sec, 1);
    EXPECT_EQ(d.tv_usec, 200000);
    d = tvDiff({12, 900000}, {10, 100000});
    EXPECT_EQ(d.tv_sec, 2);
    EXPECT_EQ(d.tv_usec, 800000);
}

TEST(InterfaceRequest, NamesThatDoNotFitAreRefused)
{
    ifreq ifr;
    EXPECT_EQ(ifreqInit(&ifr, "abcdefghijklmno"), 0); // 15 characters
    EXPECT_STREQ(ifr.ifr_name, "abcdefghijklmno");
    errno = 0;
    EXPECT_EQ(ifreqInit(&ifr, "abcdefghijklmnop"), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    short flags;
    EXPECT_EQ(ifGetFlags(-1, "abcdefghijklmnop", &flags), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(Cleanup, ClosesTheCollectorSocketAndTracesIt)
{
    resetFmonState();
    g_bDisplayData = 1;
    g_sockfd = socket(AF_INET, SOCK_DGRAM, 0);
    int fd = g_sockfd;
    testing::internal::CaptureStdout();
    cleanup();
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Cleanup, close fd=" + std::to_string(fd) + "\n");
    EXPECT_EQ(g_sockfd, -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1); // closed
}

// Exits with status through the exit handler while monitoring an interface
// that does not exist.
[[noreturn]] void exitMonitoringMissingInterface(int needed, int status)
{
    resetFmonState();
    progname = "cvfmonUdp";
    installExitHandler();
    g_ifInfo.name = "nosuchif0";
    g_ifInfo.sock = socket(AF_INET, SOCK_DGRAM, 0);
    network_needed = needed;
    std::exit(status);
}

TEST(Cleanup, MonitorResetFailureGoesOnAFlagsFailureEndsWithStatusOne)
{
    EXPECT_EXIT(exitMonitoringMissingInterface(0, 2), testing::ExitedWithCode(2),
                "Problem on exit resetting monitor mode nosuchif0");
    EXPECT_EXIT(exitMonitoringMissingInterface(1, 0), testing::ExitedWithCode(1),
                "cvfmonUdp: Problem on exit resetting monitor mode nosuchif0.\n\t.*\n"
                "cvfmonUdp: Error getting interface nosuchif0 flags.\n");
}

// In a network namespace of its own, the loopback interface stands in for
// a port that the program raised.
[[noreturn]] void lowerLoopbackInNamespace()
{
    if (unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "no namespace\n");
        std::_Exit(0);
    }
    resetFmonState();
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    short before = 0;
    ifGetFlags(s, "lo", &before);
    ifSetFlags(s, "lo", (short)(before | IFF_UP | IFF_DEBUG));
    ifGetFlags(s, "lo", &before);
    g_ifInfo.sock = socket(AF_INET, SOCK_DGRAM, 0);
    g_ifInfo.name = "lo";
    network_needed = 1;
    cleanup();
    short after = 0;
    ifGetFlags(s, "lo", &after);
    bool ok = (before & IFF_UP) && !(after & IFF_UP) && (after & IFF_DEBUG) &&
              (after & IFF_LOOPBACK);
    std::fprintf(stderr, "%s\n", ok ? "flags kept" : "flags lost");
    std::_Exit(0);
}

TEST(Cleanup, LoweringClearsOnlyTheUpFlag)
{
    EXPECT_EXIT(lowerLoopbackInNamespace(), testing::ExitedWithCode(0), "flags kept|no namespace");
}

TEST(Signals, SignalIsActedOnByTheMainFlow)
{
    resetFmonState();
    EXPECT_EXIT(
        {
            installSignalHandlers();
            installExitHandler();
            raise(SIGINT); // only recorded
            std::fprintf(stderr, "still running\n");
            checkTermination();
        },
        testing::ExitedWithCode(2), "still running\nSignal Terminate, sig=2\n");
}

TEST(Signals, BlockingCallsAreInterrupted)
{
    resetFmonState();
    // A blocking read on a pipe that never gets data returns at the signal.
    EXPECT_EXIT(
        {
            installSignalHandlers();
            alarm(0);
            int fds[2];
            if (pipe(fds) != 0)
                std::_Exit(9);
            if (fork() == 0) {
                usleep(100000);
                kill(getppid(), SIGTERM);
                std::_Exit(0);
            }
            char c;
            ssize_t n = read(fds[0], &c, 1);
            if (n < 0 && errno == EINTR)
                checkTermination();
            std::_Exit(8);
        },
        testing::ExitedWithCode(2), "Signal Terminate, sig=15\n");
}

} // namespace
