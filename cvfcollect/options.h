// The command line and the settings it fills.
#pragma once
#include <cstdint>

extern int g_port;                   // -p: port to listen on, 0 picks a free one
extern int g_bListenUdp;             // -u (or neither -u nor -t): listen on UDP
extern int g_bListenTcp;             // -t (or neither -u nor -t): listen on TCP
extern const char *g_bindAddr;       // -b: local address; null for all (dual-stack)
extern int g_udpVersion;             // header version on UDP: 0 unless --v1
extern int g_tcpVersion;             // header version on TCP: 1 unless --v0
extern uint64_t g_countLimit;        // -c: stop after this many valid records; 0 never
extern double g_durationLimit;       // -d: stop after this many seconds; 0 never
extern double g_idleLimit;           // -i: stop after this long without records; 0 never
extern int g_bPrint;                 // -P: one line per record
extern int g_bHex;                   // -x: whole frames in hex (implies -P)
extern int g_bUtc;                   // -U: times in UTC instead of local time
extern int g_verbose;                // -v: connections and refused records on stderr
extern const char *g_capturePath;    // -w: pcapng capture, "-" for standard output
extern uint16_t g_linkType;          // -y: link type of the capture's interfaces
extern uint64_t g_rotateBytes;       // -C: new capture file before one exceeds this; 0 never
extern uint64_t g_rotateSecs;        // -G: new capture file after this many seconds; 0 never
extern unsigned g_keepFiles;         // -W: rotated files of this run kept; 0 all
extern int g_bExitOnWriteError;      // --exit-on-write-error: a failed capture write ends the run
extern const char *g_dumpPath;       // --dump: every valid record as received
extern const char *g_dumpInvalidPath;// --dump-invalid: every refused record
extern const char *g_jsonPath;       // -j: summary as JSON
extern const char *g_readyPath;      // -r: created once listening
extern int g_rcvBufSize;             // --rcvbuf: socket receive buffer in bytes
extern uint64_t g_tcpCloseAfter;     // --tcp-close-after: close a connection after n records; 0 never
extern unsigned g_maxFrame;          // --max-frame: largest frameLen accepted
extern unsigned g_maxConns;          // --max-conns: TCP connections served at once
extern double g_tcpStallTimeout;     // --tcp-stall-timeout: seconds a connection may sit inside a record

// Result of parseOptions.
enum OptResult { kOptRun, kOptHelp, kOptUsage };

// Fills the settings from argv (and resets them first, so it may run
// again). Prints the reason of a usage error and the usage text.
OptResult parseOptions(int argc, char **argv);
void printUsage(void);
