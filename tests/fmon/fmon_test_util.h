// Helpers for the monitor's unit tests: a real collector on loopback, and
// records put into the receive buffer as the driver delivers them.
#pragma once
#include "monrec.h"
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Puts every global of the monitor back to its start value.
void resetFmonState();

// A UDP collector on 127.0.0.1; g_sockfd is connected to it.
struct UdpCollector {
    int rx = -1;
    unsigned short port = 0;
    UdpCollector();
    ~UdpCollector();
    // Connects a new g_sockfd to the collector (after resetFmonState).
    void attach();
    // The next datagram; empty when none arrives within the wait.
    Bytes next(int waitMs = 2000);
    // Sequence numbers (v0 header) of all datagrams waiting now.
    std::vector<unsigned> seqs();
};

// A TCP listener on 127.0.0.1 (not yet accepted).
struct TcpListener {
    int lfd = -1;
    unsigned short port = 0;
    std::string portText; // what g_szRemotePort points to
    TcpListener();
    ~TcpListener();
    int acceptOne(); // the accepted descriptor, or -1
    // Points the settings at this port (TCP, default buffer sizes) and
    // makes a connection attempt; connectToRemoteServer's result.
    int connectCollector();
};

// Writes a record header and frame bytes into g_monBuf; frame byte i is
// (seq * 7 + i) & 0xff. Returns the record's byte count.
long putRecord(uint32_t seq, uint32_t length, uint8_t direction = 0, unsigned long stamp = 0);
// The frame bytes putRecord writes.
Bytes framePattern(uint32_t seq, uint32_t length);
// Hands a record to the receive path as if recvfrom had returned it.
void receive(uint32_t seq, uint32_t length = 8);

uint16_t be16(const unsigned char *p);
std::string hexOf(const Bytes &b);
