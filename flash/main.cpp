// CTFlash: erases and programs the flash of the Corvane Tolvi USB adapter.
#include <cstdio>
#include <cstring>

#include "blocks.h"
#include "cmdline.h"
#include "device.h"
#include "menu.h"

int main(int argc, char **argv)
{
    if (flashLayoutSelfTest() != 0) {
        printf("CTFlash: flash layout table is inconsistent\n");
        return 1;
    }
    if (processCommandLine(argc, argv) != 0)
        return 1;
    char name[kDeviceNameSize];
    memcpy(name, g_szDeviceName, sizeof name);
    if (testForTolvi(name) != 0)
        return 0;
    return menuLoop();
}
