// Replay of a capture: options, the check of the whole file, the time line
// and the records handed to the player.
#include "replay.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cvsim.h"
#include "sync_port.h"

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr double kMinSpeed = 0.001; // slower than this (but 0) is a mistake
// The longest time a replay spans or waits: about a century, which keeps
// every sum with the player's clock in range whatever a file's times are.
constexpr int64_t kMaxElapsedNs = int64_t(1) << 61;

struct DirectionName {
    const char *name;
    ReplayDirection dir;
};
constexpr DirectionName kDirections[] = {
    {"rx", ReplayDirection::Rx}, {"tx", ReplayDirection::Tx}, {"alternate", ReplayDirection::Alternate}};

bool parseDirection(const char *arg, ReplayDirection *out)
{
    for (const DirectionName &d : kDirections)
        if (!strcmp(arg, d.name)) {
            *out = d.dir;
            return true;
        }
    simError("--direction: \"%s\" is none of rx, tx, alternate\n", arg);
    return false;
}

// "MTP2 (140), LAPD (203), ..." for messages.
void linkTypeList(char *out, size_t size)
{
    size_t at = 0;
    for (size_t i = 0; i < kReplayLinkTypeCount && at < size; i++) {
        int n = snprintf(out + at, size - at, "%s%s (%u)", i ? ", " : "", kReplayLinkTypes[i].name,
                         kReplayLinkTypes[i].linkType);
        if (n < 0)
            break;
        at += size_t(n);
    }
}

// Prints why a packet cannot be played; true when it can. firstLink is
// the link type of the file's first packet, -1 while there is none.
bool packetPlayable(const char *path, const CapturePacket &p, int firstLink)
{
    unsigned long long n = p.number;
    if (p.linkType < 0) {
        char list[200];
        linkTypeList(list, sizeof list);
        simError("--capture %s: packet %llu is of link type %s; cvsim plays %s\n", path, n, p.linkName,
                 list);
        return false;
    }
    if (firstLink >= 0 && p.linkType != firstLink) {
        simError("--capture %s: packet %llu is %s but the first packet is %s; a port carries one "
                 "protocol: play each link type on its own (tshark -Y or editcap split a file)\n",
                 path, n, kReplayLinkTypes[p.linkType].name, kReplayLinkTypes[firstLink].name);
        return false;
    }
    if (p.capLen < p.wireLen) {
        simError("--capture %s: packet %llu holds %u of its %u bytes (the capture cut it); only whole "
                 "frames are played\n",
                 path, n, p.capLen, p.wireLen);
        return false;
    }
    if (p.capLen > kMaxFrame) {
        simError("--capture %s: packet %llu is %u bytes, longer than the largest frame the driver "
                 "delivers (%zu bytes)\n",
                 path, n, p.capLen, kMaxFrame);
        return false;
    }
    return true;
}

// Opens the file for both readings: a regular file, not empty.
int openCapture(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        simError("--capture %s: %s\n", path, strerror(errno));
        return -1;
    }
    struct stat st;
    const char *why = fstat(fd, &st) != 0 ? strerror(errno)
                      : !S_ISREG(st.st_mode) ? "not a regular file (it is read twice)"
                      : st.st_size == 0      ? "the file is empty"
                                             : nullptr;
    if (why) {
        simError("--capture %s: %s\n", path, why);
        close(fd);
        return -1;
    }
    return fd;
}

// Reads every record; fills the plan's count and link type.
bool scanCapture(const char *path, CaptureReader *r, ReplayPlan *plan)
{
    CapturePacket p;
    int got;
    uint64_t others = 0;
    while ((got = captureNext(r, &p)) > 0) {
        if (!p.isPacket) {
            others++;
            continue;
        }
        if (!packetPlayable(path, p, plan->packets ? plan->linkType : -1))
            return false;
        plan->linkType = p.linkType;
        plan->packets++;
    }
    if (got < 0)
        return false;
    if (plan->packets == 0) {
        simError("--capture %s: the file holds no packets\n", path);
        return false;
    }
    if (others)
        simError("--capture %s: %llu records that carry no frame are not played\n", path,
                 (unsigned long long)others);
    return true;
}

} // namespace

ReplayOptions replayDefaults()
{
    return ReplayOptions{nullptr, 1.0, ReplayDirection::Rx, false};
}

