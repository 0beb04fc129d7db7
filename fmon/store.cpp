// The reorder store.
#include "store.h"
#include "forward.h"
#include <cstdio>
#include <cstring>

unsigned char store[STORE_RING + STORE_HDR_AREA];
unsigned char *const store_end_ptr = store + STORE_RING;
unsigned char *store_start_ptr = store;
unsigned char *store_wr_ptr = store;
unsigned char *store_rd_ptr;
int store_size;
int store_count;
uint32_t last_searched;

// An entry that wraps round the end of the ring is put together here to be
// forwarded in one piece.
static unsigned char wrapScratch[STORE_MAX_ENTRY];

static MonHeader entryHeader(const unsigned char *entry)
{
    return monrecDecode(entry + MONBUF_REC_OFF);
}

static std::size_t entrySize(const MonHeader &h)
{
    return STORE_HDR_AREA + h.length;
}

// The position after an entry of the given size: past the end of the ring
// it continues at the start.
static unsigned char *positionAfter(unsigned char *entry, std::size_t size)
{
    unsigned char *next = entry + size;
    if (next >= store_end_ptr)
        next -= STORE_RING;
    return next;
}

unsigned char *storeNext(unsigned char *entry)
{
    return positionAfter(entry, entrySize(entryHeader(entry)));
}

void update_store_start()
{
    while (store_count > 0) {
        MonHeader head = entryHeader(store_start_ptr);
        if (seqCompare(head.seq_no, exp_seq_no) >= 0)
            break;
        store_count--;
        store_size -= (int)entrySize(head);
        store_start_ptr = positionAfter(store_start_ptr, entrySize(head));
    }
}

// The lowest held number above exp_seq_no; false when there is none.
static bool lowestAbove(uint32_t *lowest)
{
    bool found = false;
    uint32_t best = 0;
    unsigned char *e = store_start_ptr;
    for (int i = 0; i < store_count; i++, e = storeNext(e)) {
        uint32_t seq = entryHeader(e).seq_no;
        if (seqCompare(seq, exp_seq_no) <= 0)
            continue;
        if (!found || (uint32_t)(seq - exp_seq_no) < (uint32_t)(best - exp_seq_no)) {
            best = seq;
            found = true;
        }
    }
    *lowest = best;
    return found;
}

static void reportLost(uint32_t old, uint32_t lowest)
{
    if (lowest == old + 1)
        std::fprintf(stderr, "lost frame %u\n", (unsigned)old);
    else
        std::fprintf(stderr, "lost frames %u to %u\n", (unsigned)old, (unsigned)(lowest - 1));
}

void find_lowest()
{
    uint32_t lowest;
    if (store_count == 0 || !lowestAbove(&lowest)) {
        exp_seq_no++;
    } else {
        reportLost(exp_seq_no, lowest);
        exp_seq_no = lowest;
    }
    update_store_start();
}

// How far the held numbers reach past start, counting up through the wrap.
static uint32_t reachFrom(uint32_t start)
{
    uint32_t reach = 0;
    unsigned char *e = store_start_ptr;
    for (int i = 0; i < store_count; i++, e = storeNext(e)) {
        uint32_t d = entryHeader(e).seq_no - start;
        if (d > reach)
            reach = d;
    }
    return reach;
}

// The held number from which the others follow most closely. When they
// all lie within half the number space it is the one that every other
// follows (4294967294 before 4294967295, 0 and 1).
static uint32_t lowestInSequence()
{
    uint32_t best = 0;
    uint32_t bestReach = 0;
    unsigned char *e = store_start_ptr;
    for (int i = 0; i < store_count; i++, e = storeNext(e)) {
        uint32_t seq = entryHeader(e).seq_no;
        uint32_t reach = reachFrom(seq);
        if (i == 0 || reach < bestReach) {
            best = seq;
            bestReach = reach;
        }
    }
    return best;
}

void start_from_lowest()
{
    if (store_count == 0)
        return;
    exp_seq_no = lowestInSequence();
    init_seq_no = 1;
    last_searched = exp_seq_no - 1;
    search_store();
    update_store_start();
}

// The first entry, in arrival order, that carries exp_seq_no.
static unsigned char *findExpected()
{
    unsigned char *e = store_start_ptr;
    for (int i = 0; i < store_count; i++, e = storeNext(e)) {
        if (entryHeader(e).seq_no == exp_seq_no)
            return e;
    }
    return nullptr;
}

static void forwardEntry(unsigned char *e)
{
    MonHeader h = entryHeader(e);
    std::size_t size = entrySize(h);
    if (e + size < store_end_ptr) {
        forwardRecord(e, h);
        return;
    }
    std::size_t first = (std::size_t)(store_end_ptr - e);
    std::memcpy(wrapScratch, e, first);
    std::memcpy(wrapScratch + first, store, size - first);
    forwardRecord(wrapScratch, h);
}

void search_store()
{
    while (exp_seq_no != last_searched) {
        last_searched = exp_seq_no;
        unsigned char *e = findExpected();
        if (e == nullptr)
            return;
        store_rd_ptr = e;
        forwardEntry(e);
        if (store_rd_ptr == store_start_ptr)
            update_store_start();
    }
}

static void appendRecord(std::size_t need)
{
    const unsigned char *src = g_monBuf;
    const std::size_t skip = MONBUF_REC_OFF; // spare bytes are never read
    if (store_wr_ptr + need <= store_end_ptr) {
        std::memcpy(store_wr_ptr + skip, src + skip, need - skip);
        store_wr_ptr += need;
    } else {
        // The header area stays contiguous (it may run into the overflow
        // bytes); the rest continues at the start of the ring.
        std::size_t first = (std::size_t)(store_end_ptr - store_wr_ptr);
        std::size_t head = first > STORE_HDR_AREA ? first : STORE_HDR_AREA;
        if (head > skip)
            std::memcpy(store_wr_ptr + skip, src + skip, head - skip);
        std::memcpy(store, src + first, need - first);
        store_wr_ptr = store + (need - first);
    }
    store_size += (int)need;
    store_count++;
}

void drain_store()
{
    if (!init_seq_no)
        start_from_lowest();
    // Each pass forwards at least the lowest live entry; dead ones leave
    // with the head, so the store ends empty.
    while (store_count > 0) {
        find_lowest();
        search_store();
    }
}

bool store_has_room(uint32_t length)
{
    return (std::size_t)store_size + STORE_HDR_AREA + length <= STORE_RING;
}

void add_to_store()
{
    MonHeader h = monrecDecode(monBufRecord());
    std::size_t need = entrySize(h);
    while ((std::size_t)store_size + need > STORE_RING) {
        find_lowest();
        search_store();
    }
    // Making room may have reached this very record: forward it rather than
    // hold it. In the initial window every record is held, whatever its
    // number.
    if (init_seq_no && h.seq_no == exp_seq_no) {
        forwardRecord(g_monBuf, h);
        search_store();
        return;
    }
    appendRecord(need);
}
