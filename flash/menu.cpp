// Menu: the single-key menu and the erase and program flows.
#include "menu.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "blocks.h"
#include "cmdline.h"
#include "console.h"
#include "device.h"
#include "hexload.h"

int g_answer;

void showMenu()
{
    printf("\nCorvane Tolvi %s\n", kProgramVersion);
    printf("Built for version %s of the Corvane Tolvi driver\n\n", kDriverVersion);
    printf("C..............Check\n\n");
    printf("E..............Erase\n\n");
    printf("P..............Program\n\n");
    printf("Select C, E or P. Q to Quit\n");
}

// Erases one block on its own handle; 0 on success.
static int eraseBlock(int block)
{
    int fd = CreateFile(g_szDeviceName);
    if (fd < 0)
        return 1;  // no handle: this block is skipped
    printf("Erasing FLASH (block %i @ 0x%08lx)\n", block, (unsigned long)flashBlockAddress[block]);
    int rc = cvtRequest(fd, REQ_ERASE, (uint32_t)block, nullptr);
    int err = errno;
    close(fd);
    if (rc != 0) {
        blockStatus[block] = BLOCK_UNKNOWN;
        printf("IoctlCodeCorvaneControlRequest failed with error 0x%x\n", err);
        return -1;
    }
    blockStatus[block] = BLOCK_FREE;
    printf("Success\n\n");
    return 0;
}

void eraseFlow()
{
    int block;
    printf("Enter Block to Erase (0...%i): ", kLastBlock);
    if (readBlockNumber(&block) != 0)
        return;
    if (block > kLastBlock) {
        WaitForKeyPress("Invalid block number - press return\n\n");
        return;
    }
    if (block <= kLastProtectedBlock) {
        printf("Blocks 0 - %i are protected and cannot be erased!\n\n", kLastProtectedBlock);
        printf("Press any key to contunue\n");
        g_answer = my_getch();
        return;
    }
    int n = check_flash_header(block);
    if (n < 0) {
        printf("ERROR - Can't erase this block\n");
        return;
    }
    for (int b = block; b < block + n && b <= kLastBlock; b++) {
        printf("Checking block %d\n", b);
        if (blockStatus[b] == BLOCK_USED) {
            printf("Block state is used, do you really want to erase (Y/N)?\n");
            g_answer = my_getch();
        }
        if (g_answer != 'Y' && g_answer != 'y') {
            printf(" ABORTED\n");
            return;
        }
        if (eraseBlock(b) < 0)
            return;
    }
}

// Refuses a target that is not free; 0 when it may be programmed.
static int checkTargetState(int block)
{
    switch (blockStatus[block]) {
    case BLOCK_FREE:
        return 0;
    case BLOCK_USED:
        printf("ERROR - Block state is used and is not available for programming\n");
        break;
    case BLOCK_SECOND:
        printf("ERROR - This is the second block of a two block image and cannot be used\n");
        break;
    default:
        printf("ERROR - Block is not available for programming \n");
        break;
    }
    return -1;
}

// An image that reaches past the first 64 KB needs the next block too.
static int checkSpace(int block)
{
    int twoBlocks = g_imageBytes > (int64_t)kImageBlockSize ||
                    (g_imageBytes > 0 && g_imageMaxAddress >= kImageBlockSize);
    if (!twoBlocks)
        return 0;
    if (block == kLastBlock)
        printf("\nERROR - Not enough space for image, please choose a smaller block number\n");
    else if (blockStatus[block + 1] != BLOCK_FREE)
        printf("\nERROR - Not enough space for image, please ensure two contiguous blocks free\n");
    else
        return 0;
    return -1;
}

// Writes the whole image buffer, up to the end of the flash; 0 when every
// request succeeded.
static int writeImage(int fd, int block)
{
    uint64_t start = flashBlockAddress[block];
    flashAddress = start;
    flashEndAddress = start + kImageSize < kFlashEnd ? start + kImageSize : kFlashEnd;
    for (size_t offset = 0; flashAddress < flashEndAddress; flashAddress += kChunkSize, offset += kChunkSize) {
        if (cvtRequest(fd, REQ_PROGRAM, (uint32_t)flashAddress, g_imageBuf + offset) != 0) {
            printf("IoctlCodeCorvaneControlRequest failed with error 0x%x\n", errno);
            return -1;
        }
        if (flashAddress % kProgressStep == 0) {
            printf("=");
            fflush(stdout);
        }
    }
    return 0;
}

