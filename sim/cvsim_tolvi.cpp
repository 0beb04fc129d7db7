// The "cvsim tolvi ..." command group (placeholder).
#include "cvsim_tolvi.h"
#include <cstdio>

int cvsimTolviMain(int, char **)
{
    std::fprintf(stderr, "cvsim: tolvi: not available\n");
    return 1;
}
