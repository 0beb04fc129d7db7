// IPv4/UDP encoder.
#include "inet.h"

namespace {

constexpr uint8_t kVersionIhl = 0x45; // IPv4, 20-byte header
constexpr uint16_t kDontFragment = 0x4000;
constexpr uint8_t kProtoUdp = 17;
constexpr size_t kIpHeader = 20, kUdpHeader = 8;

// The one's complement sum of big-endian 16-bit words, carries folded.
uint32_t sum16(const uint8_t *p, size_t n, uint32_t sum)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (n % 2)
        sum += uint32_t(p[n - 1]) << 8;
    return sum;
}

uint16_t finish(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return uint16_t(~sum);
}

} // namespace

void putIpv4Udp(const UdpDatagram &d, Bytes *out)
{
    uint16_t udpLen = uint16_t(kUdpHeader + d.payloadLen);
    size_t ip = out->size();
    put8(out, kVersionIhl);
    put8(out, 0); // type of service
    putBe16(out, uint16_t(kIpHeader + udpLen));
    putBe16(out, d.id);
    putBe16(out, kDontFragment);
    put8(out, d.ttl);
    put8(out, kProtoUdp);
    putBe16(out, 0); // checksum, set below
    putBytes(out, d.src, 4);
    putBytes(out, d.dst, 4);
    setBe16(out, ip + 10, finish(sum16(out->data() + ip, kIpHeader, 0)));

    size_t udp = out->size();
    putBe16(out, d.srcPort);
    putBe16(out, d.dstPort);
    putBe16(out, udpLen);
    putBe16(out, 0); // checksum, set below
    putBytes(out, d.payload, d.payloadLen);
    // The UDP checksum covers a pseudo-header of addresses, protocol and length.
    uint32_t pseudo = sum16(d.src, 4, 0);
    pseudo = sum16(d.dst, 4, pseudo) + kProtoUdp + udpLen;
    uint16_t c = finish(sum16(out->data() + udp, udpLen, pseudo));
    setBe16(out, udp + 6, c ? c : 0xffff); // 0 would mean no checksum
}
