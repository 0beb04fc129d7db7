// Command line: the settings of a run.
#pragma once
#include <climits>

constexpr const char *kDefaultImageFile = "ct_image.hex";
constexpr int kMaxImageFileName = PATH_MAX;  // longest image file name taken

extern char g_szImageFile[kMaxImageFileName + 1];  // image file the Program command loads

// Prints the usage text.
void f_DisplayUsage();

// Sets the device name, image file and expert mode from the command line.
// 0 to go on; 1 when the run must end with status 1 (usage shown, or an
// argument refused).
int processCommandLine(int argc, char **argv);
