// The command line: argument vectors to settings, exit statuses and output.
#include "fmon_test_util.h"
#include "settings.h"
#include <climits>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

void parse(std::vector<std::string> given)
{
    // The settings may point into the arguments, which live on as argv does.
    static std::vector<std::string> args;
    args = std::move(given);
    resetFmonState();
    args.insert(args.begin(), "cvfmonUdp");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    processCommandLine((int)args.size(), argv.data());
    deriveLineNumber();
}

struct ParseCase {
    std::vector<std::string> args;
    std::function<void()> check;
};

#define EXPECT_SETTING(expr) [] { EXPECT_TRUE(expr) << #expr; }

TEST(CommandLine, ArgumentVectorsGiveSettings)
{
    static std::string longHost(253, 'h');
    const std::vector<ParseCase> cases = {
        {{}, EXPECT_SETTING(g_device[0] == 0 && g_szRemotePort == nullptr && g_bUseHeaderV0 == 1 &&
                            g_rcvBufSize == 524288 && g_minimumDelay == 40u &&
                            g_reconnectTime == 5 && g_floodSize == 131 && g_lineNum == 0)},
        {{"sync3", "10.0.0.1", "9000", "7"},
         EXPECT_SETTING(!std::strcmp(g_device, "sync3") && !std::strcmp(g_remoteSvr, "10.0.0.1") &&
                        !std::strcmp(g_szRemotePort, "9000") && g_gwId == 7 && g_lineNum == 3)},
        {{"-t", "-v0"}, EXPECT_SETTING(g_bUseTcp == 1 && g_bUseHeaderV0 == 1)},
        {{"-v0", "-t"}, EXPECT_SETTING(g_bUseTcp == 1 && g_bUseHeaderV0 == 0)},
        {{"-v1"}, EXPECT_SETTING(g_bUseTcp == 0 && g_bUseHeaderV0 == 0)},
        {{"-v12"}, EXPECT_SETTING(g_bUseHeaderV0 == 0)},
        {{"-v1", "-v7"}, EXPECT_SETTING(g_bUseHeaderV0 == 0)},
        {{"-b", "-B64"}, EXPECT_SETTING(g_bDefaultRcvbuf == 0 && g_rcvBufSize == 65536)},
        {{"-B64", "-b"}, EXPECT_SETTING(g_bDefaultRcvbuf == 1 && g_rcvBufSize == 65536)},
        {{"-B"}, EXPECT_SETTING(g_rcvBufSize == 0)},
        {{"-fn"}, EXPECT_SETTING(g_bFloodSimulation == 1 && g_floodCount == 0)},
        {{"-fn-1"}, EXPECT_SETTING(g_floodCount == ULONG_MAX)},
        {{"-FN25"}, EXPECT_SETTING(g_floodCount == 25)},
        {{"-fz"}, EXPECT_SETTING(g_bFloodSimulation == 1 && g_floodSize == 0)},
        {{"-fx"}, EXPECT_SETTING(g_bFloodSimulation == 1 && g_floodCount == 0 &&
                                 g_floodSize == 131 && g_bFloodDelay == 0)},
        {{"-f"}, EXPECT_SETTING(g_bFloodSimulation == 1)},
        {{"-fw"}, EXPECT_SETTING(g_bFloodSimulation == 1 && g_bFloodDelay == 1)},
        {{"-fnx"}, EXPECT_SETTING(g_bFloodSimulation == 1 && g_floodCount == 0)},
        {{"-x", "--t", "-", "-1", "+x", "*t", "/"},
         EXPECT_SETTING(g_bUseTcp == 0 && g_device[0] == 0 && g_bDisplayData == 0)},
        {{"/t"}, EXPECT_SETTING(g_bUseTcp == 1)},
        {{"-tcp"}, EXPECT_SETTING(g_bUseTcp == 1)},
        {{"-display"}, EXPECT_SETTING(g_bDisplayData == 1)},
        {{"+D"}, EXPECT_SETTING(g_bDisplayData == 1)},
        {{"-C", "-Q", "-J"},
         EXPECT_SETTING(network_needed == 1 && g_bGenerateLocalSeq == 1 && g_bIgnoreIcmp == 1)},
        {{"-w100", "-W7"}, EXPECT_SETTING(g_minimumDelay == 7u)},
        {{"-w"}, EXPECT_SETTING(g_minimumDelay == 0u)},
        {{"-r-3"}, EXPECT_SETTING(g_reconnectTime == -3)},
        {{"-l0"}, EXPECT_SETTING(g_truncationLen == 0u)},
        {{"-L64"}, EXPECT_SETTING(g_truncationLen == 64u)},
        {{"sync12"}, EXPECT_SETTING(g_origLine == 2 && g_lineNum == 2)},
        {{"syncport10"}, EXPECT_SETTING(!std::strcmp(g_device, "syncport10") && g_lineNum == 0)},
        {{"abcdefghijklmn5"}, EXPECT_SETTING(!std::strcmp(g_device, "abcdefghijklmn5"))},
        {{"syncx"}, EXPECT_SETTING(g_lineNum == 0)},
        {{"sync1", "h", "p", "1", "2"}, EXPECT_SETTING(g_cardCfg == 2 && g_lineNum == 1)},
        {{"sync2", "h", "p", "1", "2"}, EXPECT_SETTING(g_lineNum == 0)},
        {{"sync3", "h", "p", "1", "2"}, EXPECT_SETTING(g_lineNum == 1)},
        {{"sync3", "h", "p", "1", "-5"}, EXPECT_SETTING(g_lineNum == 3)},
        {{"", "host"}, EXPECT_SETTING(g_device[0] == 0 && !std::strcmp(g_remoteSvr, "host"))},
        {{"sync0", longHost}, EXPECT_SETTING(std::strlen(g_remoteSvr) == 253)},
        {{"-w1000000", "-B2097151", "-fz-2"},
         EXPECT_SETTING(g_minimumDelay == 1000000u && g_rcvBufSize == 2097151 * 1024 &&
                        g_floodSize == -2)},
        {{"sync0", "h", "p", "abc"}, EXPECT_SETTING(g_gwId == 0)},
    };
    for (const auto &c : cases) {
        std::string joined;
        for (const auto &a : c.args)
            joined += a + " ";
        SCOPED_TRACE("args: " + joined);
        parse(c.args);
        c.check();
    }
}

