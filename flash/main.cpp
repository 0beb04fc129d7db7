// CTFlash: erases and programs the flash of the Corvane Tolvi USB adapter.
#include "cmdline.h"
#include "device.h"
#include "menu.h"

int main(int argc, char **argv)
{
    if (processCommandLine(argc, argv) != 0)
        return 1;
    if (testForTolvi(g_szDeviceName) != 0)
        return 0;
    return menuLoop();
}
