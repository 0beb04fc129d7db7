// Shared pieces of the "cvsim tolvi ..." commands.
#pragma once
#include <cstddef>
#include <cstdint>

// Exit statuses of the command group.
constexpr int kTolviOk = 0, kTolviFailed = 1, kTolviUsage = 2;

// The simulator directory the command works on (absolute), set by
// tolviUseDir; empty until then.
extern char g_tolviDir[4096];

// Prints "cvsim: tolvi: " and the message on stderr; returns kTolviFailed.
int tolviError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints the message and a pointer to the usage; returns kTolviUsage.
int tolviUsageError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Takes "--dir DIR" / "--dir=DIR" out of argv (up to a "--"); returns the
// new argc, or -1 after a message when --dir lacks its value. *dir is the
// value given, or null.
int tolviTakeDirOption(int argc, char **argv, const char **dir);

// Makes DIR (created when create is 1) the simulator directory, as an
// absolute path in g_tolviDir; 0, or -1 after a message.
int tolviUseDir(const char *dir, int create);

// Unsigned number in decimal or 0x hex, the whole text; 0 or -1.
int tolviParseNumber(const char *text, uint32_t *out);

// The directory of the running cvsim binary; 0 or -1 after a message.
int tolviBinDir(char *buf, size_t size);

// Sets CVSIM_DIR, CVSIM_BIN and LD_PRELOAD (the preload library beside the
// binary, with a literal $LIB) for a command run under the simulator.
int tolviSetSimEnv(const char *dir);

// Creates the device NAME in g_tolviDir: a blank flash, an empty faults
// file, the class entry when classEntry is 1 (removed otherwise) and the
// version file (written when version is not null, or when it is missing).
int tolviCreateDevice(const char *name, const char *version, int classEntry);
// Writes the shared version file: TEXT and a newline.
int tolviWriteVersion(const char *text);
// Programs img[0..len) into the device's flash at address (NOR: AND).
int tolviProgramImage(const char *name, uint32_t address,
                      const unsigned char *img, size_t len);

// The commands; argv[0] is the command name.
int tolviCmdCreate(int argc, char **argv);
int tolviCmdVersion(int argc, char **argv);
int tolviCmdClass(int argc, char **argv);
int tolviCmdShow(int argc, char **argv);
int tolviCmdDump(int argc, char **argv);
int tolviCmdFault(int argc, char **argv);
int tolviCmdRun(int argc, char **argv);
int tolviCmdDemo(int argc, char **argv);
int tolviCmdMkhex(int argc, char **argv);
