// IPv4 and UDP headers with their checksums, for the datagrams the Frame
// Relay model carries.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wire.h"

struct UdpDatagram {
    uint8_t src[4], dst[4]; // addresses
    uint16_t srcPort, dstPort;
    uint16_t id;            // IP identification
    uint8_t ttl;
    const uint8_t *payload;
    size_t payloadLen;
};

// Appends the IPv4 datagram (header with checksum, no options, don't
// fragment) holding the UDP datagram (with checksum).
void putIpv4Udp(const UdpDatagram &d, Bytes *out);
