// Where a simulated Tolvi device keeps its state inside the simulator
// directory: tolvi/NAME.flash, tolvi/NAME.faults, sys/class/cvtolvi/NAME and
// the shared version file proc/cvtolvi.
#pragma once
#include <cstddef>

// Longest interface name the kernel accepts (IFNAMSIZ less the NUL).
constexpr size_t kTolviNameMax = 15;

// 1 when NAME can name a device: 1-15 characters, no '/', not "." or "..".
int tolviNameValid(const char *name);

// Each builds "DIR/<place>" into buf; 0 on success, -1 when it does not fit
// (or, for the per-device paths, when the name is not valid).
int tolviFlashPath(const char *dir, const char *name, char *buf, size_t size);
int tolviFaultsPath(const char *dir, const char *name, char *buf, size_t size);
int tolviClassPath(const char *dir, const char *name, char *buf, size_t size);
int tolviVersionPath(const char *dir, char *buf, size_t size);

// Creates DIR/REL and its parents (mode 0755); 0 or -1 with errno set.
int tolviMakeDirs(const char *dir, const char *rel);
