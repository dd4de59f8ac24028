// Verification: the pass that reads source and target again block by block on
// the two I/O workers, and the immediate read-back of each written block (-vi).
// A target is only ever called verified when every byte was compared equal.
#include "verification.h"

#include <windows.h>

#include <cstring>

#include "block_copy.h"
#include "console.h"
#include "copy_call.h"
#include "error_log.h"
#include "file_ops.h"
#include "options.h"
#include "paths.h"
#include "read_recovery.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

constexpr uint32_t kListLimit = 10000;
constexpr uint32_t kEndPassAbove = 100;
constexpr int kPassRewrites = 10;

// -vi state of the current file; written by the writer, read after it joined.
volatile int32_t immediateFailed;
int passConfirmed;
// where the pass reads the target's next block: a failed read starts again there
int64_t passPosition;

void PrintOffset(const char* prefix, uint64_t offset, const char* suffix) {
    if (offset > 0xFFFFFFFFFFFFull)
        Print("%s%016I64X%s", prefix, offset, suffix);
    else if (offset > 0xFFFFFFFFull)
        Print("%s%012I64X%s", prefix, offset, suffix);
    else
        Print("%s%08lX%s", prefix, static_cast<unsigned long>(offset), suffix);
}

// Counts and logs a file once, however many of its blocks differ.
void MarkFailed(int* mark, const wchar_t* targetPath) {
    if (*mark) return;
    *mark = 1;
    CountUp(&run.verifyFailures);
    LogVerifyFailure(targetPath);
}

struct PassFile {
    const wchar_t* sourcePath;
    const wchar_t* targetPath;
    const wchar_t* shownPath;   // the name lines give the target: a copy in progress has another
    int fileSource;   // its size is read again through the handle
    int fileTarget;   // its size must equal the source's
    int showName;     // the name line was not printed by the copy
    int64_t size;     // the size as copied or as listed
    int* mark;
};

int OpenForPass(void** handle, const wchar_t* path, uint32_t access, uint32_t flags, const wchar_t* shownPath) {
    if (IsValidHandle(*handle)) return 1;
    void* opened =
        fileOps->Open(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, flags);
    if (IsValidHandle(opened)) {
        *handle = opened;
        return 1;
    }
    *handle = nullptr;
    PrintError("\rCannot open source for verify '%S'\nerr=%s\n", SkipLongPrefix(shownPath), LastErrorName());
    return 0;
}

// Differences of one block: the listed bytes plus every byte one side did not deliver.
uint32_t CompareBlock(uint32_t c, int64_t offset) {
    uint32_t sourceCount = transfer.bufferBytes[0];
    uint32_t targetCount = transfer.bufferBytes[1];
    uint32_t have = c;
    if (sourceCount < have) have = sourceCount;
    if (targetCount < have) have = targetCount;
    uint32_t n = DiffBlocks(transfer.buffers[0], transfer.buffers[1], have, static_cast<uint64_t>(offset));
    if (have < c) {
        ClearLine();
        Print("\r %s ends at %I64u instead of %I64u\n", targetCount < sourceCount ? "target" : "source",
              static_cast<uint64_t>(offset + have), static_cast<uint64_t>(offset + c));
        n += c - have;
    }
    return n;
}

// -vr: writes the source block over the target at p and reads it back.
int RewriteBlock(int64_t p, uint32_t c) {
    void* target = transfer.targetHandle;
    uint32_t done = 0;
    if (!fileOps->SetPointer(target, p, FILE_BEGIN, nullptr) || !fileOps->Write(target, transfer.buffers[0], c, &done))
        return 0;
    if (!fileOps->SetPointer(target, p, FILE_BEGIN, nullptr)) return 0;
    memset(transfer.buffers[1], 0, c);
    done = 0;
    if (!fileOps->Read(target, transfer.buffers[1], c, &done)) return 0;
    transfer.bufferBytes[1] = done;
    return 1;
}

void ShowProgress(uint64_t compared, int64_t size, uint32_t start) {
    if (!engineConsoleCheck() || run.lastCtrlEvent) return;
    uint32_t elapsed = GetTickCount() - start;
    if (!((elapsed > 100 && size > 0x100000) || elapsed > 1000)) return;
    Print("\r %I64u MB of %I64u MB compared", compared >> 20, static_cast<uint64_t>(size) >> 20);
    Print(" (%s)           ", FormatSpeed(compared, elapsed));
    FlushOutput();
}

