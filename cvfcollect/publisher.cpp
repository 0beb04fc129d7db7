// The publisher: a ring of the records not yet acknowledged, published in
// arrival order with at most --nats-max-pending in flight.
#include "publisher.h"

#include <nats/nats.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <mutex>
#include <new>

#include "line_table.h"
#include "nats_common.h"
#include "options.h"
#include "record.h"
#include "run.h"

// A record published and not acknowledged for this long is published
// again, with every later one not yet acknowledged (the duplicate window
// drops those the stream already holds).
constexpr uint64_t kAckTimeoutNs = 2000000000u;
// After a failed publish or a negative acknowledgement, publishing pauses
// this long.
constexpr uint64_t kRetryPauseNs = 250000000u;
// How long the set-up waits for an answer of the cluster.
constexpr int64_t kRequestWaitMs = 2000;
// How often the loop looks at the publisher while records wait.
constexpr uint64_t kTickNs = 100000000u;

enum SlotState : uint8_t { kUnsent, kSent, kAcked };

// Records that wait while --nats-max-pending messages are in flight go
// out several to a message: a record and the ones of its line that follow
// it among the next kBatchScan waiting, up to kBatchRecords records and
// kBatchBytes bytes, back to back as received (each record's header says
// its length). A batch keeps its records and message id when published
// again, so the duplicate window drops the repeat; a record published
// when nothing waits goes alone, with the record's own message id.
constexpr uint32_t kBatchRecords = 256;
constexpr uint32_t kBatchBytes = 256 * 1024;
constexpr uint64_t kBatchScan = 2048;
constexpr uint64_t kNoSlot = UINT64_MAX;

// One record of the backlog. serial, state and next are shared with the
// acknowledgement handler (under Publisher::mu); the rest is the loop's.
struct Slot {
    uint64_t serial;
    SlotState state;
    uint8_t version;
    uint8_t member;      // published in the batch of an earlier record
    uint32_t count;      // records of the batch this one leads (0: not formed yet)
    uint64_t next;       // serial of the next record of its batch, kNoSlot for none
    uint32_t len;
    uint32_t cap;
    uint8_t *data;
    uint64_t sentNs;
    uint16_t gw, line;   // the record's, for its subject and message id,
    uint16_t seqNo;      // made when it leads a message
    uint16_t stampMsecs;
    uint64_t stampSecs;
};

struct Publisher {
    Options o;              // a copy: the set-up thread reads it
    // Made by the set-up thread; the loop's once ready is 1.
    natsConnection *nc;
    natsSubscription *acks;
    char inbox[64];         // acknowledgements come to <inbox>.<serial>
    int streamFound;        // the stream is there (found or made)
    pthread_t setup;
    int setupRunning;       // setup was started: joined at the close
    std::atomic<int> ready;    // set-up done: the loop may publish
    std::atomic<int> closing;  // the set-up thread gives up
    int wakeFd;             // eventfd: acknowledgements are waiting
    Slot *ring;
    uint64_t size;          // slots: --nats-backlog
    uint64_t head;          // serial of the oldest record held
    uint64_t tail;          // serial the next record gets
    uint64_t nextSend;      // serial of the first record not yet published
    uint64_t pauseUntilNs;  // no publishing before this, after a failure
    unsigned maxPending;
    NatsTotals *counts;
    uint8_t *batch;         // the payload of a batch being published
    uint32_t batchCap;
    // Shared with the handler: guarded by mu.
    std::mutex mu;
    uint64_t inFlight;      // slots in state kSent
    uint64_t duplicates;    // acknowledgements that said "duplicate"
    int failed;             // a negative acknowledgement arrived
    int woken;              // wakeFd was written and not yet read
};

// Makes the loop's descriptor readable.
static void wakeLoop(Publisher *p)
{
    uint64_t one = 1;
    if (write(p->wakeFd, &one, sizeof one) < 0) {
        // the counter is at its limit: the loop is woken already
    }
}

// The subject's last element is the serial.
static int serialOf(const char *subject, uint64_t *out)
{
    const char *dot = strrchr(subject, '.');
    if (!dot)
        return 0;
    char *end;
    *out = strtoull(dot + 1, &end, 10);
    return *end == 0;
}

