// "cvsim port": add, remove, raise, lower and inspect sync ports in the
// current network namespace, and make the driver refuse monitor mode.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "cvsim.h"
#include "sync_port.h"

namespace {

struct PortArgs {
    const char *action;             // add, del, up, down, show, refuse, accept
    const char *name;               // the port
    const char *dir;                // simulator directory
    bool down;                      // add: leave the port down
    bool offOnly;                   // refuse: only switching monitor mode off
    const char *err;                // refuse: errno name or number
};

// Parses "ACTION NAME [--down] [--off] [--dir DIR] [ERRNO]".
bool parsePortArgs(int argc, char **argv, PortArgs *a)
{
    *a = PortArgs{};
    a->dir = getenv("CVSIM_DIR");
    std::vector<const char *> pos;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--down"))
            a->down = true;
        else if (!strcmp(argv[i], "--off"))
            a->offOnly = true;
        else if (!strcmp(argv[i], "--dir") && i + 1 < argc)
            a->dir = argv[++i];
        else if (argv[i][0] == '-') {
            simError("port: unknown option %s\n", argv[i]);
            return false;
        } else
            pos.push_back(argv[i]);
    }
    if (pos.size() < 2) {
        usage(1);
        return false;
    }
    a->action = pos[0];
    a->name = pos[1];
    size_t maxPos = !strcmp(a->action, "refuse") ? 3 : 2;
    if (pos.size() > maxPos) {
        simError("port %s: unexpected argument \"%s\"\n", a->action, pos[maxPos]);
        return false;
    }
    a->err = pos.size() == 3 ? pos[2] : "";
    return checkPortName(a->name);
}

bool needDir(const PortArgs &a)
{
    if (a.dir && a.dir[0])
        return true;
    simError("port %s: no simulator directory: set CVSIM_DIR or give --dir\n", a.action);
    return false;
}

bool refusePort(const PortArgs &a)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/sync/%s%s", a.dir, a.name, a.offOnly ? ".refuse-off" : ".refuse");
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        simError("%s: cannot create %s: %s\n", a.name, path, strerror(errno));
        return false;
    }
    size_t n = strlen(a.err);
    bool ok = write(fd, a.err, n) == ssize_t(n);
    close(fd);
    return ok;
}

void acceptPort(const PortArgs &a)
{
    char path[4096];
    for (const char *suffix : {".refuse", ".refuse-off"}) {
        snprintf(path, sizeof path, "%s/sync/%s%s", a.dir, a.name, suffix);
        unlink(path);
    }
}

bool showPort(const PortArgs &a)
{
    int up = portIsUp(a.name);
    if (up < 0) {
        simError("%s: no such port\n", a.name);
        return false;
    }
    int mon = (a.dir && a.dir[0]) ? monitorState(a.dir, a.name) : -1;
    printf("%s %s monitor=%s\n", a.name, up ? "up" : "down", mon < 0 ? "unknown" : mon ? "on" : "off");
    return true;
}

} // namespace

int cmdPort(int argc, char **argv)
{
    PortArgs a;
    if (!parsePortArgs(argc, argv, &a))
        return 1;
    const char *act = a.action;
    bool changesNamespace = !strcmp(act, "add") || !strcmp(act, "del") || !strcmp(act, "up") ||
                            !strcmp(act, "down");
    if (changesNamespace && inInitialNetns()) {
        simError("port %s: refusing to change the machine's own network namespace; "
                 "use cvsim run or unshare -n\n", act);
        return 1;
    }
    bool ok;
    if (!strcmp(act, "add"))
        ok = needDir(a) && simDirPrepare(a.dir) && portCreate(a.name, !a.down) &&
             monitorStateInit(a.dir, a.name);
    else if (!strcmp(act, "del")) {
        ok = portDelete(a.name);
        if (ok && a.dir && a.dir[0])
            monitorStateRemove(a.dir, a.name);
    } else if (!strcmp(act, "up") || !strcmp(act, "down"))
        ok = portSetUp(a.name, act[0] == 'u');
    else if (!strcmp(act, "show"))
        ok = showPort(a);
    else if (!strcmp(act, "refuse"))
        ok = needDir(a) && refusePort(a);
    else if (!strcmp(act, "accept")) {
        ok = needDir(a);
        if (ok)
            acceptPort(a);
    }
    else {
        simError("port: unknown action \"%s\"\n", act);
        return usage(1);
    }
    return ok ? 0 : 1;
}