// The differences a verify found: how many, and the first of them.
struct VerifyDiff {
    unsigned long count;
    uint64_t firstAddress;
    uint8_t expected;
    uint8_t found;
};

// Compares the chunk just read back from address with want.
static void compareChunk(uint64_t address, const uint8_t *want, VerifyDiff *diff)
{
    for (int i = 0; i < kChunkSize; i++) {
        uint8_t got = cvt_ctrl_req.reqData[i];
        if (got == want[i])
            continue;
        if (diff->count++ == 0)
            *diff = {1, address + i, want[i], got};
    }
}

// Reads back every chunk the image file filled and compares it with the
// image; 0 when all match.
static int verifyImage(int fd, int block)
{
    uint64_t start = flashBlockAddress[block];
    unsigned long checked = 0;
    VerifyDiff diff = {};
    for (size_t chunk = 0; chunk < kImageChunks && start + chunk * kChunkSize < kFlashEnd; chunk++) {
        if (!g_chunkFilled[chunk])
            continue;
        uint64_t address = start + chunk * kChunkSize;
        if (cvtRequest(fd, REQ_READ, (uint32_t)address, nullptr) != 0) {
            printf("IoctlCodeCorvaneControlRequest failed with error 0x%x\n", errno);
            printf("ERROR - verify could not read 0x%08lx\n", (unsigned long)address);
            return -1;
        }
        compareChunk(address, g_imageBuf + chunk * kChunkSize, &diff);
        checked += kChunkSize;
    }
    if (diff.count) {
        printf("ERROR - verify failed at 0x%08lx: expected 0x%02X, found 0x%02X (%lu bytes differ)\n",
               (unsigned long)diff.firstAddress, diff.expected, diff.found, diff.count);
        return -1;
    }
    printf("Verified %lu bytes\n", checked);
    return 0;
}

int programBlock(int block)
{
    int fd = CreateFile(g_szDeviceName);
    if (fd < 0)
        return -1;
    int rc = writeImage(fd, block);
    blockStatus[block] = BLOCK_USED;  // no longer free, whatever was written
    printf("\n");
    if (rc == 0)
        rc = verifyImage(fd, block);
    close(fd);
    return rc;
}

int programFlow()
{
    int block;
    printf("Enter Block to Program (0...%i): ", kLastBlock);
    if (readBlockNumber(&block) != 0)
        return FLOW_DONE;
    if (block > kLastBlock) {
        WaitForKeyPress("Invalid block number - press return to continue\n\n");
        return FLOW_DONE;
    }
    if (block <= kLastProtectedBlock) {
        WaitForKeyPress("Blocks 0 - 5 are protected and cannot be programmed! - press return to continue\n\n");
        return FLOW_DONE;
    }
    if (checkTargetState(block) != 0)
        return FLOW_DONE;
    check_flash_header(block);
    printf("Programming FLASH from (block %i @ 0x%08lx)\n", block, (unsigned long)flashBlockAddress[block]);
    int rc = loadImage(g_szImageFile);
    if (rc == LOAD_RANGE)
        return FLOW_EXIT;
    if (rc != LOAD_OK || checkSpace(block) != 0)
        return FLOW_DONE;
    if (block < kLastBlock)
        blockStatus[block + 1] = BLOCK_SECOND;
    programBlock(block);
    return FLOW_DONE;
}

int menuLoop()
{
    for (;;) {
        showMenu();
        int key = my_getch();
        if (key == 'C' || key == 'c')
            listFlashBlocks();
        else if (key == 'E' || key == 'e')
            eraseFlow();
        else if ((key == 'P' || key == 'p') && programFlow() == FLOW_EXIT)
            return 1;
        if (key == kKeyEscape || key == 'Q' || key == 'q' || g_inputEnded)
            return 1;
    }
}
