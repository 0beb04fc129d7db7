// The stream source.
#include "nats_source.h"

#include <fcntl.h>
#include <nats/nats.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <new>
#include <vector>

#include "nats_common.h"
#include "options.h"
#include "pcapng.h"
#include "record.h"
#include "run.h"

constexpr int kFetchBatch = 256;
constexpr int kSubscribeTries = 40;  // a quarter of a second apart
constexpr int64_t kRequestWaitMs = 2000;  // for an answer of the cluster
// A record fetched and not acknowledged is delivered again after this
// long (a consumer killed before it acknowledged).
constexpr int64_t kAckWaitNs = 3000000000;

// The acknowledgement floor is asked for this often, or when this many
// sequence numbers above it are remembered.
constexpr uint64_t kFloorEveryNs = 1000000000u;
constexpr size_t kFloorEveryCount = 65536;
// Capture files looked at, newest first, for the records above the floor.
constexpr int kFilesBack = 16;

struct NatsSource {
    natsConnection *nc;
    jsCtx *js;
    natsSubscription *sub;
    uint64_t floor;                 // every record key up to here is written
    std::vector<uint64_t> written;  // and these above it, ascending
    unsigned maxFrame;              // of the records' headers
    uint64_t again;                 // delivered again, written already: skipped
    uint64_t floorAskedNs;
    natsMsg *held[kFetchBatch * 4];  // fetched, not yet acknowledged
    int heldCount;
};

// ---------------------------------------------------------------------------
// What the capture files hold

static uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

// The record key of a packet comment "nats-seq=N" or "nats-seq=N/I"; 0
// for another comment.
static uint64_t keyOfComment(const char *text, size_t len)
{
    char num[48];
    if (len <= 9 || len >= sizeof num || memcmp(text, "nats-seq=", 9) != 0)
        return 0;
    memcpy(num, text + 9, len - 9);
    num[len - 9] = 0;
    char *end;
    uint64_t seq = strtoull(num, &end, 10);
    unsigned long index = *end == '/' ? strtoul(end + 1, &end, 10) : 0;
    return *end == 0 && index < (1u << kKeyIndexBits) ? recordKey(seq, (unsigned)index) : 0;
}

// The record key in the options of one Enhanced Packet Block body.
static uint64_t keyOfEpb(const uint8_t *body, size_t len)
{
    if (len < 20)
        return 0;
    size_t at = 20 + ((le32(body + 12) + 3) & ~3u);
    while (at + 4 <= len) {
        unsigned code = body[at] | body[at + 1] << 8, olen = body[at + 2] | body[at + 3] << 8;
        if (code == kOptEndOfOpt || at + 4 + olen > len)
            break;
        if (code == kOptComment) {
            uint64_t key = keyOfComment((const char *)body + at + 4, olen);
            if (key)
                return key;
        }
        at += 4 + ((olen + 3u) & ~3u);
    }
    return 0;
}

// Appends the record keys above floor of the whole blocks of one file (a
// file cut short by a kill ends inside a block: the blocks before it
// count) to out; the highest and (in lowest) the lowest of all, 0 for
// none.
static uint64_t seqsOfFile(const char *path, uint64_t floor, std::vector<uint64_t> *out,
                           uint64_t *lowest)
{
    *lowest = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    uint64_t best = 0;
    uint8_t *buf = (uint8_t *)malloc(kMaxBlockLen + 64);
    uint8_t hdr[8];
    while (buf && read(fd, hdr, 8) == 8) {
        uint32_t type = le32(hdr), len = le32(hdr + 4);
        if (len < 12 || len % 4 || len > kMaxBlockLen + 64)
            break;
        if (read(fd, buf, len - 8) != (ssize_t)(len - 8))
            break;
        uint64_t seq = type == kBlockEpb ? keyOfEpb(buf, len - 12) : 0;
        if (!seq)
            continue;
        best = seq > best ? seq : best;
        *lowest = !*lowest || seq < *lowest ? seq : *lowest;
        if (seq > floor)
            out->push_back(seq);
    }
    free(buf);
    close(fd);
    return best;
}

