// The block loop: reader and writer take turns (sequential operation) or
// overlap on the two buffers (parallel operation).
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

void FlushTarget() {
    PrintAt(transfer.progressColumn, "   flushing file buffers...");
    fileOps->Flush(transfer.targetHandle);
    PrintAt(transfer.progressColumn, "%s", "                           ");
}

void ShowProgress(int64_t size, int64_t start, int64_t block, const char* total) {
    if (!engineConsoleCheck() || run.lastCtrlEvent || options.quiet || run.stopRequested) return;
    int64_t done = start + (block + 1) * static_cast<int64_t>(transfer.fileBlockSize);
    if (done > size) done = size;
    transfer.progressDone = done;
    if (done <= 0 || run.breakRequested) return;
    uint32_t now = GetTickCount();
    if (!transfer.lastUpdateTick) transfer.lastUpdateTick = now;
    uint32_t elapsed = now - transfer.loopStartTick;
    bool due = (elapsed >= 101 && size > 0x100000) || elapsed >= 2001;
    if (!due || now - transfer.lastUpdateTick <= 33) return;
    transfer.lastUpdateTick = now;
    char doneText[64];
    FormatText(doneText, sizeof doneText, "%s", FormatSizeMB(static_cast<uint64_t>(done), 1));
    Print("\r %s of %s copied (%s)   ", doneText, total,
          FormatSpeed(static_cast<uint64_t>(done - start), elapsed));
    FlushOutput();
    transfer.progressColumn = CursorColumn();
}

// Runs one job on a worker and waits for it.
int RunJob(int worker, BlockJob job, uint32_t argument) {
    StartJob(worker, job, argument);
    return WaitJob(worker);
}

// A read that came back short before the size to copy was reached: the file
// shrank, or -fi asked for more than it holds. Its block is not written, so
// the file fails on its own without ending the run.
bool SourceEndedEarly(uint32_t requested, int64_t toCopy) {
    if (!requested || run.sourceIsNul || transfer.bufferBytes[transfer.readerIndex] >= requested ||
        transfer.bytesRead >= toCopy)
        return false;
    transfer.sourceEnded = 1;
    transfer.lastReadError = ERROR_HANDLE_EOF;
    return true;
}

int FinishLoop(int complete, bool flush, int64_t size) {
    if (flush && !(transfer.targetOpenFlags & kFlagNoBuffering) && size > 0x100000 &&
        IsValidHandle(transfer.targetHandle))
        FlushTarget();
    RunJobsHere(0);
    if (transfer.hurried) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    transfer.hurried = 0;
    transfer.loopElapsed = GetTickCount() - transfer.loopStartTick;
    transfer.loopComplete = complete;
    return complete;
}

}  // namespace

int CopyBlocks() {
    const int64_t size = transfer.sourceSize;
    const int64_t start = transfer.startPosition;
    const uint32_t block = transfer.fileBlockSize;
    const int64_t blocks = BlockCount(size, start, block);
    const bool nulTarget = run.targetIsNul != 0;
    const bool nulSource = run.sourceIsNul != 0;
    const bool parallel = run.parallel && transfer.buffers[1] && !nulTarget;
    const uint32_t unit = transfer.transferUnit ? transfer.transferUnit : 512;

    // a file that takes more than one block shows its name while it is copied
    if (blocks > 1) FlushOutput();
    transfer.loopStartTick = GetTickCount();
    transfer.loopComplete = 0;
    transfer.bytesRead = 0;
    transfer.goodEnd = start;
    transfer.sourceEnded = 0;
    transfer.targetPosition = start;
    transfer.readerIndex = transfer.writerIndex = 0;
    // A volume that only records what a run would do takes the range at once:
    // data are read only where a decision needs them, as -u's comparison does.
    if (!options.avoidWrites && fileOps->WriteUnread(nulTarget ? nullptr : transfer.targetHandle, size - start)) {
        transfer.bytesRead = size - start;
        transfer.goodEnd = transfer.targetPosition = size;
        return FinishLoop(1, false, size);
    }
    if (run.sourceIsDevice) transfer.bufferBytes[0] = transfer.bufferBytes[1] = block;
    if (nulSource)
        for (uint8_t* buffer : transfer.buffers)
            if (buffer) memset(buffer, 0, block);
    if (!transfer.buffers[0] || block == 0 || block > transfer.bufferCapacity) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        run.aborted = 1;
        return FinishLoop(0, false, size);
    }

    // Never longer than what remains, so nothing past the range is touched.
    auto nextLength = [&]() -> uint32_t {
        int64_t remaining = size - start - transfer.bytesRead;
        if (remaining <= 0) return 0;
        return remaining < block ? static_cast<uint32_t>(RoundUpTo(static_cast<uint64_t>(remaining), unit)) : block;
    };

    // Without overlap a hand-over only adds two thread switches per block:
    // sequential operation and a file of one block move on this thread.
    RunJobsHere(blocks == 1 || !parallel);
    uint32_t firstLength = nextLength();
    // an unreadable file fails alone; the run goes on with the next one
    if (!RunJob(kReaderWorker, ReadBlockThread, firstLength)) return FinishLoop(0, false, size);
    if (SourceEndedEarly(firstLength, size - start)) return FinishLoop(0, false, size);
    char total[64];
    FormatText(total, sizeof total, "%s", FormatSizeMB(static_cast<uint64_t>(size), 1));

    // the waiting thread runs time-critical while blocks move; once per loop is
    // enough, and a file of one block has no second block to hurry
    const bool hurry = blocks > 1 && parallel;
    if (hurry) transfer.hurried = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    for (int64_t i = 0; i < blocks; ++i) {
        if (!(transfer.targetOpenFlags & kFlagNoBuffering) && transfer.progressDone - transfer.flushPoint > 0x80000000LL) {
            transfer.flushPoint = transfer.progressDone;
            FlushTarget();
        }
        if (!options.quiet) Print("\r");
        if (parallel) transfer.readerIndex ^= 1;
        if (!nulTarget) {
            StartJob(kWriterWorker, WriteBlockThread, static_cast<uint32_t>(transfer.sparseMode));
            if (!parallel && !WaitJob(kWriterWorker)) {
                run.aborted = 1;
                return FinishLoop(0, false, size);
            }
        }
        int readOk = 1;
        uint32_t length = nextLength();
        if (length) {
            if (nulSource) {
                transfer.bufferBytes[transfer.readerIndex] = length;
                transfer.bytesRead += length;
            } else {
                readOk = RunJob(kReaderWorker, ReadBlockThread, length);
            }
        }
        // the writer is always joined before the finish may touch the target
        if (parallel && !WaitJob(kWriterWorker)) {
            PrintError("\n aborted\n");
            run.aborted = 1;
            return FinishLoop(0, true, size);
        }
        if (!readOk || SourceEndedEarly(length, size - start)) return FinishLoop(0, false, size);
        AskStopIfPending();
        ShowProgress(size, start, i, total);
        transfer.writerIndex = transfer.readerIndex;
        // A mirror overwrites targets in place: one cut short would be neither the
        // old file nor the new one, so such a file is finished before the stop.
        if ((run.stopRequested || run.breakRequested) && !transfer.finishOnStop) return FinishLoop(0, true, size);
    }
    return FinishLoop(1, true, size);
}
