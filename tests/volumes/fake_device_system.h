// A DeviceSystem that answers from a recorded machine description, plus
// capture of the program's printed lines.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "console.h"
#include "devices.h"
#include "physical_drive.h"
#include "test_support.h"

namespace qtxtest {

inline std::wstring Upper(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(towupper(c));
    return text;
}

struct FakeDevice {
    std::wstring path;
    uint32_t readOpenError = 0;   // opens that ask for access rights fail with it (no administrator)
    bool hasNumber = false;
    uint32_t diskNumber = 0;
    uint32_t partition = 0;
    int64_t length = -1;          // -1: the length request is not supported
    bool hasGeometry = false;
    DiskGeometryRecord geometry = {};
    bool hasAttributes = false;
    uint64_t attributes = 0;
    uint32_t setAttributesError = 0;
    uint32_t lockError = 0;
    uint32_t dismountError = 0;
    int64_t busType = -1;
    uint32_t checkVerifyError = 0;
    uint32_t writableError = 0;
    std::vector<unsigned char> cryptRecord;   // answer of the encryption drivers
    std::wstring hostVolume, relativePath;    // storage dependency of a virtual disk
    uint32_t dependencyNeeded = 0;            // above the offered size: ERROR_INSUFFICIENT_BUFFER
    std::vector<unsigned char> descriptor;    // recorded device descriptor; answers instead of busType
    bool locked = false;
    int dismounts = 0;
    bool offline() const { return attributes & kDiskAttributeOffline; }
};

class FakeDeviceSystem : public DeviceSystem {
public:
    std::vector<FakeDevice> devices;
    std::map<std::wstring, std::wstring> dosDevices;   // upper-case name -> answer
    std::vector<std::wstring> mountRoots;              // roots GetVolumePathNameW knows
    std::map<std::wstring, uint32_t> driveTypes;       // upper-case root -> type
    std::map<std::wstring, std::wstring> volumeNames;  // upper-case root -> volume GUID path
    std::map<std::wstring, std::wstring> mountPaths;   // upper-case GUID path -> multi-string
    std::map<std::wstring, std::vector<uint32_t>> freeSpace;
    std::vector<std::wstring> volumeList;   // FindFirstVolumeW order, with trailing backslash
    std::vector<std::wstring> diskInterfaces;          // disk device interface paths, in setupapi order
    std::map<std::wstring, std::wstring> labels;       // upper-case root -> volume label
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
    // A volume with a drive letter on a disk: the volume device, GUID path and DOS names.
    void AddVolume(wchar_t letter, const std::wstring& guid, int disk, int partition = 1,
                   uint32_t type = DRIVE_FIXED, const std::wstring& dosName = L"") {
        std::wstring root = std::wstring(1, letter) + L":\\";
        std::wstring volume = L"\\\\?\\Volume{" + guid + L"}";
        mountRoots.push_back(root);
        driveTypes[Upper(root)] = type;
        volumeNames[Upper(root)] = volume + L"\\";
        volumeNames[Upper(volume + L"\\")] = volume + L"\\";
        mountPaths[Upper(volume + L"\\")] = root + std::wstring(1, L'\0');
        std::wstring device = dosName.empty() ? L"\\Device\\HarddiskVolume" + guid : dosName;
        dosDevices[Upper(std::wstring(1, letter) + L":")] = device;
        dosDevices[Upper(L"Volume{" + guid + L"}")] = device;
        volumeList.push_back(volume + L"\\");
        for (const std::wstring& path : {volume, L"\\\\.\\" + std::wstring(1, letter) + L":"}) {
            FakeDevice& d = Add(path);
            if (disk >= 0) {
                d.hasNumber = true;
                d.diskNumber = disk;
                d.partition = partition;
            }
        }
    }
    FakeDevice& AddDisk(int disk) {
        FakeDevice& d = Add(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk));
        d.hasNumber = true;
        d.diskNumber = disk;
        d.partition = 0;
        dosDevices[Upper(L"PhysicalDrive" + std::to_wstring(disk))] =
            L"\\Device\\Harddisk" + std::to_wstring(disk) + L"\\DR" + std::to_wstring(disk);
        return d;
    }
    // The encryption driver's list of mounted volumes: letter -> volume name.
    void AddCryptDriver(const std::wstring& driver, const std::map<wchar_t, std::wstring>& mounted) {
        FakeDevice& d = Add(driver);
        d.cryptRecord.assign(kCryptRecordSize, 0);
        uint32_t mask = 0;
        for (const auto& m : mounted) {
            int i = m.first - L'A';
            mask |= 1u << i;
            memcpy(&d.cryptRecord[4 + i * kCryptNameLength * 2], m.second.c_str(),
                   std::min<size_t>(m.second.size(), kCryptNameLength) * 2);
        }
        memcpy(&d.cryptRecord[0], &mask, 4);
    }
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags) override {
        FakeDevice* d = Find(path);
        uint32_t error = !d ? ERROR_FILE_NOT_FOUND : access ? d->readOpenError : 0;
        if (error) {
            SetLastError(error);
            return nullptr;
        }
        ++openHandles;
        return reinterpret_cast<void*>(static_cast<uintptr_t>(0x10000 + (d - devices.data()) * 16));
    }
    FakeDevice& Of(void* handle) { return devices[(reinterpret_cast<uintptr_t>(handle) - 0x10000) / 16]; }
    void Close(void*) override { --openHandles; }
    int Fail(uint32_t error) {
        SetLastError(error);
        return 0;
    }
    int Control(void* handle, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize,
                uint32_t* returned) override {
        FakeDevice& d = Of(handle);
        *returned = 0;
        switch (code) {
        case kLockVolume:
            if (d.lockError) return Fail(d.lockError);
            d.locked = true;
            return 1;
        case kDismountVolume:
            ++d.dismounts;
            return d.dismountError ? Fail(d.dismountError) : 1;
        case kUnlockVolume:
            d.locked = false;
            return 1;
        case kAllowExtendedDasdIo:
        case kDiskUpdateProperties: return 1;
        case kStorageCheckVerify2: return d.checkVerifyError ? Fail(d.checkVerifyError) : 1;
        case kDiskIsWritable: return d.writableError ? Fail(d.writableError) : 1;
        case kDiskGetLengthInfo:
            if (d.length < 0) return Fail(ERROR_NOT_SUPPORTED);
            memcpy(output, &d.length, 8);
            *returned = 8;
            return 1;
        case kDiskGetDriveGeometry:
            if (!d.hasGeometry) return Fail(ERROR_INVALID_FUNCTION);
            memcpy(output, &d.geometry, sizeof d.geometry);
            *returned = sizeof d.geometry;
            return 1;
        case kDiskGetDiskAttributes: {
            if (!d.hasAttributes) return Fail(ERROR_INVALID_FUNCTION);
            GetDiskAttributesRecord record = {};
            memcpy(&record, output, sizeof record);
            if (record.version != 16 || outputSize < 16) return Fail(ERROR_INVALID_PARAMETER);
            record.attributes = d.attributes;
            memcpy(output, &record, sizeof record);
            *returned = sizeof record;
            return 1;
        }
        case kDiskSetDiskAttributes: {
            SetDiskAttributesRecord record = {};
            if (inputSize != sizeof record) return Fail(ERROR_INVALID_PARAMETER);
            memcpy(&record, input, sizeof record);
            if (record.version != 40 || record.persist) return Fail(ERROR_INVALID_PARAMETER);
            if (d.setAttributesError) return Fail(d.setAttributesError);
            d.attributes = (d.attributes & ~record.attributesMask) | (record.attributes & record.attributesMask);
            return 1;
        }
        case kStorageGetDeviceNumber: {
            if (!d.hasNumber) return Fail(ERROR_INVALID_FUNCTION);
            StorageDeviceNumberRecord number = {7, d.diskNumber, d.partition};
            memcpy(output, &number, sizeof number);
            *returned = sizeof number;
            return 1;
        }
        case 0x2D1400:   // storage query property: standard device descriptor
            if (!d.descriptor.empty()) {
                uint32_t size = std::min<uint32_t>(outputSize, static_cast<uint32_t>(d.descriptor.size()));
                memset(output, 0, outputSize);
                memcpy(output, d.descriptor.data(), size);
                *returned = size;
                return 1;
            }
            if (d.busType < 0) return Fail(ERROR_INVALID_FUNCTION);
            memset(output, 0, outputSize);
            memcpy(static_cast<char*>(output) + 28, &d.busType, 4);
            *returned = 40;
            return 1;
        case kCryptListMountedVolumes:
            if (d.cryptRecord.empty() || outputSize < kCryptRecordSize) return Fail(ERROR_INVALID_FUNCTION);
            memcpy(output, d.cryptRecord.data(), kCryptRecordSize);
            *returned = kCryptRecordSize;
            return 1;
        }
        return Fail(ERROR_INVALID_FUNCTION);
    }
    int Flush(void*) override { return 1; }
    static int Put(const std::wstring& text, wchar_t* out, uint32_t capacity) {
        if (text.size() + 1 > capacity) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(out, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        return 1;
    }
    int DosDeviceName(const wchar_t* name, wchar_t* out, uint32_t capacity) override {
        auto found = dosDevices.find(Upper(name));
        if (found == dosDevices.end()) return Fail(ERROR_FILE_NOT_FOUND);
        return Put(found->second, out, capacity);
    }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        std::wstring text = path, prefix;
        if (text.compare(0, 4, L"\\\\?\\") == 0) prefix = L"\\\\?\\", text = text.substr(4);
        const std::wstring* best = nullptr;
        for (const auto& root : mountRoots)
            if (Upper(text + L"\\").compare(0, root.size(), Upper(root)) == 0 && (!best || root.size() > best->size()))
                best = &root;
        if (!best) return Fail(ERROR_FILE_NOT_FOUND);
        return Put(prefix + *best, out, capacity);
    }
    int VolumeNameForMountPoint(const wchar_t* mountPoint, wchar_t* out, uint32_t capacity) override {
        std::wstring text = mountPoint;
        if (text.compare(0, 4, L"\\\\?\\") == 0 && text.compare(4, 6, L"Volume") != 0) text = text.substr(4);
        auto found = volumeNames.find(Upper(text));
        if (found == volumeNames.end()) return Fail(ERROR_INVALID_PARAMETER);
        return Put(found->second, out, capacity);
    }
    int VolumeMountPaths(const wchar_t* volume, wchar_t* out, uint32_t capacity, uint32_t* returned) override {
        auto found = mountPaths.find(Upper(volume));
        if (found == mountPaths.end()) return Fail(ERROR_FILE_NOT_FOUND);
        std::wstring list = found->second + std::wstring(1, L'\0');
        *returned = static_cast<uint32_t>(list.size());
        if (list.size() > capacity) return Fail(ERROR_MORE_DATA);
        memcpy(out, list.data(), list.size() * sizeof(wchar_t));
        return 1;
    }
    uint32_t DriveType(const wchar_t* root) override {
        std::wstring text = root;
        if (text.compare(0, 4, L"\\\\?\\") == 0) text = text.substr(4);
        auto found = driveTypes.find(Upper(text));
        return found == driveTypes.end() ? DRIVE_NO_ROOT_DIR : found->second;
    }
    uint32_t LogicalDrives() override {
        uint32_t mask = 0;
        for (const auto& d : dosDevices)
            if (d.first.size() == 2 && d.first[1] == L':') mask |= 1u << (d.first[0] - L'A');
        return mask;
    }
    int DiskFreeSpace(const wchar_t* root, uint32_t* a, uint32_t* b, uint32_t* c, uint32_t* d) override {
        auto found = freeSpace.find(Upper(root));
        if (found == freeSpace.end()) return Fail(ERROR_NOT_READY);
        *a = found->second[0], *b = found->second[1], *c = found->second[2], *d = found->second[3];
        return 1;
    }
    size_t nextVolume = 0;
    void* FirstVolume(wchar_t* name, uint32_t capacity) override {
        nextVolume = 0;
        if (!NextVolume(reinterpret_cast<void*>(1), name, capacity)) return nullptr;
        ++openHandles;
        return reinterpret_cast<void*>(1);
    }
    int NextVolume(void* search, wchar_t* name, uint32_t capacity) override {
        if (nextVolume >= volumeList.size()) return Fail(ERROR_NO_MORE_FILES);
        return Put(volumeList[nextVolume++], name, capacity);
    }
    void CloseVolumeSearch(void* search) override { --openHandles; }
    int ForEachVolumeInterface(InterfaceVisitor, void*) override { return 1; }
    int ForEachDiskInterface(InterfaceVisitor visit, void* context) override {
        for (const auto& path : diskInterfaces) visit(path.c_str(), context);
        return 1;
    }
    int VolumeLabel(const wchar_t* root, wchar_t* label, uint32_t capacity) override {
        auto found = labels.find(Upper(root));
        if (found == labels.end()) return Fail(ERROR_NOT_READY);
        return Put(found->second, label, capacity);
    }
    int LoadVirtDisk() override { return 1; }
    uint32_t StorageDependencyInformation(void* handle, uint32_t flags, uint32_t size, void* info,
                                          uint32_t* sizeUsed) override {
        FakeDevice& d = Of(handle);
        if (flags != 3 || static_cast<StorageDependencyHeader*>(info)->version != 2) return ERROR_INVALID_PARAMETER;
        if (d.hostVolume.empty()) return ERROR_NOT_SUPPORTED;
        uint32_t needed = static_cast<uint32_t>(sizeof(StorageDependencyHeader) +
                                                (d.hostVolume.size() + d.relativePath.size() + 2) * 2);
        needed = std::max(needed, d.dependencyNeeded);
        *sizeUsed = needed;
        if (size < needed) return ERROR_INSUFFICIENT_BUFFER;
        auto* header = static_cast<StorageDependencyHeader*>(info);
        header->numberEntries = 1;
        auto* strings = reinterpret_cast<wchar_t*>(header + 1);
        memcpy(strings, d.hostVolume.c_str(), (d.hostVolume.size() + 1) * 2);
        header->entries[0].hostVolumeName = strings;
        strings += d.hostVolume.size() + 1;
        memcpy(strings, d.relativePath.c_str(), (d.relativePath.size() + 1) * 2);
        header->entries[0].dependentVolumeRelativePath = strings;
        return ERROR_SUCCESS;
    }
};

