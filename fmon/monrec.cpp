// The monitor record layout and the sequence state.
#include "monrec.h"
#include <cstring>

unsigned char g_monBuf[MONBUF_SIZE];
uint32_t exp_seq_no;
int init_seq_no;

static uint32_t loadLe32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
           uint32_t(p[3]) << 24;
}

static void storeLe32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
}

MonHeader monrecDecode(const unsigned char *rec)
{
    MonHeader h;
    h.direction = rec[MONREC_OFF_DIRECTION];
    h.seq_no = loadLe32(rec + MONREC_OFF_SEQ_NO);
    unsigned long ts = 0;
    for (std::size_t i = 0; i < MONREC_TIMESTAMP_SIZE; i++)
        ts |= (unsigned long)rec[MONREC_OFF_TIMESTAMP + i] << (8 * i);
    h.timeStamp = ts;
    h.length = loadLe32(rec + MONREC_OFF_LENGTH);
    return h;
}

void monrecEncode(unsigned char *rec, const MonHeader &h)
{
    std::memset(rec, 0, MONREC_HDR_SIZE);
    rec[MONREC_OFF_DIRECTION] = h.direction;
    storeLe32(rec + MONREC_OFF_SEQ_NO, h.seq_no);
    for (std::size_t i = 0; i < MONREC_TIMESTAMP_SIZE; i++)
        rec[MONREC_OFF_TIMESTAMP + i] = (unsigned char)(h.timeStamp >> (8 * i));
    storeLe32(rec + MONREC_OFF_LENGTH, h.length);
}

int seqCompare(uint32_t seq, uint32_t exp)
{
    if (init_seq_no) {
        int32_t d = (int32_t)(seq - exp);
        return d < 0 ? -1 : d > 0 ? 1 : 0;
    }
    return seq < exp ? -1 : seq > exp ? 1 : 0;
}
