// Start-up settings of the monitor: the command line, the usage text, the
// fatal-error exit and the line number, plus the run state that the modes
// fill and the exit handler reads.
#pragma once
#include <net/if.h>
#include <sys/time.h>

constexpr int HOST_NAME_CHARS = 253; // longest collector host name taken
constexpr int MAX_DELAY_USECS = 1000000; // -w: the pacing measures up to 1 s
constexpr int MAX_RCVBUF_KBYTES = 2097151; // -B: z * 1024 must fit an int

extern const char *progname;       // last path component of argv[0]
extern char g_device[IFNAMSIZ];    // interface to monitor, e.g. sync0
extern char g_remoteSvr[HOST_NAME_CHARS + 1]; // collector host or address
extern const char *g_szRemotePort; // collector port or service (argv text)
extern int g_gwId;                 // gateway id; low 8 bits go on the wire
extern int g_cardCfg;              // line number offset of the card
extern int g_origLine;             // line number read from the device name
extern int g_lineNum;              // line number; low 8 bits go on the wire
extern int g_bUseTcp;              // -t: TCP instead of UDP
extern int g_bUseHeaderV0;         // 1: version 0 headers, 0: version 1
extern int network_needed;         // -c: raise the interface, lower it at exit
extern int g_bDisplayData;         // -d: trace connection steps and records
extern unsigned int g_truncationLen; // -l: blank frame bytes after n; 0 off
extern int g_bGenerateLocalSeq;    // -q: number records from a local counter
extern int g_bIgnoreIcmp;          // -j: no message for refused UDP sends
extern int g_bDefaultRcvbuf;       // -b: leave socket buffer sizes alone
extern int g_rcvBufSize;           // -B: socket buffer size in bytes
extern unsigned int g_minimumDelay; // -w: least microseconds between sends
extern int g_reconnectTime;        // -r: seconds between TCP attempts
extern int g_bFloodSimulation;     // any -f: flood mode
extern unsigned long g_floodCount; // -fn: records to send whole; 0 no end
extern int g_floodSize;            // -fz: flood frame size
extern int g_bFloodDelay;          // -fw: pace UDP flood sends

// The monitored interface: the descriptor used for interface requests and
// the interface name; a set name means set-up has begun and must be undone.
struct IfInfo {
    int sock;
    const char *name;
};
extern IfInfo g_ifInfo;            // the monitored interface
extern struct timeval starttv;     // when the flood started
extern unsigned long floodSends;   // flood records sent whole

// Largest -fz: the synthetic frame (size + 2 bytes) fills the frame space.
int maxFloodSize();

// Reads a decimal int as atoi does (white space, sign, digits up to the
// first non-digit, 0 without digits); values beyond int saturate.
int cvAtoi(const char *s);

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so
// that no socket of the program takes the place of a standard stream.
void openStandardDescriptors();
void setProgname(const char *argv0);
int processCommandLine(int argc, char **argv);
void usage();
void deriveLineNumber();

[[noreturn]] void error_exit(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