// The pass over one file; returns 1 when every byte compared equal.
int VerifyFile(PassFile& file) {
    if ((options.verify <= 0 && !options.verifyRewrite) || run.stopRequested || run.breakRequested) return 0;
    options.startPos = 0;
    if (file.showName && !options.quiet) {
        ClearLine();
        PrintNameW(L"%s\n", SkipLongPrefix(file.sourcePath));
        Print(" verifying...\n");
    }
    transfer.readerIndex = 0;
    const uint32_t start = GetTickCount();
    const uint32_t targetAccess = options.verifyRewrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    if (!OpenForPass(&transfer.sourceHandle, file.sourcePath, GENERIC_READ, transfer.sourceOpenFlags,
                     file.sourcePath) ||
        !OpenForPass(&transfer.targetHandle, file.targetPath, targetAccess, transfer.targetOpenFlags,
                     file.shownPath)) {
        // nothing compared is nothing verified
        MarkFailed(file.mark, file.shownPath);
        return 0;
    }
    if (!transfer.buffers[0] || !transfer.buffers[1]) {
        PrintError("\rCannot open source for verify '%S'\nerr=%s\n", SkipLongPrefix(file.sourcePath),
                   ErrorName(ERROR_NOT_ENOUGH_MEMORY));
        MarkFailed(file.mark, file.shownPath);
        return 0;
    }

    int64_t size = file.size;
    int64_t readSize = 0;
    if (file.fileSource && options.forcedSize <= 0 && fileOps->GetSize(transfer.sourceHandle, &readSize))
        size = readSize;
    if (size < 0) size = 0;
    transfer.sourceSize = size;   // the end for sector-wise reading of the source
    bool failed = false;
    bool endedEarly = false;
    int64_t targetSize = 0;
    if (file.fileTarget && fileOps->GetSize(transfer.targetHandle, &targetSize) && targetSize != size) {
        EndLine();
        Print(" target file size is %I64u instead of %I64u\n", static_cast<uint64_t>(targetSize),
              static_cast<uint64_t>(size));
        Print(" verification failed -> abort!\n");
        MarkFailed(file.mark, file.shownPath);
        failed = true;
    }

    uint32_t block = transfer.fileBlockSize;
    if (!block || block > transfer.bufferCapacity)
        block = FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, size);
    if (!block || block > transfer.bufferCapacity) block = transfer.runBlockSize;
    const uint32_t unit = transfer.transferUnit ? transfer.transferUnit : 512;
    const int64_t blocks = BlockCount(size, 0, block);
    uint64_t compared = 0;
    // without overlap a hand-over to the workers only adds thread switches
    RunJobsHere(!run.parallel || blocks == 1);

    for (int64_t b = 0; b < blocks && !endedEarly; ++b) {
        const int64_t offset = b * static_cast<int64_t>(block);
        const uint32_t c = size - offset < block ? static_cast<uint32_t>(size - offset) : block;
        uint32_t length = b == blocks - 1 ? static_cast<uint32_t>(RoundUpTo(c, unit)) : block;
        if (length > transfer.bufferCapacity) length = c;

        transfer.readerIndex = 0;
        passPosition = offset;
        StartJob(kReaderWorker, ReadBlockThread, length);
        int sourceOk = run.parallel ? 1 : WaitJob(kReaderWorker);
        // only a rewrite needs to know where the block stands
        const int64_t p = options.verifyRewrite ? CurrentPosition(transfer.targetHandle) : offset;
        int targetOk = 0;
        if (sourceOk) {
            StartJob(kWriterWorker, ReadTargetThread, length);
            targetOk = WaitJob(kWriterWorker);
        }
        if (run.parallel) sourceOk = WaitJob(kReaderWorker) && sourceOk;
        if (!sourceOk || !targetOk) {
            run.aborted = 1;
            EndLine();
            PrintError(" aborted\n");
            MarkFailed(file.mark, file.shownPath);
            failed = endedEarly = true;
            break;
        }

        // zero blocks are compared too: the pass does not trust what the copy skipped
        int rewrites = 0;
        for (;;) {
            uint32_t n = CompareBlock(c, offset);
            if (n == 0) break;
            if (!options.verifyRewrite) {
                EndLine();
                Print(" verification failed -> abort!\n");
                MarkFailed(file.mark, file.shownPath);
                failed = true;
                if (n > kEndPassAbove) endedEarly = true;
                break;
            }
            Print(" verification failed -> try to rewrite...");
            ++rewrites;
            if (!RewriteBlock(p, c) || rewrites >= kPassRewrites) {
                Print("\n verification failed -> abort!\n");
                MarkFailed(file.mark, file.shownPath);
                failed = endedEarly = true;
                break;
            }
            Print("\n");
        }
        if (rewrites && !endedEarly) fileOps->SetPointer(transfer.targetHandle, p + length, FILE_BEGIN, nullptr);

        compared += c;
        ShowProgress(compared, size, start);
        AskStopIfPending();
        if (run.stopRequested || run.breakRequested) endedEarly = true;
    }

    RunJobsHere(0);
    ClearLine();
    const bool verified = !failed && !endedEarly;
    if (verified && !options.quiet) {
        uint32_t elapsed = GetTickCount() - start;
        Print("\r");
        Print(" File verified");
        // the blanks cover a longer progress text, which redirected output never has
        if (size > 102400 && elapsed > 100 && !run.stopRequested)
            Print(StandardOutputIsConsole() ? " with %s                    " : " with %s",
                  FormatSpeed(static_cast<uint64_t>(size), elapsed));
        // redirected output has no cursor to end the line by
        if (!StandardOutputIsConsole()) Print("\n");
    }
    return verified ? 1 : 0;
}

