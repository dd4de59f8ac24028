// Read-error recovery. Until retries and sector-wise reading exist, a failed
// read fails the block, so no unread data is ever written as if it were read.
#include <windows.h>

#include "read_recovery.h"
#include "transfer_state.h"

int RecoverReadError(uint32_t length, int64_t restartPosition) {
    transfer.bufferBytes[transfer.readerIndex] = 0;
    SetLastError(transfer.lastReadError);
    return 0;
}
