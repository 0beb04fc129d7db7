// cvsim: the simulated Corvane drivers. Creates sync ports in a private
// network namespace, plays monitor records into them and runs a program
// against them; "cvsim tolvi" simulates the USB flash devices.
#include <string.h>

#include "cvsim.h"
#include "cvsim_tolvi.h"
#include "sync_port.h"

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage(1);
    const char *cmd = argv[1];
    if (!strcmp(cmd, "run"))
        return cmdRun(argc - 1, argv + 1);
    if (!strcmp(cmd, "play"))
        return cmdPlay(argc - 1, argv + 1);
    if (!strcmp(cmd, "port"))
        return cmdPort(argc - 1, argv + 1);
    if (!strcmp(cmd, "tolvi"))
        return cvsimTolviMain(argc - 1, argv + 1);
    if (!strcmp(cmd, "help") || !strcmp(cmd, "--help") || !strcmp(cmd, "-h"))
        return usage(0);
    simError("unknown command \"%s\"\n", cmd);
    return usage(1);
}
