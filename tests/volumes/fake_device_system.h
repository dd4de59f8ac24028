// A DeviceSystem for a described machine: volumes on disks, lengths, geometry and attributes.
#pragma once
#include <windows.h>

#include <cstring>
#include <cwctype>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "captured_output.h"
#include "devices.h"

namespace qtxtest {

inline std::wstring Upper(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towupper(c));
    return text;
}

struct FakeDevice {
    std::wstring path;
    int diskNumber = -1;   // -1: the device number request fails
    int64_t length = -1;   // -1: the length request is not supported
    bool hasGeometry = false;   // also answered when it has cylinders
    DiskGeometryRecord geometry = {};
    uint64_t attributes = 0;
    uint32_t lockError = 0, dismountError = 0, setAttributesError = 0, checkVerifyError = 0, writableError = 0;
    bool locked = false;
    int dismounts = 0;
    bool offline() const { return attributes & kDiskAttributeOffline; }
};

class FakeDeviceSystem : public DeviceSystem {
public:
    std::vector<FakeDevice> devices;
    std::map<std::wstring, std::wstring> dosDevices;   // upper-case name -> answer
    std::vector<uint32_t> freeSpace;   // of every root: sectors per cluster, bytes per sector, free, total clusters
    std::vector<std::wstring> volumeList;   // FindFirstVolumeW order, with trailing backslash
    int openHandles = 0;

