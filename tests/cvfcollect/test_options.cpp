// The command line, table-driven.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

// The settings keep pointers into argv, so the strings outlive the parse.
std::vector<std::string> g_args;

OptResult parse(const std::vector<std::string> &args)
{
    g_args = args;
    g_args.insert(g_args.begin(), "cvfcollect");
    std::vector<char *> argv;
    for (std::string &a : g_args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return parseOptions((int)g_args.size(), argv.data());
}

TEST(CollectOptions, Accepted)
{
    struct Case {
        std::vector<std::string> args;
        bool (*check)();
    } cases[] = {
        {{"-p", "5000"},
         [] { return g_port == 5000 && g_bListenUdp && g_bListenTcp && g_udpVersion == 0 &&
                     g_tcpVersion == 1 && !g_bindAddr; }},
        {{"-p", "0", "-u"}, [] { return g_port == 0 && g_bListenUdp && !g_bListenTcp; }},
        {{"--port", "1", "--tcp", "--bind", "::1"},
         [] { return !g_bListenUdp && g_bListenTcp && std::string(g_bindAddr) == "::1"; }},
        {{"-p", "1", "--v1"}, [] { return g_udpVersion == 1 && g_tcpVersion == 1; }},
        {{"-p", "1", "--v1", "--v0"}, [] { return g_udpVersion == 0 && g_tcpVersion == 0; }},
        {{"-p", "1", "-c", "10", "-d", "2.5", "-i", "0.25"},
         [] { return g_countLimit == 10 && g_durationLimit == 2.5 && g_idleLimit == 0.25; }},
        {{"-p", "1", "-x", "-U", "-v"}, [] { return g_bPrint && g_bHex && g_bUtc && g_verbose; }},
        {{"-p", "1", "--dump", "d", "--dump-invalid", "i", "-j", "j", "-r", "r"},
         [] { return std::string(g_dumpPath) == "d" && std::string(g_dumpInvalidPath) == "i" &&
                     std::string(g_jsonPath) == "j" && std::string(g_readyPath) == "r"; }},
        {{"-p", "1", "--rcvbuf", "1048576", "--tcp-close-after", "3", "--max-frame", "65535"},
         [] { return g_rcvBufSize == 1048576 && g_tcpCloseAfter == 3 && g_maxFrame == 65535; }},
        {{"-p", "65535"},
         [] { return g_port == 65535 && g_maxFrame == 4120 && !g_bPrint && g_maxConns == 64 &&
                     g_tcpStallTimeout == 5; }},
        {{"-p", "1", "--max-conns", "65536", "--tcp-stall-timeout", "0.25"},
         [] { return g_maxConns == 65536 && g_tcpStallTimeout == 0.25; }},
        {{"-p", "1", "-w", "c.pcapng"},
         [] { return std::string(g_capturePath) == "c.pcapng" && g_linkType == 140 &&
                     !g_rotateBytes && !g_rotateSecs && !g_keepFiles && !g_bExitOnWriteError &&
                     !g_dumpPath; }},
        {{"-p", "1", "-w", "c", "-y", "ppp-hdlc", "-C", "100", "-G", "3600", "-W", "24",
          "--exit-on-write-error"},
         [] { return g_linkType == 50 && g_rotateBytes == 100000000 && g_rotateSecs == 3600 &&
                     g_keepFiles == 24 && g_bExitOnWriteError; }},
        {{"-p", "1", "-w", "c", "-y", "lapd", "-C", "0.002"},
         [] { return g_linkType == 203 && g_rotateBytes == 2000; }},
        {{"-p", "1", "-w", "-", "-y", "65535", "-v"},
         [] { return std::string(g_capturePath) == "-" && g_linkType == 65535; }},
    };
    for (Case &c : cases) {
        std::string line;
        for (auto &a : c.args)
            line += a + " ";
        ASSERT_EQ(parse(c.args), kOptRun) << line;
        EXPECT_TRUE(c.check()) << line;
    }
}

TEST(CollectOptions, Refused)
{
    std::vector<std::vector<std::string>> cases = {
        {},
        {"-u"},
        {"-p", "65536"},
        {"-p", "-1"},
        {"-p", "50x"},
        {"-p", ""},
        {"-p", "1", "-c", "ten"},
        {"-p", "1", "-d", "0"},
        {"-p", "1", "-d", "-3"},
        {"-p", "1", "-i", "nan"},
        {"-p", "1", "--rcvbuf", "0"},
        {"-p", "1", "--max-frame", "65536"},
        {"-p", "1", "--max-conns", "0"},
        {"-p", "1", "--max-conns", "65537"},
        {"-p", "1", "--tcp-stall-timeout", "0"},
        {"-p", "1", "--no-such"},
        {"-p", "1", "extra"},
        {"-p"},
        {"-p", "1", "-w", "c", "-y", "mtp3"},
        {"-p", "1", "-w", "c", "-y", "65536"},
        {"-p", "1", "-w", "c", "-y", ""},
        {"-p", "1", "-w", "c", "-C", "0"},
        {"-p", "1", "-w", "c", "-C", "0.0000001"},
        {"-p", "1", "-w", "c", "-G", "1.5"},
        {"-p", "1", "-w", "c", "-G", "0"},
        {"-p", "1", "-C", "1"},
        {"-p", "1", "-w", "c", "-W", "3"},
        {"-p", "1", "-w", "c", "-G", "5", "-W", "0"},
        {"-p", "1", "-w", "-", "-G", "5"},
        {"-p", "1", "-w", "-", "-P"},
        {"-p", "1", "-w", "-", "-x"},
    };
    testing::internal::CaptureStderr();
    for (auto &c : cases) {
        std::string line;
        for (auto &a : c)
            line += a + " ";
        EXPECT_EQ(parse(c), kOptUsage) << line;
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("usage: cvfcollect -p port"), std::string::npos);
    EXPECT_NE(err.find("cvfcollect: invalid port: 65536"), std::string::npos);
    EXPECT_NE(err.find("cvfcollect: unknown link type: mtp3 (use mtp2, lapd, frelay, chdlc, "
                       "ppp-hdlc, or a number 0 to 65535)"),
              std::string::npos);
}

TEST(CollectOptions, Help)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse({"-h"}), kOptHelp);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("usage:"), std::string::npos);
}

}  // namespace
