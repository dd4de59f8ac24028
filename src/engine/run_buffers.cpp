// The run's block buffers, workers and sample-hash buffers.
#include <windows.h>

#include "block_copy.h"
#include "file_ops.h"
#include "options.h"
#include "run_state.h"
#include "transfer_state.h"

namespace {

uint8_t* CommitPages(uint32_t bytes) {
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

uint8_t* AllocatePages(uint32_t bytes) { return pageAllocator(bytes); }

void FreePages(uint8_t** block) {
    if (*block) VirtualFree(*block, 0, MEM_RELEASE);
    *block = nullptr;
}

CRITICAL_SECTION hashLock;
bool hashReady;

}  // namespace

uint8_t* (*pageAllocator)(uint32_t bytes) = CommitPages;
uint8_t* hashBuffers[2];

int PrepareBlockBuffers(int onFloppy) {
    ReleaseBlockBuffers();
    if (!run.writeUnit) run.writeUnit = 512;
    if (run.transferUnit < run.writeUnit) run.transferUnit = run.writeUnit;
    transfer.writeUnit = run.writeUnit;
    transfer.transferUnit = run.transferUnit;
    transfer.recoveryUnit = kRecoveryUnit;

    BlockGeometryInput input = {};
    input.transferUnit = run.transferUnit;
    input.smallBase = options.avoidWrites || options.sparse;
    input.notFixedDrive = (run.sourceDriveType && run.sourceDriveType != DRIVE_FIXED) ||
                          (run.targetDriveType && run.targetDriveType != DRIVE_FIXED);
    input.singleFileSize = -1;
    if (run.singleSource && !options.streams && !run.sourceIsDevice && !run.sourceIsNul) {
        int64_t size = 0;
        if (ProbePath(run.sourcePath, &size, nullptr, nullptr)) input.singleFileSize = size;
    }
    input.onFloppy = onFloppy;
    transfer.runBlockSize = ChooseRunBlockSize(input);
    transfer.fileBlockSize = transfer.runBlockSize;

    // the whole geometry is fixed now, so no buffer can be shorter than a block
    transfer.bufferCapacity = BufferAllocationSize(transfer.runBlockSize);
    transfer.buffers[0] = AllocatePages(transfer.bufferCapacity);
    if (!transfer.buffers[0]) return 0;
    if (run.parallel || options.verify || options.verifyRewrite || options.verifyImmediate) {
        transfer.buffers[1] = AllocatePages(transfer.bufferCapacity);
        if (!transfer.buffers[1]) return 0;
    }
    if (options.avoidWrites || options.verifyImmediate) {
        transfer.compareBuffer = AllocatePages(transfer.bufferCapacity);
        if (!transfer.compareBuffer) return 0;
    }
    ResetTransferOpenFlags();
    return StartIoWorkers();
}

int EnsureCompareBuffer() {
    if (!transfer.compareBuffer && transfer.bufferCapacity) transfer.compareBuffer = AllocatePages(transfer.bufferCapacity);
    return transfer.compareBuffer != nullptr;
}

void ReleaseBlockBuffers() {
    StopIoWorkers();
    FreePages(&transfer.buffers[0]);
    FreePages(&transfer.buffers[1]);
    FreePages(&transfer.compareBuffer);
    transfer.bufferCapacity = 0;
}

int CreateHashBuffers() {
    if (hashReady) return 1;
    hashBuffers[0] = AllocatePages(0x100000);
    hashBuffers[1] = AllocatePages(0x100000);
    if (!hashBuffers[0] || !hashBuffers[1]) {
        FreePages(&hashBuffers[0]);
        FreePages(&hashBuffers[1]);
        return 0;
    }
    InitializeCriticalSection(&hashLock);
    hashReady = true;
    return 1;
}

void ReleaseHashBuffers() {
    if (!hashReady) return;
    FreePages(&hashBuffers[0]);
    FreePages(&hashBuffers[1]);
    DeleteCriticalSection(&hashLock);
    hashReady = false;
}

void EnterHashLock() {
    if (hashReady) EnterCriticalSection(&hashLock);
}

void LeaveHashLock() {
    if (hashReady) LeaveCriticalSection(&hashLock);
}
