// The dry run's overlay of the device calls: a volume is never locked,
// dismounted, flushed or taken offline, and a device is opened for reading only.
#include <windows.h>

#include "devices.h"
#include "dry_run_overlay.h"

namespace {

bool Changes(uint32_t code) {
    return code == kLockVolume || code == kDismountVolume || code == kUnlockVolume || code == kDiskSetDiskAttributes ||
           code == kDiskUpdateProperties;
}

class DeviceOverlay final : public DeviceSystem {
public:
    explicit DeviceOverlay(DeviceSystem* below) : below_(below) {}
    DeviceSystem* below() const { return below_; }

    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags) override {
        if (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
            access = (access & ~(GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) | GENERIC_READ;
        return below_->Open(path, access, share, flags);
    }
    void Close(void* handle) override { below_->Close(handle); }
    int Control(void* handle, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
                uint32_t* returned) override {
        if (!Changes(code)) return below_->Control(handle, code, input, inputSize, output, outputSize, returned);
        if (returned) *returned = 0;
        return 1;
    }
    int Flush(void* handle) override { return 1; }
    int DosDeviceName(const wchar_t* name, wchar_t* out, uint32_t capacity) override {
        return below_->DosDeviceName(name, out, capacity);
    }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        return below_->VolumePathName(path, out, capacity);
    }
    int VolumeNameForMountPoint(const wchar_t* mountPoint, wchar_t* out, uint32_t capacity) override {
        return below_->VolumeNameForMountPoint(mountPoint, out, capacity);
    }
    int VolumeMountPaths(const wchar_t* volume, wchar_t* out, uint32_t capacity, uint32_t* returned) override {
        return below_->VolumeMountPaths(volume, out, capacity, returned);
    }
    uint32_t DriveType(const wchar_t* root) override { return below_->DriveType(root); }
    uint32_t LogicalDrives() override { return below_->LogicalDrives(); }
    int DiskFreeSpace(const wchar_t* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                      uint32_t* freeClusters, uint32_t* totalClusters) override {
        return below_->DiskFreeSpace(root, sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
    }
    void* FirstVolume(wchar_t* name, uint32_t capacity) override { return below_->FirstVolume(name, capacity); }
    int NextVolume(void* search, wchar_t* name, uint32_t capacity) override {
        return below_->NextVolume(search, name, capacity);
    }
    void CloseVolumeSearch(void* search) override { below_->CloseVolumeSearch(search); }
    int ForEachVolumeInterface(InterfaceVisitor visit, void* context) override {
        return below_->ForEachVolumeInterface(visit, context);
    }
    int ForEachDiskInterface(InterfaceVisitor visit, void* context) override {
        return below_->ForEachDiskInterface(visit, context);
    }
    int VolumeLabel(const wchar_t* root, wchar_t* label, uint32_t capacity) override {
        return below_->VolumeLabel(root, label, capacity);
    }
    int LoadVirtDisk() override { return below_->LoadVirtDisk(); }
    uint32_t StorageDependencyInformation(void* handle, uint32_t flags, uint32_t size, void* info,
                                          uint32_t* sizeUsed) override {
        return below_->StorageDependencyInformation(handle, flags, size, info, sizeUsed);
    }

private:
    DeviceSystem* below_;
};

DeviceOverlay* devices;

}  // namespace

void OverlayDevices() {
    // a run in the same process ends its predecessor's overlay first
    if (devices && deviceSystem == devices) deviceSystem = devices->below();
    delete devices;
    devices = new DeviceOverlay(deviceSystem);
    deviceSystem = devices;
}

void EndDeviceOverlay() {
    if (devices && deviceSystem == devices) deviceSystem = devices->below();
}
