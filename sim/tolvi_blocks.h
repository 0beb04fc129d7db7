// The block table of a simulated Tolvi flash, as "cvsim tolvi show" prints it.
#pragma once
#include "tolvi_flash.h"
#include <cstdint>
#include <cstdio>

struct TolviBlockInfo {
    int used;          // some byte is not 0xFF
    int hasHeader;     // the block starts with the image magic
    uint32_t length;   // image length from the header
    uint32_t version;  // image version word from the header
    int continues;     // block number of the image that runs into this block, or -1
};

// Examines every block of the whole flash (kTolviFlashSize bytes).
void tolviScanBlocks(const unsigned char *flash, TolviBlockInfo info[kTolviBlocks]);

// Prints the table: one row per block with its address, size, image
// header fields and state.
void tolviPrintBlocks(FILE *out, const TolviBlockInfo info[kTolviBlocks]);
