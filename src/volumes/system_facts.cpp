// The system version and the program's own file version.
#include "system_facts.h"

#include <windows.h>

#include "text_format.h"

OsVersion osVersion;
FileVersionRecord programVersion;

uint32_t PackOsVersion(uint32_t major, uint32_t minor) {
    return ((major / 10) << 12) | ((major % 10) << 8) | ((minor / 10) << 4) | (minor % 10);
}

void ReadOsVersion(OsVersion* version) {
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info));
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    version->build = info.dwBuildNumber;
    version->packed = PackOsVersion(info.dwMajorVersion, info.dwMinorVersion);
}

void FormatFileVersion(FileVersionRecord* r) {
    if (r->revision >= 10)
        FormatTextW(r->text, 25, L"%u.%u.%u.%u", r->major, r->minor, r->build, r->revision);
    else
        FormatTextW(r->text, 25, L"%u.%u.%u", r->major, r->minor, r->build);
}

void* LoadSystemLibrary(const char* name) {
    char path[MAX_PATH + 64];
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    if (FormatText(path + length, sizeof path - length, "\\%s", name) == 0) return nullptr;
    return LoadLibraryA(path);
}

int OwnFileVersion(const wchar_t* path, FileVersionRecord* record) {
    HMODULE library = static_cast<HMODULE>(LoadSystemLibrary("version.dll"));
    if (!library) return 0;
    using GetInfo = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using QueryValue = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    auto getInfo = reinterpret_cast<GetInfo>(reinterpret_cast<void*>(GetProcAddress(library, "GetFileVersionInfoW")));
    auto queryValue = reinterpret_cast<QueryValue>(reinterpret_cast<void*>(GetProcAddress(library, "VerQueryValueW")));
    int result = 0;
    *record = FileVersionRecord{};
    alignas(8) unsigned char data[512];
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (getInfo && queryValue && getInfo(path, 0, sizeof data, data) &&
        queryValue(data, L"\\", reinterpret_cast<void**>(&fixed), &length) && length != 0 && fixed) {
        record->major = HIWORD(fixed->dwFileVersionMS);
        record->minor = LOWORD(fixed->dwFileVersionMS);
        record->build = HIWORD(fixed->dwFileVersionLS);
        record->revision = LOWORD(fixed->dwFileVersionLS);
        FormatFileVersion(record);
        result = 1;
    }
    FreeLibrary(library);
    return result;
}
