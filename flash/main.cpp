// CTFlash: erases and programs the flash of the Corvane Tolvi USB adapter.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cmdline.h"
#include "console.h"
#include "device.h"
#include "menu.h"

// Puts /dev/null on whichever of descriptors 0-2 the caller left closed, so
// that no device handle or file opened later takes the place of a standard
// stream. 0 when all three are open.
static int openStandardDescriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR) < 0) {  // takes fd, the lowest one free
            printf("CTFlash: cannot open /dev/null: %s\n", strerror(errno));
            return -1;
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (openStandardDescriptors() != 0)
        return 1;
    restoreTerminalOnSignals();
    if (processCommandLine(argc, argv) != 0)
        return 1;
    if (testForTolvi(g_szDeviceName) != 0)
        return 0;
    return menuLoop();
}
