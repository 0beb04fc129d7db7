// Replay of a capture: the packets of a pcap or pcapng file played into a
// port as the driver would deliver them, one record per packet, numbered
// on from --start-seq, in the direction the file gives (or --direction
// says), spaced as they were captured (or as --speed scales it).
//
// The file is read twice: once whole before anything is played, so that a
// file the port cannot carry is refused at the start, and once while it is
// played, so that a capture of any size needs no more memory than a packet.
#pragma once
#include <cstddef>
#include <cstdint>

#include "record.h"

// What a packet's direction becomes where the file gives none (a pcap
// file, or a pcapng packet without the direction bits of its flags).
enum class ReplayDirection : uint8_t { Rx, Tx, Alternate };

// The replay settings of a command line.
struct ReplayOptions {
    const char *path;          // --capture, or null
    double speed;              // --speed: 1 as captured, 2 twice as fast, 0 flat out
    ReplayDirection direction; // --direction
    bool tuned;                // --speed or --direction was given
};

ReplayOptions replayDefaults();
// Handles --capture, --speed and --direction. Returns 1 when handled, 0
// when it is none of them, -1 on a bad value (reason printed).
int replayOption(const char *name, const char *arg, ReplayOptions *o);

// The link types a capture may hold: the protocols a sync line carries.
struct ReplayLinkType {
    uint16_t linkType; // the pcap/pcapng link-type number
    const char *name;
};
inline constexpr ReplayLinkType kReplayLinkTypes[] = {
    {140, "MTP2"}, {203, "LAPD"}, {107, "Frame Relay"}, {104, "Cisco HDLC"}, {50, "PPP in HDLC framing"},
};
constexpr size_t kReplayLinkTypeCount = sizeof kReplayLinkTypes / sizeof kReplayLinkTypes[0];

// A capture that passed the check, held open until the play ends.
struct ReplayPlan {
    ReplayOptions opt;
    int fd;           // the file, so that the play reads what the check read
    uint64_t packets; // packets to play
    int linkType;     // index into kReplayLinkTypes of every packet
};

// Reads the whole file and checks that every packet can be played: a pcap
// or pcapng file, not damaged, with at least one packet, every packet of
// one link type of kReplayLinkTypes, whole (not cut by a snapshot length)
// and no longer than the driver's largest frame. Prints the reason and
// returns false otherwise.
bool replayCheck(const ReplayOptions &o, ReplayPlan *plan);
// Closes the file of a plan that will not be played here.
void replayRelease(ReplayPlan *plan);

// One packet as a capture reader hands it out.
struct CapturePacket {
    uint64_t number;        // the record's number in the file, from 1 (as Wireshark's frame numbers)
    bool isPacket;          // false for records that carry no frame (journal entries, custom blocks)
    int linkType;           // index into kReplayLinkTypes, -1 for another one
    const char *linkName;   // the reader's name for the link type
    uint32_t capLen;        // bytes in the file
    uint32_t wireLen;       // bytes on the line
    bool hasTime;           // the file gives the packet a time
    int64_t timeNs;         // nanoseconds since the epoch
    uint8_t flagsDirection; // pcapng epb_flags bits 0-1: 0 unknown, 1 inbound, 2 outbound
    const uint8_t *data;    // capLen bytes, valid until the next read
};

// The capture reader (Debian's libwiretap where the build has it).
struct CaptureReader;
// False in a build without a reader.
bool captureReaderBuilt();
// Opens the file open at fd; path names it in messages. Prints the reason
// and returns null when it is not a capture the reader can read.
CaptureReader *captureOpen(const char *path, int fd);
// The next record: 1 with one, 0 at the end, -1 when the file is damaged
// (reason printed).
int captureNext(CaptureReader *r, CapturePacket *p);
void captureClose(CaptureReader *r);

// The time line of a replay. A packet is due when its capture time since
// the first packet, divided by the speed, has passed since the play began;
// its record carries that capture time as the driver's milliseconds from
// --start-ts. A packet without a time, or stamped before the one ahead of
// it, keeps the time of the one ahead: the driver's clock never goes back.
struct ReplayClock {
    bool started;      // the first packet with a time was seen
    int64_t firstNs;   // its capture time
    int64_t elapsedNs; // capture time since then, never decreasing
};
void replayClockAdvance(ReplayClock *c, bool hasTime, int64_t timeNs);
// When the current packet is due, in nanoseconds after the play began.
int64_t replayDueNs(const ReplayClock &c, double speed);
// The driver's time stamp of the current packet.
uint64_t replayStamp(const ReplayClock &c, uint64_t startTs);

// The direction byte of a packet: the file's where it gives one, else the
// option's; alternation counts the packets without one.
uint8_t replayDirectionOf(uint8_t flagsDirection, ReplayDirection fallback, uint64_t *undirected);

// A replay in progress.
struct ReplaySource {
    const ReplayPlan *plan;
    CaptureReader *reader;
    ReplayClock clock;
    uint32_t nextSeq;    // sequence number of the next record
    uint64_t startTs;    // --start-ts
    uint64_t undirected; // packets so far whose file gives no direction
    uint64_t handed;     // packets handed out
};

// One record of a replay; frame is valid until the next call.
struct ReplayRecord {
    RecordHeader header;
    const uint8_t *frame;
    int64_t dueNs; // when it goes out, after the play began
};

bool replayStart(const ReplayPlan &plan, uint32_t startSeq, uint64_t startTs, ReplaySource *src);
// 1 with the next record, 0 at the end, -1 when the file no longer reads
// as it did at the check (reason printed).
int replayNext(ReplaySource *src, ReplayRecord *out);
void replayStop(ReplaySource *src);
