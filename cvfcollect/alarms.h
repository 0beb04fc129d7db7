// Alarms on standard error, from the line table:
//   "cvfcollect: TIME gw G line L: silent for N s"
//       once when a line that carried records has carried none for --silent
//       seconds;
//   "cvfcollect: TIME gw G line L: records again after N s"
//       once when records come back to a line reported silent (N: since
//       its last record before);
//   "cvfcollect: TIME gw G line L: N frames lost in the last W s"
//       when more than --loss-alarm frames were lost within the last
//       --loss-window seconds, at most once per window and line.
// TIME is the wall clock, local or UTC (-U, with a Z). The receive loop
// calls alarmsTick when alarmsDue says, and alarmsRecord before it takes
// each valid record.
#pragma once
#include <cstdint>
#include <cstdio>

#include "line_table.h"
#include "options.h"

struct Alarms {
    uint64_t dueNs;  // when the next tick is due (monotonic clock)
};

constexpr uint64_t kAlarmTickNs = 1000000000u;  // lines are looked at at least this often

// The loop's wake-up for the alarms: UINT64_MAX when none is on.
uint64_t alarmsDue(const Alarms &a, const Options &o);
// Reports the lines that fell silent and the loss rates over the limit
// at nowNs and sets the next due time.
void alarmsTick(Alarms *a, LineTable *t, const Options &o, uint64_t nowNs, FILE *out);
// A valid record of gateway gw, line line arrives at nowNs: a line reported
// silent is reported back.
void alarmsRecord(LineTable *t, unsigned gw, unsigned line, const Options &o, uint64_t nowNs,
                  FILE *out);