TEST(CommandLine, LargestFloodSizeFillsTheFrameSpace)
{
    parse({"-fz" + std::to_string(maxFloodSize())});
    EXPECT_EQ(g_floodSize, MONREC_WIDE ? 4118 : 4110);
}

TEST(CommandLine, TruncationIsAnnouncedAtOnce)
{
    testing::internal::CaptureStdout();
    parse({"-l0", "-l12"});
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Frames truncated to 0 bytes\nFrames truncated to 12 bytes\n");
}

struct ExitCase {
    std::vector<std::string> args;
    const char *stderrPattern;
};

TEST(CommandLine, UsageAndRefusalsExitWithStatusOne)
{
    const std::vector<ExitCase> cases = {
        {{"-h"}, "usage: cvfmonUdp device IPaddress port GwId \\[-options\\]"},
        {{"-H"}, "usage: "},
        {{"-?"}, "usage: "},
        {{"?"}, "usage: "},
        {{"sync0", "h", "9000", "1", "0", "extra"}, "usage: "},
        {{"syncport_long_16"}, "device name syncport_long_16 is too long \\(16 characters, at most 15\\)"},
        {{"sync0", std::string(254, 'h')}, "collector host name is too long \\(254 characters, at most 253\\)"},
        {{"-w1000001"}, "value 1000001 of option -w is out of range \\(0 to 1000000\\)"},
        {{"-w-1"}, "value -1 of option -w is out of range"},
        {{"-w99999999999"}, "value 2147483647 of option -w is out of range"},
        {{"-B2097152"}, "value 2097152 of option -B is out of range \\(0 to 2097151\\)"},
        {{"-B-1"}, "option -B is out of range"},
        {{"-fz-3"}, "value -3 of option -fz is out of range \\(-2 to 41"},
        {{"-fz" + std::to_string(maxFloodSize() + 1)}, "option -fz is out of range"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        EXPECT_EXIT(parse(c.args), testing::ExitedWithCode(1), c.stderrPattern);
    }
}

TEST(CommandLine, OptionsAfterTheSixthPositionalAreNotLookedAt)
{
    EXPECT_EXIT(parse({"a", "b", "c", "d", "e", "f", "-w5000000"}), testing::ExitedWithCode(1),
                "usage: ");
}

TEST(CommandLine, UsageShowsCurrentDefaults)
{
    progname = "cvfmonUdp";
    EXPECT_EXIT(parse({"-w100", "-r9", "-h"}), testing::ExitedWithCode(1),
                "-w<u>  Minimum delay between sends in microseconds, default=100\n"
                "\t\t-r<s>  Delay between TCP connection retry in seconds, default=9\n");
}

TEST(CommandLine, UsageTextIsComplete)
{
    progname = "cvfmonUdp";
    testing::internal::CaptureStderr();
    usage();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "usage: cvfmonUdp device IPaddress port GwId [-options]\n"
              "e.g. cvfmonUdp sync0 192.168.1.94 8888 1\n"
              "cvfmonUdp options:\n"
              "\t\t-t     Use TCP (instead of UDP)\n"
              "\t\t-c     Monitor char interface\n"
              "\t\t-d     Display data\n"
              "\t\t-l<n>  Truncate data (n>0)\n"
              "\t\t-q     Generate Sequence Number\n"
              "\t\t-j     Ignore ECONNREFUSED\n"
              "\t\t-b     Default RcvBuf\n"
              "\t\t-B<z>  Set SO_RCVBUF in kbytes\n"
              "\t\t-w<u>  Minimum delay between sends in microseconds, default=40\n"
              "\t\t-r<s>  Delay between TCP connection retry in seconds, default=5\n"
              "\n"
              "\t\t-f     Flood mode\n"
              "\t\t-fn<n> Flood count\n"
              "\t\t-fz<n> Flood frame size\n"
              "\t\t-fw    Flood delay mode\n");
}

TEST(NumberConversion, ReadsLikeAtoi)
{
    const struct {
        const char *text;
        int value;
    } cases[] = {
        {"42", 42},       {"  \t-17x", -17}, {"+8", 8},   {"", 0},
        {"abc", 0},       {"12abc", 12},     {"-", 0},    {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN}, {"99999999999999999999", INT_MAX},
        {"-99999999999999999999", INT_MIN}, {"007", 7},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cvAtoi(c.text), c.value) << '"' << c.text << '"';
}

} // namespace
