// Command line: the settings of a run.
#include "cmdline.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blocks.h"
#include "device.h"
#include "ctopt.h"

char g_szImageFile[kMaxImageFileName + 1] = "ct_image.hex";

void f_DisplayUsage()
{
    printf("Command Line Options for CTFlash\n\n");
    printf(" -i[filename] (FLASH filename, default %s)\n", kDefaultImageFile);
    printf(" -n[device name]\n");
    printf("\n");
    printf(" e.g. CTFlash -nSDCI0\n");
    printf("\n");
    printf("Defaults: device name SDCI0\n");
}

// Decimal value in the manner of atoi: leading digits, 0 when none.
static int decimalValue(const char *text)
{
    long v = strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
}

// Copies an option argument of at most max characters into buf; -1 when
// it is longer.
static int takeArgument(char *buf, const char *arg, size_t max)
{
    size_t len = strnlen(arg, max + 1);
    if (len > max)
        return -1;
    memcpy(buf, arg, len + 1);
    return 0;
}

int processCommandLine(int argc, char **argv)
{
    snprintf(g_szDeviceName, sizeof g_szDeviceName, "sync0");
    snprintf(g_szImageFile, sizeof g_szImageFile, "%s", kDefaultImageFile);
    int usage = 0;
    int c;
    while ((c = ctopt::getopt(argc, argv, "e:i:n:?")) != -1) {
        switch (c) {
        case 'e':
            expert = decimalValue(ctopt::optarg);
            break;
        case 'i':
            if (takeArgument(g_szImageFile, ctopt::optarg, kMaxImageFileName) != 0) {
                printf("Image file name too long (at most %d characters)\n", kMaxImageFileName);
                return 1;
            }
            break;
        case 'n':
            if (takeArgument(g_szDeviceName, ctopt::optarg, kMaxIfName) != 0) {
                printf("Interface name %s too long\n", ctopt::optarg);
                return 1;
            }
            break;
        default:
            usage = 1;
            break;
        }
    }
    if (usage) {
        f_DisplayUsage();
        return 1;
    }
    return 0;
}
