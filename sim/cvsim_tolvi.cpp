// The "cvsim tolvi ..." command group: simulated Tolvi devices.
#include "cvsim_tolvi.h"
#include "tolvi_cmd.h"
#include <cstdio>
#include <cstring>

static const char usageText[] =
    "usage: cvsim tolvi COMMAND [--dir DIR] [ARGS]\n"
    "  create NAME [--version TEXT] [--image BLOCK:FILE.hex]... [--no-class-entry]\n"
    "  version TEXT | --remove\n"
    "  class NAME --add | --remove\n"
    "  show NAME\n"
    "  dump NAME FIRST[-LAST] OUTFILE\n"
    "  fault NAME read|program|erase ADDRESS|block:N [ERRNO]\n"
    "  fault NAME clear\n"
    "  run -- COMMAND [ARGS...]\n"
    "  demo [-- CTFlash options]\n"
    "  mkhex OUT --length N [--version A.B.C.D] [--start ADDR] [--no-header] [--seed N]\n"
    "DIR defaults to $CVSIM_DIR.\n";

struct TolviCommand {
    const char *name;
    int (*run)(int argc, char **argv);
    int needsDir;  // 1: works on a simulator directory; 2: creates it
};

static constexpr TolviCommand commands[] = {
    {"create", tolviCmdCreate, 2}, {"version", tolviCmdVersion, 2},
    {"class", tolviCmdClass, 2},   {"show", tolviCmdShow, 1},
    {"dump", tolviCmdDump, 1},     {"fault", tolviCmdFault, 1},
    {"run", tolviCmdRun, 1},       {"demo", tolviCmdDemo, 0},
    {"mkhex", tolviCmdMkhex, 0},
};

static int wantsHelp(const char *arg)
{
    return strcmp(arg, "help") == 0 || strcmp(arg, "--help") == 0 ||
           strcmp(arg, "-h") == 0;
}

int cvsimTolviMain(int argc, char **argv)
{
    const char *dir;
    argc = tolviTakeDirOption(argc - 1, argv + 1, &dir);
    argv = argv + 1;
    if (argc < 0)
        return kTolviUsage;
    if (argc == 0 || wantsHelp(argv[0])) {
        fputs(usageText, argc == 0 ? stderr : stdout);
        return argc == 0 ? kTolviUsage : kTolviOk;
    }
    for (const TolviCommand &c : commands) {
        if (strcmp(argv[0], c.name) != 0)
            continue;
        if (c.needsDir && tolviUseDir(dir, c.needsDir == 2) != 0)
            return kTolviFailed;
        if (!c.needsDir && dir && tolviUseDir(dir, 1) != 0)
            return kTolviFailed;
        return c.run(argc, argv);
    }
    return tolviUsageError("unknown command %s", argv[0]);
}