// Runs on the client's thread: marks the record of an acknowledgement.
static void onAck(natsConnection *, natsSubscription *, natsMsg *msg, void *closure)
{
    Publisher *p = (Publisher *)closure;
    uint64_t serial;
    const char *data = natsMsg_GetData(msg);
    int len = natsMsg_GetDataLength(msg);
    // A status without data (no responders) or an error is no storage.
    int ok = len > 0 && !strstr(data, "\"error\"");
    int dup = ok && strstr(data, "\"duplicate\"");  // present only when true
    if (serialOf(natsMsg_GetSubject(msg), &serial)) {
        std::lock_guard<std::mutex> lock(p->mu);
        Slot &s = p->ring[serial % p->size];
        if (s.serial == serial && s.state == kSent) {
            if (ok) {
                for (uint64_t k = serial; k != kNoSlot; k = p->ring[k % p->size].next)
                    p->ring[k % p->size].state = kAcked;
                p->inFlight--;
                p->duplicates += dup ? s.count : 0;
            } else {
                p->failed = 1;
            }
        }
        if (!p->woken) {
            p->woken = 1;
            wakeLoop(p);
        }
    }
    natsMsg_Destroy(msg);
}

// Says once what an existing stream differs in.
static void noteOtherSettings(const jsStreamConfig &have, const Options &o)
{
    char diff[256] = "";
    size_t at = 0;
    auto add = [&](const char *what, long long got) {
        int k = snprintf(diff + at, sizeof diff - at, "%s%s %lld", at ? ", " : "", what, got);
        if (k > 0 && (size_t)k < sizeof diff - at)
            at += (size_t)k;
    };
    if (have.Replicas != (int64_t)o.replicas)
        add("replicas", (long long)have.Replicas);
    if ((have.Storage == js_MemoryStorage) != o.memoryStorage)
        add(have.Storage == js_MemoryStorage ? "memory storage" : "file storage", 1);
    if (have.MaxAge != (int64_t)(o.maxAgeSecs * 1000000000u))
        add("max age (s)", (long long)(have.MaxAge / 1000000000));
    if (have.MaxBytes != (o.maxBytes ? (int64_t)o.maxBytes : -1))
        add("max bytes", (long long)have.MaxBytes);
    if (at)
        fprintf(stderr, "cvfcollect: nats: stream %s exists with other settings (%s); used as it is\n",
                o.stream, diff);
}

// Sleeps up to ns, in short steps, unless the publisher is closing; 0
// when it is.
static int pauseUnlessClosing(Publisher *p, uint64_t ns)
{
    constexpr uint64_t kStepNs = 50000000u;
    for (uint64_t slept = 0; slept < ns; slept += kStepNs) {
        if (p->closing.load())
            return 0;
        struct timespec ts = {0, (long)kStepNs};
        nanosleep(&ts, nullptr);
    }
    return !p->closing.load();
}

// Waits (a while) until the stream has a leader in the cluster, so that
// the first records are not refused and published again after later ones.
static void awaitLeader(Publisher *p, jsCtx *js)
{
    constexpr int kTries = 40;  // a quarter of a second apart
    for (int i = 0; i < kTries; i++) {
        jsStreamInfo *si = nullptr;
        int led = js_GetStreamInfo(&si, js, p->o.stream, nullptr, nullptr) == NATS_OK &&
                  (!si->Cluster || (si->Cluster->Leader && *si->Cluster->Leader));
        if (si)
            jsStreamInfo_Destroy(si);
        if (led || !pauseUnlessClosing(p, 250000000u))
            return;
    }
}

// Makes the stream when it is missing; 0 and why when it neither finds
// nor makes it.
static int ensureStream(Publisher *p, char *why, size_t whySize)
{
    const Options &o = p->o;
    jsCtx *js = nullptr;
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = kRequestWaitMs;
    if (natsConnection_JetStream(&js, p->nc, &jo) != NATS_OK) {
        busLastError(why, whySize);
        return 0;
    }
    jsStreamInfo *si = nullptr;
    jsErrCode jerr = (jsErrCode)0;
    natsStatus st = js_GetStreamInfo(&si, js, o.stream, nullptr, &jerr);
    if (st == NATS_OK) {
        noteOtherSettings(*si->Config, o);
        jsStreamInfo_Destroy(si);
        jsCtx_Destroy(js);
        return 1;
    }
    jsStreamConfig cfg;
    jsStreamConfig_Init(&cfg);
    const char *subjects[] = {kStreamSubjects};
    cfg.Name = o.stream;
    cfg.Subjects = subjects;
    cfg.SubjectsLen = 1;
    cfg.Replicas = o.replicas;
    cfg.Storage = o.memoryStorage ? js_MemoryStorage : js_FileStorage;
    cfg.MaxAge = (int64_t)(o.maxAgeSecs * 1000000000u);
    cfg.MaxBytes = o.maxBytes ? (int64_t)o.maxBytes : -1;
    st = js_AddStream(&si, js, &cfg, nullptr, &jerr);
    if (st == NATS_OK) {
        jsStreamInfo_Destroy(si);
        fprintf(stderr, "cvfcollect: nats: stream %s created (subjects %s, %u replicas, %s storage)\n",
                o.stream, kStreamSubjects, o.replicas, o.memoryStorage ? "memory" : "file");
        awaitLeader(p, js);
    } else {
        busLastError(why, whySize);
    }
    jsCtx_Destroy(js);
    return st == NATS_OK;
}

