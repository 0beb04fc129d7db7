// The cvsim command line: usage, traffic options and "cvsim play".
#include "cvsim.h"

#include <errno.h>
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sync_port.h"

static const char kUsage[] =
    "usage: cvsim run [--ports NAME[,NAME...]] [--down] [--dir DIR] [--layout 32|64]\n"
    "                 [--no-wait] [--wait S] [--stop-after MS] [--timeout S]\n"
    "                 [traffic options] [--] [COMMAND [ARG...]]\n"
    "       cvsim play [--port NAME] [--dir DIR] [--layout 32|64] [--no-wait] [--wait S]\n"
    "                  traffic options\n"
    "       cvsim port add NAME [--down] [--dir DIR]\n"
    "       cvsim port del|up|down|show NAME [--dir DIR]\n"
    "       cvsim port refuse NAME [--off] [ERRNO] [--dir DIR]\n"
    "       cvsim port accept NAME [--dir DIR]\n"
    "       cvsim tolvi ...\n"
    "traffic options:\n"
    "       --scenario FILE | --count N [--size S | --size-min A --size-max B]\n"
    "       [--reorder P] [--reorder-depth D] [--loss P] [--dup P] [--tx-ratio P]\n"
    "       [--start-seq N] [--start-ts MS] [--seed N]\n"
    "       [--traffic random|mtp2|lapd|frelay] [--fisu-ratio R]\n"
    "       [--rate R] [--log FILE]\n"
    "       --capture FILE [--speed X] [--direction rx|tx|alternate]\n"
    "       [--start-seq N] [--start-ts MS] [--log FILE]\n";

int usage(int status)
{
    fputs(kUsage, status == 0 ? stdout : stderr);
    return status;
}

bool parseUnsigned(const char *opt, const char *arg, uint64_t max, uint64_t *out)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(arg, &end, 0);
    if (errno || end == arg || *end != '\0' || arg[0] == '-' || v > max) {
        simError("--%s: \"%s\" is not a number from 0 to %llu\n", opt, arg, (unsigned long long)max);
        return false;
    }
    *out = v;
    return true;
}

bool parseNonNegative(const char *opt, const char *arg, double *out)
{
    char *end;
    errno = 0;
    double v = strtod(arg, &end);
    if (errno || end == arg || *end != '\0' || !isfinite(v) || v < 0) {
        simError("--%s: \"%s\" is not a number of 0 or more\n", opt, arg);
        return false;
    }
    *out = v;
    return true;
}

bool parseProbability(const char *opt, const char *arg, double *out)
{
    double v;
    if (!parseNonNegative(opt, arg, &v) || v > 1) {
        simError("--%s: \"%s\" is not a probability from 0 to 1\n", opt, arg);
        return false;
    }
    *out = v;
    return true;
}

void trafficArgsInit(TrafficArgs *t)
{
    t->given = t->synthetic = false;
    t->randomOnly = nullptr;
    t->fisuRatio = false;
    t->scenarioPath = t->logPath = nullptr;
    t->rate = 0;
    t->layoutBits = 0;
    t->waitSeconds = 30;
    t->synth = trafficDefaults();
    t->scenario.clear();
    t->generator = nullptr;
    t->replay = replayDefaults();
    t->plan = ReplayPlan{t->replay, -1, 0, -1};
}

