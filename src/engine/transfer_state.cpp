// The engine's process-wide record.
#include "transfer_state.h"

#include "console.h"
#include "options.h"

TransferState transfer;
int (*engineConsoleCheck)() = StandardOutputIsConsole;

void ResetTransferOpenFlags() {
    transfer.sourceOpenFlags = kNoBufferingFlags;
    transfer.targetOpenFlags = kNoBufferingFlags;
}

void ResetTransferForFile() {
    transfer.sourceHandle = nullptr;
    transfer.targetHandle = nullptr;
    transfer.verifyHandle = nullptr;
    transfer.bytesRead = 0;
    transfer.bytesNotWritten = 0;
    transfer.lastWriteError = 0;
    transfer.lastReadError = 0;
    transfer.failedSectors = 0;
    transfer.sourceSize = kSizeUnset;
    transfer.sourceAllocatedSize = kSizeUnset;
    transfer.targetSize = kSizeUnset;
    transfer.targetAllocatedSize = kSizeUnset;
    transfer.startPosition = 0;
    transfer.sparseMode = 0;
    transfer.targetTimes[0] = transfer.targetTimes[1] = transfer.targetTimes[2] = 0;
    transfer.compareExisting = options.avoidWrites;
    transfer.targetTouched = 0;
    transfer.goodEnd = 0;
    transfer.sourceEnded = 0;
    transfer.loopComplete = 0;
    transfer.loopElapsed = 0;
    transfer.progressDone = 0;
    transfer.bufferBytes[0] = transfer.bufferBytes[1] = 0;
    transfer.readerIndex = transfer.writerIndex = 0;
    if (!transfer.sourceOpenFlags) ResetTransferOpenFlags();
}
