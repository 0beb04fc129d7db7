// Protocol traffic models: what the frames of synthetic traffic are. The
// random model cuts frames from the pool of random bytes; the others
// generate the frames of a real line (MTP2 with ISUP, LAPD with Q.931,
// Frame Relay with Q.933 and IP) and its direction.
#pragma once
#include <cstdint>

#include "model_frelay.h"
#include "model_lapd.h"
#include "model_mtp2.h"

enum class TrafficModel : uint8_t { Random, Mtp2, Lapd, Frelay };

// The models by the name --traffic and scenario files give.
struct ModelName {
    TrafficModel model;
    const char *name;
};
inline constexpr ModelName kModelNames[] = {
    {TrafficModel::Random, "random"},
    {TrafficModel::Mtp2, "mtp2"},
    {TrafficModel::Lapd, "lapd"},
    {TrafficModel::Frelay, "frelay"},
};

// False when the name is none of kModelNames.
bool modelByName(const char *name, TrafficModel *out);
const char *modelName(TrafficModel m);

constexpr double kDefaultFisuRatio = 1.0;
constexpr double kMaxFisuRatio = 1000.0;

struct ModelOptions {
    TrafficModel kind;
    double fisuRatio; // MTP2: fill-in signal units per message signal unit
};

// The generator of one model's frames.
struct ModelState {
    ModelOptions opt;
    Rng rng; // the model's own draws, apart from the line's loss and reorder
    Mtp2Link mtp2;
    LapdLink lapd;
    FrLink frelay;
};

void modelInit(ModelState *m, const ModelOptions &opt, uint64_t seed);
// The next frame of a model other than Random; `left` counts the frames
// still to come, this one included: by the last every exchange begun (a
// call, a poll, a request) is complete.
void modelNext(ModelState *m, uint64_t left, ModelFrame *f);
// Frames the exchanges in progress still need.
uint64_t modelOwed(const ModelState &m);
