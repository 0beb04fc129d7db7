// The traffic player.
#include "player.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "sync_port.h"

volatile sig_atomic_t g_playStop;

namespace {

constexpr int64_t kNs = 1000000000;
constexpr int64_t kCheckNs = 2000000; // how often the monitor state is read
constexpr int64_t kPollNs = 1000000;  // sleep between looks while waiting

int64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * kNs + ts.tv_nsec;
}

void sleepUntil(int64_t t)
{
    struct timespec ts = {time_t(t / kNs), long(t % kNs)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
}

void onStopSignal(int)
{
    g_playStop = 1;
}

// The state of one play.
struct Sender {
    const PlayOptions *opt;
    PlayStats *st;
    int fd;                 // the port's TUN descriptor
    unsigned ifindex;       // the port's interface index
    FILE *log;              // the log, or null
    uint8_t head[4 + 24];   // packet information and the record header
    bool monitorOn;         // last known monitor state (with a receiver)
    int64_t lastCheck;      // when the monitor state was last read
    int64_t start;          // when the play began
    int64_t shift;          // time spent waiting, which pacing skips
    int64_t first, last;    // first and last datagram written
    uint64_t paced;         // datagrams paced so far
    bool failed;            // a failure ended the play
};

// Waits until monitor mode is on and a receiver listens. False when the
// play is stopped or the wait times out.
bool awaitMonitor(Sender &s)
{
    const PlayOptions &o = *s.opt;
    int64_t begin = nowNs();
    int64_t deadline = begin + int64_t(o.waitSeconds * double(kNs));
    for (;;) {
        if (g_playStop)
            return false;
        int state = monitorState(o.dir, o.port);
        if (state == 1 && receiverListening(s.ifindex)) {
            s.monitorOn = true;
            s.lastCheck = nowNs();
            s.shift += s.lastCheck - begin;
            return true;
        }
        if (nowNs() >= deadline) {
            if (state == 1)
                simError("%s: monitor mode is on but no raw socket is bound to the port; gave up after %.1f s\n",
                         o.port, o.waitSeconds);
            else
                simError("%s: monitor mode is %s; gave up after %.1f s\n", o.port,
                         state < 0 ? "unknown (no state file)" : "off", o.waitSeconds);
            s.failed = true;
            return false;
        }
        sleepUntil(nowNs() + kPollNs);
    }
}

// Lets a datagram go when monitor mode allows it.
bool gate(Sender &s)
{
    if (s.opt->noWait)
        return true;
    int64_t now = nowNs();
    if (now - s.lastCheck >= kCheckNs) {
        s.lastCheck = now;
        if (monitorState(s.opt->dir, s.opt->port) != 1)
            s.monitorOn = false;
    }
    return s.monitorOn || awaitMonitor(s);
}

// Waits for the rate's next slot.
bool pace(Sender &s)
{
    double rate = s.opt->rate;
    if (rate > 0) {
        int64_t due = s.start + s.shift + int64_t(double(s.paced) * double(kNs) / rate);
        if (due > nowNs())
            sleepUntil(due);
    }
    s.paced++;
    return !g_playStop;
}

// A datagram refused because the port is down: wait until it is up again.
bool awaitPortUp(Sender &s)
{
    int64_t begin = nowNs();
    int64_t deadline = begin + int64_t(s.opt->waitSeconds * double(kNs));
    s.st->downWaits++;
    while (portIsUp(s.opt->port) == 0) {
        if (g_playStop)
            return false;
        if (nowNs() >= deadline) {
            simError("%s: the port stayed down; gave up after %.1f s\n", s.opt->port, s.opt->waitSeconds);
            s.failed = true;
            return false;
        }
        sleepUntil(nowNs() + kPollNs);
    }
    // The flag shows before the raising of the port reaches the sockets
    // bound to it, whose records would meanwhile be dropped. Setting the
    // flag again takes the kernel's lock that the raising holds, so it
    // returns once they listen again.
    portSetUp(s.opt->port, true);
    s.shift += nowNs() - begin;
    return true;
}

// Writes one datagram: head[0..4+hdrLen) then data. Retries while the port is down.
bool writeDatagram(Sender &s, size_t hdrLen, const uint8_t *data, size_t dataLen)
{
    struct iovec iov[2] = {{s.head, 4 + hdrLen}, {const_cast<uint8_t *>(data), dataLen}};
    for (;;) {
        if (writev(s.fd, iov, dataLen ? 2 : 1) >= 0)
            break;
        if (errno == EINTR && !g_playStop)
            continue;
        if (errno == EIO && portIsUp(s.opt->port) == 0) {
            if (!awaitPortUp(s))
                return false;
            continue;
        }
        if (!g_playStop) {
            simError("%s: writing a record failed: %s\n", s.opt->port, strerror(errno));
            s.failed = true;
        }
        return false;
    }
    int64_t now = nowNs();
    if (s.st->records == 0)
        s.first = now;
    s.last = now;
    s.st->records++;
    s.st->bytes += hdrLen + dataLen;
    return true;
}

// Direction as the log writes it.
void logDirection(char *buf, size_t size, uint8_t dir)
{
    if (dir == kDirTx)
        snprintf(buf, size, "Tx");
    else if (dir == kDirRx)
        snprintf(buf, size, "Rx");
    else
        snprintf(buf, size, "%u", dir);
}

// Sends one well-formed (or length-claiming) record.
bool sendRecord(Sender &s, const RecordHeader &hin, const uint8_t *frame, size_t len, bool claimed)
{
    const RecordLayout &lay = *s.opt->layout;
    RecordHeader h = hin;
    if (lay.tsWidth == 4)
        h.timeStamp &= 0xffffffffu;
    if (!pace(s) || !gate(s))
        return false;
    encodeHeader(lay, h, s.head + 4);
    if (!writeDatagram(s, lay.headerSize, frame, len))
        return false;
    if (claimed && h.length != len)
        s.st->malformed++;
    else
        s.st->frameBytes += len;
    if (s.log) {
        char dir[8];
        logDirection(dir, sizeof dir, h.direction);
        fprintf(s.log, "%u %s %llu %zu %016llx", h.seq, dir, (unsigned long long)h.timeStamp, len,
                (unsigned long long)frameHash(frame, len));
        if (claimed)
            fprintf(s.log, " claim=%u", h.length);
        fputc('\n', s.log);
    }
    return true;
}

// Sends a datagram that is not a record (short, empty, raw).
bool sendRaw(Sender &s, const std::vector<uint8_t> &data, const char *label)
{
    if (!pace(s) || !gate(s))
        return false;
    if (!writeDatagram(s, 0, data.data(), data.size()))
        return false;
    s.st->malformed++;
    if (s.log)
        fprintf(s.log, "- - - %zu %016llx %s\n", data.size(),
                (unsigned long long)frameHash(data.data(), data.size()), label);
    return true;
}

bool pauseFor(Sender &s, uint32_t ms)
{
    int64_t until = nowNs() + int64_t(ms) * 1000000;
    sleepUntil(until);
    s.shift += int64_t(ms) * 1000000;
    return !g_playStop;
}

bool playSynthetic(Sender &s, const TrafficOptions &opt, int64_t begin);

// Records of the scenario's steps from i on, which were not played.
uint64_t unplayed(const std::vector<ScenarioItem> &items, size_t i)
{
    uint64_t n = 0;
    for (; i < items.size(); i++)
        n += items[i].kind == ItemKind::Traffic ? items[i].traffic.count
             : items[i].kind != ItemKind::Pause ? 1
                                                : 0;
    return n;
}

void playScenario(Sender &s)
{
    const std::vector<ScenarioItem> &items = *s.opt->scenario;
    size_t i = 0;
    for (; i < items.size(); i++) {
        const ScenarioItem &it = items[i];
        if (it.kind == ItemKind::Traffic) {
            if (playSynthetic(s, it.traffic, nowNs()))
                continue;
            i++; // its own records not sent are counted
            break;
        }
        bool ok = it.kind == ItemKind::Pause ? pauseFor(s, it.pauseMs)
                  : it.kind == ItemKind::Raw ? sendRaw(s, it.data, it.label)
                                             : sendRecord(s, it.header, it.data.data(), it.data.size(),
                                                          it.claimed);
        if (!ok)
            break;
    }
    s.st->unsent += unplayed(items, i);
}

// Plays synthetic traffic; time stamps count from `begin`. False when the
// play stopped early.
bool playSynthetic(Sender &s, const TrafficOptions &opt, int64_t begin)
{
    SynthState gen;
    synthInit(&gen, opt);
    const uint8_t *pool = framePool();
    SynthRecord r;
    bool pending = false;
    while (synthNext(&gen, uint64_t((nowNs() - begin) / 1000000), &r)) {
        RecordHeader h = {r.direction, r.seq, r.timeStamp, r.length};
        if (!sendRecord(s, h, synthFrame(r, pool), r.length, false)) {
            pending = true;
            break;
        }
    }
    s.st->lost += gen.counts.lost;
    s.st->duplicated += gen.counts.duplicated;
    s.st->reordered += gen.counts.reordered;
    if (pending) {
        s.st->unsent += 1 + (gen.ready.size() - gen.readyHead) + gen.held.size() +
                        (gen.opt.count - gen.counts.generated);
    }
    return !pending;
}

// Waits until a replayed packet is due: its time after the start of the
// play, not counting the time spent waiting for the monitor or the port.
bool awaitDue(Sender &s, int64_t dueNs)
{
    int64_t due = s.start + s.shift + dueNs;
    while (!g_playStop && nowNs() < due)
        sleepUntil(due);
    return !g_playStop;
}

// Plays the packets of a checked capture, each when it is due.
void playCapture(Sender &s)
{
    ReplaySource src;
    if (!replayStart(*s.opt->capture, s.opt->traffic.startSeq, s.opt->traffic.startTs, &src)) {
        s.failed = true;
        return;
    }
    ReplayRecord r;
    int got;
    while ((got = replayNext(&src, &r)) > 0)
        if (!awaitDue(s, r.dueNs) || !sendRecord(s, r.header, r.frame, r.header.length, false))
            break;
    if (got < 0)
        s.failed = true;
    else
        s.st->unsent = s.opt->capture->packets - src.handed + (got > 0 ? 1 : 0);
    replayStop(&src);
}

void printSummary(const PlayOptions &o, const PlayStats &st)
{
    fprintf(stderr,
            "cvsim: %s: records=%llu bytes=%llu frame_bytes=%llu malformed=%llu lost=%llu "
            "duplicated=%llu reordered=%llu unsent=%llu down_waits=%llu kernel_dropped=%llu "
            "seconds=%.6f rate=%.0f\n",
            o.port, (unsigned long long)st.records, (unsigned long long)st.bytes,
            (unsigned long long)st.frameBytes, (unsigned long long)st.malformed,
            (unsigned long long)st.lost, (unsigned long long)st.duplicated,
            (unsigned long long)st.reordered, (unsigned long long)st.unsent,
            (unsigned long long)st.downWaits, (unsigned long long)st.kernelDropped, st.seconds,
            st.seconds > 0 ? double(st.records) / st.seconds : 0.0);
}

void installStopHandlers()
{
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

} // namespace

bool packetTableHasReceiver(const char *table, unsigned ifindex)
{
    const char *line = strchr(table, '\n'); // the first line holds the titles
    while (line && *line) {
        line++;
        unsigned long long sk;
        unsigned refs, type, proto, iface;
        if (sscanf(line, "%llx %u %u %x %u", &sk, &refs, &type, &proto, &iface) == 5 &&
            (proto == kEthPDiag || proto == 0x0003) && iface == ifindex)
            return true;
        line = strchr(line, '\n');
    }
    return false;
}

bool receiverListening(unsigned ifindex)
{
    FILE *f = fopen("/proc/net/packet", "r");
    if (!f)
        return true; // cannot tell: do not hold the traffic back
    static char buf[65536];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    return packetTableHasReceiver(buf, ifindex);
}

int playTraffic(const PlayOptions &opt, PlayStats *stats)
{
    *stats = PlayStats{};
    Sender s = {};
    s.opt = &opt;
    s.st = stats;
    installStopHandlers();
    s.fd = portAttach(opt.port);
    if (s.fd < 0)
        return 1;
    s.ifindex = if_nametoindex(opt.port);
    if (opt.logPath) {
        s.log = fopen(opt.logPath, "w");
        if (!s.log) {
            simError("cannot create log %s: %s\n", opt.logPath, strerror(errno));
            close(s.fd);
            return 1;
        }
        setvbuf(s.log, nullptr, _IOFBF, 1 << 20);
    }
    struct tun_pi pi = {0, htons(kEthPDiag)};
    static_assert(sizeof pi == 4, "packet information header");
    memcpy(s.head, &pi, sizeof pi);
    unsigned long long droppedBefore = portRxDropped(opt.port);
    s.start = nowNs();
    s.lastCheck = s.start - kCheckNs;
    if (opt.capture)
        playCapture(s);
    else if (opt.scenario)
        playScenario(s);
    else
        playSynthetic(s, opt.traffic, s.start);
    stats->seconds = double(s.last - s.first) / double(kNs);
    stats->kernelDropped = portRxDropped(opt.port) - droppedBefore;
    close(s.fd);
    if (s.log && fclose(s.log) != 0) {
        simError("writing log %s failed\n", opt.logPath);
        s.failed = true;
    }
    printSummary(opt, *stats);
    return s.failed ? 1 : 0;
}
