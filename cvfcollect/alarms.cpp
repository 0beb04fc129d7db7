// Alarms: silence, its end, and the loss rate, read from the line table.
#include "alarms.h"

#include <ctime>

#include "run.h"

constexpr uint64_t kNsPerSec = 1000000000u;

// "cvfcollect: 2026-12-09T10:11:12 gw 1 line 2: " before an alarm's text.
static void alarmHead(FILE *out, const LineStats &ls, bool utc)
{
    time_t t = (time_t)(wallNs() / kNsPerSec);
    struct tm tm;
    char when[40] = "?";
    if ((utc ? gmtime_r(&t, &tm) : localtime_r(&t, &tm)) != nullptr)
        strftime(when, sizeof when, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &tm);
    fprintf(out, "cvfcollect: %s gw %u line %u: ", when, ls.gwId, ls.lineNum);
}

uint64_t alarmsDue(const Alarms &a, const Options &o)
{
    return o.silentSecs || o.lossAlarm ? a.dueNs : UINT64_MAX;
}

// Silence of one line; returns when it falls due next (UINT64_MAX: not
// before a record).
static uint64_t checkSilent(LineStats *ls, const Options &o, uint64_t nowNs, FILE *out)
{
    uint64_t silentNs = (uint64_t)o.silentSecs * kNsPerSec;
    if (!silentNs || ls->alarm.silentReported || !ls->records)
        return UINT64_MAX;
    if (!lineSilent(*ls, nowNs, silentNs))
        return ls->lastNs + silentNs;
    alarmHead(out, *ls, o.utc);
    fprintf(out, "silent for %llu s\n", (unsigned long long)((nowNs - ls->lastNs) / kNsPerSec));
    ls->alarm.silentReported = true;
    return UINT64_MAX;
}

// Frames lost on one line within the window, once per window.
static void checkLoss(LineStats *ls, const Options &o, uint64_t nowNs, FILE *out)
{
    uint64_t windowNs = (uint64_t)o.lossWindow * kNsPerSec;
    if (!o.lossAlarm || !ls->lastLossNs || nowNs - ls->lastLossNs >= windowNs)
        return;
    if (ls->alarm.lossReportedNs && nowNs - ls->alarm.lossReportedNs < windowNs)
        return;
    uint64_t records, lost;
    ratesSum(ls->rates, nowNs / kNsPerSec, o.lossWindow, &records, &lost);
    if (lost <= o.lossAlarm)
        return;
    alarmHead(out, *ls, o.utc);
    fprintf(out, "%llu frames lost in the last %u s\n", (unsigned long long)lost, o.lossWindow);
    ls->alarm.lossReportedNs = nowNs;
}

void alarmsTick(Alarms *a, LineTable *t, const Options &o, uint64_t nowNs, FILE *out)
{
    uint64_t due = nowNs + kAlarmTickNs;
    for (unsigned k = 0; k < kLineSlots; k++) {
        LineStats *ls = t->slots[k];
        if (!ls)
            continue;
        uint64_t silentDue = checkSilent(ls, o, nowNs, out);
        if (silentDue < due)
            due = silentDue;
        checkLoss(ls, o, nowNs, out);
    }
    a->dueNs = due;
}

void alarmsRecord(LineTable *t, unsigned gw, unsigned line, const Options &o, uint64_t nowNs,
                  FILE *out)
{
    LineStats *ls = t->slots[lineKey(gw, line)];
    if (!ls || !ls->alarm.silentReported)
        return;
    ls->alarm.silentReported = false;
    alarmHead(out, *ls, o.utc);
    fprintf(out, "records again after %llu s\n",
            (unsigned long long)((nowNs - ls->lastNs) / kNsPerSec));
}
