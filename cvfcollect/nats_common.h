// What the publisher and the stream source share: the connection, the
// subjects and the headers of a published record.
#pragma once
#include <cstddef>
#include <cstdint>

typedef struct __natsConnection natsConnection;

constexpr const char *kHdrMsgId = "Nats-Msg-Id";  // JetStream's duplicate detection
constexpr const char *kHdrVersion = "Cvf-Version";  // header version of the payload: 0 or 1

// cvfmon.<gw>.<line>
void busSubject(char *out, size_t size, unsigned gw, unsigned line);
// Connects to urls (comma-separated), reconnecting for ever once
// connected; reports and returns 0 when no server answers.
int busConnect(natsConnection **nc, const char *urls);
// The same without a report: 0 and why (the client's last error) when no
// server answers.
int busTryConnect(natsConnection **nc, const char *urls, char *why, size_t whySize);
// Reports "nats: what name: the client's last error"; returns 0.
int busFailed(const char *what, const char *name);
// The client's last error of this thread, as text.
void busLastError(char *out, size_t size);
// Waits for the client's threads to end, after the last connection was
// destroyed.
void busShutdown(void);
// 1 when SIGINT or SIGTERM waits to be taken (the collector blocks them
// outside the loop's waits): a long start gives up.
int busStopPending(void);
