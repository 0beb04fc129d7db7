// Command line: the option parser and the settings it leaves.
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "blocks.h"
#include "cmdline.h"
#include "device.h"
#include "ctopt.h"

namespace {

struct Outcome {
    int status;          // processCommandLine's result
    std::string device;  // g_szDeviceName afterwards
    std::string image;   // g_szImageFile afterwards
    int expert;
    std::string out;     // what was printed
};

Outcome run(std::vector<std::string> args)
{
    ctopt::optind = 1;
    ctopt::letP = nullptr;
    expert = 0;
    args.insert(args.begin(), "CTFlash");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    int status = processCommandLine((int)args.size(), argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    return {status, g_szDeviceName, g_szImageFile, expert, out};
}

const char *kUsage =
    "Command Line Options for CTFlash\n\n"
    " -i[filename] (FLASH filename, default ct_image.hex)\n"
    " -n[device name]\n\n"
    " e.g. CTFlash -nSDCI0\n\n"
    "Defaults: device name SDCI0\n";

struct Case {
    std::vector<std::string> args;
    int status;
    const char *device;
    const char *image;
    int expert;
};

TEST(CommandLine, SettingsAndUsage)
{
    const Case cases[] = {
        {{}, 0, "sync0", "ct_image.hex", 0},
        {{"/n", "sync1"}, 0, "sync1", "ct_image.hex", 0},
        {{"-nsync1"}, 0, "sync1", "ct_image.hex", 0},
        {{"-n"}, 1, "sync0", "ct_image.hex", 0},
        {{"-?"}, 1, "sync0", "ct_image.hex", 0},
        {{"/?"}, 1, "sync0", "ct_image.hex", 0},
        {{"?"}, 1, "sync0", "ct_image.hex", 0},
        {{"-i", "-x"}, 0, "sync0", "-x", 0},
        {{"-iimage.hex", "-n", "a", "-nb"}, 0, "b", "image.hex", 0},
        {{"foo", "-nsync1"}, 0, "sync0", "ct_image.hex", 0},
        {{"--", "-nsync1"}, 0, "sync0", "ct_image.hex", 0},
        {{"//", "-z"}, 0, "sync0", "ct_image.hex", 0},
        {{"-z"}, 1, "sync0", "ct_image.hex", 0},
        {{"-:"}, 1, "sync0", "ct_image.hex", 0},
        {{"-e1"}, 0, "sync0", "ct_image.hex", 1},
        {{"-e", "1"}, 0, "sync0", "ct_image.hex", 1},
        {{"-ex"}, 0, "sync0", "ct_image.hex", 0},
        {{"-e7x"}, 0, "sync0", "ct_image.hex", 7},
        {{"-e1", "-e0"}, 0, "sync0", "ct_image.hex", 0},
        {{"-nsync2", "rest", "-nsync3"}, 0, "sync2", "ct_image.hex", 0},
        {{"-", "-nsync1"}, 0, "sync0", "ct_image.hex", 0},
        {{"-n", "0123456789abcde"}, 0, "0123456789abcde", "ct_image.hex", 0},
    };
    for (const auto &c : cases) {
        std::string label;
        for (const auto &a : c.args)
            label += "'" + a + "' ";
        Outcome o = run(c.args);
        EXPECT_EQ(o.status, c.status) << label;
        EXPECT_EQ(o.device, c.device) << label;
        EXPECT_EQ(o.image, c.image) << label;
        EXPECT_EQ(o.expert, c.expert) << label;
        EXPECT_EQ(o.out, c.status ? kUsage : "") << label;
    }
}

TEST(CommandLine, OverlongArgumentsRefusedWithoutCopy)
{
    Outcome o = run({"-n", "0123456789abcdef"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.device, "sync0");
    EXPECT_EQ(o.out, "Interface name 0123456789abcdef too long\n");

    std::string path(PATH_MAX, 'a');
    o = run({"-i", path});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.image, path);

    o = run({"-i" + path + "b"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.image, "ct_image.hex");
    EXPECT_NE(o.out.find("Image file name too long"), std::string::npos);
}

// The parser's own returns, step by step.
TEST(OptionParser, ReturnsAndState)
{
    char a0[] = "CTFlash", a1[] = "-e1i", a2[] = "img", a3[] = "?", a4[] = "-z";
    char *argv[] = {a0, a1, a2, a3, a4, nullptr};
    ctopt::optind = 1;
    ctopt::letP = nullptr;
    EXPECT_EQ(ctopt::getopt(5, argv, "e:i:n:?"), 'e');
    EXPECT_STREQ(ctopt::optarg, "1i");
    EXPECT_EQ(ctopt::optind, 2);
    // A separate argument that does not start with a switch ends the scan.
    EXPECT_EQ(ctopt::getopt(5, argv, "e:i:n:?"), -1);
    EXPECT_EQ(ctopt::optind, 2);

    // An argument beginning with '?' gives the error twice: at once, then
    // as the option letter '?'.
    ctopt::optind = 3;
    errno = 0;
    EXPECT_EQ(ctopt::getopt(5, argv, "e:i:n:?"), '?');
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(ctopt::optarg, nullptr);
    EXPECT_EQ(ctopt::getopt(5, argv, "e:i:n:?"), '?');
    EXPECT_EQ(ctopt::optind, 4);
    EXPECT_EQ(ctopt::getopt(5, argv, "e:i:n:?"), '?');  // -z
    EXPECT_EQ(ctopt::getopt(5, argv, "e:i:n:?"), -1);

    // Grouped flags.
    char g0[] = "x", g1[] = "/ab", g2[] = "-c";
    char *gv[] = {g0, g1, g2, nullptr};
    ctopt::optind = 1;
    ctopt::letP = nullptr;
    EXPECT_EQ(ctopt::getopt(3, gv, "abc"), 'a');
    EXPECT_EQ(ctopt::optind, 1);
    EXPECT_EQ(ctopt::getopt(3, gv, "abc"), 'b');
    EXPECT_EQ(ctopt::optind, 2);
    EXPECT_EQ(ctopt::getopt(3, gv, "abc"), 'c');
    EXPECT_EQ(ctopt::getopt(3, gv, "abc"), -1);
    EXPECT_EQ(ctopt::optind, 3);

    EXPECT_EQ(ctopt::is_switch('-'), 1);
    EXPECT_EQ(ctopt::is_switch('/'), 1);
    EXPECT_EQ(ctopt::is_switch('\\'), 0);
}

}  // namespace
