// The Frame Relay model.
#include "model_frelay.h"

#include <stdio.h>

#include "inet.h"
#include "q931.h"
#include "record.h"

namespace {

constexpr uint8_t kControlUi = 0x03;
constexpr uint8_t kNlpidQ933 = 0x08;
constexpr uint8_t kNlpidIp = 0xcc;

constexpr uint32_t kPollEvery = 10; // frames between two polls
constexpr uint32_t kFullEvery = 6;  // every sixth poll asks for full status (N391)
constexpr double kEchoChance = 0.4; // chance that a datagram is an echo request

constexpr uint16_t kPortEcho = 7, kPortSyslog = 514, kEphemeral = 49152;
constexpr uint8_t kCentral[4] = {192, 0, 2, 10}; // the host at the central site

// The branches behind the data DLCIs.
struct Branch {
    uint16_t dlci;
    uint8_t host[4];
    const char *name;
};
constexpr Branch kBranches[] = {
    {16, {198, 51, 100, 1}, "branch16"},
    {17, {198, 51, 100, 65}, "branch17"},
    {102, {203, 0, 113, 1}, "depot102"},
};
constexpr size_t kBranchCount = sizeof kBranches / sizeof kBranches[0];
constexpr uint16_t kDlcis[kBranchCount] = {kBranches[0].dlci, kBranches[1].dlci, kBranches[2].dlci};

// What the branches' routers report.
constexpr const char *kSyslogTexts[] = {
    "%LINEPROTO-5-UPDOWN: Line protocol on Interface Serial0/0.1, changed state to up",
    "%SYS-5-CONFIG_I: Configured from console by admin on vty0",
    "%SEC-6-IPACCESSLOGP: list 110 denied udp 198.51.100.77(1034) -> 192.0.2.10(161), 1 packet",
    "%NTP-6-PEERSYNC: NTP synced to peer 192.0.2.1",
};
constexpr uint8_t kSyslogPri = 189; // local7.notice

// The two-octet address: DLCI, C/R, FECN, BECN, DE all 0, extension bits.
void putAddress(Bytes *b, uint16_t dlci)
{
    put8(b, uint8_t((dlci >> 4) << 2));
    put8(b, uint8_t((dlci & 0x0f) << 4 | 0x01));
}

uint8_t nextSeq(uint8_t s)
{
    return s == 255 ? 1 : uint8_t(s + 1); // 0 is never sent
}

void q933(FrLink *l, bool enquiry, uint8_t report, ModelFrame *f)
{
    f->direction = enquiry ? kDirTx : kDirRx;
    uint8_t &mine = enquiry ? l->userSeq : l->networkSeq;
    mine = nextSeq(mine);
    putAddress(&f->bytes, 0);
    put8(&f->bytes, kControlUi);
    q933Message(enquiry ? kQ933StatusEnquiry : kQ933Status, report, mine,
                enquiry ? l->networkSeq : l->userSeq, kDlcis, kBranchCount, &f->bytes);
}

void datagram(FrLink *l, const Branch &b, bool fromCentral, uint16_t srcPort, uint16_t dstPort,
              const char *text, size_t len, ModelFrame *f)
{
    UdpDatagram d = {};
    for (int i = 0; i < 4; i++) {
        d.src[i] = fromCentral ? kCentral[i] : b.host[i];
        d.dst[i] = fromCentral ? b.host[i] : kCentral[i];
    }
    d.srcPort = srcPort;
    d.dstPort = dstPort;
    d.id = l->ipId[fromCentral ? 0 : 1]++;
    d.ttl = fromCentral ? 64 : 62;
    d.payload = reinterpret_cast<const uint8_t *>(text);
    d.payloadLen = len;
    f->direction = fromCentral ? kDirTx : kDirRx;
    putAddress(&f->bytes, b.dlci);
    put8(&f->bytes, kControlUi);
    put8(&f->bytes, kNlpidIp);
    putIpv4Udp(d, &f->bytes);
}

void syslog(FrLink *l, Rng *r, ModelFrame *f)
{
    const Branch &b = kBranches[rngBelow(r, kBranchCount)];
    char text[160];
    int n = snprintf(text, sizeof text, "<%u>%u: %s: %s", kSyslogPri, ++l->syslogSeq, b.name,
                     kSyslogTexts[rngBelow(r, sizeof kSyslogTexts / sizeof kSyslogTexts[0])]);
    datagram(l, b, false, kPortSyslog, kPortSyslog, text, size_t(n), f);
}

// An echo request either way; its response is owed.
void echoRequest(FrLink *l, Rng *r, ModelFrame *f)
{
    FrEcho &e = l->echo;
    e.branch = uint8_t(rngBelow(r, kBranchCount));
    e.fromCentral = rngUnit(r) < 0.5;
    e.port = uint16_t(kEphemeral + rngBelow(r, 16384));
    int n = snprintf(e.text, sizeof e.text, "probe %u from %s", l->ipId[e.fromCentral ? 0 : 1],
                     e.fromCentral ? "central" : kBranches[e.branch].name);
    e.len = uint8_t(n);
    datagram(l, kBranches[e.branch], e.fromCentral, e.port, kPortEcho, e.text, e.len, f);
    l->echoOwed = true;
}

// The response: the request's payload with addresses, ports and direction
// swapped.
void echoResponse(FrLink *l, ModelFrame *f)
{
    const FrEcho &e = l->echo;
    datagram(l, kBranches[e.branch], !e.fromCentral, kPortEcho, e.port, e.text, e.len, f);
    l->echoOwed = false;
}

} // namespace

void frelayInit(FrLink *l)
{
    *l = FrLink{};
    l->owedReport = -1;
}

uint64_t frelayOwed(const FrLink &l)
{
    return (l.owedReport >= 0) + l.echoOwed;
}

void frelayNext(FrLink *l, Rng *r, uint64_t left, ModelFrame *f)
{
    f->bytes.clear();
    l->sincePoll++;
    if (l->owedReport >= 0) {
        q933(l, false, uint8_t(l->owedReport), f);
        l->owedReport = -1;
    } else if (l->echoOwed) {
        echoResponse(l, f);
    } else if (left >= 2 && (l->enquiries == 0 || l->sincePoll >= kPollEvery)) {
        uint8_t report = l->enquiries++ % kFullEvery == 0 ? kReportFullStatus : kReportLinkIntegrity;
        q933(l, true, report, f);
        l->owedReport = report;
        l->sincePoll = 0;
    } else if (left >= 2 && rngUnit(r) < kEchoChance) {
        echoRequest(l, r, f);
    } else {
        syslog(l, r, f);
    }
}
