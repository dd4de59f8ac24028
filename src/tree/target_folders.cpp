// Time stamps and compression state of target folders.
#include "target_folders.h"

#include <windows.h>
#include <winioctl.h>

#include <cwchar>

#include "console.h"
#include "heap_memory.h"
#include "text_format.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A heap copy without the trailing backslash (a bare drive root keeps it).
wchar_t* WithoutTrailingBackslash(const wchar_t* path) {
    wchar_t* copy = DuplicateString(path);
    size_t length = wcslen(copy);
    if (length > 1 && copy[length - 1] == L'\\' && copy[length - 2] != L':') copy[length - 1] = 0;
    return copy;
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

}  // namespace

int CopyFolderTimes(const wchar_t* sourceFolder, const wchar_t* targetFolder) {
    wchar_t* source = WithoutTrailingBackslash(sourceFolder);
    wchar_t* target = WithoutTrailingBackslash(targetFolder);
    int result = 0;
    HANDLE from = CreateFileW(source, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    HANDLE to = INVALID_HANDLE_VALUE;
    FILETIME sourceTimes[3], targetTimes[3];
    if (from != INVALID_HANDLE_VALUE && GetFileTime(from, &sourceTimes[0], &sourceTimes[1], &sourceTimes[2])) {
        to = CreateFileW(target, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (to != INVALID_HANDLE_VALUE && GetFileTime(to, &targetTimes[0], &targetTimes[1], &targetTimes[2])) {
            if (SameTime(sourceTimes[0], targetTimes[0]) && SameTime(sourceTimes[1], targetTimes[1]) &&
                SameTime(sourceTimes[2], targetTimes[2])) {
                result = 1;
            } else if (SetFileTime(to, &sourceTimes[0], &sourceTimes[1], &sourceTimes[2])) {
                result = 1;
            } else {
                DWORD error = GetLastError();
                Print("Error %s SetFileTime for directory\n", LastErrorText());
                SetLastError(error);
            }
        }
    }
    DWORD error = GetLastError();
    if (to != INVALID_HANDLE_VALUE) CloseHandle(to);
    if (from != INVALID_HANDLE_VALUE) CloseHandle(from);
    FreeMemory(source);
    FreeMemory(target);
    SetLastError(error);
    return result;
}

int CopyFolderCompression(const wchar_t* sourcePath, const wchar_t* targetPath, int folders) {
    DWORD flags = folders ? FILE_FLAG_BACKUP_SEMANTICS : 0;
    HANDLE from = CreateFileW(sourcePath, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr);
    HANDLE to = CreateFileW(targetPath, GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, flags,
                            nullptr);
    int result = 0;
    if (from != INVALID_HANDLE_VALUE && to != INVALID_HANDLE_VALUE) {
        USHORT format = 0;
        DWORD returned = 0;
        if (DeviceIoControl(from, FSCTL_GET_COMPRESSION, nullptr, 0, &format, sizeof format, &returned, nullptr) &&
            DeviceIoControl(to, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr))
            result = 1;
    }
    DWORD error = GetLastError();
    if (to != INVALID_HANDLE_VALUE) CloseHandle(to);
    if (from != INVALID_HANDLE_VALUE) CloseHandle(from);
    SetLastError(error);
    return result;
}
