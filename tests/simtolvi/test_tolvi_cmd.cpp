// The "cvsim tolvi" commands, called as the cvsim tool calls them.
#include "tolvi_test_util.h"
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readText(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "r");
    if (!f)
        return "<missing>";
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

} // namespace

class TolviCommands : public TolviDirTest {
protected:
    std::string hex(const char *name, const char *length, const char *version = "1.0.0.3")
    {
        std::string p = path(name);
        EXPECT_EQ(runTolvi({"mkhex", p, "--length", length, "--version", version}), 0);
        return p;
    }
    std::string show(const char *name = "tolvi0")
    {
        testing::internal::CaptureStdout();
        int rc = runTolvi({"--dir", dir, "show", name});
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0);
        return out;
    }
};

TEST_F(TolviCommands, CreateMakesTheDeviceFilesAndProgramsImages)
{
    std::string one = hex("one.hex", "45312"), two = hex("two.hex", "70000", "1.1.0.0");
    ASSERT_EQ(runTolvi({"--dir", dir, "create", "tolvi0", "--image", "6:" + one,
                        "--image=bad", "--image", "8:" + two}),
              kTolviUsage)
        << "--image=VALUE is not a form the command takes";
    EXPECT_FALSE(exists(path("tolvi/tolvi0.flash")));
    ASSERT_EQ(runTolvi({"create", "--dir", dir, "tolvi0", "--image", "6:" + one, "--image",
                        "8:" + two}),
              0);
    EXPECT_EQ(readText(path("proc/cvtolvi")), "2.1.6\n");
    EXPECT_TRUE(exists(path("sys/class/cvtolvi/tolvi0")));
    EXPECT_EQ(readText(path("tolvi/tolvi0.faults")), "");
    std::vector<unsigned char> f = flash();
    ASSERT_EQ(f.size(), kTolviFlashSize);
    EXPECT_EQ(getLe32(&f[0x30000]), kTolviImageMagic);
    EXPECT_EQ(getLe32(&f[0x50000 + kHdrLength]), 70000u);
    EXPECT_EQ(f[0x30000 + 45312], 0xFF);
    EXPECT_NE(f[0x50000 + 69999], 0xFF);

    std::string table = show();
    EXPECT_NE(table.find("class entry present"), std::string::npos) << table;
    EXPECT_NE(table.find("0x30000  0x10000  0xC0DEBA5E   45312  1.0.0.3"), std::string::npos)
        << table;
    EXPECT_NE(table.find("(image of 8)"), std::string::npos) << table;
}

TEST_F(TolviCommands, ImagesAreProgrammedWithNorSemantics)
{
    std::string a = path("a.hex"), b = path("b.hex");
    FILE *f = fopen(a.c_str(), "w");
    fputs(":01000000F00F\n:00000001FF\n", f);
    fclose(f);
    f = fopen(b.c_str(), "w");
    fputs(":010000003CC3\n:00000001FF\n", f);
    fclose(f);
    ASSERT_EQ(runTolvi({"--dir", dir, "create", "tolvi0", "--image", "7:" + a, "--image",
                        "7:" + b}),
              0);
    EXPECT_EQ(flash()[0x40000], 0x30);
}

TEST_F(TolviCommands, BadImagesLeaveTheDirectoryUntouched)
{
    std::string good = hex("good.hex", "1000"), big = hex("big.hex", "70000");
    std::string broken = path("broken.hex");
    FILE *f = fopen(broken.c_str(), "w");
    fputs(":0100000042BE\n", f);
    fclose(f);
    for (const std::string &arg : std::vector<std::string>{"6:" + path("missing.hex"), "6:" + broken,
                                                           "11:" + good, "x:" + good, "6",
                                                           "10:" + big})
        EXPECT_NE(runTolvi({"--dir", dir, "create", "tolvi0", "--image", arg}), 0) << arg;
    EXPECT_FALSE(exists(path("tolvi/tolvi0.flash")));
    EXPECT_FALSE(exists(path("proc/cvtolvi")));
}

TEST_F(TolviCommands, VersionFileAndClassEntryCanBeChanged)
{
    ASSERT_EQ(runTolvi({"--dir", dir, "version", "3.0.0"}), 0);
    ASSERT_EQ(runTolvi({"--dir", dir, "create", "tolvi0"}), 0);
    EXPECT_EQ(readText(path("proc/cvtolvi")), "3.0.0\n") << "create keeps a version already set";
    ASSERT_EQ(runTolvi({"--dir", dir, "create", "tolvi1", "--version", "1.2.0",
                        "--no-class-entry"}),
              0);
    EXPECT_EQ(readText(path("proc/cvtolvi")), "1.2.0\n");
    EXPECT_FALSE(exists(path("sys/class/cvtolvi/tolvi1")));
    EXPECT_TRUE(exists(path("sys/class/cvtolvi/tolvi0")));
    ASSERT_EQ(runTolvi({"--dir", dir, "class", "tolvi0", "--remove"}), 0);
    EXPECT_FALSE(exists(path("sys/class/cvtolvi/tolvi0")));
    ASSERT_EQ(runTolvi({"--dir", dir, "class", "tolvi1", "--add"}), 0);
    EXPECT_TRUE(exists(path("sys/class/cvtolvi/tolvi1")));
    ASSERT_EQ(runTolvi({"--dir", dir, "version", "--remove"}), 0);
    EXPECT_FALSE(exists(path("proc/cvtolvi")));
    EXPECT_NE(show("tolvi1").find("(no version file)"), std::string::npos);
    EXPECT_EQ(runTolvi({"--dir", dir, "class", "tolvi1"}), kTolviUsage);
    EXPECT_EQ(runTolvi({"--dir", dir, "class", "../x", "--add"}), kTolviFailed);
}