static int synthOption(const char *name, const char *arg, TrafficOptions *s)
{
    uint64_t v;
    if (!strcmp(name, "count"))
        return parseUnsigned(name, arg, UINT64_MAX, &s->count) ? 1 : -1;
    if (!strcmp(name, "size") || !strcmp(name, "size-min") || !strcmp(name, "size-max")) {
        if (!parseUnsigned(name, arg, kMaxFrame, &v))
            return -1;
        if (name[4] == '\0' || name[6] == 'i')
            s->sizeMin = uint32_t(v);
        if (name[4] == '\0' || name[6] == 'a')
            s->sizeMax = uint32_t(v);
        return 1;
    }
    if (!strcmp(name, "reorder"))
        return parseProbability(name, arg, &s->reorder) ? 1 : -1;
    if (!strcmp(name, "reorder-depth")) {
        if (!parseUnsigned(name, arg, 1000, &v) || v == 0)
            return v == 0 ? (simError("--reorder-depth: at least 1\n"), -1) : -1;
        s->reorderDepth = uint32_t(v);
        return 1;
    }
    if (!strcmp(name, "loss"))
        return parseProbability(name, arg, &s->loss) ? 1 : -1;
    if (!strcmp(name, "dup"))
        return parseProbability(name, arg, &s->dup) ? 1 : -1;
    if (!strcmp(name, "tx-ratio"))
        return parseProbability(name, arg, &s->txRatio) ? 1 : -1;
    if (!strcmp(name, "start-seq")) {
        if (!parseUnsigned(name, arg, UINT32_MAX, &v))
            return -1;
        s->startSeq = uint32_t(v);
        return 1;
    }
    if (!strcmp(name, "start-ts"))
        return parseUnsigned(name, arg, UINT64_MAX, &s->startTs) ? 1 : -1;
    if (!strcmp(name, "seed"))
        return parseUnsigned(name, arg, UINT64_MAX, &s->seed) ? 1 : -1;
    return 0;
}

// The protocol model and its settings; the options of random frames are
// noted, to be refused with a model.
static int modelOption(const char *name, const char *arg, TrafficArgs *t)
{
    if (!strcmp(name, "traffic")) {
        if (modelByName(arg, &t->synth.model.kind))
            return 1;
        simError("--traffic: \"%s\" is none of random, mtp2, lapd, frelay\n", arg);
        return -1;
    }
    if (!strcmp(name, "fisu-ratio")) {
        t->fisuRatio = true;
        double v;
        if (!parseNonNegative(name, arg, &v) || v > kMaxFisuRatio)
            return (simError("--fisu-ratio: at most %g\n", kMaxFisuRatio), -1);
        t->synth.model.fisuRatio = v;
        return 1;
    }
    if (!strncmp(name, "size", 4) || !strcmp(name, "tx-ratio"))
        t->randomOnly = name;
    return 0;
}

// A model makes its own frames and directions.
static bool checkModel(const TrafficArgs &t)
{
    TrafficModel m = t.synth.model.kind;
    if (m != TrafficModel::Random && t.randomOnly) {
        simError("--%s is for random frames: --traffic %s makes its own\n", t.randomOnly, modelName(m));
        return false;
    }
    if (m != TrafficModel::Mtp2 && t.fisuRatio) {
        simError("--fisu-ratio is for --traffic mtp2\n");
        return false;
    }
    return true;
}

int trafficOption(const char *name, const char *arg, TrafficArgs *t)
{
    if (int r = replayOption(name, arg, &t->replay)) {
        t->given = t->given || t->replay.path != nullptr;
        return r;
    }
    int m = modelOption(name, arg, t);
    if (m == 1) {
        t->given = t->synthetic = true;
        if (!t->generator)
            t->generator = name;  // a model makes its own frames: no capture with it
    }
    if (m != 0)
        return m;
    if (!strcmp(name, "scenario")) {
        t->scenarioPath = arg;
        t->given = true;
        return 1;
    }
    if (!strcmp(name, "log")) {
        t->logPath = arg;
        return 1;
    }
    if (!strcmp(name, "rate"))
        return parseNonNegative(name, arg, &t->rate) ? 1 : -1;
    if (!strcmp(name, "wait"))
        return parseNonNegative(name, arg, &t->waitSeconds) ? 1 : -1;
    if (!strcmp(name, "layout")) {
        if (strcmp(arg, "32") && strcmp(arg, "64")) {
            simError("--layout: \"%s\" is neither 32 nor 64\n", arg);
            return -1;
        }
        t->layoutBits = atoi(arg);
        return 1;
    }
    int r = synthOption(name, arg, &t->synth);
    if (r == 1)
        t->given = t->synthetic = true;
    if (r == 1 && !t->generator && strcmp(name, "start-seq") && strcmp(name, "start-ts"))
        t->generator = name;
    return r;
}

