// The capture file of -w: every valid record as one packet of a pcapng
// file, in arrival order, with an interface per gateway and line.
#pragma once
#include <cstdint>

#include "write_out.h"
#include "net.h"
#include "record.h"
#include "pcapng.h"

extern PcapWriter g_capture;

// 1 when -w names standard output.
int captureToStdout(void);
// Opens the capture of -w (nothing without it); 0 when it cannot start and
// write errors end the run. A stop asked for in sig ends waits for a slow
// reader.
int captureOpen(const SignalState *sig);
// Adds one valid record that arrived through via; missed: the sequence
// numbers of its line that it shows missing (its drop count).
void captureRecord(const CvRecord &rec, uint64_t missed, const Listener *via, uint64_t nowNs);
// Writes out what is gathered, before the receive loop waits.
void captureFlush(void);
// SIGHUP: starts a new capture file at once (see pcapReopen); a notice
// with -v.
void captureReopen(uint64_t nowNs);
// Flushes and closes; 0 when a capture write failed during the run.
int captureClose(void);
