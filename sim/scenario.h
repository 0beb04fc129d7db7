// Scenario files: the records a test plays, one per line, with directives
// for malformed datagrams and pauses.
//
//   SEQ DIR TS FRAME [claim=N]   a record; FRAME is hex bytes, len=N or -
//   pause MS                     wait MS milliseconds
//   short [N]                    a datagram of N bytes, shorter than a header
//   empty                        a zero-length datagram
//   raw HEX                      a datagram of exactly these bytes
//   traffic MODEL [count=N] [seq=N] [ts=MS] [seed=N] [fisu-ratio=R]
//                                N records of a traffic model
//   # ...                        a comment, anywhere on a line
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "record.h"
#include "traffic.h"

enum class ItemKind { Record, Raw, Pause, Traffic };

// One step of a scenario.
struct ScenarioItem {
    ItemKind kind;             // what the step does
    RecordHeader header;       // Record: the header to send
    bool claimed;              // Record: the length field was given by claim=N
    std::vector<uint8_t> data; // Record: frame bytes; Raw: the whole datagram
    uint32_t pauseMs;          // Pause: milliseconds
    const char *label;         // Raw: "short", "empty" or "raw"
    TrafficOptions traffic;    // Traffic: the generator's settings
    int line;                  // line number in the file
};

// Parses a whole scenario for the given layout. On failure returns false
// with "line N: reason" in err.
bool parseScenario(const char *text, const RecordLayout &lay, std::vector<ScenarioItem> *items,
                   char *err, size_t errSize);

// Reads and parses a scenario file, printing the reason on failure.
bool loadScenario(const char *path, const RecordLayout &lay, std::vector<ScenarioItem> *items);

// The bytes of a frame given as len=N: a pattern that differs per record.
void patternFrame(uint32_t seq, size_t len, std::vector<uint8_t> *out);
