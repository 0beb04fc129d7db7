// Block map: the flash layout, the block states, the image header read and
// the block listing.
#include "blocks.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "console.h"
#include "device.h"

int blockStatus[kBlockCount] = {BLOCK_UNKNOWN, BLOCK_UNKNOWN, BLOCK_UNKNOWN, BLOCK_UNKNOWN,
                                BLOCK_UNKNOWN, BLOCK_UNKNOWN, BLOCK_UNKNOWN, BLOCK_UNKNOWN,
                                BLOCK_UNKNOWN, BLOCK_UNKNOWN, BLOCK_UNKNOWN};
int flashBlock;
uint64_t flashAddress;
uint64_t flashEndAddress;
int expert;
char g_szVersionText[20] = " . . . ";

int headerBlockCount(int block, uint32_t imageLength)
{
    int n = (int)(imageLength >> 16) + 1;
    if (n > 2 || block >= kLastBlock)  // there is no block after the last
        n = 1;
    return n;
}

int listingSpansTwo(int block, uint32_t imageLength)
{
    return imageLength > kImageBlockSize && block < kLastBlock;
}

int check_flash_header(int block)
{
    if (block < 0 || block > kLastBlock)
        return -1;
    int fd = CreateFile(g_szDeviceName);
    if (fd < 0) {
        printf("Failed to open image header for block %d\n", block);
        return -1;
    }
    flashAddress = flashBlockAddress[block];
    flashEndAddress = flashBlockAddress[block + 1];
    if (cvtRequest(fd, REQ_READ, (uint32_t)flashAddress, nullptr) != 0) {
        printf("Failed to read image header for block %d\n", block);
        close(fd);
        return -1;
    }
    const uint8_t *hdr = cvt_ctrl_req.reqData;
    if (le32(hdr + kHdrMagic) != kImageMagic && expert == 0) {
        close(fd);
        return -1;
    }
    int n = headerBlockCount(block, le32(hdr + kHdrLength));
    blockStatus[block] = BLOCK_USED;
    if (n > 1)
        blockStatus[block + 1] = BLOCK_SECOND;
    close(fd);
    return n;
}

// Looks at the header in the chunk just read at the start of a block;
// returns 1 when the image continues into the next block.
static int examineHeader(const uint8_t *hdr, unsigned *shownLength)
{
    if (le32(hdr + kHdrMagic) != kImageMagic) {
        snprintf(g_szVersionText, sizeof g_szVersionText, " . . . ");
        return 0;
    }
    *shownLength = le32(hdr + kHdrLength);
    snprintf(g_szVersionText, sizeof g_szVersionText, "%i.%i.%i.%i", hdr[kHdrVersion + 3],
             hdr[kHdrVersion + 2], hdr[kHdrVersion + 1], hdr[kHdrVersion]);
    return listingSpansTwo(flashBlock, *shownLength);
}

// 1 when every byte of a chunk is 0xFF.
static int chunkErased(const uint8_t *data)
{
    for (int i = 0; i < kChunkSize; i++)
        if (data[i] != 0xFF)
            return 0;
    return 1;
}

// Reads the chunks of the current block (two blocks for a two-block image);
// 1 when every chunk was read, 0 when a read failed and ended the walk.
static int walkBlock(int fd, unsigned *shownLength, int *twoBlock)
{
    *twoBlock = 0;
    while (flashAddress < flashEndAddress) {
        if (cvtRequest(fd, REQ_READ, (uint32_t)flashAddress, nullptr) != 0) {
            printf("IoctlCodeCorvaneControlRequest failed with error 0x%x\n", errno);
            return 0;
        }
        if (blockStatus[flashBlock] <= BLOCK_UNKNOWN && !chunkErased(cvt_ctrl_req.reqData))
            blockStatus[flashBlock] = BLOCK_USED;
        if (flashAddress % kImageBlockSize == 0 && !*twoBlock &&
            examineHeader(cvt_ctrl_req.reqData, shownLength)) {
            flashEndAddress = flashBlockAddress[flashBlock + 2];
            *twoBlock = 1;
        }
        flashAddress += kChunkSize;
    }
    return 1;
}

static void printBlockRow(unsigned shownLength)
{
    printf("%2i\t0x%05lx\t%u\t%s\t", flashBlock, (unsigned long)flashBlockAddress[flashBlock],
           shownLength, g_szVersionText);
    if (blockStatus[flashBlock] == BLOCK_FREE) {
        SetConsoleTextAttribute(0, 32, 47);
        printf("free\t");
    } else if (blockStatus[flashBlock] == BLOCK_UNKNOWN) {
        SetConsoleTextAttribute(0, 33, 47);
        printf("unknown\t");
    } else {
        SetConsoleTextAttribute(0, 31, 47);
        printf("used\t");
    }
    SetConsoleTextAttribute(0, 30, 0);
    int a = blockAttrib[flashBlock];
    printf("%c%c%c%s\n", a & 1 ? 'r' : '-', a & 2 ? 'w' : '-', a & 4 ? 'x' : '-', a & 8 ? "d" : "-");
}

void listFlashBlocks()
{
    int fd = CreateFile(g_szDeviceName);
    if (fd < 0) {
        printf("Error openeing ports %d\n", errno);
        return;
    }
    printf("Block\tAddress\tLength\tVersion\tStatus\tAttribute\n");
    flashBlock = 0;
    while (flashBlock <= kLastBlock) {
        unsigned shownLength = 0;
        flashAddress = flashBlockAddress[flashBlock];
        flashEndAddress = flashBlockAddress[flashBlock + 1];
        blockStatus[flashBlock] = BLOCK_FREE;
        int twoBlock;
        // What a failed read left unread may hold an image: not free.
        if (!walkBlock(fd, &shownLength, &twoBlock) && blockStatus[flashBlock] == BLOCK_FREE)
            blockStatus[flashBlock] = BLOCK_UNKNOWN;
        printBlockRow(shownLength);
        flashBlock += twoBlock ? 2 : 1;
    }
    close(fd);
    printf("\n");
}
