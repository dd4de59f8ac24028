// Reading written data back: the pass after a copy, an existing target, and
// the immediate check of each block (-vi, VerifyWrittenBlock in block_copy.h).
#pragma once
#include <cstdint>

struct CopyCall;

// The pass after a complete copy; both handles stand at 0. Sets
// call->verifyFailed when the data differ or could not be compared.
// Returns 1 when the file was verified, 0 otherwise.
int VerifyCopiedFile(CopyCall* call);
// -ve: compares an existing target that was not copied; opens and closes
// both files itself.
int VerifyExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size);

// Thread job: reads length bytes at the target's position into block buffer 1.
int ReadTargetThread(uint32_t length);
// Counts (and lists) the bytes that differ among the first length bytes;
// base is the offset of the first byte in the file.
uint32_t DiffBlocks(const uint8_t* source, const uint8_t* target, uint32_t length, uint64_t baseOffset);

// -vi, per file: called right after the second target handle was opened (or
// not); reports a handle that could not be opened, so the file counts as
// unverified.
void StartImmediateVerification(const wchar_t* targetPath);
// -vi, at the file's end: counts and logs the file once when a block could
// not be confirmed and no full pass confirmed it.
void SettleImmediateVerification(CopyCall* call);
// The -vi state of the file being copied, kept across a copy nested in it.
uint32_t SaveImmediateVerification();
void RestoreImmediateVerification(uint32_t saved);
// How often one unit is written again before -vi gives up on it.
constexpr int kImmediateRewrites = 10;
