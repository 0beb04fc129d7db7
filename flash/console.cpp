// Console: single keys, block numbers, the wait for Return and colours.
#include "console.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

volatile sig_atomic_t g_inputEnded;

static struct termios Otty;  // terminal settings as my_getch found them
static struct termios Ntty;  // raw settings my_getch reads a key in
static volatile sig_atomic_t rawMode;  // Ntty may be in force: Otty is to be put back

static unsigned char inBuf[512];  // bytes read from descriptor 0, not yet used
static size_t inPos;              // next unused byte of inBuf
static size_t inLen;              // bytes held in inBuf

void SetConsoleTextAttribute(int a, int b, int c)
{
    printf("\033[%i;%i;%im", a, b, c);
}

int kbhit()
{
    if (inPos < inLen)
        return 1;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(0, &set);
    struct timeval tv = {0, 0};
    if (select(1, &set, nullptr, nullptr, &tv) == -1)
        return 0;
    return FD_ISSET(0, &set) ? 1 : 0;
}

// Next byte of standard input through the buffer, -1 at its end.
static int nextByte()
{
    if (inPos == inLen) {
        if (g_inputEnded)
            return -1;
        ssize_t got;
        do
            got = read(0, inBuf, sizeof inBuf);
        while (got < 0 && errno == EINTR && !g_inputEnded);
        if (got <= 0) {
            g_inputEnded = 1;
            return -1;
        }
        inPos = 0;
        inLen = (size_t)got;
    }
    return inBuf[inPos++];
}

static int peekByte()
{
    int c = nextByte();
    if (c >= 0)
        inPos--;
    return c;
}

static void dropLine()
{
    int c;
    do
        c = nextByte();
    while (c >= 0 && c != '\n');
}

static int rawKey()
{
    if (tcgetattr(0, &Otty) != 0)
        return -1;
    Ntty = Otty;
    Ntty.c_iflag = 0;
    Ntty.c_oflag = 0;
    Ntty.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    Ntty.c_cc[VMIN] = 1;
    Ntty.c_cc[VTIME] = 0;
    rawMode = 1;
    if (tcsetattr(0, TCSAFLUSH, &Ntty) != 0) {
        rawMode = 0;
        return -1;
    }
    char c;
    ssize_t got = g_inputEnded ? -1 : read(0, &c, 1);
    int readErrno = errno;
    int restored = tcsetattr(0, TCSAFLUSH, &Otty) == 0;
    rawMode = 0;
    // A terminal that hung up gives 0 or EIO: no key will ever come.
    if (got == 0 || (got < 0 && readErrno != EINTR))
        g_inputEnded = 1;
    return got == 1 && restored ? (int)(signed char)c : -1;
}

int my_getch()
{
    fflush(stdout);
    if (isatty(0)) {
        inPos = inLen = 0;  // type-ahead is discarded, as TCSAFLUSH does
        return rawKey();
    }
    int c = nextByte();
    return c < 0 ? -1 : (int)(signed char)c;
}

void WaitForKeyPress(const char *msg)
{
    printf("%s", msg);
    fflush(stdout);
    if (!isatty(0)) {
        dropLine();
        return;
    }
    while (!kbhit() && !g_inputEnded)
        usleep(500000);
}

static int isBlank(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int readBlockNumber(int *value)
{
    fflush(stdout);
    int c;
    while ((c = peekByte()) >= 0 && isBlank(c))
        nextByte();
    int negative = 0;
    if (c == '-' || c == '+') {
        negative = c == '-';
        nextByte();
    }
    long long v = 0;
    int digits = 0;
    while ((c = peekByte()) >= '0' && c <= '9') {
        nextByte();
        if (v < INT_MAX)
            v = v * 10 + (c - '0');
        digits++;
    }
    if (c != '\n')
        dropLine();
    else
        nextByte();
    if (!digits)
        return -1;
    if (v > INT_MAX)
        v = INT_MAX;
    *value = (int)(negative ? -v : v);
    return 0;
}

void consoleResetInput()
{
    inPos = inLen = 0;
    g_inputEnded = 0;
}

// Puts back the settings my_getch found; safe in a signal handler.
static void restoreTerminal()
{
    if (rawMode)
        tcsetattr(0, TCSANOW, &Otty);
}

static void endOnSignal(int sig)
{
    restoreTerminal();
    signal(sig, SIG_DFL);
    raise(sig);  // delivered, with its default action, as the handler returns
}

static void hangUp(int)
{
    int savedErrno = errno;
    restoreTerminal();
    g_inputEnded = 1;
    errno = savedErrno;
}

// Installs handler for sig unless sig is ignored. No SA_RESTART: a read
// waiting for a key or a line returns at once.
static void catchSignal(int sig, void (*handler)(int))
{
    struct sigaction sa = {};
    sigaction(sig, nullptr, &sa);
    if (sa.sa_handler == SIG_IGN)
        return;
    sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void restoreTerminalOnSignals()
{
    catchSignal(SIGINT, endOnSignal);
    catchSignal(SIGTERM, endOnSignal);
    catchSignal(SIGQUIT, endOnSignal);
    catchSignal(SIGHUP, hangUp);
}
