// Hooks between the preload library's interposers (preload.cpp) and the
// simulated Tolvi USB driver (preload_tolvi.cpp).
#pragma once
#include <cstddef>

extern "C" {
// Answers the Tolvi control request for a configured interface.
// Returns 1 when the request belongs to the simulated Tolvi driver, with the
// ioctl result in *ret (and errno set on failure); 0 to pass the call on.
int cvsim_tolvi_ioctl(int fd, unsigned long request, void *arg, int *ret);

// Maps a path of the Tolvi driver's class directory or version file
// ("/sys/class/cvtolvi/...", "/proc/cvtolvi") into the simulator directory.
// Returns 1 with the new path in buf, 0 when the path is not the driver's.
int cvsim_tolvi_path(const char *path, char *buf, std::size_t size);
}
