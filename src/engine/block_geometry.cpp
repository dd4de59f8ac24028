// Block sizes and the all-zero test.
#include <cstring>

#include "block_copy.h"

uint64_t RoundUpTo(uint64_t value, uint32_t unit) {
    if (unit <= 1) return value;
    return (value + unit - 1) / unit * unit;
}

uint32_t ChooseRunBlockSize(const BlockGeometryInput& input) {
    uint32_t unit = input.transferUnit ? input.transferUnit : 512;
    uint64_t size;
    if (input.smallBase)
        size = RoundUpTo(0x400000, unit);
    else
        size = input.notFixedDrive ? 0x800000 : 0x2000000;
    while (size > 0x100000) size /= 2;
    if (input.singleFileSize > 0 && static_cast<uint64_t>(input.singleFileSize) < size)
        size = RoundUpTo(static_cast<uint64_t>(input.singleFileSize), unit);
    if (input.onFloppy) size = 0x10000;
    return static_cast<uint32_t>(size);
}

uint32_t FileBlockSize(uint32_t runBlockSize, uint32_t transferUnit, int parallel, int64_t fileSize) {
    uint32_t eightBlocks = runBlockSize * 8u;   // 32-bit on purpose
    if (parallel && fileSize > 0x100000 && fileSize < static_cast<int64_t>(eightBlocks))
        return static_cast<uint32_t>(RoundUpTo(runBlockSize / 8, transferUnit));
    return runBlockSize;
}

int64_t BlockCount(int64_t size, int64_t startPosition, uint32_t blockSize) {
    int64_t bytes = size - startPosition;
    if (bytes <= 0 || blockSize == 0) return 0;
    return (bytes + blockSize - 1) / blockSize;
}

uint32_t BufferAllocationSize(uint32_t runBlockSize) {
    uint64_t n = static_cast<uint64_t>(runBlockSize) + 1;
    return static_cast<uint32_t>((n + 4096) / 4096 * 4096);
}

int IsAllZero(const void* buffer, uint64_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    uint64_t words = length / 8;
    for (uint64_t i = 0; i < words; ++i) {
        uint64_t word;
        memcpy(&word, bytes + i * 8, 8);
        if (word) return 0;
    }
    for (uint64_t i = words * 8; i < length; ++i)
        if (bytes[i]) return 0;
    return 1;
}
