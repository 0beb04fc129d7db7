// The reorder store: a ring that holds the records which arrive ahead of
// the next expected number, and releases them in sequence order.
#pragma once
#include "monrec.h"
#include <cstddef>
#include <cstdint>

constexpr std::size_t STORE_RING = 8192;
// Every entry is laid out as in g_monBuf: the header area, then the frame.
constexpr std::size_t STORE_HDR_AREA = MONBUF_HDR_AREA;
constexpr std::size_t STORE_MAX_ENTRY = STORE_HDR_AREA + MONREC_MAX_FRAME;
static_assert(STORE_RING + STORE_HDR_AREA == (MONREC_WIDE ? 8216u : 8212u));

extern unsigned char store[STORE_RING + STORE_HDR_AREA]; // ring + overflow bytes
extern unsigned char *const store_end_ptr; // end of the ring
extern unsigned char *store_start_ptr;     // the head: the oldest entry
extern unsigned char *store_wr_ptr;        // where the next entry goes
extern unsigned char *store_rd_ptr;        // the entry being forwarded
extern int store_size;                     // bytes held, 0 to 8192
extern int store_count;                    // entries held
extern uint32_t last_searched;             // exp_seq_no of the last search

// Makes room for, and appends, the record in g_monBuf: one ahead of
// exp_seq_no, or any record in the initial window (when it has room).
void add_to_store();
// True when a record of length frame bytes fits without making room.
bool store_has_room(uint32_t length);
// Ends the initial window: forwarding starts at the held record that is
// lowest in sequence order (nothing before it was expected, so nothing is
// reported lost) and goes on with the records that follow it in order.
// Nothing happens while the store is empty.
void start_from_lowest();
// Forwards the held records that follow in order from exp_seq_no on.
void search_store();
// Gives up exp_seq_no (after the initial window): moves it to the lowest
// held number above it and reports the numbers lost.
void find_lowest();
// Removes dead entries (behind exp_seq_no) from the head.
void update_store_start();
// At the end of a run: forwards every record still held, in sequence order
// (ending the initial window first, if it is still open), giving up (and
// reporting) the missing numbers as making room does.
void drain_store();

// Address of the entry that follows the one at entry.
unsigned char *storeNext(unsigned char *entry);