bool UnitEqual(const uint8_t* block, const uint8_t* readBack, uint32_t length, uint32_t available) {
    return available >= length && memcmp(block, readBack, length) == 0;
}

}  // namespace

// Where two buffers first differ, or length when they are equal: whole
// machine words first, as the common case is a block without a difference.
uint32_t FirstDifference(const uint8_t* a, const uint8_t* b, uint32_t length) {
    uint32_t i = 0;
    for (; i + 32 <= length; i += 32) {
        uint64_t x[4], y[4];
        memcpy(x, a + i, 32);
        memcpy(y, b + i, 32);
        if (((x[0] ^ y[0]) | (x[1] ^ y[1]) | (x[2] ^ y[2]) | (x[3] ^ y[3])) != 0) break;
    }
    while (i < length && a[i] == b[i]) ++i;
    return i;
}

uint32_t DiffBlocks(const uint8_t* source, const uint8_t* target, uint32_t length, uint64_t baseOffset) {
    uint32_t count = 0;
    bool listing = true;
    const uint32_t first = FirstDifference(source, target, length);
    if (first == length) return 0;
    const uint32_t groups = length / 8 + 1;
    for (uint32_t g = first / 8; g < groups; ++g) {
        if (run.stopRequested) break;
        const uint32_t from = g * 8;
        const uint32_t to = length - from < 8 ? length : from + 8;
        if (to - from == 8 && memcmp(source + from, target + from, 8) == 0) continue;
        for (uint32_t i = from; i < to; ++i) {
            if (source[i] == target[i]) continue;
            ++count;
            if (listing && !options.quiet) {
                ClearLine();
                PrintOffset("\r", baseOffset + i, ": ");
                Print("%02X %02X\n", source[i], target[i]);
            }
            if (listing && count == kListLimit) {
                if (!options.quiet) Print("found > 10000 diffs -> no more printing\n");
                listing = false;
            }
        }
    }
    if (!listing) Print("%u diffs found\n", count);
    return count;
}

int ReadTargetThread(uint32_t length) {
    uint8_t* buffer = transfer.buffers[1];
    if (!buffer || length > transfer.bufferCapacity) {
        transfer.bufferBytes[1] = 0;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    // a short read leaves older bytes behind its end; the comparison stops at
    // bufferBytes, so they are never compared
    const int64_t start = passPosition;
    for (;;) {
        uint32_t done = 0;
        if (fileOps->Read(transfer.targetHandle, buffer, length, &done)) {
            transfer.bufferBytes[1] = done;
            return 1;
        }
        uint32_t error = GetLastError();
        if (!engineConsoleCheck() || run.stopRequested || run.breakRequested) {
            transfer.bufferBytes[1] = 0;
            SetLastError(error);
            return 0;
        }
        ClearLine();
        PrintError("\rread error %s - abort? (Y/N)", ErrorName(error));
        if (recoveryQuestion(L'Y')) {
            run.aborted = 1;
            transfer.bufferBytes[1] = 0;
            SetLastError(error);
            return 0;
        }
        recoveryPause(500);
        ClearLine();
        Print("try reading...");
        if (start >= 0) fileOps->SetPointer(transfer.targetHandle, start, FILE_BEGIN, nullptr);
    }
}

int VerifyCopiedFile(CopyCall* call) {
    passConfirmed = 0;
    PassFile file = {};
    file.sourcePath = call->sourcePath;
    file.targetPath = call->targetPath;
    file.shownPath = call->finalPath;
    file.fileSource = call->sourceKind == kSourceFile;
    file.fileTarget = !call->targetIsDevice && !call->targetIsNul;
    file.showName = 0;   // the copy printed the name line
    file.size = transfer.sourceSize;
    file.mark = &call->verifyFailed;
    passConfirmed = VerifyFile(file);
    return passConfirmed;
}

int VerifyExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size) {
    if (options.verify < 2 || run.stopRequested || run.breakRequested) return 0;
    int mark = 0;
    PassFile file = {};
    file.sourcePath = sourcePath;
    file.targetPath = file.shownPath = targetPath;
    file.fileSource = !run.sourceIsDevice;
    file.fileTarget = !run.targetIsDevice;
    file.showName = file.fileSource && file.fileTarget;
    file.size = size;
    file.mark = &mark;
    CloseHandleOf(&transfer.sourceHandle);
    CloseHandleOf(&transfer.targetHandle);
    lstrcpynW(transfer.sourcePath, sourcePath, kPathCapacity);
    transfer.sourcePath[kPathCapacity - 1] = 0;
    lstrcpynW(transfer.targetPath, targetPath, kPathCapacity);
    transfer.targetPath[kPathCapacity - 1] = 0;
    transfer.fileBlockSize = 0;
    int verified = VerifyFile(file);
    if (!options.quiet) EndLine();
    CloseHandleOf(&transfer.sourceHandle);
    CloseHandleOf(&transfer.targetHandle);
    return verified;
}

