// A time of day that is set back (or forward) every time it is read: loaded
// before the C library, it stands in for a clock that NTP or an operator
// keeps stepping. CV_CLOCK_STEP gives the step in seconds (e.g. -3600); the
// n-th read returns the real time plus n steps. Other clocks are untouched.
#include <climits>
#include <cstdlib>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

long long stepSecs;
bool stepRead;
long long reads;

long long nextShift()
{
    if (!stepRead) {
        const char *s = getenv("CV_CLOCK_STEP");
        stepSecs = s ? atoll(s) : 0;
        stepRead = true;
    }
    return stepSecs * reads++;
}

int realClock(clockid_t clk, struct timespec *ts)
{
    return (int)syscall(SYS_clock_gettime, clk, ts);
}

// The shifted seconds, kept within what time_t holds on this word size.
time_t shifted(time_t secs)
{
    long long v = (long long)secs + nextShift();
    const long long hi = sizeof(time_t) == 4 ? INT_MAX : LLONG_MAX / 2;
    return (time_t)(v < 0 ? 0 : v > hi ? hi : v);
}

bool isRealtime(clockid_t clk)
{
    return clk == CLOCK_REALTIME || clk == CLOCK_REALTIME_COARSE;
}

} // namespace

extern "C" {

int clock_gettime(clockid_t clk, struct timespec *ts)
{
    int rc = realClock(clk, ts);
    if (rc == 0 && isRealtime(clk))
        ts->tv_sec = shifted(ts->tv_sec);
    return rc;
}

int gettimeofday(struct timeval *__restrict tv, void *__restrict)
{
    struct timespec ts;
    int rc = realClock(CLOCK_REALTIME, &ts);
    if (rc == 0) {
        tv->tv_sec = shifted(ts.tv_sec);
        tv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
    }
    return rc;
}

time_t time(time_t *out)
{
    struct timespec ts;
    realClock(CLOCK_REALTIME, &ts);
    time_t t = shifted(ts.tv_sec);
    if (out)
        *out = t;
    return t;
}

} // extern "C"
