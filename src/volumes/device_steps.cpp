// The device steps around opening a raw source or target.
#include <windows.h>

#include "console.h"
#include "devices.h"
#include "heap_memory.h"
#include "paths.h"
#include "text_format.h"

namespace {

// Held until the process ends; closing its handles at exit unlocks the volumes.
VolumeLockSet* sourceDiskLocks;

void ReportTooManyVolumes() { PrintError("Error: disk has more than %i volumes -> abort\n", kVolumeLockCapacity); }

}  // namespace

void TakeDiskOffline(void* handle, const char* which) {
    uint64_t attributes = 0;
    if (DiskAttributesOf(handle, &attributes) && (attributes & kDiskAttributeOffline)) {
        Print("%s disk is already offline\n", which);
        return;
    }
    if (ChangeDiskAttributes(handle, kDiskAttributeOffline, 1))
        Print("%s disk is offline now\n", which);
    else
        Print("Error %s setting DISK_ATTRIBUTE_OFFLINE", LastErrorName());
}

int LockSourceDiskVolumes(const wchar_t* sourcePath) {
    if (!sourceDiskLocks) sourceDiskLocks = static_cast<VolumeLockSet*>(AllocZero(sizeof(VolumeLockSet)));
    // a second disk copy in one run gives the first disk's volumes back first
    UnlockVolumes(sourceDiskLocks);
    if (LockVolumesOfDisk(sourceDiskLocks, DiskNumberOf(sourcePath))) return 1;
    ReportTooManyVolumes();
    return 0;
}

int PrepareSourceDevice(const wchar_t* sourcePath, void* handle, int isVolume, int64_t* size) {
    *size = DeviceSize(sourcePath, handle);
    // a device whose length cannot be read would copy nothing and pass for copied
    if (*size <= 0) {
        DWORD error = GetLastError() ? GetLastError() : ERROR_INVALID_FUNCTION;
        PrintError("Error %s reading the size of '%S'\n", ErrorName(error), SkipLongPrefix(sourcePath));
        SetLastError(error);
        return 0;
    }
    if (isVolume) LockAndDismount(sourcePath, handle, "source");
    return 1;
}

void ClaimSourceDevice(const wchar_t* sourcePath, void* handle, int isVolume) {
    uint32_t returned = 0;
    deviceSystem->Control(handle, kAllowExtendedDasdIo, nullptr, 0, nullptr, 0, &returned);
    if (isVolume) return;
    DismountVolumesOfDisk(sourcePath);
    TakeDiskOffline(handle, "Source");
}

int64_t NulSourceSize(const wchar_t* targetPath) {
    int64_t size = TargetDeviceSize(targetPath);
    return size ? size : kUnknownDeviceSize;
}

int PrepareTargetDevice(const wchar_t* targetPath, void* handle, int isVolume) {
    uint32_t returned = 0;
    int ready = deviceSystem->Control(handle, kStorageCheckVerify2, nullptr, 0, nullptr, 0, &returned);
    if (ready && !deviceSystem->Control(handle, kDiskIsWritable, nullptr, 0, nullptr, 0, &returned) &&
        GetLastError() == ERROR_WRITE_PROTECT)
        ready = 0;
    if (!ready) {
        DWORD error = GetLastError();
        PrintError("Error %s writing target file -> abort", ErrorName(error));
        SetLastError(error);
        return 0;
    }
    deviceSystem->Control(handle, kAllowExtendedDasdIo, nullptr, 0, nullptr, 0, &returned);
    if (isVolume) {
        LockAndDismount(targetPath, handle, "target");
        return 1;
    }
    // The volumes are dismounted while the disk goes offline, so none mounts again during the copy.
    auto* set = static_cast<VolumeLockSet*>(AllocZero(sizeof(VolumeLockSet)));
    int result = LockVolumesOfDisk(set, DiskNumberOf(targetPath));
    if (result)
        TakeDiskOffline(handle, "Target");
    else
        ReportTooManyVolumes();
    UnlockVolumes(set);
    FreeMemory(set);
    return result;
}

void FinishTargetDevice(void* handle) {
    uint32_t returned = 0;
    deviceSystem->Control(handle, kDiskUpdateProperties, nullptr, 0, nullptr, 0, &returned);
}
