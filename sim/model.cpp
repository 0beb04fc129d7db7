// Dispatch to the protocol models.
#include "model.h"

#include <string.h>

namespace {

// Sets the model's draws apart from the line's, which start at the seed.
constexpr uint64_t kModelStream = 0x6d6f64656c73ull;

} // namespace

bool modelByName(const char *name, TrafficModel *out)
{
    for (const ModelName &m : kModelNames)
        if (!strcmp(m.name, name)) {
            *out = m.model;
            return true;
        }
    return false;
}

const char *modelName(TrafficModel model)
{
    for (const ModelName &m : kModelNames)
        if (m.model == model)
            return m.name;
    return "?";
}

void modelInit(ModelState *m, const ModelOptions &opt, uint64_t seed)
{
    m->opt = opt;
    m->rng.state = seed ^ kModelStream;
    switch (opt.kind) {
    case TrafficModel::Mtp2:
        mtp2Init(&m->mtp2, opt.fisuRatio, &m->rng);
        break;
    case TrafficModel::Lapd:
        lapdInit(&m->lapd);
        break;
    case TrafficModel::Frelay:
        frelayInit(&m->frelay);
        break;
    case TrafficModel::Random:
        break;
    }
}

void modelNext(ModelState *m, uint64_t left, ModelFrame *f)
{
    switch (m->opt.kind) {
    case TrafficModel::Mtp2:
        mtp2Next(&m->mtp2, &m->rng, left, f);
        break;
    case TrafficModel::Lapd:
        lapdNext(&m->lapd, &m->rng, left, f);
        break;
    case TrafficModel::Frelay:
        frelayNext(&m->frelay, &m->rng, left, f);
        break;
    case TrafficModel::Random:
        f->bytes.clear();
        break;
    }
}

uint64_t modelOwed(const ModelState &m)
{
    switch (m.opt.kind) {
    case TrafficModel::Mtp2:
        return mtp2Owed(m.mtp2);
    case TrafficModel::Lapd:
        return lapdOwed(m.lapd);
    case TrafficModel::Frelay:
        return frelayOwed(m.frelay);
    case TrafficModel::Random:
        break;
    }
    return 0;
}
