// The shipped programs need the C library only, and the 32-bit build
// really is 32-bit.
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[512];
    while (fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    pclose(p);
    return out;
}

std::string program(const char *name)
{
    const char *bin = std::getenv("CV_BIN");
    return std::string(bin ? bin : ".") + "/" + name;
}

class Link : public testing::TestWithParam<const char *> {};

TEST_P(Link, NeedsOnlyTheCLibrary)
{
    std::string out = run("readelf -d '" + program(GetParam()) + "' | grep NEEDED");
    EXPECT_EQ(out.find("libstdc++"), std::string::npos) << out;
    EXPECT_EQ(out.find("libgcc"), std::string::npos) << out;
    EXPECT_NE(out.find("[libc.so.6]"), std::string::npos) << out;
    int needed = 0;
    for (std::size_t pos = 0; (pos = out.find("NEEDED", pos)) != std::string::npos; pos++)
        needed++;
    EXPECT_EQ(needed, 1) << out;
}

TEST_P(Link, ElfClassFollowsTheBuild)
{
    std::string out = run("readelf -h '" + program(GetParam()) + "' | grep Class:");
    EXPECT_NE(out.find(sizeof(void *) == 4 ? "ELF32" : "ELF64"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Shipped, Link, testing::Values("cvfmonUdp", "CTFlash"));

} // namespace
