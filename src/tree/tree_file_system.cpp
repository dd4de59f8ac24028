// The tree operations' system calls on Windows.
#include "tree_file_system.h"

#include <windows.h>

#include "system_facts.h"

namespace {

uint64_t TimeOf(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

void TakeFound(const WIN32_FIND_DATAW& data, FoundName* found) {
    found->attributes = data.dwFileAttributes;
    found->size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    found->lastWrite = TimeOf(data.ftLastWriteTime);
    found->creation = TimeOf(data.ftCreationTime);
    found->lastAccess = TimeOf(data.ftLastAccessTime);
    lstrcpynW(found->name, data.cFileName, 260);
}

void* FindFirst(const wchar_t* pattern, FoundName* found) {
    WIN32_FIND_DATAW data;
    HANDLE search;
    if (osVersion.packed >= 0x601)
        search = FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                  FIND_FIRST_EX_LARGE_FETCH);
    else
        search = FindFirstFileExW(pattern, FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND)
        search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return nullptr;
    TakeFound(data, found);
    return search;
}

int FindNext(void* search, FoundName* found) {
    WIN32_FIND_DATAW data;
    if (!FindNextFileW(search, &data)) return 0;
    TakeFound(data, found);
    return 1;
}

void FindEnd(void* search) { FindClose(search); }

int CreateFolder(const wchar_t* path) { return CreateDirectoryW(path, nullptr) ? 1 : 0; }

uint32_t GetAttributes(const wchar_t* path) { return GetFileAttributesW(path); }

int SetAttributes(const wchar_t* path, uint32_t attributes) {
    return SetFileAttributesW(path, attributes) ? 1 : 0;
}

int Delete(const wchar_t* path) { return DeleteFileW(path) ? 1 : 0; }

int RemoveFolder(const wchar_t* path) { return RemoveDirectoryW(path) ? 1 : 0; }

}  // namespace

const TreeFileSystem realTreeFileSystem = {FindFirst,     FindNext,      FindEnd,      CreateFolder,
                                           GetAttributes, SetAttributes, Delete,       RemoveFolder,
                                           nullptr};
const TreeFileSystem* treeFileSystem = &realTreeFileSystem;
