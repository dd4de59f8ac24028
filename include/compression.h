// NTFS and WOF compression and the allocation of target files.
#pragma once
#include <cstdint>

// Gives the target its final length up front; the pointer then stands at
// startPosition. Never raises the valid data length.
int PreallocateTarget(void* handle, int64_t allocationSize, int64_t startPosition);
// Brings the target's NTFS compression state in line with the -c level;
// 1 when it changed the state.
int ApplyNtfsCompression(void* targetHandle, const wchar_t* targetPath, int sourceCompressed,
                         int64_t sourceSize, int64_t sourceAllocatedSize);
// Mirror mode, existing target: compresses it like the source; 1 when it did.
int CompressExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int sourceCompressed,
                           int64_t sourceSize, int64_t sourceAllocatedSize);
// WOF compression of a copied target in mirror mode; prints its outcome.
int WofCompressAfterCopy(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size);
// A new target folder gets the compression state the -c level asks for.
int ApplyFolderCompressionLevel(const wchar_t* sourceFolder, const wchar_t* targetFolder, int level);