int replayOption(const char *name, const char *arg, ReplayOptions *o)
{
    if (!strcmp(name, "capture")) {
        o->path = arg;
        return 1;
    }
    if (!strcmp(name, "speed")) {
        o->tuned = true;
        if (!parseNonNegative(name, arg, &o->speed))
            return -1;
        if (o->speed > 0 && o->speed < kMinSpeed) {
            simError("--speed: \"%s\" is below %g (0 plays flat out)\n", arg, kMinSpeed);
            return -1;
        }
        return 1;
    }
    if (!strcmp(name, "direction")) {
        o->tuned = true;
        return parseDirection(arg, &o->direction) ? 1 : -1;
    }
    return 0;
}

bool replayCheck(const ReplayOptions &o, ReplayPlan *plan)
{
    *plan = ReplayPlan{o, -1, 0, -1};
    if (!captureReaderBuilt()) {
        simError("--capture: this build cannot read captures\n");
        return false;
    }
    plan->fd = openCapture(o.path);
    if (plan->fd < 0)
        return false;
    CaptureReader *r = captureOpen(o.path, plan->fd);
    bool ok = r && scanCapture(o.path, r, plan);
    if (r)
        captureClose(r);
    if (!ok)
        replayRelease(plan);
    return ok;
}

void replayRelease(ReplayPlan *plan)
{
    if (plan->fd >= 0)
        close(plan->fd);
    plan->fd = -1;
}

void replayClockAdvance(ReplayClock *c, bool hasTime, int64_t timeNs)
{
    if (!hasTime)
        return;
    if (!c->started) {
        c->started = true;
        c->firstNs = timeNs;
        c->elapsedNs = 0;
        return;
    }
    int64_t since;
    if (__builtin_sub_overflow(timeNs, c->firstNs, &since))
        since = timeNs > c->firstNs ? kMaxElapsedNs : 0;
    if (since > c->elapsedNs)
        c->elapsedNs = since < kMaxElapsedNs ? since : kMaxElapsedNs;
}

int64_t replayDueNs(const ReplayClock &c, double speed)
{
    if (speed <= 0)
        return 0;
    double due = double(c.elapsedNs) / speed;
    return due < double(kMaxElapsedNs) ? int64_t(due) : kMaxElapsedNs;
}

uint64_t replayStamp(const ReplayClock &c, uint64_t startTs)
{
    return startTs + uint64_t(c.elapsedNs / kNsPerMs);
}

uint8_t replayDirectionOf(uint8_t flagsDirection, ReplayDirection fallback, uint64_t *undirected)
{
    if (flagsDirection == 1)
        return kDirRx;
    if (flagsDirection == 2)
        return kDirTx;
    uint64_t k = (*undirected)++;
    if (fallback == ReplayDirection::Alternate)
        return k % 2 ? kDirTx : kDirRx;
    return fallback == ReplayDirection::Tx ? kDirTx : kDirRx;
}

bool replayStart(const ReplayPlan &plan, uint32_t startSeq, uint64_t startTs, ReplaySource *src)
{
    *src = ReplaySource{};
    src->plan = &plan;
    src->nextSeq = startSeq;
    src->startTs = startTs;
    src->reader = captureOpen(plan.opt.path, plan.fd);
    return src->reader != nullptr;
}

int replayNext(ReplaySource *src, ReplayRecord *out)
{
    const ReplayPlan &plan = *src->plan;
    CapturePacket p;
    int got;
    do
        got = captureNext(src->reader, &p);
    while (got > 0 && !p.isPacket);
    if (got < 0)
        return -1;
    bool changed = got > 0 ? src->handed == plan.packets || !packetPlayable(plan.opt.path, p, plan.linkType)
                           : src->handed != plan.packets;
    if (changed) {
        simError("--capture %s: the file changed while it was played\n", plan.opt.path);
        return -1;
    }
    if (got == 0)
        return 0;
    replayClockAdvance(&src->clock, p.hasTime, p.timeNs);
    out->header.direction = replayDirectionOf(p.flagsDirection, plan.opt.direction, &src->undirected);
    out->header.seq = src->nextSeq++;
    out->header.timeStamp = replayStamp(src->clock, src->startTs);
    out->header.length = p.capLen;
    out->frame = p.data;
    out->dueNs = replayDueNs(src->clock, plan.opt.speed);
    src->handed++;
    return 1;
}

void replayStop(ReplaySource *src)
{
    if (src->reader)
        captureClose(src->reader);
    src->reader = nullptr;
}
