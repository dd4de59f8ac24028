// Read-error recovery on the reader thread: sector-wise reading for media
// errors, reopening for vanished devices and shares, the abort question for
// the rest.
#include "read_recovery.h"

#include <windows.h>

#include <cstring>

#include "block_copy.h"
#include "console.h"
#include "file_ops.h"
#include "options.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

void PauseFor(uint32_t milliseconds) { Sleep(milliseconds); }

int Attempts() { return options.retries < 1 ? 1 : options.retries; }

int FailBlock(uint32_t index, uint32_t error) {
    transfer.bufferBytes[index] = 0;
    SetLastError(error);
    return 0;
}

void RedAbortLine(uint32_t error) {
    SetTextColor(console, 12);
    Print("read error %s -> abort\n", ErrorName(error));
    SetTextColor(console, 0);
}

// Closes and reopens the source until it opens or the user gives up, then
// returns to the block's start.
int ReopenSource(uint32_t error, int64_t restartPosition) {
    CloseHandleOf(&transfer.sourceHandle);
    if (error == ERROR_INVALID_PARAMETER) transfer.sourceOpenFlags &= ~kFlagNoBuffering;
    for (;;) {
        void* handle = fileOps->Open(transfer.sourcePath, GENERIC_READ, run.sourceShareMode, OPEN_EXISTING,
                                     transfer.sourceOpenFlags);
        if (IsValidHandle(handle)) {
            transfer.sourceHandle = handle;
            break;
        }
        uint32_t openError = GetLastError();
        Print("Error %s\n", ErrorName(error));
        EndLine();
        PrintError("Error %s reopening source file - abort? (Y/N)", ErrorName(openError));
        // nobody to answer: the question's default ends the file
        if (run.stopRequested || run.breakRequested || !engineConsoleCheck() || recoveryQuestion(L'Y')) {
            run.aborted = 1;
            SetLastError(openError);
            return 0;
        }
    }
    return fileOps->SetPointer(transfer.sourceHandle, restartPosition, FILE_BEGIN, nullptr);
}

// Blanks what PrintAt wrote at column; PrintAt leaves the cursor in place.
void EraseRetryText(int column, int shown) {
    if (shown) PrintAt(column, "%s", "                        ");
    EraseBackTo(column);
}

}  // namespace

int (*recoveryQuestion)(wchar_t defaultKey) = AskYesNo;
void (*recoveryPause)(uint32_t milliseconds) = PauseFor;

int IsSectorReadError(uint32_t error) {
    switch (error) {
        case ERROR_CRC: case ERROR_SECTOR_NOT_FOUND: case ERROR_SEM_TIMEOUT: case 483: case ERROR_IO_DEVICE:
            return 1;
        default:
            return 0;
    }
}

int IsSourceReopenError(uint32_t error) {
    switch (error) {
        case 3: case 21: case 34: case 53: case 54: case 55: case 64: case 1006: case 1110:
            return 1;
        default:
            return 0;
    }
}