// ---------------------------------------------------------------------------
// What was written

// Remembers a record key as written; 0 when it was already.
static int markWritten(NatsSource *s, uint64_t seq)
{
    if (seq <= s->floor)
        return 0;
    std::vector<uint64_t> &w = s->written;
    if (w.empty() || seq > w.back()) {
        w.push_back(seq);
        return 1;
    }
    auto at = std::lower_bound(w.begin(), w.end(), seq);
    if (at != w.end() && *at == seq)
        return 0;
    w.insert(at, seq);
    return 1;
}

// Raises the floor to the consumer's acknowledgement floor and forgets
// what lies below it.
static void raiseFloor(NatsSource *s, uint64_t floor)
{
    if (floor <= s->floor)
        return;
    s->floor = floor;
    std::vector<uint64_t> &w = s->written;
    w.erase(w.begin(), std::upper_bound(w.begin(), w.end(), floor));
}

// The consumer's acknowledgement floor as the server has it, as the key of
// the last record of its message; 0 when it does not answer within half a
// second.
static uint64_t askFloor(NatsSource *s)
{
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 500;
    jsConsumerInfo *ci = nullptr;
    jsErrCode jerr = (jsErrCode)0;
    if (natsSubscription_GetConsumerInfo(&ci, s->sub, &jo, &jerr) != NATS_OK)
        return 0;
    uint64_t floor = ci->AckFloor.Stream;
    jsConsumerInfo_Destroy(ci);
    return floor ? recordKey(floor, (1u << kKeyIndexBits) - 1) : 0;
}

// Whether the durable consumer of o is on the server already: 1, 0 (or
// no durable consumer asked for), -1 when the server does not say.
static int durableKnown(NatsSource *s, const Options &o)
{
    if (!o.durable)
        return 0;
    jsConsumerInfo *ci = nullptr;
    jsErrCode jerr = (jsErrCode)0;
    natsStatus st = js_GetConsumerInfo(&ci, s->js, o.stream, o.durable, nullptr, &jerr);
    if (ci)
        jsConsumerInfo_Destroy(ci);
    if (st == NATS_OK)
        return 1;
    return st == NATS_NOT_FOUND && jerr == JSConsumerNotFoundErr ? 0 : -1;
}

// The last sequence number of the stream; UINT64_MAX when it does not say.
static uint64_t streamLastSeq(NatsSource *s, const char *stream)
{
    jsStreamInfo *si = nullptr;
    if (js_GetStreamInfo(&si, s->js, stream, nullptr, nullptr) != NATS_OK)
        return UINT64_MAX;
    uint64_t last = si->State.LastSeq;
    jsStreamInfo_Destroy(si);
    return last;
}

// What the capture files hold: with a durable consumer that was there
// before (known) every record above its acknowledgement floor, in the
// newest files down to one that reaches the floor; without one everything
// up to the highest record of the newest file that holds any, unless that
// lies beyond the stream's end. A durable consumer made by this start has
// read nothing: the files are of another reader or an earlier stream.
static void readCaptured(NatsSource *s, const Options &o, int known)
{
    const char *path = o.capturePath;
    if (!path || strcmp(path, "-") == 0)
        return;
    int rotating = o.rotateBytes || o.rotateSecs;
    RotationName rn;
    if (rotating && !splitRotationName(path, &rn))
        return;
    uint64_t top = 0, lowest = 0;
    std::vector<uint64_t> found;
    uint64_t n = rotating ? highestRotation(rn) : 1;
    for (int looked = 0; n > 0 && looked < kFilesBack; n--, looked++) {
        char name[8192];
        if (rotating && !rotationPath(rn, n, name, sizeof name))
            break;
        uint64_t hi = seqsOfFile(rotating ? name : path, s->floor, &found, &lowest);
        top = hi > top ? hi : top;
        if (!o.durable ? hi != 0 : lowest && lowest <= s->floor)
            break;  // older files hold nothing above the floor
    }
    if (!top)
        return;
    uint64_t last = o.durable ? 0 : streamLastSeq(s, o.stream);
    if (o.durable ? !known : top > last) {
        fprintf(stderr, "cvfcollect: nats: the capture holds records up to sequence %" PRIu64
                        " that %s %s %s; they are not taken as read\n", top >> kKeyIndexBits,
                o.durable ? "consumer" : "stream", o.durable ? o.durable : o.stream,
                o.durable ? "never read (it is new)" : "does not hold");
        return;
    }
    if (!o.durable)
        raiseFloor(s, top);
    else
        for (uint64_t seq : found)
            markWritten(s, seq);
    fprintf(stderr, "cvfcollect: nats: the capture holds stream %s up to sequence %" PRIu64
                    "; going on after it\n", o.stream, top >> kKeyIndexBits);
}