void StartImmediateVerification(const wchar_t* targetPath) {
    immediateFailed = 0;
    passConfirmed = 0;
    if (IsValidHandle(transfer.verifyHandle)) return;
    // a device target opened without sharing refuses a second handle
    PrintError("\rCannot open target for immediate verify '%S'\nerr=%s\n", SkipLongPrefix(targetPath),
               LastErrorName());
    immediateFailed = 1;
}

void SettleImmediateVerification(CopyCall* call) {
    if (!options.verifyImmediate || !immediateFailed || passConfirmed) return;
    MarkFailed(&call->verifyFailed, call->finalPath);
}

uint32_t SaveImmediateVerification() { return (immediateFailed ? 1u : 0u) | (passConfirmed ? 2u : 0u); }

void RestoreImmediateVerification(uint32_t saved) {
    immediateFailed = (saved & 1) != 0;
    passConfirmed = (saved & 2) != 0;
}

int VerifyWrittenBlock(int64_t position, uint32_t length) {
    void* check = transfer.verifyHandle;
    uint8_t* block = transfer.buffers[transfer.writerIndex];
    uint8_t* readBack = transfer.compareBuffer;
    if (!IsValidHandle(check) || !block || !readBack || length > transfer.bufferCapacity) {
        immediateFailed = 1;   // reported when the handle was opened
        return 1;
    }
    const int64_t after = CurrentPosition(transfer.targetHandle);
    uint32_t got = 0;
    if (!fileOps->SetPointer(check, position, FILE_BEGIN, nullptr) || !fileOps->Read(check, readBack, length, &got)) {
        // the block was written, but nothing confirms it
        ClearLine();
        PrintOffset("\rError reading back at ", static_cast<uint64_t>(position), " for verify: ");
        Print("%s\n", LastErrorName());
        immediateFailed = 1;
        fileOps->SetPointer(transfer.targetHandle, after, FILE_BEGIN, nullptr);
        return 1;
    }
    if (got >= length && memcmp(block, readBack, length) == 0) {
        fileOps->SetPointer(transfer.targetHandle, after, FILE_BEGIN, nullptr);
        return 1;
    }
    const uint32_t unit = transfer.transferUnit ? transfer.transferUnit : 512;
    for (uint32_t offset = 0; offset < length; offset += unit) {
        const uint32_t unitLength = length - offset < unit ? length - offset : unit;
        uint32_t available = got > offset ? got - offset : 0;
        const uint64_t at = static_cast<uint64_t>(position) + offset;
        int rewrites = 0;
        while (!UnitEqual(block + offset, readBack + offset, unitLength, available)) {
            if (rewrites == kImmediateRewrites || run.stopRequested || run.breakRequested) {
                ClearLine();
                PrintOffset("\rVerification error at ", at, " remains -> verification failed\n");
                immediateFailed = 1;
                break;
            }
            ++rewrites;
            ClearLine();
            PrintOffset("\rVerification error at ", at, " -> Write again...");
            uint32_t written = 0;
            if (!fileOps->SetPointer(transfer.targetHandle, static_cast<int64_t>(at), FILE_BEGIN, nullptr) ||
                !fileOps->Write(transfer.targetHandle, block + offset, unitLength, &written))
                return 0;   // the writer reopens and writes the whole block again
            Print(" OK -> Compare again");
            available = 0;
            if (fileOps->SetPointer(check, static_cast<int64_t>(at), FILE_BEGIN, nullptr))
                fileOps->Read(check, readBack + offset, unitLength, &available);
        }
    }
    fileOps->SetPointer(transfer.targetHandle, after, FILE_BEGIN, nullptr);
    return 1;
}
