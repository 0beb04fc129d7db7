// Injected faults of a simulated Tolvi device: the faults file holds one per
// line, "KIND TARGET ERRNO" with KIND read, program or erase, TARGET an
// address (decimal or 0x hex) or block:N, and ERRNO a name or a number.
#pragma once
#include "tolvi_flash.h"
#include <cstddef>
#include <cstdint>

struct TolviFault {
    TolviOp op;
    int isBlock;     // 1: value is a block number; 0: a byte address
    uint32_t value;
    int err;         // the errno the request fails with
};

// Errno from a name ("EIO") or a positive decimal number; 0 if neither.
int tolviParseErrno(const char *text);
// Name of an errno value the simulator knows, or null.
const char *tolviErrnoName(int err);

// Operation from "read", "program" or "erase"; -1 when it is none of them.
int tolviParseOp(const char *text);
const char *tolviOpName(TolviOp op);

// Target from "ADDRESS" or "block:N"; 0 on success, -1 when malformed or
// outside the flash.
int tolviParseTarget(const char *text, TolviFault *f);

// Parses one line of the faults file; 0 on success, -1 when the line is
// malformed, 1 when it is empty or a '#' comment.
int tolviParseFault(const char *line, TolviFault *f);
// Writes the line for a fault (without newline) into buf.
void tolviFormatFault(const TolviFault *f, char *buf, size_t size);

// 1 when the fault is aimed at this request: same kind, and the request
// touches the faulted address or some address of the faulted block.
int tolviFaultMatches(const TolviFault *f, const TolviRequest *r);

// Reads the faults file at PATH and returns the errno of the first fault
// that matches the request, or 0 (also when there is no faults file).
int tolviFaultCheck(const char *path, const TolviRequest *r);
