// The simulated sync ports: TUN devices in the current network namespace
// whose packets carry the driver's monitor records, and the per-port state
// files in the simulator directory.
#pragma once
#include <cstddef>

// Message helper of the cvsim tool: "cvsim: " and the text on stderr.
void simError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// True when name can be an interface name and a file name in the simulator
// directory; prints the reason otherwise.
bool checkPortName(const char *name);

// Creates a persistent TUN port (records go in with packet information) and
// raises it unless down is set. Prints the reason on failure.
bool portCreate(const char *name, bool up);
// Removes a port created by portCreate.
bool portDelete(const char *name);
// Raises or lowers a port.
bool portSetUp(const char *name, bool up);
// 1 when the port is up, 0 when it is down, -1 (errno set) when it is gone.
int portIsUp(const char *name);
// Attaches to an existing port; returns the descriptor the player writes
// records to, or -1 after printing the reason.
int portAttach(const char *name);
// The port's receive-dropped counter from sysfs, or 0 when unreadable.
unsigned long long portRxDropped(const char *name);

// Creates the simulator directory's subdirectories (dir itself may exist).
bool simDirPrepare(const char *dir);
// Writes "<dir>/sync/<port>.monitor" as "0" unless it exists: the mark that
// the port belongs to the simulated driver.
bool monitorStateInit(const char *dir, const char *port);
// Removes the port's state files.
void monitorStateRemove(const char *dir, const char *port);
// The port's monitor mode: 1 on, 0 off, -1 unknown (no state file).
int monitorState(const char *dir, const char *port);

// True when this process shares its network namespace with process 1, that
// is, runs in the machine's own namespace and not in a private one.
bool inInitialNetns();
