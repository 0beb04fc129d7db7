// Block table of a simulated Tolvi flash.
#include "tolvi_blocks.h"

static int blockUsed(const unsigned char *flash, unsigned block)
{
    for (uint32_t a = tolviBlockAddress[block]; a < tolviBlockAddress[block + 1]; ++a)
        if (flash[a] != 0xFF)
            return 1;
    return 0;
}

void tolviScanBlocks(const unsigned char *flash, TolviBlockInfo info[kTolviBlocks])
{
    int image = -1;        // block of the last header seen
    uint32_t imageEnd = 0;  // end address of that image
    for (unsigned b = 0; b < kTolviBlocks; ++b) {
        const unsigned char *start = flash + tolviBlockAddress[b];
        TolviBlockInfo &i = info[b];
        i.used = blockUsed(flash, b);
        i.hasHeader = getLe32(start + kHdrMagic) == kTolviImageMagic;
        i.length = i.hasHeader ? getLe32(start + kHdrLength) : 0;
        i.version = i.hasHeader ? getLe32(start + kHdrVersion) : 0;
        i.continues = !i.hasHeader && image >= 0 &&
                              tolviBlockAddress[b] < imageEnd
                          ? image
                          : -1;
        if (i.hasHeader) {
            image = (int)b;
            uint64_t end = (uint64_t)tolviBlockAddress[b] + i.length;
            imageEnd = end > kTolviFlashSize ? kTolviFlashSize : (uint32_t)end;
        }
    }
}

void tolviPrintBlocks(FILE *out, const TolviBlockInfo info[kTolviBlocks])
{
    fprintf(out, "Block  Address  Size     Magic       Length  Version          State\n");
    for (unsigned b = 0; b < kTolviBlocks; ++b) {
        const TolviBlockInfo &i = info[b];
        fprintf(out, "%5u  0x%05x  0x%05x  ", b, (unsigned)tolviBlockAddress[b],
                (unsigned)tolviBlockSize(b));
        if (i.hasHeader) {
            char version[48];
            snprintf(version, sizeof version, "%u.%u.%u.%u",
                     (unsigned)(i.version >> 24), (unsigned)(i.version >> 16 & 0xFF),
                     (unsigned)(i.version >> 8 & 0xFF), (unsigned)(i.version & 0xFF));
            fprintf(out, "0x%08X  %6u  %-15s  ", kTolviImageMagic, (unsigned)i.length,
                    version);
        } else if (i.continues >= 0) {
            char part[32];
            snprintf(part, sizeof part, "(image of %d)", i.continues);
            fprintf(out, "%-10s  %6s  %-15s  ", "-", "-", part);
        } else {
            fprintf(out, "%-10s  %6s  %-15s  ", "-", "-", "-");
        }
        fprintf(out, "%s\n", i.used ? "used" : "free");
    }
}
