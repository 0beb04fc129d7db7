// The listening sockets, the TCP connections and the UDP batch receive.
#pragma once
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "collect_stream.h"

struct Listener {
    int fd;          // -1 when not listening
    int port;        // bound port
    char name[80];   // "[::]:5000" or "127.0.0.1:5000"
};

constexpr int kMaxConns = 64;          // TCP connections served at once
constexpr int kUdpBatch = 64;          // datagrams per recvmmsg
constexpr size_t kUdpSlot = 65536;     // room per datagram, any UDP payload fits

struct Conn {
    int fd;           // -1 for a free slot
    char peer[64];    // "[addr]:port" of the sender
    Stream stream;
    uint64_t records; // valid records taken from this connection
};

extern Listener g_udpListener;            // UDP socket
extern Listener g_tcpListener;            // TCP listening socket
extern Conn g_conns[kMaxConns];           // open TCP connections
extern uint8_t g_udpBuf[kUdpBatch][kUdpSlot];  // datagrams of the last batch
extern size_t g_udpLen[kUdpBatch];        // their sizes (the full size when truncated)
extern struct sockaddr_storage g_udpFrom[kUdpBatch];  // their senders

// Binds and listens as the settings say; reports the address and the
// reason and returns 0 when that is not possible.
int openListeners(void);
// "listening udp [::]:PORT" and "listening tcp [::]:PORT" lines.
void printListening(FILE *out);
// Creates path holding the listening lines (written aside, then renamed).
int writeReadyFile(const char *path);

// Receives up to kUdpBatch datagrams without waiting; returns the count
// (0 when none is waiting).
int udpReceive(void);
// Accepts one connection into a free slot; returns it, or null.
Conn *acceptConn(int version, unsigned maxFrame);
void closeConn(Conn *c);
void closeAllConns(void);

// "[addr]:port", or "addr:port" for IPv4 (also when mapped into IPv6).
void formatAddr(const struct sockaddr_storage *sa, char *out, size_t size);
