// Recovery of a failed block read: retries, reopening and sector-wise reading.
#pragma once
#include <cstdint>

// Called by the reader after a failed read of length bytes that started at
// restartPosition; transfer.lastReadError holds the error. Returns the
// reader's result: nonzero when the block could be filled.
int RecoverReadError(uint32_t length, int64_t restartPosition);
