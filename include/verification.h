// Reading written data back: the pass after a copy, an existing target, and
// the immediate check of one block (-vi).
#pragma once
#include <cstdint>

struct CopyCall;

// The pass after a complete copy; both handles stand at 0. Sets
// call->verifyFailed when the data differ. Returns 0 on a failure.
int VerifyCopiedFile(CopyCall* call);
// -ve: compares an existing target that was not copied.
int VerifyExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size);