// Subscribes to the acknowledgements, which come to <inbox>.<serial>; 0
// and why when it cannot.
static int subscribeAcks(Publisher *p, char *why, size_t whySize)
{
    natsInbox *inbox = nullptr;
    if (natsInbox_Create(&inbox) != NATS_OK) {
        busLastError(why, whySize);
        return 0;
    }
    snprintf(p->inbox, sizeof p->inbox, "%s", (const char *)inbox);
    natsInbox_Destroy(inbox);
    char filter[80];
    snprintf(filter, sizeof filter, "%s.*", p->inbox);
    if (natsConnection_Subscribe(&p->acks, p->nc, filter, onAck, p) != NATS_OK ||
        natsSubscription_SetPendingLimits(p->acks, -1, -1) != NATS_OK) {
        busLastError(why, whySize);
        return 0;
    }
    return 1;
}

// One attempt at what publishing needs: the connection, the stream, the
// subscription to the acknowledgements (each kept once made). 0 and why
// when one is missing.
static int setUpOnce(Publisher *p, char *why, size_t whySize)
{
    if (!p->nc && !busTryConnect(&p->nc, p->o.natsUrls, why, whySize)) {
        snprintf(why + strlen(why), whySize - strlen(why), " (%s)", p->o.natsUrls);
        return 0;
    }
    if (!p->streamFound && !(p->streamFound = ensureStream(p, why, whySize)))
        return 0;
    return p->acks || subscribeAcks(p, why, whySize);
}

// The set-up thread: tries every second until publishing can start or
// the publisher closes, saying why each time the reason changes, then
// wakes the loop.
static void *setUp(void *arg)
{
    constexpr uint64_t kRetryNs = 1000000000u;
    Publisher *p = (Publisher *)arg;
    char said[256] = "";
    do {
        char why[256] = "";
        if (setUpOnce(p, why, sizeof why)) {
            p->ready.store(1);
            if (*said)
                fprintf(stderr, "cvfcollect: nats: publishing to stream %s\n", p->o.stream);
            wakeLoop(p);
            return nullptr;
        }
        if (strcmp(why, said) != 0) {
            fprintf(stderr, "cvfcollect: nats: cannot publish to stream %s yet: %s; "
                            "trying again every second, records wait in the backlog\n",
                    p->o.stream, why);
            snprintf(said, sizeof said, "%s", why);
        }
    } while (pauseUnlessClosing(p, kRetryNs));
    return nullptr;
}

static void freePublisher(Publisher *p)
{
    p->closing.store(1);
    if (p->setupRunning)
        pthread_join(p->setup, nullptr);
    if (p->acks) {
        natsSubscription_Unsubscribe(p->acks);
        natsSubscription_Destroy(p->acks);
    }
    if (p->nc) {
        natsConnection_Close(p->nc);
        natsConnection_Destroy(p->nc);
    }
    if (p->setupRunning)
        busShutdown();  // the handler runs no more after this
    if (p->ring) {
        for (uint64_t i = 0; i < p->size; i++)
            free(p->ring[i].data);
        free(p->ring);
    }
    if (p->wakeFd >= 0)
        close(p->wakeFd);
    free(p->batch);
    delete p;
}

