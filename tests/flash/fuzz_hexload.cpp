// Fuzz target: the HEX loader reads arbitrary bytes as an image file.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hexload.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The loader reports every damaged line; keep the fuzzer's output readable.
    if (!freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!f)
        return 0;
    int rc = loadImageStream(f);
    fclose(f);
    if (rc != LOAD_OK && rc != LOAD_BAD && rc != LOAD_RANGE)
        __builtin_trap();
    // The summary never claims data outside the buffer for a good load.
    if (rc == LOAD_OK && g_imageBytes > 0 && g_imageMaxAddress >= kImageSize)
        __builtin_trap();
    return 0;
}
