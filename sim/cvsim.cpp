// cvsim: the simulated Corvane drivers. Creates sync ports in a private
// network namespace, plays monitor records into them and runs a program
// against them; "cvsim tolvi" simulates the USB flash devices.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "cvsim.h"
#include "cvsim_tolvi.h"
#include "sync_port.h"

// Puts /dev/null on whichever of descriptors 0-2 were left closed, so that
// no port, socket or file opened later takes the place of a standard stream.
static int openStandardDescriptors(void)
{
    for (;;) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            return 0;
        if (fd > 2) {
            close(fd);
            return 1;
        }
    }
}

int main(int argc, char **argv)
{
    if (!openStandardDescriptors())
        return 1;
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
