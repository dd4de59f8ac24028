// The copy engine's geometry, buffers, handles, open flags and per-file
// counters. One copy runs at a time; CopyOneFile resets the per-file part.
#pragma once
#include <cstdint>

#include "run_state.h"

constexpr uint32_t kNoBufferingFlags = 0x28000000;   // FILE_FLAG_NO_BUFFERING|FILE_FLAG_SEQUENTIAL_SCAN
constexpr uint32_t kFlagNoBuffering = 0x20000000;
constexpr uint32_t kFlagBackupSemantics = 0x02000000;
constexpr uint32_t kRecoveryUnit = 4096;
constexpr int64_t kSizeUnset = -1;

struct TransferState {
    // geometry, fixed for the run
    uint32_t writeUnit;
    uint32_t transferUnit;
    uint32_t recoveryUnit;
    uint32_t runBlockSize;
    uint32_t fileBlockSize;      // the current file's block size
    uint32_t bufferCapacity;     // bytes of each allocated block buffer

    // buffers, page aligned
    uint8_t* buffers[2];
    uint8_t* compareBuffer;
    volatile uint32_t bufferBytes[2];
    volatile uint32_t readerIndex;
    volatile uint32_t writerIndex;

    // handles: 0 or INVALID_HANDLE_VALUE count as not open
    void* sourceHandle;
    void* targetHandle;
    void* verifyHandle;

    int hurried;                 // the waiting thread runs time-critical
    int finishOnStop;            // a stop request waits for the end of this file
    uint32_t sourceOpenFlags;
    uint32_t targetOpenFlags;

    wchar_t sourcePath[kPathCapacity];
    wchar_t targetPath[kPathCapacity];

    // per-file counters
    volatile int64_t bytesRead;
    volatile int64_t bytesNotWritten;
    volatile uint32_t lastWriteError;
    volatile uint32_t lastReadError;
    volatile int64_t failedSectors;
    int64_t sourceSize;
    int64_t sourceAllocatedSize;
    int64_t targetSize;             // as opened: what -u compares and -sz must not leave behind
    uint64_t targetTimes[3];        // creation, access and write time as opened
    int64_t targetAllocatedSize;
    int64_t startPosition;
    int64_t targetPosition;         // the target pointer during the block loop
    int sparseMode;
    int compareExisting;            // -u, or a resumed copy: blocks the target already holds are not written
    volatile int targetTouched;     // the target was written to (an untouched one stays as it was)
    volatile int64_t goodEnd;       // the target holds the source's bytes from the start up to here
    int sourceEnded;                // the source delivered less than the size to copy

    // the loop's outcome and timing, read by the finish
    uint32_t loopStartTick;
    uint32_t loopElapsed;
    int loopComplete;

    // progress and flushing over the run
    int64_t flushPoint;
    int64_t progressDone;
    uint32_t lastUpdateTick;
    int progressColumn;
};

extern TransferState transfer;

inline void CountUp(volatile int32_t* counter) { __atomic_add_fetch(counter, 1, __ATOMIC_SEQ_CST); }

inline int IsValidHandle(void* handle) { return handle != nullptr && handle != reinterpret_cast<void*>(-1); }

// Whether questions can be asked; a dry run, which asks nothing, and test
// code swap it.
extern int (*engineConsoleCheck)();

// Resets handles, counters and sizes for the next file; keeps the geometry,
// buffers, open flags and the run-long progress values.
void ResetTransferForFile();
// Sets the open flags to their initial value (run start).
void ResetTransferOpenFlags();
