// The "cvsim tolvi ..." command group: simulated Tolvi devices.
#pragma once

// argv[0] is "tolvi"; returns the process exit status.
int cvsimTolviMain(int argc, char **argv);
