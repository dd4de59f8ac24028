// Enabling the privileges that raw and metadata-preserving copies need.
#include <windows.h>

#include "system_facts.h"

int SetPrivilege(void* token, const wchar_t* name, int enable) {
    LUID luid;
    if (!LookupPrivilegeValueW(nullptr, name, &luid)) return 0;
    TOKEN_PRIVILEGES request = {};
    request.PrivilegeCount = 1;
    request.Privileges[0].Luid = luid;
    request.Privileges[0].Attributes = 0;
    TOKEN_PRIVILEGES previous = {};
    DWORD previousSize = sizeof previous;
    SetLastError(0);
    AdjustTokenPrivileges(token, FALSE, &request, sizeof request, &previous, &previousSize);
    if (GetLastError() != 0) return 0;
    previous.PrivilegeCount = 1;
    previous.Privileges[0].Luid = luid;
    if (enable)
        previous.Privileges[0].Attributes |= SE_PRIVILEGE_ENABLED;
    else
        previous.Privileges[0].Attributes &= ~SE_PRIVILEGE_ENABLED;
    SetLastError(0);
    AdjustTokenPrivileges(token, FALSE, &previous, previousSize, nullptr, nullptr);
    return GetLastError() == 0;
}

int EnablePrivileges() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 0;
    static const wchar_t* const kNames[] = {L"SeRestorePrivilege", L"SeBackupPrivilege", L"SeSecurityPrivilege",
                                            L"SeCreateSymbolicLinkPrivilege", L"SeManageVolumePrivilege"};
    for (const wchar_t* name : kNames) SetPrivilege(token, name, 1);
    CloseHandle(token);
    return 1;
}
