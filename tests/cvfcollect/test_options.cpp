// The command line, table-driven.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

// The settings keep pointers into argv, so the strings outlive the parse.
std::vector<std::string> g_args;
Options g_opts;

OptResult parse(const std::vector<std::string> &args)
{
    g_args = args;
    g_args.insert(g_args.begin(), "cvfcollect");
    std::vector<char *> argv;
    for (std::string &a : g_args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return parseOptions((int)g_args.size(), argv.data(), &g_opts);
}

TEST(CollectOptions, Accepted)
{
    struct Case {
        std::vector<std::string> args;
        bool (*check)(const Options &o);
    } cases[] = {
        {{"-p", "5000"},
         [](const Options &o) { return o.port == 5000 && o.listenUdp && o.listenTcp && o.udpVersion == 0 &&
                     o.tcpVersion == 1 && !o.bindAddr; }},
        {{"-p", "0", "-u"}, [](const Options &o) { return o.port == 0 && o.listenUdp && !o.listenTcp; }},
        {{"--port", "1", "--tcp", "--bind", "::1"},
         [](const Options &o) { return !o.listenUdp && o.listenTcp && std::string(o.bindAddr) == "::1"; }},
        {{"-p", "1", "--v1"}, [](const Options &o) { return o.udpVersion == 1 && o.tcpVersion == 1; }},
        {{"-p", "1", "--v1", "--v0"}, [](const Options &o) { return o.udpVersion == 0 && o.tcpVersion == 0; }},
        {{"-p", "1", "-c", "10", "-d", "2.5", "-i", "0.25"},
         [](const Options &o) { return o.countLimit == 10 && o.durationLimit == 2.5 && o.idleLimit == 0.25; }},
        {{"-p", "1", "-x", "-U", "-v"}, [](const Options &o) { return o.print && o.hex && o.utc && o.verbose; }},
        {{"-p", "1", "--dump", "d", "--dump-invalid", "i", "-j", "j", "-r", "r"},
         [](const Options &o) { return std::string(o.dumpPath) == "d" && std::string(o.dumpInvalidPath) == "i" &&
                     std::string(o.jsonPath) == "j" && std::string(o.readyPath) == "r"; }},
        {{"-p", "1", "--rcvbuf", "1048576", "--tcp-close-after", "3", "--max-frame", "65535"},
         [](const Options &o) { return o.rcvBufSize == 1048576 && o.tcpCloseAfter == 3 && o.maxFrame == 65535; }},
        {{"-p", "65535"},
         [](const Options &o) { return o.port == 65535 && o.maxFrame == 4120 && !o.print && o.maxConns == 64 &&
                     o.tcpStallTimeout == 5 && !o.httpAddr && o.silentSecs == 60 && o.lossAlarm == 10 &&
                     o.lossWindow == 60; }},
        {{"-p", "1", "--silent", "0", "--loss-alarm", "0", "--loss-window", "300"},
         [](const Options &o) { return o.silentSecs == 0 && o.lossAlarm == 0 && o.lossWindow == 300; }},
        {{"-p", "1", "--max-conns", "65536", "--tcp-stall-timeout", "0.25"},
         [](const Options &o) { return o.maxConns == 65536 && o.tcpStallTimeout == 0.25; }},
        {{"-p", "1", "-w", "c.pcapng"},
         [](const Options &o) { return std::string(o.capturePath) == "c.pcapng" && o.linkType == 140 &&
                     !o.rotateBytes && !o.rotateSecs && !o.keepFiles && !o.exitOnWriteError &&
                     !o.dumpPath; }},
        {{"-p", "1", "-w", "c", "-y", "ppp-hdlc", "-C", "100", "-G", "3600", "-W", "24",
          "--exit-on-write-error"},
         [](const Options &o) { return o.linkType == 50 && o.rotateBytes == 100000000 && o.rotateSecs == 3600 &&
                     o.keepFiles == 24 && o.exitOnWriteError; }},
        {{"-p", "1", "-w", "c", "-y", "lapd", "-C", "0.002"},
         [](const Options &o) { return o.linkType == 203 && o.rotateBytes == 2000; }},
        {{"-p", "1", "-w", "-", "-y", "65535", "-v"},
         [](const Options &o) { return std::string(o.capturePath) == "-" && o.linkType == 65535; }},
    };
    for (Case &c : cases) {
        std::string line;
        for (auto &a : c.args)
            line += a + " ";
        ASSERT_EQ(parse(c.args), kOptRun) << line;
        EXPECT_TRUE(c.check(g_opts)) << line;
    }
}

TEST(CollectOptions, StreamOptions)
{
    ASSERT_EQ(parse({"-p", "1", "-u", "--join", "ff15::7", "--join-if", "lo"}), kOptRun);
    EXPECT_STREQ(g_opts.joinGroup, "ff15::7");
    EXPECT_STREQ(g_opts.joinIf, "lo");
    if (!kHaveNats) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(parse({"-p", "1", "--nats", "nats://h"}), kOptUsage);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("no NATS support"), std::string::npos);
        return;
    }
    ASSERT_EQ(parse({"-p", "1", "--nats", "nats://a,nats://b"}), kOptRun);
    EXPECT_STREQ(g_opts.stream, "CVFMON");
    EXPECT_EQ(g_opts.replicas, 1u);
    EXPECT_FALSE(g_opts.memoryStorage);
    ASSERT_EQ(parse({"--from-nats", "nats://h", "--stream", "S", "--subject", "cvfmon.3.>",
                     "--durable", "cap", "-w", "c", "-G", "60"}),
              kOptRun);
    EXPECT_FALSE(g_opts.listenUdp || g_opts.listenTcp);
    EXPECT_EQ(g_opts.port, -1);
    EXPECT_STREQ(g_opts.subject, "cvfmon.3.>");
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
        {"-p", "1", "--silent", "1.5"},
        {"-p", "1", "--silent", "-1"},
        {"-p", "1", "--loss-alarm", "x"},
        {"-p", "1", "--loss-window", "0"},
        {"-p", "1", "--loss-window", "301"},
        // what goes with publishing, reading a stream and the multicast group
        {"-p", "1", "--join-if", "lo"},
        {"-p", "1", "-t", "--join", "239.1.2.3"},
        {"-p", "1", "--subject", "cvfmon.>"},
        {"-p", "1", "--durable", "d"},
        {"-p", "1", "--replicas", "0"},
        {"-p", "1", "--replicas", "6"},
        {"-p", "1", "--storage", "disk"},
        {"-p", "1", "--stream", "a.b"},
        {"-p", "1", "--nats-backlog", "0"},
        {"--from-nats", "nats://h", "-p", "1"},
        {"--from-nats", "nats://h", "-u"},
        {"--from-nats", "nats://h", "--nats", "nats://h"},
        {"--from-nats", "nats://h", "--join", "239.1.2.3"},
        {"--from-nats", "nats://h", "--durable", "a>b"},
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

// --http where the build serves HTTP; refused, with its reason, where not.
TEST(CollectOptions, Http)
{
    testing::internal::CaptureStderr();
    OptResult r = parse({"-p", "1", "--http", "127.0.0.1:9110"});
    std::string err = testing::internal::GetCapturedStderr();
    if (kHaveHttp) {
        ASSERT_EQ(r, kOptRun);
        EXPECT_STREQ(g_opts.httpAddr, "127.0.0.1:9110");
    } else {
        EXPECT_EQ(r, kOptUsage);
        EXPECT_EQ(err, "cvfcollect: --http: this build has no HTTP support\n");
    }
}

TEST(CollectOptions, Help)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse({"-h"}), kOptHelp);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("usage:"), std::string::npos);
    // The link types as the table names them, the default marked.
    EXPECT_NE(err.find("       linktype: mtp2 (default), lapd, frelay, chdlc, ppp-hdlc, or a "
                       "number 0-65535\n       signals:"),
              std::string::npos);
}

}  // namespace
