// The monitor record layout and the sequence state.
#include "monrec.h"
#include <cstring>

unsigned char g_monBuf[MONBUF_SIZE];
uint32_t exp_seq_no;
int init_seq_no;

static void storeLe32(unsigned char *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (unsigned char)(v >> (8 * i));
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
    int32_t d = (int32_t)(seq - exp);
    return d < 0 ? -1 : d > 0 ? 1 : 0;
}
