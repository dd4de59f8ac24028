// Plain decisions of the single-file copy.
#include "copy_call.h"

uint32_t CreationAttributesOf(uint32_t sourceAttributes) {
    if (sourceAttributes == 0xFFFFFFFFu) return 0;
    // folder and reparse bits cannot be given to a new file's data
    return sourceAttributes & ~(kCreationAttributeMask | 0x10u | 0x400u);
}

int IsTargetOlder(uint64_t targetTime, uint64_t sourceTime, int64_t targetSize, int64_t sourceSize) {
    if (targetTime < sourceTime) return 1;
    return targetTime == sourceTime && targetSize != sourceSize;
}

int TargetOutOfDate(uint64_t targetTime, uint64_t sourceTime, int64_t targetSize, int64_t sourceSize, int mirror) {
    if (mirror) return targetTime != sourceTime || targetSize != sourceSize;
    return IsTargetOlder(targetTime, sourceTime, targetSize, sourceSize);
}

int DecideExisting(const ExistingRules& rules) {
    if (rules.incomplete) return kExistingCopy;
    if (rules.skipExisting) return kExistingSkip;
    if (rules.streamCall) return kExistingCopy;
    if (rules.overwrite) return kExistingCopy;
    if (rules.overwriteOlder) return rules.older ? kExistingCopy : kExistingNotOlder;
    return kExistingAsk;
}

int64_t EffectiveFreeSpace(uint64_t totalBytes, uint64_t freeBytes) {
    if (totalBytes == 0x1400000 && freeBytes == 0) return 0x7FFFFFFFFFFFFFFFLL;
    if (freeBytes > 0x7FFFFFFFFFFFFFFFULL) return 0x7FFFFFFFFFFFFFFFLL;
    return static_cast<int64_t>(freeBytes);
}

int64_t NeededSpace(int64_t size, int64_t allocatedSize, int useAllocated, int64_t existingCompressedSize) {
    int64_t needed = useAllocated ? allocatedSize : size;
    if (existingCompressedSize > 0) needed -= existingCompressedSize;
    return needed;
}
