// The connection to the collector and the socket buffer-size routines.
#pragma once
#include "settings.h"
#include <sys/time.h>

extern int g_sockfd;              // collector socket; 0 or less: none
extern struct timeval connecttv;  // when the latest connection attempt began
                                  // (monotonic clock, f_monotonicNow)

// Resolves and connects to the collector; 1 when g_sockfd holds a connected
// socket, 0 otherwise (the caller closes g_sockfd and sets it to -1).
int connectToRemoteServer();
// Closes the collector socket, if any, and marks it absent.
void closeRemote();

void cvt_increaseSocketRxBufferSize(IfInfo *ifi);
void cvt_showSocketRxBufferSize(IfInfo *ifi);
void cvt_showSocketSendBufferSize(int sock);
void cvt_increaseUdpSendBufferSize(int sock);