int ReadSectors(void* handle, uint8_t* buffer, uint32_t length, int64_t blockStart, volatile uint32_t* byteCount) {
    const uint32_t unit = transfer.recoveryUnit ? transfer.recoveryUnit : kRecoveryUnit;
    const int attempts = Attempts();
    const int64_t sourceEnd = transfer.sourceSize >= 0 ? transfer.sourceSize : INT64_MAX;
    // a partial unit at the end is read at its own length, never dropped
    int units = static_cast<int>((static_cast<uint64_t>(length) + unit - 1) / unit);
    int good = 0, bad = 0;
    uint32_t extent = 0;
    uint32_t lastError = transfer.lastReadError;
    ClearLine();
    for (int i = 0; i < units; ++i) {
        const uint32_t offset = static_cast<uint32_t>(i) * unit;
        const uint32_t unitLength = length - offset < unit ? length - offset : unit;
        const int64_t at = blockStart + offset;
        if (at >= sourceEnd) {
            // nothing of the source lies here
            units = i;
            break;
        }
        memset(buffer + offset, 0, unitLength);
        ClearLine();
        Print("Reading sector %i of %i...", i + 1, units);
        const int column = CursorColumn();
        bool read = false;
        int retryShown = 0;
        uint32_t done = 0;
        for (int attempt = 1; attempt <= attempts; ++attempt) {
            if (run.stopRequested || run.breakRequested) break;
            // every unit at its own offset: a failed one must not shift the rest
            if (fileOps->SetPointer(handle, at, FILE_BEGIN, nullptr) &&
                fileOps->Read(handle, buffer + offset, unitLength, &done)) {
                read = true;
                break;
            }
            lastError = GetLastError();
            if (attempt < attempts) {
                PrintAt(column, " retry %i of %i    ", attempt, attempts - 1);
                retryShown = 1;
            }
        }
        EraseRetryText(column, retryShown);
        if (read) {
            ++good;
            if (offset + done > extent) extent = offset + done;
        } else if (run.stopRequested || run.breakRequested) {
            break;
        } else {
            ++bad;
            transfer.lastReadError = lastError;
            memset(buffer + offset, 0, unitLength);
            Print("  %i failed", bad);
            // the bad unit keeps its place in the block, up to the source's end
            int64_t inSource = sourceEnd - at;
            uint32_t counted = inSource < unitLength ? static_cast<uint32_t>(inSource) : unitLength;
            if (offset + counted > extent) extent = offset + counted;
            // a device answers these past its end; inside the source they are bad units like the rest
            bool atEnd = at + unitLength >= sourceEnd;
            if ((lastError == ERROR_SECTOR_NOT_FOUND || lastError == ERROR_INVALID_PARAMETER) && atEnd) {
                units = i + 1;
                break;
            }
        }
        if (run.breakRequested) break;
    }
    ClearLine();
    const int failed = units - good;   // units never tried count as bad
    if (!run.breakRequested) Print("%i of %i sectors successfully read, %i failed\n", good, units, failed);
    transfer.failedSectors += failed;
    recoveryPause(1000);
    fileOps->SetPointer(handle, blockStart + length, FILE_BEGIN, nullptr);
    if (good < 1) {
        *byteCount = 0;
        SetLastError(lastError);
        return 0;
    }
    *byteCount = extent;
    transfer.bytesRead += extent;
    return 1;
}

int RecoverReadError(uint32_t length, int64_t restartPosition) {
    const uint32_t index = transfer.readerIndex;
    uint8_t* buffer = transfer.buffers[index];
    const int attempts = Attempts();
    int attempt = 1;
    for (;;) {
        const uint32_t error = transfer.lastReadError;
        // Without a console the steps that ask nothing still run, so a scripted
        // rescue reads what it can; only the questions take their default.
        if (run.stopRequested || run.breakRequested || restartPosition < 0) return FailBlock(index, error);
        EndLine();
        if (attempts > 1 && IsSectorReadError(error)) {
            Print("Error %s - try reading single sectors...\n", ErrorName(error));
            return ReadSectors(transfer.sourceHandle, buffer, length, restartPosition, &transfer.bufferBytes[index]);
        }
        const bool unbufferedParameter =
            error == ERROR_INVALID_PARAMETER && (transfer.sourceOpenFlags & kFlagNoBuffering);
        if (!IsSourceReopenError(error) && !unbufferedParameter) {
            if (attempts == 1 || !engineConsoleCheck()) {
                RedAbortLine(error);
                return FailBlock(index, error);
            }
            PrintError("read error %s - abort? (Y/N)", ErrorName(error));
            if (recoveryQuestion(L'Y')) {
                run.aborted = 1;
                return FailBlock(index, error);
            }
            recoveryPause(500);
            ClearLine();
            Print("try reading...");
            if (!fileOps->SetPointer(transfer.sourceHandle, restartPosition, FILE_BEGIN, nullptr))
                return FailBlock(index, GetLastError());
        } else {
            // a reopen needs no answer, so the attempts bound it
            if (attempt >= attempts) {
                RedAbortLine(error);
                return FailBlock(index, error);
            }
            if (!ReopenSource(error, restartPosition)) return FailBlock(index, error);
        }
        ++attempt;
        if (ReadIntoBuffer(index, length)) return 1;
    }
}
