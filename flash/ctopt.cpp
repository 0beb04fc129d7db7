// Option parser: options start with '-' or '/'.
#include "ctopt.h"

#include <cerrno>
#include <cstring>

namespace ctopt {

int optind = 1;
char *optarg;
char *letP;

int is_switch(int c)
{
    return c == '/' || c == '-';
}

static int endScan()
{
    letP = nullptr;
    optarg = nullptr;
    return -1;
}

static int optError()
{
    optarg = nullptr;
    errno = EINVAL;
    return '?';
}

// Starts on argv[optind]; -1 to end the scan, '?' for an argument that
// begins with '?', else 0 with letP on its first option letter.
static int startArgument(char **argv)
{
    char *arg = argv[optind];
    if (!arg)
        return endScan();
    if (arg[0] == '?') {
        letP = arg;
        return optError();
    }
    if (!is_switch(arg[0]))
        return endScan();
    if (is_switch(arg[1])) {
        optind++;
        return endScan();
    }
    letP = arg + 1;
    return 0;
}

int getopt(int argc, char **argv, const char *opts)
{
    if (optind >= argc)
        return endScan();
    if (!letP) {
        int rc = startArgument(argv);
        if (rc != 0)
            return rc;
    }
    char c = *letP++;
    if (c == '\0') {
        optind++;
        return endScan();
    }
    const char *entry = c == ':' ? nullptr : strchr(opts, c);
    if (!entry)
        return optError();
    if (entry[1] == ':') {
        optind++;
        if (*letP) {
            optarg = letP;
        } else if (optind < argc) {
            optarg = argv[optind++];
        } else {
            letP = nullptr;
            return optError();
        }
        letP = nullptr;
        return c;
    }
    if (*letP == '\0') {
        optind++;
        letP = nullptr;
    }
    optarg = nullptr;
    return c;
}

}  // namespace ctopt
