// Compression and allocation. Compression is not available yet: every
// request leaves the target as it is.
#include <windows.h>

#include "compression.h"

int PreallocateTarget(void* handle, int64_t allocationSize, int64_t startPosition) {
    LARGE_INTEGER position;
    position.QuadPart = allocationSize;
    int ok = SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
    DWORD error = GetLastError();
    position.QuadPart = startPosition;
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN)) return 0;
    SetLastError(error);
    return ok;
}

int ApplyNtfsCompression(void* targetHandle, const wchar_t* targetPath, int sourceCompressed,
                         int64_t sourceSize, int64_t sourceAllocatedSize) {
    return 0;
}

int CompressExistingTarget(const wchar_t* sourcePath, const wchar_t* targetPath, int sourceCompressed,
                           int64_t sourceSize, int64_t sourceAllocatedSize) {
    return 0;
}

int WofCompressAfterCopy(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size) { return 0; }

int ApplyFolderCompressionLevel(const wchar_t* sourceFolder, const wchar_t* targetFolder, int level) { return 0; }