NatsSource *natsSourceOpen(const Options &o)
{
    NatsSource *s = new (std::nothrow) NatsSource();
    if (!s) {
        fprintf(stderr, "cvfcollect: nats: no memory for the stream source\n");
        return nullptr;
    }
    if (!busConnect(&s->nc, o.fromNats)) {
        natsSourceClose(s);
        return nullptr;
    }
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = kRequestWaitMs;
    if (natsConnection_JetStream(&s->js, s->nc, &jo) != NATS_OK) {
        busFailed("JetStream", o.stream);
        natsSourceClose(s);
        return nullptr;
    }
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Stream = o.stream;
    so.Config.AckWait = kAckWaitNs;
    // No more unacknowledged than one fetch: a consumer started again
    // after a kill gets the records its predecessor left unacknowledged
    // before any later one, so the capture stays in stream order.
    so.Config.MaxAckPending = kFetchBatch;
    jsErrCode jerr = (jsErrCode)0;
    const char *subject = o.subject ? o.subject : kStreamSubjects;
    // A cluster that has just lost or regained a node may take a few
    // seconds to answer for its consumers.
    natsStatus st = NATS_ERR;
    int known = -1;  // the durable consumer was there before this start: 1, 0, not yet known
    for (int i = 0; i < kSubscribeTries && st != NATS_OK && !busStopPending(); i++) {
        if (i) {
            struct timespec ts = {0, 250000000};
            nanosleep(&ts, nullptr);
        }
        if (known < 0 && (known = durableKnown(s, o)) < 0)
            continue;
        st = js_PullSubscribe(&s->sub, s->js, subject, o.durable, nullptr, &so, &jerr);
    }
    if (st != NATS_OK && busStopPending()) {
        fprintf(stderr, "cvfcollect: nats: stopped before stream %s could be read\n", o.stream);
        natsSourceClose(s);
        return nullptr;
    }
    if (st != NATS_OK) {
        busFailed("cannot read stream", o.stream);
        natsSourceClose(s);
        return nullptr;
    }
    s->maxFrame = o.maxFrame;
    if (known > 0)
        raiseFloor(s, askFloor(s));
    readCaptured(s, o, known > 0);
    s->floorAskedNs = monoNs();
    return s;
}

// The header version a message names; 1 when it names none.
static int versionOf(natsMsg *m)
{
    const char *v = nullptr;
    return natsMsgHeader_Get(m, kHdrVersion, &v) == NATS_OK && v && strcmp(v, "0") == 0 ? 0 : 1;
}

// The length of the record at p[0..avail) of a message: what its header
// says, or all that is left when no whole record is there (handed on as
// it is, to be refused).
static size_t recordLenAt(const uint8_t *p, size_t avail, int version, unsigned maxFrame)
{
    CvRecord rec;
    if (decodeHeader(p, avail, version, maxFrame, &rec) != kRecOk || rec.recordLen > avail)
        return avail;
    return rec.recordLen;
}

