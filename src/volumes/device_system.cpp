// The Windows implementation of DeviceSystem.
#include <windows.h>
#include <setupapi.h>

#include "devices.h"
#include "heap_memory.h"
#include "system_facts.h"

namespace {

// VirtDisk.dll: loaded once for the process, never released.
HMODULE virtDiskModule;
int virtDiskLoaded;
using GetStorageDependencyFunction = DWORD(WINAPI*)(HANDLE, DWORD, ULONG, void*, ULONG*);
GetStorageDependencyFunction getStorageDependencyInformation;

FARPROC Lookup(HMODULE module, const char* name) { return module ? GetProcAddress(module, name) : nullptr; }

int LoadVirtDiskOnce() {
    if (virtDiskLoaded) return 1;
    if (osVersion.packed < 0x601) {
        virtDiskLoaded = 1;   // the caller reports the version
        return 1;
    }
    if (!virtDiskModule) virtDiskModule = LoadLibraryW(L"VirtDisk.dll");
    if (!virtDiskModule) return 0;
    Lookup(virtDiskModule, "GetAllAttachedVirtualDiskPhysicalPaths");
    Lookup(virtDiskModule, "CompactVirtualDisk");
    getStorageDependencyInformation = reinterpret_cast<GetStorageDependencyFunction>(
        reinterpret_cast<void*>(Lookup(virtDiskModule, "GetStorageDependencyInformation")));
    if (!Lookup(virtDiskModule, "GetVirtualDiskPhysicalPath") || !Lookup(virtDiskModule, "AttachVirtualDisk") ||
        !Lookup(virtDiskModule, "DetachVirtualDisk") || !Lookup(virtDiskModule, "OpenVirtualDisk") ||
        !getStorageDependencyInformation)
        return 0;
    virtDiskLoaded = 1;
    return 1;
}

// Visits the device path of every interface of the class; 0 when the class cannot be listed.
int ForEachInterface(const GUID& interfaceClass, DWORD flags, DeviceSystem::InterfaceVisitor visit, void* context) {
    HDEVINFO list = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, flags);
    if (list == INVALID_HANDLE_VALUE) return 0;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    const DWORD detailSize = 1024 + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(AllocZero(detailSize));
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &interfaceClass, index, &data); ++index) {
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &needed, nullptr);
        if (needed == 0 || needed > detailSize) continue;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(list, &data, detail, detailSize, nullptr, nullptr))
            visit(detail->DevicePath, context);
    }
    FreeMemory(detail);
    SetupDiDestroyDeviceInfoList(list);
    return 1;
}

using GetMountPathsFunction = BOOL(WINAPI*)(LPCWSTR, LPWSTR, DWORD, PDWORD);

class WindowsDeviceSystem : public DeviceSystem {
public:
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags) override {
        HANDLE handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    void Close(void* handle) override {
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
    }
    int Control(void* handle, uint32_t code, const void* input, uint32_t inputSize, void* output,
                uint32_t outputSize, uint32_t* returned) override {
        DWORD count = 0;
        BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(input), inputSize, output, outputSize, &count,
                                  nullptr);
        if (returned) *returned = count;
        return ok ? 1 : 0;
    }
    int Flush(void* handle) override { return FlushFileBuffers(handle) ? 1 : 0; }
    int DosDeviceName(const wchar_t* name, wchar_t* out, uint32_t capacity) override {
        if (capacity == 0) return 0;
        DWORD length = QueryDosDeviceW(name, out, capacity);
        if (length == 0) return 0;
        out[capacity - 1] = 0;
        return 1;
    }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        return GetVolumePathNameW(path, out, capacity) ? 1 : 0;
    }
    int VolumeNameForMountPoint(const wchar_t* mountPoint, wchar_t* out, uint32_t capacity) override {
        return GetVolumeNameForVolumeMountPointW(mountPoint, out, capacity) ? 1 : 0;
    }
    int VolumeMountPaths(const wchar_t* volume, wchar_t* out, uint32_t capacity, uint32_t* returned) override {
        static GetMountPathsFunction getMountPaths;
        static int lookedUp;
        if (!lookedUp && osVersion.packed >= 0x501) {
            getMountPaths = reinterpret_cast<GetMountPathsFunction>(reinterpret_cast<void*>(
                GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetVolumePathNamesForVolumeNameW")));
            lookedUp = 1;
        }
        if (!getMountPaths) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return 0;
        }
        DWORD length = 0;
        BOOL ok = getMountPaths(volume, out, capacity, &length);
        *returned = length;
        return ok ? 1 : 0;
    }
    uint32_t DriveType(const wchar_t* root) override { return GetDriveTypeW(root); }
    uint32_t LogicalDrives() override { return GetLogicalDrives(); }
    int DiskFreeSpace(const wchar_t* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                      uint32_t* freeClusters, uint32_t* totalClusters) override {
        DWORD a = 0, b = 0, c = 0, d = 0;
        if (!GetDiskFreeSpaceW(root, &a, &b, &c, &d)) return 0;
        *sectorsPerCluster = a;
        *bytesPerSector = b;
        *freeClusters = c;
        *totalClusters = d;
        return 1;
    }
    void* FirstVolume(wchar_t* name, uint32_t capacity) override {
        HANDLE search = FindFirstVolumeW(name, capacity);
        return search == INVALID_HANDLE_VALUE ? nullptr : search;
    }
    int NextVolume(void* search, wchar_t* name, uint32_t capacity) override {
        return FindNextVolumeW(search, name, capacity) ? 1 : 0;
    }
    void CloseVolumeSearch(void* search) override { FindVolumeClose(search); }
    int ForEachVolumeInterface(InterfaceVisitor visit, void* context) override {
        static const GUID volumeInterface = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
        return ForEachInterface(volumeInterface, DIGCF_DEVICEINTERFACE, visit, context);
    }
    int ForEachDiskInterface(InterfaceVisitor visit, void* context) override {
        static const GUID diskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
        return ForEachInterface(diskInterface, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, visit, context);
    }
    int VolumeLabel(const wchar_t* root, wchar_t* label, uint32_t capacity) override {
        if (capacity == 0) return 0;
        label[0] = 0;
        if (!GetVolumeInformationW(root, label, capacity, nullptr, nullptr, nullptr, nullptr, 0)) {
            label[0] = 0;
            return 0;
        }
        label[capacity - 1] = 0;
        return 1;
    }
    int LoadVirtDisk() override { return LoadVirtDiskOnce(); }
    uint32_t StorageDependencyInformation(void* handle, uint32_t flags, uint32_t size, void* info,
                                          uint32_t* sizeUsed) override {
        if (!getStorageDependencyInformation) return ERROR_PROC_NOT_FOUND;
        ULONG used = 0;
        DWORD result = getStorageDependencyInformation(handle, flags, size, info, &used);
        *sizeUsed = used;
        return result;
    }
};

WindowsDeviceSystem windowsDeviceSystem;

}  // namespace

DeviceSystem* deviceSystem = &windowsDeviceSystem;
