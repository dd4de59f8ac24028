// The system side of link groups: file identity and name enumeration.
#include <windows.h>

#include "file_ops.h"
#include "link_groups.h"
#include "system_facts.h"
#include "transfer_state.h"

namespace {

int Identify(const wchar_t* path, FileIdentity* identity, uint32_t* linkCount) {
    void* handle =
        fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, 0);
    if (!IsValidHandle(handle)) return 0;
    FileInfo info;
    int ok = fileOps->GetInfo(handle, &info, 1);
    DWORD error = GetLastError();
    if (ok) {
        if (identity) *identity = {info.volumeSerial, info.fileIndex, info.fileIdHigh};
        if (linkCount) *linkCount = info.links;
    }
    fileOps->Close(handle);
    SetLastError(error);
    return ok;
}

typedef HANDLE(WINAPI* FindFirstNameFunction)(const wchar_t*, DWORD, DWORD*, wchar_t*);
typedef BOOL(WINAPI* FindNextNameFunction)(HANDLE, DWORD*, wchar_t*);
FindFirstNameFunction findFirstFileName = nullptr;
FindNextNameFunction findNextFileName = nullptr;
bool resolved = false;

void Resolve() {
    if (resolved) return;
    resolved = true;
    if (osVersion.packed < 0x600) return;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return;
    findFirstFileName = reinterpret_cast<FindFirstNameFunction>(GetProcAddress(kernel, "FindFirstFileNameW"));
    findNextFileName = reinterpret_cast<FindNextNameFunction>(GetProcAddress(kernel, "FindNextFileNameW"));
    if (!findFirstFileName || !findNextFileName) findFirstFileName = nullptr, findNextFileName = nullptr;
}

void* FindFirstName(const wchar_t* path, wchar_t* name, uint32_t capacity) {
    Resolve();
    if (!findFirstFileName) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    DWORD length = capacity;
    HANDLE search = findFirstFileName(path, 0, &length, name);
    return search == INVALID_HANDLE_VALUE ? nullptr : search;
}

int FindNextName(void* search, wchar_t* name, uint32_t capacity) {
    DWORD length = capacity;
    return findNextFileName && findNextFileName(search, &length, name) ? 1 : 0;
}

void CloseNameSearch(void* search) { FindClose(search); }

}  // namespace

const HardLinkSystem realHardLinkSystem = {Identify, FindFirstName, FindNextName, CloseNameSearch};
const HardLinkSystem* hardLinkSystem = &realHardLinkSystem;
