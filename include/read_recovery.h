// Recovery of a failed block read: retries, reopening and sector-wise reading.
#pragma once
#include <cstdint>

// Called by the reader after a failed read of length bytes that started at
// restartPosition; transfer.lastReadError holds the error. Returns the
// reader's result: nonzero when the block could be filled.
int RecoverReadError(uint32_t length, int64_t restartPosition);

// Reads length bytes at blockStart unit by unit (transfer.recoveryUnit), each
// at its own offset with the run's attempts. Unreadable units stay zero but
// keep their place, so *byteCount covers them; the handle ends at
// blockStart + length. Returns 1 when at least one unit was read.
int ReadSectors(void* handle, uint8_t* buffer, uint32_t length, int64_t blockStart, volatile uint32_t* byteCount);

// Whether an error is worth reading sector by sector, or worth a reopen.
int IsSectorReadError(uint32_t error);
int IsSourceReopenError(uint32_t error);

// The question and the pauses of the recovery; tests answer and skip waits.
extern int (*recoveryQuestion)(wchar_t defaultKey);
extern void (*recoveryPause)(uint32_t milliseconds);