// Installs a fake for the lifetime of a test.
class UseFake {
public:
    explicit UseFake(FakeDeviceSystem* fake) : saved_(deviceSystem) { deviceSystem = fake; }
    ~UseFake() { deviceSystem = saved_; }

private:
    DeviceSystem* saved_;
};

// Sends Print and PrintError into two files; text() and errors() read them back without CRs.
class CapturedOutput {
public:
    CapturedOutput() : saved_(console) {
        context_.outputHandle = Create(dir_ / L"out.txt");
        context_.errorHandle = Create(dir_ / L"err.txt");
        context_.outputRedirected = context_.errorRedirected = 1;
        console = &context_;
    }
    ~CapturedOutput() {
        console = saved_;
        CloseHandle(context_.outputHandle);
        CloseHandle(context_.errorHandle);
    }
    std::string text() const { return Read(context_.outputHandle); }
    std::string errors() const { return Read(context_.errorHandle); }
    void Clear() {
        for (HANDLE h : {context_.outputHandle, context_.errorHandle}) {
            SetFilePointer(h, 0, nullptr, FILE_BEGIN);
            SetEndOfFile(h);
        }
    }

private:
    static HANDLE Create(const std::wstring& path) {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
    }
    static std::string Read(HANDLE h) {
        LARGE_INTEGER size = {};
        GetFileSizeEx(h, &size);
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        OVERLAPPED at = {};
        if (!bytes.empty()) ReadFile(h, &bytes[0], static_cast<DWORD>(bytes.size()), &got, &at);
        bytes.resize(got);
        bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
        return bytes;
    }
    TempDir dir_;
    ConsoleContext context_ = {};
    ConsoleContext* saved_;
};

}  // namespace qtxtest
