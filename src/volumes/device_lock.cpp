// Volume locks of a whole disk and the disk's offline attribute.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "devices.h"

namespace {
constexpr uint32_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr uint32_t kVolumeNameCapacity = 64;
}  // namespace

int LockVolumesOfDisk(VolumeLockSet* set, int32_t disk) {
    memset(set, 0, sizeof *set);
    // Volumes whose disk is unknown also answer -1; they must not be taken.
    if (disk < 0) return 1;
    wchar_t name[kVolumeNameCapacity] = {};
    void* search = deviceSystem->FirstVolume(name, kVolumeNameCapacity);
    if (!search) return 1;
    int result = 1;
    do {
        StripTrailingBackslash(name);
        if (DiskNumberOf(name) != disk) continue;
        if (set->count == kVolumeLockCapacity) {
            // More volumes than the set holds: one of them would stay mounted.
            result = 0;
            break;
        }
        void* volume = deviceSystem->Open(name, GENERIC_READ, kShareReadWrite, 0);
        if (!volume) continue;
        uint32_t returned = 0;
        uint32_t i = set->count++;
        set->handles[i] = volume;
        set->locked[i] = deviceSystem->Control(volume, kLockVolume, nullptr, 0, nullptr, 0, &returned) ? 1 : 0;
        if (set->locked[i]) deviceSystem->Control(volume, kDismountVolume, nullptr, 0, nullptr, 0, &returned);
    } while (deviceSystem->NextVolume(search, name, kVolumeNameCapacity));
    deviceSystem->CloseVolumeSearch(search);
    if (!result) {
        UnlockVolumes(set);
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return result;
}

void UnlockVolumes(VolumeLockSet* set) {
    uint32_t returned = 0;
    for (uint32_t i = 0; i < set->count && i < kVolumeLockCapacity; ++i) {
        if (set->locked[i]) deviceSystem->Control(set->handles[i], kUnlockVolume, nullptr, 0, nullptr, 0, &returned);
        deviceSystem->Close(set->handles[i]);
        set->handles[i] = nullptr;
        set->locked[i] = 0;
    }
    set->count = 0;
}

namespace {

struct DismountContext {
    int32_t disk;
};

void DismountIfOnDisk(const wchar_t* devicePath, void* context) {
    auto* c = static_cast<DismountContext*>(context);
    if (DiskNumberOf(devicePath) != c->disk) return;
    void* volume = deviceSystem->Open(devicePath, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, 0);
    if (volume) {
        deviceSystem->Flush(volume);
        deviceSystem->Close(volume);
    }
    volume = deviceSystem->Open(devicePath, GENERIC_READ, kShareReadWrite, 0);
    if (!volume) return;
    uint32_t returned = 0;
    if (deviceSystem->Control(volume, kLockVolume, nullptr, 0, nullptr, 0, &returned)) {
        deviceSystem->Control(volume, kDismountVolume, nullptr, 0, nullptr, 0, &returned);
        deviceSystem->Control(volume, kUnlockVolume, nullptr, 0, nullptr, 0, &returned);
    }
    deviceSystem->Close(volume);
}

}  // namespace

void DismountVolumesOfDisk(const wchar_t* path) {
    DismountContext context = {DiskNumberOf(path)};
    if (context.disk == -1) return;
    deviceSystem->ForEachVolumeInterface(DismountIfOnDisk, &context);
}

int DiskAttributesOf(void* handle, uint64_t* attributes) {
    GetDiskAttributesRecord record = {};
    record.version = sizeof record;
    uint32_t returned = 0;
    if (!deviceSystem->Control(handle, kDiskGetDiskAttributes, nullptr, 0, &record, sizeof record, &returned) ||
        returned == 0)
        return 0;
    *attributes = record.attributes;
    return 1;
}

int ChangeDiskAttributes(void* handle, uint64_t mask, int set) {
    if (!IsValidDeviceHandle(handle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    SetDiskAttributesRecord record = {};
    record.version = sizeof record;
    record.persist = 0;   // lasts until the next restart
    record.attributes = set ? mask : 0;
    record.attributesMask = mask;
    uint32_t returned = 0;
    return deviceSystem->Control(handle, kDiskSetDiskAttributes, &record, sizeof record, nullptr, 0, &returned);
}

static_assert(sizeof(DiskGeometryRecord) == 24, "DISK_GEOMETRY layout");
static_assert(sizeof(GetDiskAttributesRecord) == 16, "GET_DISK_ATTRIBUTES layout");
static_assert(sizeof(SetDiskAttributesRecord) == 40, "SET_DISK_ATTRIBUTES layout");
static_assert(sizeof(StorageDeviceNumberRecord) == 12, "STORAGE_DEVICE_NUMBER layout");
