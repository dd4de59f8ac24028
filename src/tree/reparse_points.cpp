// Reparse points. Reading link targets is not available yet: every link is
// reported unreadable, so its data is copied as an ordinary file.
#include <windows.h>

#include "reparse_points.h"

int ReadReparseTarget(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (out && capacity) out[0] = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

int PointsIntoSource(const wchar_t* linkTarget) { return 0; }

int CopyReparsePoint(const wchar_t* sourcePath, const wchar_t* targetPath, uint32_t sourceAttributes) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}
