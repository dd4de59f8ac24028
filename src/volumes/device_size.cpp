// Lengths and sector sizes of disks and volumes.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "devices.h"
#include "heap_memory.h"
#include "text_format.h"

namespace {

constexpr uint32_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// All factors are widened first: a 32-bit product would wrap at 4 GiB.
int64_t GeometryBytes(const DiskGeometryRecord& g) {
    return g.cylinders * static_cast<int64_t>(g.tracksPerCylinder) * static_cast<int64_t>(g.sectorsPerTrack) *
           static_cast<int64_t>(g.bytesPerSector);
}

// The length request, and the geometry for devices that do not know it.
int64_t LengthOfOpenDevice(void* handle, uint32_t lowestMedia, uint32_t highestMedia) {
    int64_t length = 0;
    uint32_t returned = 0;
    if (deviceSystem->Control(handle, kDiskGetLengthInfo, nullptr, 0, &length, sizeof length, &returned) &&
        returned != 0)
        return length;
    if (GetLastError() != ERROR_NOT_SUPPORTED) return 0;
    DiskGeometryRecord geometry = {};
    returned = 0;
    if (!deviceSystem->Control(handle, kDiskGetDriveGeometry, nullptr, 0, &geometry, sizeof geometry, &returned))
        return 0;
    if (geometry.mediaType < lowestMedia || geometry.mediaType > highestMedia) return 0;
    return GeometryBytes(geometry);
}

constexpr uint32_t kFirstFloppyMedia = 1, kLastFloppyMedia = 10, kAnyMedia = 0xFFFFFFFF;

}  // namespace

int MaxTargetSize(const wchar_t* root, int64_t* size) {
    *size = 0;
    void* volume = nullptr;
    if (wcslen(root) == 3 && root[1] == L':') {
        wchar_t device[8];
        FormatTextW(device, 8, L"\\\\.\\%c:", root[0]);
        volume = deviceSystem->Open(device, GENERIC_READ, kShareReadWrite, 0);
    }
    if (volume) {
        int64_t length = 0;
        uint32_t returned = 0;
        int ok = deviceSystem->Control(volume, kDiskGetLengthInfo, nullptr, 0, &length, sizeof length, &returned) &&
                 returned != 0;
        deviceSystem->Close(volume);
        if (ok) {
            *size = length;
            return 1;
        }
        // some systems do not answer for a volume; its clusters tell as much
    }
    uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!deviceSystem->DiskFreeSpace(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters)) {
        Print("Error %s determining max target size\n", LastErrorName());
        return 0;
    }
    *size = static_cast<int64_t>(sectorsPerCluster) * bytesPerSector * static_cast<int64_t>(totalClusters);
    return 1;
}

uint32_t SectorSizeOf(const wchar_t* path) {
    void* device = deviceSystem->Open(path, GENERIC_READ, kShareReadWrite, 0);
    if (!device) return 512;
    DiskGeometryRecord geometry = {};
    uint32_t returned = 0;
    int ok = deviceSystem->Control(device, kDiskGetDriveGeometry, nullptr, 0, &geometry, sizeof geometry, &returned);
    deviceSystem->Close(device);
    return ok && geometry.bytesPerSector ? geometry.bytesPerSector : 512;
}

int64_t DeviceSizeOfHandle(void* handle) {
    SetLastError(0);
    return LengthOfOpenDevice(handle, kFirstFloppyMedia, kLastFloppyMedia);
}

int64_t DeviceSizeOfPath(const wchar_t* path) {
    if (path[0] == 0) return 0;
    void* device = deviceSystem->Open(path, GENERIC_READ, kShareReadWrite, 0);
    if (!device) return 0;
    int64_t length = DeviceSizeOfHandle(device);
    deviceSystem->Close(device);
    return length;
}

int64_t DeviceSize(const wchar_t* path, void* handle) {
    void* own = nullptr;
    if (!IsValidDeviceHandle(handle)) {
        own = deviceSystem->Open(path, 0, kShareReadWrite | FILE_SHARE_DELETE, 0);
        if (!own) return 0;
        handle = own;
    }
    SetLastError(0);
    int64_t length = LengthOfOpenDevice(handle, kFirstFloppyMedia, kAnyMedia);
    if (own) deviceSystem->Close(own);
    return length;
}

int64_t TargetDeviceSize(const wchar_t* path) {
    void* device = deviceSystem->Open(path, GENERIC_READ, kShareReadWrite, 0);
    if (!device) return 0;
    uint32_t returned = 0;
    deviceSystem->Control(device, kAllowExtendedDasdIo, nullptr, 0, nullptr, 0, &returned);
    int64_t length = LengthOfOpenDevice(device, kFirstFloppyMedia, kAnyMedia);
    deviceSystem->Close(device);
    return length;
}
