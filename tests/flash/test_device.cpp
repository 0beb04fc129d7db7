// Device access: the request layout, the version rule and the handle.
#include <cstring>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "device.h"

namespace {

uint16_t u16At(const uint8_t *b, int offset)
{
    return uint16_t(b[offset] | b[offset + 1] << 8);
}

TEST(ControlRequest, WireBytes)
{
    uint8_t raw[268];
    uint8_t data[256];
    for (int i = 0; i < 256; i++)
        data[i] = uint8_t(i ^ 0x5A);

    fillRequest(REQ_PROGRAM, 0x30100, data);
    memcpy(raw, &cvt_ctrl_req, sizeof raw);
    const uint8_t head[12] = {1, 0, 0, 0, 1, 3, 0x03, 0x00, 0x00, 0x01, 0x00, 0x01};
    EXPECT_EQ(memcmp(raw, head, 12), 0);
    EXPECT_EQ(memcmp(raw + 12, data, 256), 0);

    fillRequest(REQ_READ, 0x30100, data);  // data of a read is not sent
    memcpy(raw, &cvt_ctrl_req, sizeof raw);
    EXPECT_EQ(raw[4], 0);
    EXPECT_EQ(raw[5], 2);
    EXPECT_EQ(u16At(raw, 6), 3);
    EXPECT_EQ(u16At(raw, 8), 0x0100);
    EXPECT_EQ(u16At(raw, 10), 256);
    for (int i = 12; i < 268; i++)
        ASSERT_EQ(raw[i], 0) << i;

    fillRequest(REQ_ERASE, 7, nullptr);
    memcpy(raw, &cvt_ctrl_req, sizeof raw);
    const uint8_t erase[12] = {1, 0, 0, 0, 1, 4, 0, 0, 7, 0, 0, 0};
    EXPECT_EQ(memcmp(raw, erase, 12), 0);
    for (int i = 12; i < 268; i++)
        ASSERT_EQ(raw[i], 0) << i;
}

TEST(VersionRule, MajorVersionTwoOnly)
{
    const struct {
        const char *text;
        int ok;
    } cases[] = {
        {"2.1.6\n", 1}, {"2.0", 1}, {"Tolvi driver v2.3.1 built 2019\n", 1},
        {"3.0.0\n", 0}, {"1.2.0\n", 0}, {"12.0\n", 0}, {"22.1", 0},
        {"2.", 0}, {"2.x 1.0", 0}, {"", 0}, {"version two", 0},
        {"build 7, 2.1", 1},  // 7 is no N.M number; 2.1 is the first
    };
    for (const auto &c : cases)
        EXPECT_EQ(tolviVersionOk(c.text, strlen(c.text)), c.ok) << c.text;
    // Only the bytes given count.
    EXPECT_EQ(tolviVersionOk("2.1.6", 2), 0);
    EXPECT_EQ(tolviVersionOk("2.1.6", 3), 1);
}

TEST(DeviceHandle, NameBound)
{
    testing::internal::CaptureStdout();
    int fd = CreateFile("0123456789abcde");
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(fd, 0) << out;
    EXPECT_STREQ(req.ifr_name, "0123456789abcde");
    EXPECT_EQ(req.ifr_data, reinterpret_cast<char *>(&cvt_ctrl_req));
    close(fd);

    testing::internal::CaptureStdout();
    fd = CreateFile("0123456789abcdef");
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(out, "Interface name 0123456789abcdef too long\n");
}

TEST(DeviceCheck, ImplausibleNamesAreNotTolviDevices)
{
    for (const char *name : {"", ".", "..", "../../../etc", "a/b", "0123456789abcdefghij"}) {
        testing::internal::CaptureStdout();
        int rc = testForTolvi(name);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 1) << name;
        EXPECT_EQ(out, std::string(name) + " is not a Corvane Tolvi USB device\n\n");
    }
}

}  // namespace
