// The writer: one block from the writer's buffer to the target, with sparse
// punching, -sz, -u and the write-error questions.
#include <windows.h>

#include <cstring>

#include "block_copy.h"
#include "console.h"
#include "file_ops.h"
#include "options.h"
#include "read_recovery.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

bool IsReopenError(uint32_t error) {
    switch (error) {
        case 3: case 21: case 34: case 53: case 54: case 55: case 64: case 1006: case 1110:
            return true;
        default:
            return false;
    }
}

void AddNotWritten(uint32_t n) {
    transfer.bytesNotWritten += n;
    InterlockedAdd64(reinterpret_cast<volatile LONG64*>(&run.runBytesNotWritten), n);
}

enum Attempt { kFailed = 0, kDone = 1, kFaulted = 2 };

// One attempt at a block: a sparse range zeroed, -u's comparison with the
// target, the write and its immediate verification; kFaulted leaves the
// error as last error.
// The target pointer stands at p0 on every attempt.
int TryBlock(uint8_t* buffer, uint32_t n, uint32_t w, int64_t p0, uint32_t sparseMode) {
    void* target = transfer.targetHandle;
    if (sparseMode && IsAllZero(buffer, n)) {
        transfer.targetTouched = 1;
        if (!fileOps->ZeroRange(target, p0, p0 + w) || !fileOps->SetPointer(target, p0 + w, FILE_BEGIN, nullptr) ||
            !fileOps->SetEnd(target))
            return kFaulted;
        AddNotWritten(n);
        return kDone;
    }
    // zeros skipped over an existing target's old bytes would leave those bytes
    bool write = !(options.skipZeros && p0 >= transfer.targetSize && IsAllZero(buffer, w));
    int64_t compared = 0;   // bytes the comparison read past p0
    if (write && transfer.compareExisting && transfer.compareBuffer) {
        uint8_t* compare = transfer.compareBuffer;
        if (w < transfer.runBlockSize) memset(compare, 0, w);
        if (transfer.targetSize >= p0 + n) {
            uint32_t r = 0;
            if (fileOps->Read(target, compare, w, &r) && r > 0) {
                // fewer bytes than the block holds cannot prove it equal
                if (r >= n && memcmp(buffer, compare, r) == 0) write = false;
                compared = r;
                // an equal block is passed over where the read left off
                if (write && !fileOps->SetPointer(target, -static_cast<int64_t>(r), FILE_CURRENT, nullptr)) {
                    uint32_t error = GetLastError();
                    Print("\nerror %s on SetFilePointer(%I64i) file2\n", ErrorName(error), -static_cast<int64_t>(r));
                    Print("  current filepointer is %I64i\n", CurrentPosition(target));
                    SetLastError(error);
                    return kFailed;
                }
            }
        }
    }
    if (!write) {
        if (compared != w && !fileOps->SetPointer(target, w - compared, FILE_CURRENT, nullptr)) return kFaulted;
        AddNotWritten(n);
        return kDone;
    }
    uint32_t written = 0;
    transfer.targetTouched = 1;
    if (!fileOps->Write(target, buffer, w, &written)) return kFaulted;
    // a write that took fewer bytes than given leaves a hole behind the pointer
    if (written != w) {
        SetLastError(ERROR_WRITE_FAULT);
        return kFaulted;
    }
    if (options.verifyImmediate && !VerifyWrittenBlock(p0, w)) return kFaulted;
    return kDone;
}

// Reopens the target after e; returns 0 when the user gave up or the pointer cannot be set.
int ReopenTarget(uint32_t error, int64_t p0) {
    CloseHandleOf(&transfer.targetHandle);
    if (error == ERROR_INVALID_PARAMETER) transfer.targetOpenFlags &= ~kFlagNoBuffering;
    PrintError("\rwrite error %s - reopen...", ErrorName(error));
    recoveryPause(500);
    uint32_t disposition = (p0 == 0 && !run.targetIsDevice) ? OPEN_ALWAYS : OPEN_EXISTING;
    for (;;) {
        void* handle = fileOps->Open(transfer.targetPath, GENERIC_READ | GENERIC_WRITE, run.targetShareMode,
                                     disposition, transfer.targetOpenFlags);
        if (IsValidHandle(handle)) {
            transfer.targetHandle = handle;
            break;
        }
        PrintError("\nError %s reopening target file - abort? (Y/N)", LastErrorName());
        if (run.stopRequested || run.breakRequested || AskYesNo(L'Y')) {
            PrintError(" -> abort");
            run.aborted = 1;
            return 0;
        }
        PrintError(" -> retry...");
    }
    if (!fileOps->SetPointer(transfer.targetHandle, p0, FILE_BEGIN, nullptr)) {
        PrintError("\rError %s setting file pointer -> abort :-(", LastErrorName());
        return 0;
    }
    return 1;
}

}  // namespace

int WriteBlockThread(uint32_t sparseMode) {
    uint32_t index = transfer.writerIndex;
    uint8_t* buffer = transfer.buffers[index];
    uint32_t n = transfer.bufferBytes[index];
    if (n == 0 || !buffer) {
        SetLastError(ERROR_HANDLE_EOF);
        return 0;
    }
    uint32_t w = static_cast<uint32_t>(RoundUpTo(n, transfer.writeUnit));
    // the loop moves the pointer only block by block, so its place is known
    int64_t p0 = transfer.targetPosition;
    for (;;) {
        if (run.aborted) return 0;
        int outcome = TryBlock(buffer, n, w, p0, sparseMode);
        if (outcome == kDone) {
            transfer.goodEnd = p0 + n;
            transfer.targetPosition = p0 + w;
            return 1;
        }
        if (outcome == kFailed) return 0;
        uint32_t error = GetLastError();
        transfer.lastWriteError = error;
        if (run.stopRequested || run.breakRequested || !engineConsoleCheck()) {
            SetLastError(error);
            return 0;
        }
        ClearLine();
        bool unbufferedParameter = error == ERROR_INVALID_PARAMETER && (transfer.targetOpenFlags & kFlagNoBuffering);
        if (!IsReopenError(error) && !unbufferedParameter) {
            PrintError("write error %s - abort? (Y/N)", ErrorName(error));
            if (AskYesNo(L'Y')) {
                run.aborted = 1;
                SetLastError(error);
                return 0;
            }
            Print("\n");
            if (!fileOps->SetPointer(transfer.targetHandle, p0, FILE_BEGIN, nullptr)) return 0;
            continue;
        }
        if (!ReopenTarget(error, p0)) {
            SetLastError(error);
            return 0;
        }
    }
}