Publisher *publisherOpen(const Options &o, NatsTotals *counts)
{
    constexpr uint64_t kStartWaitNs = 5000000000u;
    Publisher *p = new (std::nothrow) Publisher();
    if (!p) {
        fprintf(stderr, "cvfcollect: nats: no memory for the publisher\n");
        return nullptr;
    }
    p->o = o;
    p->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    p->size = o.natsBacklog;
    p->ring = (Slot *)calloc(p->size, sizeof(Slot));
    p->maxPending = o.natsMaxPending;
    p->counts = counts;
    *counts = NatsTotals{};
    counts->publishing = 1;
    if (p->wakeFd < 0 || !p->ring) {
        fprintf(stderr, "cvfcollect: nats: no memory for a backlog of %u records\n", o.natsBacklog);
        freePublisher(p);
        return nullptr;
    }
    int err = pthread_create(&p->setup, nullptr, setUp, p);
    if (err) {
        fprintf(stderr, "cvfcollect: nats: cannot start: %s\n", strerror(err));
        freePublisher(p);
        return nullptr;
    }
    p->setupRunning = 1;
    // A reachable cluster is ready before the first record; otherwise the
    // records wait in the backlog until it is.
    for (uint64_t t0 = monoNs();
         !p->ready.load() && monoNs() - t0 < kStartWaitNs && !busStopPending();) {
        struct timespec ts = {0, 20000000};
        nanosleep(&ts, nullptr);
    }
    return p;
}

int publisherFd(const Publisher *p)
{
    return p->wakeFd;
}

// The slot of serial.
static Slot &slotOf(Publisher *p, uint64_t serial)
{
    return p->ring[serial % p->size];
}

// Makes s (serial lead) the first record of a batch: the records of its
// line that wait among the next kBatchScan join it. Called with mu held.
static void formBatch(Publisher *p, Slot &s, uint64_t lead)
{
    s.count = 1;
    s.next = kNoSlot;
    Slot *last = &s;
    uint32_t bytes = s.len;
    uint64_t end = p->tail - lead > kBatchScan ? lead + kBatchScan : p->tail;
    for (uint64_t k = lead + 1; k < end && s.count < kBatchRecords; k++) {
        Slot &m = slotOf(p, k);
        if (m.state != kUnsent || m.member || m.count || m.gw != s.gw || m.line != s.line ||
            m.version != s.version || bytes + m.len > kBatchBytes)
            continue;
        m.member = 1;
        m.next = kNoSlot;
        last->next = k;
        last = &m;
        bytes += m.len;
        s.count++;
    }
}

// The payload of the batch s leads: its records back to back; null when
// there is no memory.
static const uint8_t *batchPayload(Publisher *p, const Slot &s, uint32_t *len)
{
    if (s.count == 1) {
        *len = s.len;
        return s.data;
    }
    uint32_t at = 0;
    for (uint64_t k = s.serial; k != kNoSlot; k = slotOf(p, k).next) {
        const Slot &m = slotOf(p, k);
        if (at + m.len > p->batchCap) {
            uint8_t *b = (uint8_t *)realloc(p->batch, kBatchBytes);
            if (!b)
                return nullptr;
            p->batch = b;
            p->batchCap = kBatchBytes;
        }
        memcpy(p->batch + at, m.data, m.len);
        at += m.len;
    }
    *len = at;
    return p->batch;
}

// Publishes the batch slot s leads; 0 when the client refused it.
static int publishBatch(Publisher *p, Slot &s, uint64_t nowNs)
{
    char reply[96], subject[32], msgId[80];
    snprintf(reply, sizeof reply, "%s.%" PRIu64, p->inbox, s.serial);
    busSubject(subject, sizeof subject, s.gw, s.line);
    int n = snprintf(msgId, sizeof msgId, "%u.%u.%u.%" PRIu64 ".%03u", s.gw, s.line, s.seqNo,
                     s.stampSecs, s.stampMsecs);
    if (s.count > 1 && n > 0 && (size_t)n < sizeof msgId)
        snprintf(msgId + n, sizeof msgId - (size_t)n, "+%u", s.count);
    uint32_t len = 0;
    const uint8_t *payload = batchPayload(p, s, &len);
    natsMsg *m = nullptr;
    natsStatus st = payload ? natsMsg_Create(&m, subject, reply, (const char *)payload, (int)len)
                            : NATS_NO_MEMORY;
    if (st == NATS_OK)
        st = natsMsgHeader_Set(m, kHdrMsgId, msgId);
    if (st == NATS_OK)
        st = natsMsgHeader_Set(m, kHdrVersion, s.version ? "1" : "0");
    if (st == NATS_OK)
        st = natsConnection_PublishMsg(p->nc, m);
    natsMsg_Destroy(m);
    if (st != NATS_OK)
        return 0;
    for (uint64_t k = s.serial; k != kNoSlot; k = slotOf(p, k).next) {
        slotOf(p, k).state = kSent;
        slotOf(p, k).sentNs = nowNs;
    }
    return 1;
}

