// The cvsim tool: command groups and the option handling they share.
#pragma once
#include <cstdint>
#include <vector>

#include "player.h"
#include "replay.h"

// Exit status of cvsim for its own failures (as env(1) and timeout(1) do).
constexpr int kStatusSimFailed = 125;

// Traffic given on a command line, before it is checked and loaded.
struct TrafficArgs {
    bool given;                          // any traffic option was seen
    bool synthetic;                      // a synthetic option was seen
    const char *randomOnly;              // an option of random frames that was seen (--size...)
    bool fisuRatio;                      // --fisu-ratio was seen
    const char *scenarioPath;            // --scenario
    const char *logPath;                 // --log
    double rate;                         // --rate
    int layoutBits;                      // --layout, 0 = the default
    double waitSeconds;                  // --wait
    TrafficOptions synth;                // synthetic settings
    std::vector<ScenarioItem> scenario;  // the loaded scenario
    const char *generator;               // the first synthetic option other than --start-seq
                                         // and --start-ts, which a capture excludes
    ReplayOptions replay;                // --capture and its settings
    ReplayPlan plan;                     // the checked capture
};

// The long options that "cvsim run" and "cvsim play" share (layout, wait and
// the traffic options), for their getopt_long tables; trafficOption() takes them.
#define CVSIM_TRAFFIC_LONG_OPTIONS                                                   \
    {"capture", required_argument, nullptr, 0}, {"speed", required_argument, nullptr, 0}, \
    {"direction", required_argument, nullptr, 0},                                        \
    {"layout", required_argument, nullptr, 0}, {"wait", required_argument, nullptr, 0}, \
    {"scenario", required_argument, nullptr, 0}, {"count", required_argument, nullptr, 0}, \
    {"rate", required_argument, nullptr, 0}, {"size", required_argument, nullptr, 0},     \
    {"size-min", required_argument, nullptr, 0}, {"size-max", required_argument, nullptr, 0}, \
    {"reorder", required_argument, nullptr, 0}, {"reorder-depth", required_argument, nullptr, 0}, \
    {"loss", required_argument, nullptr, 0}, {"dup", required_argument, nullptr, 0},       \
    {"tx-ratio", required_argument, nullptr, 0}, {"start-seq", required_argument, nullptr, 0}, \
    {"start-ts", required_argument, nullptr, 0}, {"seed", required_argument, nullptr, 0},   \
    {"log", required_argument, nullptr, 0}, {"traffic", required_argument, nullptr, 0},      \
    {"fisu-ratio", required_argument, nullptr, 0}

void trafficArgsInit(TrafficArgs *t);
// Handles one traffic option (the long option's name and its argument).
// Returns 1 when handled, 0 when it is not a traffic option, -1 on a bad value.
int trafficOption(const char *name, const char *arg, TrafficArgs *t);
// Checks the combination, loads the scenario or checks the capture; fills
// a PlayOptions.
bool trafficPrepare(TrafficArgs *t, PlayOptions *po);

// Strict number parsing for the tool's options; print the reason on failure.
bool parseUnsigned(const char *opt, const char *arg, uint64_t max, uint64_t *out);
bool parseProbability(const char *opt, const char *arg, double *out);
bool parseNonNegative(const char *opt, const char *arg, double *out);

// The usage text; returns status (printed on stdout for 0, stderr otherwise).
int usage(int status);

// Command groups.
int cmdRun(int argc, char **argv);
int cmdPlay(int argc, char **argv);
int cmdPort(int argc, char **argv);
