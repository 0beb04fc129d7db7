// Running programs against the simulated Tolvi driver: the run and demo
// commands.
#include "tolvi_cmd.h"
#include "tolvi_flash.h"
#include "tolvi_hex.h"
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

int tolviBinDir(char *buf, size_t size)
{
    ssize_t n = readlink("/proc/self/exe", buf, size - 1);
    if (n <= 0 || (size_t)n >= size - 1) {
        tolviError("cannot find my own directory: %s", strerror(errno));
        return -1;
    }
    buf[n] = '\0';
    char *slash = strrchr(buf, '/');
    if (slash == buf)
        slash[1] = '\0';
    else if (slash)
        *slash = '\0';
    return 0;
}

int tolviSetSimEnv(const char *dir)
{
    char bin[PATH_MAX], preload[PATH_MAX + 32];
    if (tolviBinDir(bin, sizeof bin) != 0)
        return -1;
    snprintf(preload, sizeof preload, "%s/$LIB/libcvsim.so", bin);
    if (setenv("CVSIM_DIR", dir, 1) != 0 || setenv("CVSIM_BIN", bin, 1) != 0 ||
        setenv("LD_PRELOAD", preload, 1) != 0) {
        tolviError("setenv: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int tolviCmdRun(int argc, char **argv)
{
    int first = argc > 1 && strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (first >= argc)
        return tolviUsageError("run: give the COMMAND to run");
    if (tolviSetSimEnv(g_tolviDir) != 0)
        return kTolviFailed;
    execvp(argv[first], argv + first);
    tolviError("%s: %s", argv[first], strerror(errno));
    return 127;
}

// What the demo device holds.
struct DemoImage {
    unsigned block;
    uint32_t length;
    const char *version;  // null: raw data without an image header
    const char *what;
};

static constexpr DemoImage demoImages[] = {
    {0, 9984, "1.0.0.2", "boot loader"},
    {1, 600, nullptr, "configuration data"},
    {4, 98304, "2.1.6.0", "firmware (two blocks)"},
    {6, 45312, "1.0.0.3", "image"},
    {8, 70000, "1.1.0.0", "image (two blocks)"},
};
static constexpr DemoImage demoSample = {0, 50000, "1.0.1.2", "sample image"};
static const char demoDevice[] = "tolvi0";

static int programDemoImage(const DemoImage &d, uint32_t seed)
{
    static unsigned char img[kTolviImageMax];
    uint32_t version = 0;
    if (d.version)
        tolviParseVersion(d.version, &version);
    tolviMakeImage(img, d.length, version, 0x1C, d.version != nullptr, seed);
    return tolviProgramImage(demoDevice, tolviBlockAddress[d.block], img, d.length);
}

static int writeDemoSample(const char *path)
{
    static unsigned char img[kTolviImageMax];
    uint32_t version = 0;
    tolviParseVersion(demoSample.version, &version);
    tolviMakeImage(img, demoSample.length, version, 0x1C, 1, 99);
    FILE *out = fopen(path, "w");
    if (!out)
        return tolviError("%s: %s", path, strerror(errno));
    int rc = tolviWriteHex(out, img, demoSample.length, 0x1C);
    if (fclose(out) != 0 || rc != 0)
        return tolviError("%s: write failed", path);
    return kTolviOk;
}

static void printDemoIntro(const char *sample)
{
    printf("Simulated Corvane Tolvi device %s (driver 2.1.6) in %s\n", demoDevice,
           g_tolviDir);
    for (const DemoImage &d : demoImages) {
        unsigned blocks = d.length > tolviBlockSize(d.block) ? 2 : 1;
        printf("  block %-5u %s, %u bytes%s%s%s\n", d.block, d.what, (unsigned)d.length,
               d.version ? ", version " : "", d.version ? d.version : "",
               blocks == 2 ? " (continues into the next block)" : "");
    }
    printf("  blocks 6-10 can be erased and programmed; 7 and 10 are free\n");
    printf("Sample image %s: %u bytes, version %s\n", sample, (unsigned)demoSample.length,
           demoSample.version);
    printf("Press C to list the blocks, E to erase a block, P to program the sample, "
           "Q to quit.\n\n");
    fflush(stdout);
}

static int setUpDemo(const char *sample)
{
    if (tolviCreateDevice(demoDevice, nullptr, 1) != kTolviOk)
        return kTolviFailed;
    uint32_t seed = 1;
    for (const DemoImage &d : demoImages)
        if (programDemoImage(d, seed++) != kTolviOk)
            return kTolviFailed;
    return writeDemoSample(sample);
}

// The CTFlash of a running demo, to which termination signals are passed.
static volatile pid_t g_demoChild;

// SIGTERM and SIGHUP end CTFlash, so that the demo can still clean up.
static void forwardSignal(int sig)
{
    if (g_demoChild > 0)
        kill(g_demoChild, sig);
}

// Set aside while CTFlash runs: the terminal's signals go to it alone (the
// first two are ignored here), a stop request is passed on.
static const int demoSignals[4] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP};

static void restoreSignals(const struct sigaction old[4])
{
    for (int i = 0; i < 4; ++i)
        sigaction(demoSignals[i], &old[i], nullptr);
}

static bool isDemoSignal(int sig)
{
    for (int s : demoSignals)
        if (s == sig)
            return true;
    return false;
}

// Ends the demo by the signal that ended CTFlash, so that the caller sees
// what the user or a stop request did (a shell script stops at an
// interrupt). The core dump, if any, is CTFlash's: none is made here.
[[noreturn]] static void dieOfSignal(int sig)
{
    fflush(nullptr);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

// Runs CTFlash under the simulator and gives its exit status (128 + the
// signal when it was killed, which *killedBy then holds; 0 otherwise).
static int runCtflash(const char *ctflash, const char *sample, int argc, char **argv,
                      int *killedBy)
{
    const char *args[64] = {ctflash, "-n", demoDevice, "-i", sample};
    int n = 5;
    for (int i = 0; i < argc && n < 63; ++i)
        args[n++] = argv[i];
    args[n] = nullptr;
    struct sigaction ignore = {}, forward = {}, old[4];
    ignore.sa_handler = SIG_IGN;
    forward.sa_handler = forwardSignal;
    for (int i = 0; i < 4; ++i)
        sigaction(demoSignals[i], i < 2 ? &ignore : &forward, &old[i]);
    pid_t pid = fork();
    if (pid == 0) {
        restoreSignals(old);
        if (tolviSetSimEnv(g_tolviDir) == 0)
            execv(ctflash, (char **)args);
        tolviError("%s: %s", ctflash, strerror(errno));
        _exit(127);
    }
    g_demoChild = pid;
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    g_demoChild = 0;
    restoreSignals(old);
    if (pid < 0)
        return tolviError("fork: %s", strerror(errno));
    *killedBy = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

static int removeOne(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

// The package that installs CTFlash. An installed cvsim reaches it through
// a link beside itself, left dangling when that package is not installed.
static constexpr char ctflashPackage[] = "corvane-utils";

static int checkCtflash(const char *ctflash)
{
    if (access(ctflash, X_OK) == 0)
        return kTolviOk;
    int err = errno;
    struct stat st;
    if (err == ENOENT && lstat(ctflash, &st) == 0 && S_ISLNK(st.st_mode))
        return tolviError("CTFlash is not installed: install the %s package", ctflashPackage);
    return tolviError("%s: %s (build CTFlash first)", ctflash, strerror(err));
}

int tolviCmdDemo(int argc, char **argv)
{
    int first = argc > 1 && strcmp(argv[1], "--") == 0 ? 2 : 1;
    if (first == 1 && argc > 1)
        return tolviUsageError("demo: CTFlash options go after --");
    char ctflash[PATH_MAX], sample[PATH_MAX + 16];
    if (tolviBinDir(ctflash, sizeof ctflash - 16) != 0)
        return kTolviFailed;
    strcat(ctflash, "/CTFlash");
    if (checkCtflash(ctflash) != kTolviOk)
        return kTolviFailed;
    int temporary = g_tolviDir[0] == '\0';
    if (temporary) {
        const char *tmp = getenv("TMPDIR");
        char tmpl[PATH_MAX];
        snprintf(tmpl, sizeof tmpl, "%s/cvsim-tolvi-XXXXXX", tmp && *tmp ? tmp : "/tmp");
        if (!mkdtemp(tmpl) || tolviUseDir(tmpl, 0) != 0)
            return tolviError("%s: %s", tmpl, strerror(errno));
    }
    snprintf(sample, sizeof sample, "%s/ct_image.hex", g_tolviDir);
    int rc = setUpDemo(sample), killedBy = 0;
    if (rc == kTolviOk) {
        printDemoIntro(sample);
        rc = runCtflash(ctflash, sample, argc - first, argv + first, &killedBy);
    }
    if (temporary)
        nftw(g_tolviDir, removeOne, 16, FTW_DEPTH | FTW_PHYS);
    if (isDemoSignal(killedBy))
        dieOfSignal(killedBy);
    return rc;
}
