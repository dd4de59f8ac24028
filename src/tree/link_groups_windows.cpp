// The system side of link groups: file identity and name enumeration.
#include <windows.h>

#include "link_groups.h"
#include "system_facts.h"

namespace {

int Identify(const wchar_t* path, FileIdentity* identity, uint32_t* linkCount) {
    HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(handle, &info);
    DWORD error = GetLastError();
    if (ok) {
        FileIdentity found = {};
        FILE_ID_INFO id;
        // the 128-bit id where the system has it; the 64-bit index is not unique on ReFS
        if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id)) {
            found.volumeSerial = id.VolumeSerialNumber;
            memcpy(&found.idLow, id.FileId.Identifier, 8);
            memcpy(&found.idHigh, id.FileId.Identifier + 8, 8);
        } else {
            found.volumeSerial = info.dwVolumeSerialNumber;
            found.idLow = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        }
        if (identity) *identity = found;
        if (linkCount) *linkCount = info.nNumberOfLinks;
    }
    CloseHandle(handle);
    SetLastError(error);
    return ok ? 1 : 0;
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
