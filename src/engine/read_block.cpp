// The reader: one block from the source into the reader's buffer.
#include <windows.h>

#include <cstring>

#include "block_copy.h"
#include "file_ops.h"
#include "read_recovery.h"
#include "run_state.h"
#include "transfer_state.h"

int ReadBlockThread(uint32_t length) {
    uint32_t index = transfer.readerIndex;
    uint8_t* buffer = transfer.buffers[index];
    if (run.aborted || !buffer || length > transfer.bufferCapacity) {
        transfer.bufferBytes[index] = 0;
        return 0;
    }
    if (run.sourceIsNul) {
        transfer.bufferBytes[index] = length;
        transfer.bytesRead += length;
        return 1;
    }
    if (ReadIntoBuffer(index, length)) return 1;
    // a read that fails leaves the pointer where the block starts
    return RecoverReadError(length, CurrentPosition(transfer.sourceHandle));
}

int ReadIntoBuffer(uint32_t index, uint32_t length) {
    uint8_t* buffer = transfer.buffers[index];
    // a short block must not carry the previous block's tail
    if (length < transfer.runBlockSize) memset(buffer, 0, length);
    uint32_t done = 0;
    if (fileOps->Read(transfer.sourceHandle, buffer, length, &done)) {
        transfer.bufferBytes[index] = done;
        if (done) transfer.bytesRead += done;
        return 1;
    }
    transfer.lastReadError = GetLastError();
    return 0;
}