// Publishes the records that wait, while fewer than maxPending messages
// are in flight and the connection is up; records published in the batch
// of an earlier one are passed over.
static void publishWaiting(Publisher *p, uint64_t nowNs)
{
    if (!p->ready.load() || nowNs < p->pauseUntilNs ||
        natsConnection_Status(p->nc) != NATS_CONN_STATUS_CONNECTED)
        return;
    std::unique_lock<std::mutex> lock(p->mu);
    while (p->nextSend < p->tail && p->inFlight < p->maxPending) {
        Slot &s = slotOf(p, p->nextSend);
        if (s.state == kUnsent && !s.member) {
            if (!s.count)
                formBatch(p, s, p->nextSend);
            if (!publishBatch(p, s, nowNs)) {
                p->pauseUntilNs = nowNs + kRetryPauseNs;
                return;
            }
            p->inFlight++;
        }
        p->nextSend++;
    }
}

void publisherRecord(Publisher *p, const CvRecord &rec, const uint8_t *raw, uint64_t nowNs)
{
    if (p->tail - p->head == p->size) {
        p->counts->unpublished++;
        return;
    }
    Slot &s = p->ring[p->tail % p->size];
    if (s.cap < rec.recordLen) {
        uint8_t *d = (uint8_t *)realloc(s.data, rec.recordLen);
        if (!d) {
            p->counts->unpublished++;
            return;
        }
        s.data = d;
        s.cap = (uint32_t)rec.recordLen;
    }
    memcpy(s.data, raw, rec.recordLen);
    s.len = (uint32_t)rec.recordLen;
    s.version = rec.version;
    s.gw = rec.gwId;
    s.line = rec.lineNum;
    s.seqNo = rec.seqNo;
    s.stampSecs = rec.stampSecs;
    s.stampMsecs = rec.stampMsecs;
    {
        std::lock_guard<std::mutex> lock(p->mu);
        s.serial = p->tail;
        s.state = kUnsent;
        s.member = 0;
        s.count = 0;
        s.next = kNoSlot;
    }
    p->tail++;
    p->counts->backlog = p->tail - p->head;
    if (p->nextSend == p->tail - 1)
        publishWaiting(p, nowNs);
}

// From the first record sent and not acknowledged on, everything not
// acknowledged is published again, each batch as it was. Called with mu
// held.
static void goBack(Publisher *p, uint64_t from)
{
    for (uint64_t i = from; i < p->nextSend; i++) {
        Slot &s = slotOf(p, i);
        if (s.state != kSent || s.member)
            continue;
        for (uint64_t k = i; k != kNoSlot; k = slotOf(p, k).next)
            slotOf(p, k).state = kUnsent;
        p->inFlight--;
        p->counts->resent += s.count;
    }
    if (from < p->nextSend)
        p->nextSend = from;
}

uint64_t publisherTick(Publisher *p, uint64_t nowNs)
{
    uint64_t ignored;
    if (read(p->wakeFd, &ignored, sizeof ignored) < 0) {
        // nothing was waiting
    }
    {
        std::lock_guard<std::mutex> lock(p->mu);
        p->woken = 0;
        while (p->head < p->tail && p->ring[p->head % p->size].state == kAcked) {
            p->counts->published++;
            p->head++;
        }
        p->counts->duplicates = p->duplicates;
        // the oldest record in flight decides whether to publish again
        uint64_t first = p->head;
        while (first < p->nextSend && p->ring[first % p->size].state != kSent)
            first++;
        int overdue = first < p->nextSend && nowNs - p->ring[first % p->size].sentNs > kAckTimeoutNs;
        if (p->failed || overdue) {
            if (p->failed)
                p->pauseUntilNs = nowNs + kRetryPauseNs;
            p->failed = 0;
            goBack(p, first);
        }
    }
    p->counts->backlog = p->tail - p->head;
    publishWaiting(p, nowNs);
    return p->head < p->tail ? nowNs + kTickNs : UINT64_MAX;
}

void publisherClose(Publisher *p, uint64_t waitNs)
{
    struct timespec ts = {0, 20000000};
    uint64_t start = monoNs();
    if (p->ready.load())
        natsConnection_Flush(p->nc);
    while (p->head < p->tail && monoNs() - start < waitNs) {
        publisherTick(p, monoNs());
        nanosleep(&ts, nullptr);
    }
    publisherTick(p, monoNs());
    {
        std::lock_guard<std::mutex> lock(p->mu);
        p->counts->unpublished += p->tail - p->head;
        p->counts->backlog = 0;
    }
    freePublisher(p);
}