// --capture: the options it goes with, and the check of the whole file, so
// that a capture that cannot be played is refused before anything is.
static bool capturePrepare(TrafficArgs *t, PlayOptions *po)
{
    const ReplayOptions &o = t->replay;
    po->capture = nullptr;
    if (!o.path) {
        if (o.tuned)
            simError("--speed and --direction go with --capture\n");
        return !o.tuned;
    }
    const char *other = t->scenarioPath ? "scenario" : t->generator ? t->generator
                                                   : t->rate > 0    ? "rate"
                                                                    : nullptr;
    if (other) {
        simError("--capture cannot be combined with --%s%s\n", other,
                 !strcmp(other, "rate") ? " (--speed sets the pace)" : "");
        return false;
    }
    if (!replayCheck(o, &t->plan))
        return false;
    po->capture = &t->plan;
    return true;
}

bool trafficPrepare(TrafficArgs *t, PlayOptions *po)
{
    if (!capturePrepare(t, po))
        return false;
    if (t->scenarioPath && t->synthetic) {
        simError("--scenario cannot be combined with synthetic traffic options\n");
        return false;
    }
    if (!checkModel(*t))
        return false;
    if (t->synth.sizeMin > t->synth.sizeMax) {
        simError("--size-min %u is above --size-max %u\n", t->synth.sizeMin, t->synth.sizeMax);
        return false;
    }
    int bits = t->layoutBits ? t->layoutBits : int(sizeof(void *) * 8);
    po->layout = layoutFor(bits);
    if (t->scenarioPath && !loadScenario(t->scenarioPath, *po->layout, &t->scenario))
        return false;
    po->scenario = t->scenarioPath ? &t->scenario : nullptr;
    po->traffic = t->synth;
    po->rate = t->rate;
    po->logPath = t->logPath;
    po->waitSeconds = t->waitSeconds;
    return true;
}

// Options of "cvsim play"; the traffic options are shared with "cvsim run".
static const struct option kPlayOptions[] = {
    {"port", required_argument, nullptr, 'p'},   {"dir", required_argument, nullptr, 'd'},
    {"no-wait", no_argument, nullptr, 'n'},      {"help", no_argument, nullptr, 'h'},
    CVSIM_TRAFFIC_LONG_OPTIONS,
    {nullptr, 0, nullptr, 0},
};

int cmdPlay(int argc, char **argv)
{
    PlayOptions po = {};
    po.port = "sync0";
    po.dir = getenv("CVSIM_DIR");
    TrafficArgs t;
    trafficArgsInit(&t);
    int c, idx;
    optind = 1;
    while ((c = getopt_long(argc, argv, "+", kPlayOptions, &idx)) != -1) {
        if (c == 'p')
            po.port = optarg;
        else if (c == 'd')
            po.dir = optarg;
        else if (c == 'n')
            po.noWait = true;
        else if (c == 'h')
            return usage(0);
        else if (c != 0 || trafficOption(kPlayOptions[idx].name, optarg, &t) != 1)
            return c == 0 ? 1 : usage(1);
    }
    if (optind != argc) {
        simError("play: unexpected argument \"%s\"\n", argv[optind]);
        return usage(1);
    }
    if (!checkPortName(po.port) || !trafficPrepare(&t, &po))
        return 1;
    if (!po.noWait && (!po.dir || !po.dir[0])) {
        simError("play: no simulator directory: set CVSIM_DIR, give --dir, or use --no-wait\n");
        return 1;
    }
    PlayStats st;
    return playTraffic(po, &st);
}