// Hands on each record of message m (stream sequence seq) not written yet;
// how many, negated when take said no more.
static int takeMessage(NatsSource *s, natsMsg *m, uint64_t seq, TakeStreamRecord take, void *ctx)
{
    const uint8_t *data = (const uint8_t *)natsMsg_GetData(m);
    size_t len = (size_t)natsMsg_GetDataLength(m), at = 0;
    int version = versionOf(m), taken = 0, more = 1;
    constexpr unsigned kLastIndex = (1u << kKeyIndexBits) - 1;
    for (unsigned index = 0; at < len || index == 0; index++) {
        size_t n = index == kLastIndex ? len - at : recordLenAt(data + at, len - at, version, s->maxFrame);
        StreamRecord r = {data + at, n, version, recordKey(seq, index)};
        at += n;
        if (!markWritten(s, r.key)) {
            s->again++;
            continue;  // written already: acknowledged again
        }
        more &= take(ctx, r);
        taken++;
        if (!n)
            break;  // an empty message
    }
    return more ? taken : -taken;
}

int natsSourceFetch(NatsSource *s, int waitMs, TakeStreamRecord take, void *ctx)
{
    natsMsgList list = {nullptr, 0};
    int room = (int)(sizeof s->held / sizeof s->held[0]) - s->heldCount;
    int batch = room < kFetchBatch ? room : kFetchBatch;
    if (batch <= 0)
        return 0;
    jsErrCode jerr = (jsErrCode)0;
    natsStatus st = natsSubscription_Fetch(&list, s->sub, batch, waitMs, &jerr);
    if (st != NATS_OK) {
        if (st != NATS_TIMEOUT) {
            struct timespec ts = {0, (long)waitMs * 1000000};
            nanosleep(&ts, nullptr);  // the connection is down: the loop goes on meanwhile
        }
        return 0;
    }
    int taken = 0, more = 1;
    for (int i = 0; i < list.Count && more; i++) {
        natsMsg *m = list.Msgs[i];
        list.Msgs[i] = nullptr;
        s->held[s->heldCount++] = m;
        jsMsgMetaData *meta = nullptr;
        if (natsMsg_GetMetaData(&meta, m) != NATS_OK)
            continue;  // no JetStream message: nothing to take
        uint64_t seq = meta->Sequence.Stream;
        jsMsgMetaData_Destroy(meta);
        // every record of a message is taken, even after a stop: the
        // message is acknowledged whole
        int taking = takeMessage(s, m, seq, take, ctx);
        taken += taking > 0 ? taking : -taking;
        more = taking >= 0;
    }
    for (int i = 0; i < list.Count; i++)
        if (list.Msgs[i])
            natsMsg_Nak(list.Msgs[i], nullptr);  // delivered again first, to the next reader
    natsMsgList_Destroy(&list);
    return taken;
}

void natsSourceAck(NatsSource *s)
{
    for (int i = 0; i < s->heldCount; i++) {
        natsMsg_Ack(s->held[i], nullptr);
        natsMsg_Destroy(s->held[i]);
    }
    s->heldCount = 0;
    uint64_t now = monoNs();
    if (now - s->floorAskedNs >= kFloorEveryNs || s->written.size() >= kFloorEveryCount) {
        s->floorAskedNs = now;
        raiseFloor(s, askFloor(s));
    }
}

uint64_t natsSourceAgain(const NatsSource *s)
{
    return s->again;
}

void natsSourceClose(NatsSource *s)
{
    for (int i = 0; i < s->heldCount; i++)
        natsMsg_Destroy(s->held[i]);
    if (s->sub)
        natsSubscription_Destroy(s->sub);  // a durable consumer stays on the server
    if (s->js)
        jsCtx_Destroy(s->js);
    if (s->nc) {
        natsConnection_FlushTimeout(s->nc, 2000);  // the acknowledgements reach the server
        natsConnection_Close(s->nc);
        natsConnection_Destroy(s->nc);
        busShutdown();
    }
    delete s;
}
