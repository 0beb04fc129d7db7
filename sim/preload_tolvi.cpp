// Simulated Tolvi USB driver, as seen through the preload library.
// (Placeholder: answers nothing until the Tolvi simulation is written.)
#include "preload_hooks.h"

extern "C" int cvsim_tolvi_ioctl(int, unsigned long, void *, int *) { return 0; }
extern "C" int cvsim_tolvi_path(const char *, char *, std::size_t) { return 0; }
