// The traffic player: writes monitor records into a sync port as the driver
// would deliver them, at a given rate, while the port's monitor mode is on.
#pragma once
#include <csignal>
#include <cstdint>
#include <vector>

#include "record.h"
#include "replay.h"
#include "scenario.h"
#include "traffic.h"

// What to play and how.
struct PlayOptions {
    const char *port;                          // the sync port
    const char *dir;                           // simulator directory (may be null with noWait)
    const RecordLayout *layout;                // record layout to write
    bool noWait;                               // send regardless of monitor mode
    double waitSeconds;                        // longest wait for monitor mode or a raised port
    double rate;                               // records per second, 0 = flat out
    const char *logPath;                       // one line per datagram sent, or null
    const std::vector<ScenarioItem> *scenario; // the scenario, or null for synthetic traffic
    TrafficOptions traffic;                    // synthetic traffic settings (and the replay's
                                               // start-seq and start-ts)
    const ReplayPlan *capture;                 // the capture to replay, or null
};

// What the player did, for its summary line.
struct PlayStats {
    uint64_t records;      // datagrams written
    uint64_t bytes;        // datagram bytes written (headers and frames)
    uint64_t frameBytes;   // frame bytes of well-formed records
    uint64_t malformed;    // datagrams written that are not well-formed records
    uint64_t lost;         // synthetic sequence numbers skipped on purpose
    uint64_t duplicated;   // synthetic records sent twice
    uint64_t reordered;    // synthetic records held back
    uint64_t unsent;       // records not written because the play stopped early
    uint64_t downWaits;    // times the player waited for the port to come up
    uint64_t kernelDropped; // packets the kernel dropped on the port meanwhile
    double seconds;        // from the first datagram written to the last
};

// Set by SIGTERM or SIGINT: the player stops after the current datagram.
extern volatile sig_atomic_t g_playStop;

// Plays the traffic; prints the summary on stderr. Returns the exit status:
// 0 when everything was sent or the play was stopped by a signal, 1 when it
// failed (no monitor mode in time, the port gone, a write error).
int playTraffic(const PlayOptions &opt, PlayStats *stats);

// True when a raw socket of the monitor protocol is bound to the interface
// with this index, as /proc/net/packet shows. A socket that is not bound yet
// does not count: binding it re-registers it, and records that arrive
// meanwhile would be lost. Whether the receiver reads yet cannot be seen:
// cvfmonUdp sleeps a second after binding, so the records played in that
// second wait in its socket and it takes them in one go (as it would from a
// busy line); the harness stops the monitor to get the same on purpose.
bool receiverListening(unsigned ifindex);
// Parses the contents of /proc/net/packet for receiverListening.
bool packetTableHasReceiver(const char *table, unsigned ifindex);
