// The capture reader of a build without a capture library (the 32-bit
// build: Debian has no 32-bit libwiretap). --capture is refused before any
// of these is called.
#include "replay.h"

bool captureReaderBuilt()
{
    return false;
}

CaptureReader *captureOpen(const char *, int)
{
    return nullptr;
}

int captureNext(CaptureReader *, CapturePacket *)
{
    return -1;
}

void captureClose(CaptureReader *) {}
