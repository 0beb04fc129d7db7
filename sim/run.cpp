// "cvsim run": a private network namespace with sync ports, the simulator
// directory and the preload library around one command, with an optional
// traffic player beside it.
#include <errno.h>
#include <ftw.h>
#include <getopt.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cvsim.h"
#include "sync_port.h"

namespace {

constexpr int64_t kKillGraceMs = 10000; // SIGTERM to SIGKILL when stopping COMMAND

struct RunArgs {
    std::vector<std::string> ports; // sync ports to create; the first one is played
    bool down;                      // leave the ports down
    bool noWait;                    // the player sends regardless of monitor mode
    const char *dir;                // simulator directory given with --dir
    int64_t stopAfterMs;            // SIGTERM to COMMAND this long after the player ends; -1 = never
    int64_t timeoutMs;              // SIGTERM to COMMAND after this long; 0 = never
    TrafficArgs traffic;
};

const struct option kRunOptions[] = {
    {"ports", required_argument, nullptr, 'P'},     {"down", no_argument, nullptr, 'D'},
    {"dir", required_argument, nullptr, 'd'},       {"stop-after", required_argument, nullptr, 'S'},
    {"timeout", required_argument, nullptr, 'T'},   {"help", no_argument, nullptr, 'h'},
    {"no-wait", no_argument, nullptr, 'W'},
    CVSIM_TRAFFIC_LONG_OPTIONS,
    {nullptr, 0, nullptr, 0},
};

bool splitPorts(const char *list, std::vector<std::string> *ports)
{
    ports->clear();
    std::string cur;
    for (const char *p = list;; p++) {
        if (*p == ',' || *p == '\0') {
            if (!checkPortName(cur.c_str()))
                return false;
            for (const std::string &q : *ports)
                if (q == cur) {
                    simError("port %s named twice\n", cur.c_str());
                    return false;
                }
            ports->push_back(cur);
            cur.clear();
            if (*p == '\0')
                return true;
        } else {
            cur += *p;
        }
    }
}

// Parses the options in front of COMMAND; returns -1 to go on, else a status.
int parseRunArgs(int argc, char **argv, RunArgs *a)
{
    a->ports = {"sync0"};
    a->down = false;
    a->noWait = false;
    a->dir = nullptr;
    a->stopAfterMs = -1;
    a->timeoutMs = 0;
    trafficArgsInit(&a->traffic);
    int c, idx;
    uint64_t v;
    double d;
    optind = 1;
    while ((c = getopt_long(argc, argv, "+", kRunOptions, &idx)) != -1) {
        switch (c) {
        case 'P':
            if (!splitPorts(optarg, &a->ports))
                return kStatusSimFailed;
            break;
        case 'D':
            a->down = true;
            break;
        case 'W':
            a->noWait = true;
            break;
        case 'd':
            a->dir = optarg;
            break;
        case 'S':
            if (!parseUnsigned("stop-after", optarg, 86400000, &v))
                return kStatusSimFailed;
            a->stopAfterMs = int64_t(v);
            break;
        case 'T':
            if (!parseNonNegative("timeout", optarg, &d) || d > 864000)
                return kStatusSimFailed;
            a->timeoutMs = int64_t(d * 1000);
            break;
        case 'h':
            return usage(0);
        case 0:
            if (trafficOption(kRunOptions[idx].name, optarg, &a->traffic) != 1)
                return kStatusSimFailed;
            break;
        default:
            usage(1);
            return kStatusSimFailed;
        }
    }
    return -1;
}

int64_t nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The directory that holds this cvsim binary (and the preload libraries).
std::string binDir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    buf[n] = '\0';
    char *slash = strrchr(buf, '/');
    if (slash)
        *slash = '\0';
    return buf;
}

void exportEnvironment(const char *dir)
{
    std::string bin = binDir();
    std::string lib = bin + "/$LIB/libcvsim.so";
    std::string own = bin + (sizeof(void *) == 4 ? "/lib32/libcvsim.so" : "/lib/x86_64-linux-gnu/libcvsim.so");
    if (access(own.c_str(), R_OK) != 0)
        simError("run: warning: %s is missing\n", own.c_str());
    const char *old = getenv("LD_PRELOAD");
    // A preload that is there already (a sanitizer's runtime) stays first.
    std::string preload = (old && old[0]) ? std::string(old) + ":" + lib : lib;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("CVSIM_DIR", dir, 1);
    setenv("CVSIM_BIN", bin.c_str(), 1);
    // The tools of this build come first, so "cvsim run -- cvfmonUdp ..." works.
    const char *path = getenv("PATH");
    std::string newPath = (path && path[0]) ? bin + ":" + path : bin;
    setenv("PATH", newPath.c_str(), 1);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

// Namespace, loopback, simulator directory and ports.
bool setUpWorld(RunArgs &a, std::string *dir)
{
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) < 0) {
        simError("run: cannot create a network namespace: %s (cvsim run needs root)\n", strerror(errno));
        return false;
    }
    // A sysfs of the new namespace, so /sys/class/net shows its ports (as
    // "ip netns exec" does); where that is not allowed the old one stays.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        umount2("/sys", MNT_DETACH) == 0)
        mount("sysfs", "/sys", "sysfs", 0, nullptr);
    if (!portSetUp("lo", true))
        return false;
    if (a.dir) {
        if (a.dir[0] != '/') {
            char cwd[PATH_MAX];
            if (!getcwd(cwd, sizeof cwd))
                return false;
            *dir = std::string(cwd) + "/" + a.dir;
        } else {
            *dir = a.dir;
        }
    } else {
        const char *tmp = getenv("TMPDIR");
        std::string templ = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/cvsim.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) {
            simError("run: cannot create a simulator directory: %s\n", strerror(errno));
            return false;
        }
        *dir = buf.data();
    }
    if (!simDirPrepare(dir->c_str()))
        return false;
    for (const std::string &p : a.ports)
        if (!portCreate(p.c_str(), !a.down) || !monitorStateInit(dir->c_str(), p.c_str()))
            return false;
    return true;
}

