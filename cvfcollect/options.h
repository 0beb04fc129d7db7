// The command line and the settings it fills.
#pragma once
#include <cstdint>

#include "pcapng.h"
#include "record.h"

constexpr unsigned kDefaultMaxConns = 64;   // TCP connections served at once
constexpr unsigned kMaxConnsLimit = 65536;  // the most that may be asked for
constexpr double kDefaultStallTimeout = 5;  // seconds a connection may sit inside a record
constexpr unsigned kDefaultSilentSecs = 60;  // a line without records for this long is silent
constexpr unsigned kDefaultLossAlarm = 10;   // frames lost within the window that raise the alarm
constexpr unsigned kDefaultLossWindow = 60;  // seconds of that window
constexpr unsigned kMaxLossWindow = 300;     // the per-second history a line keeps
constexpr const char *kDefaultStream = "CVFMON";  // the JetStream stream of --nats and --from-nats
constexpr const char *kStreamSubjects = "cvfmon.>";  // what the stream holds: cvfmon.<gw>.<line>
constexpr unsigned kDefaultReplicas = 1;      // copies the cluster keeps of a new stream
constexpr unsigned kMaxReplicas = 5;          // the most JetStream keeps
constexpr unsigned kDefaultNatsMaxPending = 4096;  // records published and not yet acknowledged
constexpr unsigned kDefaultNatsBacklog = 200000;   // records held until the cluster acknowledges them

// Every setting, with its default; parseOptions starts from these.
struct Options {
    int port = -1;                      // -p: port to listen on, 0 picks a free one
    bool listenUdp = false;             // -u (or neither -u nor -t): listen on UDP
    bool listenTcp = false;             // -t (or neither -u nor -t): listen on TCP
    const char *bindAddr = nullptr;     // -b: local address; null for all (dual-stack)
    int udpVersion = 0;                 // header version on UDP: 0 unless --v1
    int tcpVersion = 1;                 // header version on TCP: 1 unless --v0
    uint64_t countLimit = 0;            // -c: stop after this many valid records; 0 never
    double durationLimit = 0;           // -d: stop after this many seconds; 0 never
    double idleLimit = 0;               // -i: stop after this long without records; 0 never
    bool print = false;                 // -P: one line per record
    bool hex = false;                   // -x: whole frames in hex (implies -P)
    bool utc = false;                   // -U: times in UTC instead of local time
    bool verbose = false;               // -v: connections and refused records on stderr
    const char *capturePath = nullptr;  // -w: pcapng capture, "-" for standard output
    uint16_t linkType = kDefaultLinkType;  // -y: link type of the capture's interfaces
    uint64_t rotateBytes = 0;           // -C: new capture file before one exceeds this; 0 never
    uint64_t rotateSecs = 0;            // -G: new capture file after this many seconds; 0 never
    unsigned keepFiles = 0;             // -W: rotated files of this run kept; 0 all
    bool exitOnWriteError = false;      // --exit-on-write-error: a failed capture write ends the run
    const char *dumpPath = nullptr;     // --dump: every valid record as received
    const char *dumpInvalidPath = nullptr;  // --dump-invalid: every refused record
    const char *jsonPath = nullptr;     // -j: summary as JSON
    const char *readyPath = nullptr;    // -r: created once listening
    int rcvBufSize = 8 << 20;           // --rcvbuf: socket receive buffer in bytes
    uint64_t tcpCloseAfter = 0;         // --tcp-close-after: close a connection after n records; 0 never
    unsigned maxFrame = kDefaultMaxFrame;  // --max-frame: largest frameLen accepted
    unsigned maxConns = kDefaultMaxConns;  // --max-conns: TCP connections served at once
    double tcpStallTimeout = kDefaultStallTimeout;  // --tcp-stall-timeout: seconds a connection may sit inside a record
    const char *httpAddr = nullptr;     // --http: [ADDR:]PORT of the metrics and the live page; null none
    unsigned silentSecs = kDefaultSilentSecs;  // --silent: seconds without records until a line is silent; 0 never
    unsigned lossAlarm = kDefaultLossAlarm;    // --loss-alarm: more frames lost than this in a window are reported; 0 never
    unsigned lossWindow = kDefaultLossWindow;  // --loss-window: seconds of that window
    const char *natsUrls = nullptr;     // --nats: URL[,URL...] of the cluster records are published to
    const char *stream = kDefaultStream;  // --stream: the stream published to or read
    unsigned replicas = kDefaultReplicas;  // --replicas: copies of a stream created here
    bool memoryStorage = false;         // --storage memory (or file): where a created stream keeps records
    uint64_t maxAgeSecs = 0;            // --max-age: records older are removed; 0 never
    uint64_t maxBytes = 0;              // --max-bytes: oldest records removed beyond this; 0 no limit
    unsigned natsMaxPending = kDefaultNatsMaxPending;  // --nats-max-pending: published, awaiting acknowledgement
    unsigned natsBacklog = kDefaultNatsBacklog;  // --nats-backlog: records held unacknowledged, beyond: unpublished
    const char *fromNats = nullptr;     // --from-nats: URL[,URL...]: read the stream instead of sockets
    const char *subject = nullptr;      // --subject: filter of --from-nats; null: the whole stream
    const char *durable = nullptr;      // --durable: consumer that keeps its place; null: ephemeral
    const char *joinGroup = nullptr;    // --join: multicast group the UDP socket joins
    const char *joinIf = nullptr;       // --join-if: interface of that group; null: the system's choice
};

// 1 when this build serves HTTP (--http); the 32-bit build does not.
#ifndef CV_HAVE_HTTP
#define CV_HAVE_HTTP 0
#endif
constexpr bool kHaveHttp = CV_HAVE_HTTP;

// 1 when this build publishes to and reads from NATS JetStream (--nats,
// --from-nats); the 32-bit build does not.
#ifndef CV_HAVE_NATS
#define CV_HAVE_NATS 0
#endif
constexpr bool kHaveNats = CV_HAVE_NATS;

// Result of parseOptions.
enum OptResult { kOptRun, kOptHelp, kOptUsage };

// Fills *o from argv, starting from the defaults (so it may run again).
// Prints the reason of a usage error and the usage text.
OptResult parseOptions(int argc, char **argv, Options *o);
void printUsage(void);