    FakeDeviceSystem() { devices.reserve(512); }   // references from Add stay valid
    FakeDevice& Add(const std::wstring& path) {
        devices.push_back(FakeDevice());
        devices.back().path = path;
        return devices.back();
    }
    FakeDevice* Find(const std::wstring& path) {
        for (auto& d : devices)
            if (Upper(d.path) == Upper(path)) return &d;
        return nullptr;
    }
    // A volume with a drive letter on a disk (-1: none): the volume device, GUID path and DOS names.
    void AddVolume(wchar_t letter, const std::wstring& guid, int disk) {
        std::wstring volume = L"\\\\?\\Volume{" + guid + L"}";
        dosDevices[Upper(std::wstring(1, letter) + L":")] = dosDevices[Upper(L"Volume{" + guid + L"}")] =
            L"\\Device\\HarddiskVolume" + guid;
        volumeList.push_back(volume + L"\\");
        for (const std::wstring& path : {volume, L"\\\\.\\" + std::wstring(1, letter) + L":"})
            Add(path).diskNumber = disk;
    }
    FakeDevice& AddDisk(int disk) {
        FakeDevice& d = Add(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk));
        d.diskNumber = disk;
        return d;
    }
    void* Open(const wchar_t* path, uint32_t, uint32_t, uint32_t) override {
        FakeDevice* d = Find(path);
        if (!d) return SetLastError(ERROR_FILE_NOT_FOUND), nullptr;
        ++openHandles;
        return reinterpret_cast<void*>(static_cast<uintptr_t>(0x10000 + (d - devices.data()) * 16));
    }
    FakeDevice& Of(void* handle) { return devices[(reinterpret_cast<uintptr_t>(handle) - 0x10000) / 16]; }
    // A handle it did not open (a device opened as a file of a volume in
    // memory): the device it stands for; null when a control through it fails.
    std::function<FakeDevice*(void* handle)> deviceOf;
    void Close(void*) override { --openHandles; }
    static int Fail(uint32_t error) { return SetLastError(error), 0; }
    static int Answer(const void* record, size_t size, void* output, uint32_t* returned) {
        memcpy(output, record, size);
        *returned = static_cast<uint32_t>(size);
        return 1;
    }
    int Control(void* handle, uint32_t code, const void* input, uint32_t, void* output, uint32_t,
                uint32_t* returned) override {
        *returned = 0;
        size_t own = (reinterpret_cast<uintptr_t>(handle) - 0x10000) / 16;
        FakeDevice* found = own < devices.size() ? &devices[own] : deviceOf ? deviceOf(handle) : nullptr;
        if (!found) return 0;
        FakeDevice& d = *found;
        switch (code) {
        case kLockVolume: return d.lockError ? Fail(d.lockError) : (d.locked = true, 1);
        case kDismountVolume: return ++d.dismounts, d.dismountError ? Fail(d.dismountError) : 1;
        case kUnlockVolume: return d.locked = false, 1;
        case kStorageCheckVerify2: return d.checkVerifyError ? Fail(d.checkVerifyError) : 1;
        case kDiskIsWritable: return d.writableError ? Fail(d.writableError) : 1;
        case kDiskGetLengthInfo:
            return d.length < 0 ? Fail(ERROR_NOT_SUPPORTED) : Answer(&d.length, 8, output, returned);
        case kDiskGetDriveGeometry:
            return d.hasGeometry || d.geometry.cylinders ? Answer(&d.geometry, sizeof d.geometry, output, returned)
                                                         : Fail(ERROR_INVALID_FUNCTION);
        case kDiskGetDiskAttributes: {
            GetDiskAttributesRecord record = {16, 0, d.attributes};
            return Answer(&record, sizeof record, output, returned);
        }
        case kDiskSetDiskAttributes: {
            SetDiskAttributesRecord record;
            memcpy(&record, input, sizeof record);
            if (d.setAttributesError) return Fail(d.setAttributesError);
            d.attributes = (d.attributes & ~record.attributesMask) | (record.attributes & record.attributesMask);
            return 1;
        }
        case kStorageGetDeviceNumber: {
            StorageDeviceNumberRecord number = {7, static_cast<uint32_t>(d.diskNumber), 1};
            return d.diskNumber >= 0 ? Answer(&number, sizeof number, output, returned) : Fail(ERROR_INVALID_FUNCTION);
        }
        }
        return Fail(ERROR_INVALID_FUNCTION);
    }
    int Flush(void*) override { return 1; }
    static int Put(const std::wstring& text, wchar_t* out, uint32_t capacity) {
        if (text.size() + 1 > capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
        memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        return 1;
    }
    int DosDeviceName(const wchar_t* name, wchar_t* out, uint32_t capacity) override {
        auto found = dosDevices.find(Upper(name));
        return found == dosDevices.end() ? Fail(ERROR_FILE_NOT_FOUND) : Put(found->second, out, capacity);
    }
    // which physical drive a path lies on is left unidentified
    int VolumePathName(const wchar_t*, wchar_t*, uint32_t) override { return Fail(ERROR_NOT_SUPPORTED); }
    int VolumeNameForMountPoint(const wchar_t*, wchar_t*, uint32_t) override { return Fail(ERROR_NOT_SUPPORTED); }
    int VolumeMountPaths(const wchar_t*, wchar_t*, uint32_t, uint32_t*) override { return Fail(ERROR_NOT_FOUND); }
    uint32_t DriveType(const wchar_t*) override { return DRIVE_NO_ROOT_DIR; }
    uint32_t LogicalDrives() override { return 0; }
    int DiskFreeSpace(const wchar_t*, uint32_t* a, uint32_t* b, uint32_t* c, uint32_t* d) override {
        if (freeSpace.size() != 4) return Fail(ERROR_NOT_READY);
        *a = freeSpace[0], *b = freeSpace[1], *c = freeSpace[2], *d = freeSpace[3];
        return 1;
    }
    size_t nextVolume = 0;
    void* FirstVolume(wchar_t* name, uint32_t capacity) override {
        nextVolume = 0;
        if (!NextVolume(nullptr, name, capacity)) return nullptr;
        ++openHandles;
        return this;
    }
    int NextVolume(void*, wchar_t* name, uint32_t capacity) override {
        return nextVolume < volumeList.size() ? Put(volumeList[nextVolume++], name, capacity)
                                               : Fail(ERROR_NO_MORE_FILES);
    }
    void CloseVolumeSearch(void*) override { --openHandles; }
    int ForEachVolumeInterface(InterfaceVisitor, void*) override { return 1; }
    int LoadVirtDisk() override { return 0; }
    uint32_t StorageDependencyInformation(void*, uint32_t, uint32_t, void*, uint32_t*) override {
        return ERROR_NOT_SUPPORTED;
    }
};

// Installs a fake for the lifetime of a test.
struct UseFake {
    explicit UseFake(FakeDeviceSystem* fake) : saved(deviceSystem) { deviceSystem = fake; }
    ~UseFake() { deviceSystem = saved; }
    DeviceSystem* saved;
};

}  // namespace qtxtest
