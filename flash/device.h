// Device access: the Tolvi check at start-up, the device handle and the
// driver's control request.
#pragma once
#include <cstddef>
#include <cstdint>
#include <net/if.h>
#include <linux/sockios.h>

// Control request opcodes.
constexpr int REQ_READ = 2;
constexpr int REQ_PROGRAM = 3;
constexpr int REQ_ERASE = 4;

// The Tolvi driver's private ioctl that carries the control request.
constexpr unsigned long IoctlCodeCorvaneControlRequest = SIOCDEVPRIVATE + 4;
static_assert(IoctlCodeCorvaneControlRequest == 0x89F4);

constexpr int kChunkSize = 256;       // data bytes of one read or program request
constexpr int kDeviceNameSize = 260;  // size of g_szDeviceName
constexpr int kMaxIfName = IFNAMSIZ - 1;  // longest interface name the kernel takes
static_assert(kMaxIfName == 15);

constexpr const char *kTolviClassDir = "/sys/class/cvtolvi/";
constexpr const char *kTolviVersionFile = "/proc/cvtolvi";
constexpr int kVersionReadSize = 128;  // bytes of the version file that are examined

// The driver's control request, in host (little-endian) order.
struct CvtCtrlReq {
    uint32_t reqClass;     // always 1
    uint8_t reqWrite;      // 0 read, 1 program and erase
    uint8_t reqOpcode;     // REQ_READ, REQ_PROGRAM, REQ_ERASE
    uint16_t reqAddrHigh;  // flash address bits 16-31
    uint16_t reqAddrLow;   // flash address bits 0-15, or the block to erase
    uint16_t reqLength;    // 256 for read and program, 0 for erase
    uint8_t reqData[kChunkSize];
};
static_assert(sizeof(CvtCtrlReq) == 268);
static_assert(offsetof(CvtCtrlReq, reqClass) == 0);
static_assert(offsetof(CvtCtrlReq, reqWrite) == 4);
static_assert(offsetof(CvtCtrlReq, reqOpcode) == 5);
static_assert(offsetof(CvtCtrlReq, reqAddrHigh) == 6);
static_assert(offsetof(CvtCtrlReq, reqAddrLow) == 8);
static_assert(offsetof(CvtCtrlReq, reqLength) == 10);
static_assert(offsetof(CvtCtrlReq, reqData) == 12);

extern char g_szDeviceName[kDeviceNameSize];  // interface of the adapter (-n)
extern struct ifreq req;                      // names the interface, points at cvt_ctrl_req
extern CvtCtrlReq cvt_ctrl_req;               // the one control request, refilled for each use

// Every driver request goes through this pointer (normally ioctl(2));
// the unit tests put an emulated device here.
extern int (*g_pfnDeviceIoctl)(int fd, unsigned long code, struct ifreq *ifr);

// 0 when name is a Tolvi interface of a suitable driver, else 1 after
// printing the reason.
int testForTolvi(const char *name);

// 1 when the driver version text (len bytes) names major version 2.
int tolviVersionOk(const char *text, size_t len);

// A device handle for name, with req set up for it; -1 after a message.
int CreateFile(const char *name);

// Zeroes cvt_ctrl_req and fills it for one request. For REQ_ERASE the
// address is the block number; data (256 bytes) is used by REQ_PROGRAM.
void fillRequest(int opcode, uint32_t address, const uint8_t *data);

// Fills and sends one request on handle fd: 0 on success, else -1 with errno.
int cvtRequest(int fd, int opcode, uint32_t address, const uint8_t *data);
