// Which paths are volumes, exclusive access to them, and the disk a path lies on.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "devices.h"
#include "heap_memory.h"
#include "text_format.h"

int IsValidDeviceHandle(void* handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

int StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    size_t n = wcslen(prefix);
    if (n == 0 || text[0] == 0 || wcslen(text) < n) return 0;
    return _wcsnicmp(text, prefix, n) == 0;
}

void StripTrailingBackslash(wchar_t* text) {
    size_t n = wcslen(text);
    if (n > 0 && text[n - 1] == L'\\') text[n - 1] = 0;
}

int AddTrailingBackslash(wchar_t* text, size_t capacity) {
    size_t n = wcslen(text);
    if (n > 0 && text[n - 1] == L'\\') return 1;
    if (n + 2 > capacity) return 0;
    text[n] = L'\\';
    text[n + 1] = 0;
    return 1;
}

int CopyText(wchar_t* out, size_t capacity, const wchar_t* text) {
    size_t n = wcslen(text);
    if (n + 1 > capacity) return 0;
    wmemmove(out, text, n + 1);
    return 1;
}

wchar_t* DuplicateStripped(const wchar_t* path) {
    wchar_t* copy = DuplicateString(path);
    StripTrailingBackslash(copy);
    return copy;
}

int IsVolumeDevice(const wchar_t* path) {
    size_t n = wcslen(path);
    if (n >= 2 && path[n - 2] == L':' && path[n - 1] == L'\\') return 0;   // a drive root is a folder
    wchar_t* copy = DuplicateStripped(path);
    int result = 0;
    if (wcslen(copy) >= 5) {
        wchar_t device[kDeviceNameCapacity];
        if (deviceSystem->DosDeviceName(copy + 4, device, kDeviceNameCapacity) && wcsstr(device, L"Volume")) result = 1;
    }
    FreeMemory(copy);
    return result;
}

int ExclusiveVolumeAccess(const wchar_t* path, uint32_t access) {
    wchar_t* copy = DuplicateStripped(path);
    void* volume = deviceSystem->Open(copy, access, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    FreeMemory(copy);
    if (!volume) return 0;
    int result = 0;
    uint32_t returned = 0;
    if (deviceSystem->Control(volume, kLockVolume, nullptr, 0, nullptr, 0, &returned)) {
        result = deviceSystem->Control(volume, kDismountVolume, nullptr, 0, nullptr, 0, &returned);
        if (result) deviceSystem->Control(volume, kUnlockVolume, nullptr, 0, nullptr, 0, &returned);
    }
    deviceSystem->Close(volume);
    return result;
}

int LockAndDismount(const wchar_t* path, void* handle, const char* which) {
    size_t n = wcslen(path);
    bool isVolumePath = wcsstr(path, L"Volume") || wcsstr(path, L"Partition") ||
                        (n >= 6 && path[3] == L'\\' && path[5] == L':');
    if (!isVolumePath) return 0;
    deviceSystem->Flush(handle);
    uint32_t returned = 0;
    if (!deviceSystem->Control(handle, kLockVolume, nullptr, 0, nullptr, 0, &returned)) return 0;
    Print(" %s volume locked\n", which);
    if (deviceSystem->Control(handle, kDismountVolume, nullptr, 0, nullptr, 0, &returned)) {
        Print(" %s volume dismounted\n", which);
        return 1;
    }
    DWORD error = GetLastError();
    Print(" error %s dismounting %s volume\n", ErrorName(error), which);
    SetLastError(error);
    return 0;
}

int StorageNumbersOf(const wchar_t* path, int32_t* deviceNumber, int32_t* partitionNumber) {
    *deviceNumber = -1;
    *partitionNumber = -1;
    if (path[0] == 0 || wcsstr(path, L"Floppy")) return 0;
    wchar_t* copy = DuplicateStripped(path);
    // no access rights: the number is available without administrator rights
    void* device = deviceSystem->Open(copy, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    FreeMemory(copy);
    if (!device) return 0;
    StorageDeviceNumberRecord number = {};
    uint32_t returned = 0;
    int ok = deviceSystem->Control(device, kStorageGetDeviceNumber, nullptr, 0, &number, sizeof number, &returned);
    deviceSystem->Close(device);
    if (!ok || returned == 0) return 0;
    *deviceNumber = static_cast<int32_t>(number.deviceNumber);
    *partitionNumber = static_cast<int32_t>(number.partitionNumber);
    return 1;
}

int32_t DiskNumberOf(const wchar_t* path) {
    wchar_t* copy = DuplicateStripped(path);
    int32_t device = -1, partition = -1;
    StorageNumbersOf(copy, &device, &partition);
    FreeMemory(copy);
    return device;
}
