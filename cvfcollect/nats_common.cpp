// The connection to the cluster.
#include "nats_common.h"

#include <nats/nats.h>

#include <csignal>
#include <cstdio>
#include <cstring>

constexpr int64_t kConnectTimeoutMs = 2000;
constexpr int64_t kReconnectWaitMs = 250;
// The client's write buffer: the client's flusher thread sends it, and a
// publish that finds it full sends it from the loop's thread, blocking the
// receive loop meanwhile; a large one leaves that to the flusher.
constexpr int kIoBufLen = 1 << 20;

void busSubject(char *out, size_t size, unsigned gw, unsigned line)
{
    snprintf(out, size, "cvfmon.%u.%u", gw, line);
}

void busLastError(char *out, size_t size)
{
    natsStatus st = NATS_OK;
    const char *text = nats_GetLastError(&st);
    snprintf(out, size, "%s", text && *text ? text : st != NATS_OK ? natsStatus_GetText(st) : "failed");
}

int busFailed(const char *what, const char *name)
{
    char why[256];
    busLastError(why, sizeof why);
    fprintf(stderr, "cvfcollect: nats: %s %s: %s\n", what, name, why);
    return 0;
}

// Splits "url,url,..." in place into at most max URLs; returns how many.
static int splitUrls(char *list, const char **out, int max)
{
    int n = 0;
    for (char *save = nullptr, *u = strtok_r(list, ",", &save); u && n < max;
         u = strtok_r(nullptr, ",", &save))
        out[n++] = u;
    return n;
}

int busTryConnect(natsConnection **nc, const char *urls, char *why, size_t whySize)
{
    constexpr int kMaxUrls = 32;
    char list[4096];
    const char *servers[kMaxUrls];
    snprintf(list, sizeof list, "%s", urls);
    int count = splitUrls(list, servers, kMaxUrls);
    natsOptions *opts = nullptr;
    natsStatus st = count ? natsOptions_Create(&opts) : NATS_INVALID_ARG;
    if (st == NATS_OK)
        st = natsOptions_SetServers(opts, servers, count);
    if (st == NATS_OK)
        st = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
    if (st == NATS_OK)
        st = natsOptions_SetIOBufSize(opts, kIoBufLen);
    if (st == NATS_OK)
        st = natsOptions_SetMaxReconnect(opts, -1);
    if (st == NATS_OK)
        st = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
    if (st == NATS_OK)
        st = natsConnection_Connect(nc, opts);
    natsOptions_Destroy(opts);
    if (st != NATS_OK) {
        *nc = nullptr;
        busLastError(why, whySize);
        return 0;
    }
    return 1;
}

int busConnect(natsConnection **nc, const char *urls)
{
    char why[256];
    if (busTryConnect(nc, urls, why, sizeof why))
        return 1;
    fprintf(stderr, "cvfcollect: nats: cannot connect to %s: %s\n", urls, why);
    return 0;
}

void busShutdown(void)
{
    nats_CloseAndWait(0);  // every object is destroyed: the threads end
}

int busStopPending(void)
{
    sigset_t set;
    return sigpending(&set) == 0 && (sigismember(&set, SIGINT) == 1 || sigismember(&set, SIGTERM) == 1);
}