TEST_F(TolviCommands, DumpWritesTheBytesOfTheBlockRange)
{
    std::string img = hex("img.hex", "70000");
    ASSERT_EQ(runTolvi({"--dir", dir, "create", "tolvi0", "--image", "8:" + img}), 0);
    std::string out = path("dump.bin");
    ASSERT_EQ(runTolvi({"--dir", dir, "dump", "tolvi0", "8-9", out}), 0);
    std::string bytes = readText(out);
    std::vector<unsigned char> f = flash();
    ASSERT_EQ(bytes.size(), 0x20000u);
    EXPECT_EQ(memcmp(bytes.data(), &f[0x50000], bytes.size()), 0);
    ASSERT_EQ(runTolvi({"--dir", dir, "dump", "tolvi0", "1", out}), 0);
    EXPECT_EQ(readText(out).size(), 0x2000u);
    for (const char *range : {"9-8", "11", "0-11", "-1", "a", "1-"})
        EXPECT_EQ(runTolvi({"--dir", dir, "dump", "tolvi0", range, out}), kTolviUsage) << range;
    EXPECT_EQ(runTolvi({"--dir", dir, "dump", "tolvi9", "1", out}), kTolviFailed);
}

TEST_F(TolviCommands, FaultCommandChecksItsArguments)
{
    ASSERT_EQ(runTolvi({"--dir", dir, "create", "tolvi0"}), 0);
    ASSERT_EQ(runTolvi({"--dir", dir, "fault", "tolvi0", "read", "0x30100"}), 0);
    ASSERT_EQ(runTolvi({"--dir", dir, "fault", "tolvi0", "erase", "block:6", "EBUSY"}), 0);
    EXPECT_EQ(readText(path("tolvi/tolvi0.faults")), "read 0x30100 EIO\nerase block:6 EBUSY\n");
    EXPECT_NE(show().find("fault: erase block:6 EBUSY"), std::string::npos);
    for (std::initializer_list<std::string> bad : {
             std::initializer_list<std::string>{"write", "0x100"},
             {"read", "0x80000"},
             {"read", "block:11"},
             {"read", "0x100", "ENOSUCH"},
             {"read"},
             {"clear", "now"},
         }) {
        std::vector<std::string> args = {"--dir", dir, "fault", "tolvi0"};
        args.insert(args.end(), bad.begin(), bad.end());
        std::vector<char *> argv = {(char *)"tolvi"};
        for (std::string &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        EXPECT_EQ(cvsimTolviMain((int)argv.size() - 1, argv.data()), kTolviUsage) << *bad.begin();
    }
    EXPECT_EQ(runTolvi({"--dir", dir, "fault", "tolvi7", "read", "0"}), kTolviFailed);
    ASSERT_EQ(runTolvi({"--dir", dir, "fault", "tolvi0", "clear"}), 0);
    EXPECT_EQ(readText(path("tolvi/tolvi0.faults")), "");
}

TEST_F(TolviCommands, DirectoryComesFromTheOptionOrTheEnvironment)
{
    unsetenv("CVSIM_DIR");
    EXPECT_EQ(runTolvi({"create", "tolvi0"}), kTolviFailed);
    setenv("CVSIM_DIR", dir.c_str(), 1);
    EXPECT_EQ(runTolvi({"create", "tolvi0"}), 0);
    EXPECT_TRUE(exists(path("tolvi/tolvi0.flash")));
    EXPECT_EQ(runTolvi({"show", "tolvi0", "--dir"}), kTolviUsage);
    EXPECT_EQ(runTolvi({"create", "sixteen-chars-xx"}), kTolviFailed);
    EXPECT_EQ(runTolvi({"bogus"}), kTolviUsage);
    EXPECT_EQ(runTolvi({}), kTolviUsage);
}

TEST_F(TolviCommands, MkhexChecksItsOptions)
{
    std::string out = path("x.hex");
    EXPECT_EQ(runTolvi({"mkhex", out, "--length", "131072", "--start", "0x30000"}), 0);
    EXPECT_EQ(runTolvi({"mkhex", out, "--length", "1", "--no-header"}), 0);
    for (std::initializer_list<std::string> bad : {
             std::initializer_list<std::string>{"--length", "27"},
             {"--length", "131073"},
             {"--length", "100", "--version", "1.2.3"},
             {"--length", "100", "--start", "zero"},
             {"--length"},
             {"--colour", "red"},
         }) {
        std::vector<std::string> args = {"mkhex", out};
        args.insert(args.end(), bad.begin(), bad.end());
        std::vector<char *> argv = {(char *)"tolvi"};
        for (std::string &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        EXPECT_EQ(cvsimTolviMain((int)argv.size() - 1, argv.data()), kTolviUsage)
            << *bad.begin();
    }
    EXPECT_EQ(runTolvi({"mkhex", "--length", "100"}), kTolviUsage) << "no output file";
}