// Forks with the output flushed; the child gets the signal mask OLDMASK back.
pid_t forkChild(const sigset_t &oldMask)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    return pid;
}

pid_t startPlayer(RunArgs &a, const std::string &dir, const sigset_t &oldMask)
{
    PlayOptions po = {};
    po.port = a.ports[0].c_str();
    po.dir = dir.c_str();
    po.noWait = a.noWait;
    if (!trafficPrepare(&a.traffic, &po))
        return -1;
    pid_t pid = forkChild(oldMask);
    if (pid == 0) {
        PlayStats st;
        int status = playTraffic(po, &st);
        fflush(nullptr);
        _exit(status);
    }
    if (pid < 0)
        simError("run: cannot start the player: %s\n", strerror(errno));
    return pid;
}

pid_t startCommand(char **cmd, const sigset_t &oldMask)
{
    pid_t pid = forkChild(oldMask);
    if (pid == 0) {
        execvp(cmd[0], cmd);
        int err = errno;
        simError("run: cannot run %s: %s\n", cmd[0], strerror(err));
        _exit(err == ENOENT ? 127 : 126);
    }
    if (pid < 0)
        simError("run: cannot start %s: %s\n", cmd[0], strerror(errno));
    return pid;
}

struct Children {
    pid_t cmd, player;
    int cmdStatus, playerStatus;
    bool cmdDone, playerDone;
};

void reap(Children &ch)
{
    int st;
    pid_t pid;
    while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
        if (pid == ch.cmd) {
            ch.cmdDone = true;
            ch.cmdStatus = st;
        } else if (pid == ch.player) {
            ch.playerDone = true;
            ch.playerStatus = st;
        }
    }
}

// Waits for COMMAND, forwarding signals and stopping it when asked to.
void superviseCommand(const RunArgs &a, Children &ch, const sigset_t &set)
{
    int64_t start = nowMs();
    int64_t stopAt = -1, killAt = -1;
    bool playerSeenDone = ch.playerDone;
    while (!ch.cmdDone) {
        int64_t now = nowMs();
        if (!playerSeenDone && ch.playerDone) {
            playerSeenDone = true;
            if (a.stopAfterMs >= 0)
                stopAt = now + a.stopAfterMs;
        }
        if (a.timeoutMs > 0 && stopAt < 0 && killAt < 0 && now - start >= a.timeoutMs) {
            simError("run: %s still running after %.1f s; stopping it\n", "COMMAND", double(a.timeoutMs) / 1000);
            stopAt = now;
        }
        if (stopAt >= 0 && now >= stopAt && killAt < 0) {
            kill(ch.cmd, SIGTERM);
            killAt = now + kKillGraceMs;
        }
        if (killAt >= 0 && now >= killAt) {
            kill(ch.cmd, SIGKILL);
            killAt = INT64_MAX;
        }
        int64_t wake = now + 1000;
        for (int64_t t : {stopAt, killAt, a.timeoutMs > 0 ? start + a.timeoutMs : int64_t(-1)})
            if (t >= 0 && t > now && t < wake)
                wake = t;
        struct timespec ts = {time_t((wake - now) / 1000), long((wake - now) % 1000) * 1000000};
        int sig = sigtimedwait(&set, nullptr, &ts);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGQUIT)
            kill(ch.cmd, sig);
        reap(ch);
    }
}

void stopPlayer(Children &ch)
{
    if (ch.player <= 0 || ch.playerDone)
        return;
    kill(ch.player, SIGTERM);
    int st;
    if (waitpid(ch.player, &st, 0) == ch.player) {
        ch.playerDone = true;
        ch.playerStatus = st;
    }
}

int exitStatusOf(int st)
{
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return kStatusSimFailed;
}

} // namespace

int cmdRun(int argc, char **argv)
{
    RunArgs a;
    int status = parseRunArgs(argc, argv, &a);
    if (status >= 0)
        return status;
    char *shell[] = {getenv("SHELL") ? getenv("SHELL") : const_cast<char *>("/bin/sh"), nullptr};
    char **cmd = optind < argc ? argv + optind : shell;

    std::string dir;
    bool made = setUpWorld(a, &dir);
    if (made)
        exportEnvironment(dir.c_str());

    sigset_t set, oldMask;
    sigemptyset(&set);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &oldMask);

    Children ch = {-1, -1, 0, 0, false, false};
    status = kStatusSimFailed;
    if (made && (!a.traffic.given || (ch.player = startPlayer(a, dir, oldMask)) > 0) &&
        (ch.cmd = startCommand(cmd, oldMask)) > 0) {
        superviseCommand(a, ch, set);
        stopPlayer(ch);
        status = exitStatusOf(ch.cmdStatus);
        if (status == 0 && ch.player > 0 && exitStatusOf(ch.playerStatus) != 0) {
            simError("run: the player failed\n");
            status = kStatusSimFailed;
        }
    } else if (ch.player > 0) {
        stopPlayer(ch);
    }
    if (!a.dir && !dir.empty())
        nftw(dir.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return status;
}
