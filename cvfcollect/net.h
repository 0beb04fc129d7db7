// The listening sockets, the TCP connections and the UDP batch receive.
#pragma once
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "write_out.h"
#include "stream.h"

struct Listener {
    int fd;          // -1 when not listening
    int port;        // bound port
    char name[80];   // "[::]:5000" or "127.0.0.1:5000"
};

// A connection inside a record for this long stalls, and gives way first.
constexpr uint64_t kStallingNs = 1000000000u;
// A connection that has delivered records for a span counts as productive
// for as long again after its last one, up to this long.
constexpr uint64_t kProductiveCreditNs = 60000000000u;
constexpr uint64_t kEvictReportNs = 10000000000u;  // evictions reported once per this time
constexpr int kUdpBatch = 64;          // datagrams per recvmmsg
constexpr size_t kUdpSlot = 65536;     // room per datagram, any UDP payload fits

struct Conn {
    int fd;           // -1 for a free slot
    char peer[64];    // "[addr]:port" of the sender
    Stream stream;
    uint64_t records; // valid records taken from this connection
    uint64_t lastNs;  // its last data (or its accept), monotonic clock
    uint64_t recordNs;// when the incomplete record it holds began arriving
    uint64_t firstRecordNs;  // when its first whole record arrived (records > 0)
    uint64_t lastRecordNs;   // when its latest whole record arrived (records > 0)
};

// Connections closed to make room, reported as one count per interval.
struct EvictionReport {
    uint64_t count;    // closed since the last report
    uint64_t sinceNs;  // when the first of them was
};

// The connection slots and the poll set over them.
struct ConnTable {
    Conn *slots;           // size slots, fd -1 for a free one
    unsigned size;
    struct pollfd *fds;    // size + 3 entries: the listeners and the HTTP server, then the connections
    Conn **polled;         // the connection of each fds entry (null for a listener)
    EvictionReport evicted;
};

struct Options;

// The sockets the collector listens on. http is the HTTP server's
// descriptor (--http), which the server owns: it is only shown here.
struct Listeners {
    Listener udp;
    Listener tcp;
    Listener http;
};

// One recvmmsg batch: the datagrams, their sizes and senders, and the
// vector over them (about 4 MiB, so it lives on the heap).
struct UdpBatch {
    uint8_t buf[kUdpBatch][kUdpSlot];
    size_t len[kUdpBatch];                    // sizes (the full size when truncated)
    struct sockaddr_storage from[kUdpBatch];  // senders
    struct mmsghdr msgs[kUdpBatch];           // recvmmsg vector over buf
    struct iovec iov[kUdpBatch];              // one slot each
};

// Closed listeners (fd -1).
Listeners noListeners(void);
// Binds and listens as the settings say; reports the address and the
// reason and returns 0 when that is not possible.
int openListeners(const Options &o, Listeners *l);
void closeListeners(Listeners *l);
// "listening udp [::]:PORT", "listening tcp [::]:PORT" and "listening
// http ADDR:PORT" lines.
void printListening(FILE *out, const Listeners &l);
// Creates path holding the listening lines (written aside, then renamed;
// see replaceFile).
int writeReadyFile(const char *path, const Listeners &l, const WaitPolicy *wait);

// A batch with its vector set up; null when there is no memory.
UdpBatch *udpBatchNew(void);
void udpBatchFree(UdpBatch *b);
// Receives up to kUdpBatch datagrams on udp into b without waiting;
// returns the count (0 when none is waiting).
int udpReceive(const Listener &udp, UdpBatch *b);
// Makes size free slots and raises the descriptor limit to what they
// need, with extraFds more for others (the HTTP side); reports and returns
// 0 when that is not possible. The poll set has room for one more
// descriptor (the HTTP server's).
int connTableOpen(ConnTable *t, unsigned size, unsigned extraFds = 0);
// Closes every connection and frees the table.
void connTableClose(ConnTable *t);
// Accepts one waiting connection on tcp: returns its descriptor with the
// sender in peer, or -1 when none is waiting.
int acceptOne(const Listener &tcp, char *peer, size_t size);
// A free slot, or null when every one is taken.
Conn *freeSlot(ConnTable *t);
// The open connection that gives way to a new one; null for none. First
// those that have not delivered a whole record yet or stall inside one
// (kStallingNs), the one in that state longest first; then the least
// recently productive: by the time of the last record, plus the span over
// which the connection has delivered records (up to kProductiveCreditNs),
// so that a sender that keeps delivering goes last.
Conn *evictionVictim(ConnTable *t, uint64_t nowNs);
// Counts one eviction at nowNs.
void evictionNoted(EvictionReport *r, uint64_t nowNs);
// When the count is due to be reported; UINT64_MAX when there is none.
uint64_t evictionReportDue(const EvictionReport &r);
// "cvfcollect: tcp: N connections evicted in the last S s (slots full)"
// when there is a count, which starts again from 0.
void evictionReport(EvictionReport *r, uint64_t nowNs, FILE *out);
// Takes descriptor fd into the free slot c; 0 when there is no memory for
// its buffer.
int connStart(Conn *c, int fd, const char *peer, int version, unsigned maxFrame, uint64_t nowNs);
// Notes a read at nowNs that found pendingBefore bytes buffered and took
// the connection's record count from recordsBefore to c->records.
void connNoteRead(Conn *c, size_t pendingBefore, uint64_t recordsBefore, uint64_t nowNs);
// When a connection holding an incomplete record has sat inside it for
// stallNs; UINT64_MAX for a connection between records.
uint64_t stallDue(const Conn &c, uint64_t stallNs);
void closeConn(Conn *c);

// "[addr]:port", or "addr:port" for IPv4 (also when mapped into IPv6).
void formatAddr(const struct sockaddr_storage *sa, char *out, size_t size);
