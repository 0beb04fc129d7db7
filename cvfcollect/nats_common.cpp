// The connection to the cluster.
#include "nats_common.h"

#include <nats/nats.h>

#include <cstdio>
#include <ctime>

constexpr int64_t kConnectTimeoutMs = 2000;
constexpr int64_t kReconnectWaitMs = 250;

void busSubject(char *out, size_t size, unsigned gw, unsigned line)
{
    snprintf(out, size, "cvfmon.%u.%u", gw, line);
}

int busFailed(const char *what, const char *name)
{
    const char *text = nats_GetLastError(nullptr);
    fprintf(stderr, "cvfcollect: nats: %s %s: %s\n", what, name, text && *text ? text : "failed");
    return 0;
}

int busConnect(natsConnection **nc, const char *urls)
{
    natsOptions *opts = nullptr;
    natsStatus st = natsOptions_Create(&opts);
    if (st == NATS_OK)
        st = natsOptions_SetURL(opts, urls);
    if (st == NATS_OK)
        st = natsOptions_SetTimeout(opts, kConnectTimeoutMs);
    if (st == NATS_OK)
        st = natsOptions_SetMaxReconnect(opts, -1);
    if (st == NATS_OK)
        st = natsOptions_SetReconnectWait(opts, kReconnectWaitMs);
    if (st == NATS_OK)
        st = natsConnection_Connect(nc, opts);
    natsOptions_Destroy(opts);
    if (st != NATS_OK) {
        *nc = nullptr;
        return busFailed("cannot connect to", urls);
    }
    return 1;
}

void busShutdown(void)
{
    nats_CloseAndWait(2000);
}

uint64_t busMonoNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}
