// Device access: the Tolvi check at start-up, the device handle and the
// driver's control request.
#include "device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

char g_szDeviceName[kDeviceNameSize] = "sync0";
struct ifreq req;
CvtCtrlReq cvt_ctrl_req;

static int systemIoctl(int fd, unsigned long code, struct ifreq *ifr)
{
    return ioctl(fd, code, ifr);
}

int (*g_pfnDeviceIoctl)(int fd, unsigned long code, struct ifreq *ifr) = systemIoctl;

// A name the kernel could never give an interface would let the class
// directory path point elsewhere ("", ".", "..", anything with '/').
static int plausibleIfName(const char *name)
{
    size_t len = strnlen(name, kMaxIfName + 1);
    if (len == 0 || len > kMaxIfName || strchr(name, '/'))
        return 0;
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

static int pathExists(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return 0;
    close(fd);
    return 1;
}

// Finds the first "N.M" in the text; returns N, or -1 when there is none.
static long firstMajorVersion(const char *text, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9' || (i > 0 && text[i - 1] >= '0' && text[i - 1] <= '9'))
            continue;
        long major = 0;
        size_t j = i;
        for (; j < len && text[j] >= '0' && text[j] <= '9'; j++)
            major = major < 100000 ? major * 10 + (text[j] - '0') : major;
        if (j + 1 < len && text[j] == '.' && text[j + 1] >= '0' && text[j + 1] <= '9')
            return major;
        i = j;
    }
    return -1;
}

int tolviVersionOk(const char *text, size_t len)
{
    return firstMajorVersion(text, len) == 2;
}

// The version text as read, up to its first NUL and without its line end.
static void trimVersionText(char *text, size_t len)
{
    text[len] = '\0';
    len = strlen(text);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
        text[--len] = '\0';
}

static int notTolvi(const char *name)
{
    printf("%s is not a Corvane Tolvi USB device\n\n", name);
    return 1;
}

int testForTolvi(const char *name)
{
    char path[128];
    int n = snprintf(path, sizeof path, "%s%s", kTolviClassDir, name);
    if (!plausibleIfName(name) || n < 0 || (size_t)n >= sizeof path || !pathExists(path))
        return notTolvi(name);
    int fd = open(kTolviVersionFile, O_RDONLY);
    if (fd < 0)
        return notTolvi(name);
    char text[kVersionReadSize + 1];
    ssize_t got = read(fd, text, kVersionReadSize);
    close(fd);
    size_t len = got > 0 ? (size_t)got : 0;
    if (!tolviVersionOk(text, len)) {
        trimVersionText(text, len);
        printf("**** The version of the Corvane Tolvi driver is not compatable with this utility(%s)\n", text);
        printf("A minimum version of 2.0 is required\n\n");
        return 1;
    }
    return 0;
}

int CreateFile(const char *name)
{
    if (strnlen(name, kMaxIfName + 1) > kMaxIfName) {
        printf("Interface name %s too long\n", name);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        printf("Unable to create socket. %s\n", strerror(errno));
        return -1;
    }
    memset(&req, 0, sizeof req);
    memcpy(req.ifr_name, name, strlen(name));
    req.ifr_data = reinterpret_cast<char *>(&cvt_ctrl_req);
    return fd;
}

void fillRequest(int opcode, uint32_t address, const uint8_t *data)
{
    memset(&cvt_ctrl_req, 0, sizeof cvt_ctrl_req);
    cvt_ctrl_req.reqClass = 1;
    cvt_ctrl_req.reqOpcode = (uint8_t)opcode;
    if (opcode == REQ_ERASE) {
        cvt_ctrl_req.reqWrite = 1;
        cvt_ctrl_req.reqAddrLow = (uint16_t)address;
        return;
    }
    cvt_ctrl_req.reqWrite = opcode == REQ_PROGRAM ? 1 : 0;
    cvt_ctrl_req.reqAddrHigh = (uint16_t)(address >> 16);
    cvt_ctrl_req.reqAddrLow = (uint16_t)(address & 0xFFFF);
    cvt_ctrl_req.reqLength = kChunkSize;
    if (opcode == REQ_PROGRAM && data)
        memcpy(cvt_ctrl_req.reqData, data, kChunkSize);
}

int cvtRequest(int fd, int opcode, uint32_t address, const uint8_t *data)
{
    fillRequest(opcode, address, data);
    return g_pfnDeviceIoctl(fd, IoctlCodeCorvaneControlRequest, &req) == 0 ? 0 : -1;
}
