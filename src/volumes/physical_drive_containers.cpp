// Where the data of an encrypted volume or an attached virtual disk really lives.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <initializer_list>

#include "console.h"
#include "heap_memory.h"
#include "physical_drive.h"
#include "run_state.h"
#include "system_facts.h"

namespace {

constexpr uint32_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr int kVolumeGuidLength = 44;   // "Volume{" + GUID + "}"
constexpr int kCryptPrefixLength = 23;  // "\Device\TrueCryptVolume"
constexpr uint32_t kDependencyHostVolumes = 3;   // HOST_VOLUMES | DISK_HANDLE
constexpr uint32_t kDependencyLimit = 0x100000;
constexpr size_t kDependencyBuffer = 8192;

int IsLetterColon(const wchar_t* text) {
    return ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z')) && text[1] == L':';
}

int32_t LeadingNumber(const wchar_t* text) {
    int32_t n = 0;
    for (; *text >= L'0' && *text <= L'9' && n < 0x1000000; ++text) n = n * 10 + (*text - L'0');
    return n;
}

// The key of a container that is a device rather than a file; -1 for other devices.
DriveKey ContainerDeviceKey(const wchar_t* device) {
    static const struct {
        const wchar_t* prefix;
        DriveKey base;
    } kinds[] = {{L"\\Device\\Harddisk", 0}, {L"\\Device\\CdRom", kCdRomContainerBase},
                 {L"\\Device\\Floppy", kFloppyContainerBase}};
    for (const auto& kind : kinds)
        if (StartsWithNoCase(device, kind.prefix)) return kind.base + LeadingNumber(device + wcslen(kind.prefix));
    return kUnidentifiedDrive;
}

}  // namespace

int CryptDriverVolumePath(wchar_t letter, wchar_t* out, size_t capacity) {
    int index = (letter & ~0x20) - L'A';
    if (index < 0 || index >= 26) return 0;
    auto* record = static_cast<unsigned char*>(AllocZero(kCryptRecordSize));
    wchar_t result[kCryptNameLength + 1] = {};
    for (const wchar_t* driver : {L"\\\\.\\TrueCrypt", L"\\\\.\\VeraCrypt"}) {
        void* device = deviceSystem->Open(driver, 0, kShareReadWrite, 0);
        if (!device) continue;
        memset(record, 0, kCryptRecordSize);
        uint32_t returned = 0;
        uint32_t mounted = 0;
        if (deviceSystem->Control(device, kCryptListMountedVolumes, record, kCryptRecordSize, record, kCryptRecordSize,
                                  &returned)) {
            memcpy(&mounted, record, sizeof mounted);
            if (mounted & (1u << index)) {
                // a full-length name carries no terminator
                wchar_t name[kCryptNameLength + 1] = {};
                memcpy(name, record + 4 + index * kCryptNameLength * sizeof(wchar_t), kCryptNameLength * sizeof(wchar_t));
                const wchar_t* text = name[1] == L'?' ? name + 4 : name;
                wcscpy(result, text);
            }
        }
        deviceSystem->Close(device);
    }
    FreeMemory(record);
    return result[0] && CopyText(out, capacity, result);
}

int CryptContainerOf(const wchar_t* path, wchar_t* container, size_t capacity, DriveKey* key) {
    wchar_t letter = DriveLetterOf(path);
    if (!letter) {
        const wchar_t* guid = wcsstr(path, L"Volume{");
        if (!guid) return 0;
        wchar_t name[kVolumeGuidLength + 1] = {};
        wcsncpy(name, guid, kVolumeGuidLength);
        wchar_t device[kDeviceNameCapacity] = {};
        if (!deviceSystem->DosDeviceName(name, device, kDeviceNameCapacity)) return 0;
        if (!StartsWithNoCase(device, L"\\Device\\TrueCryptVolume") &&
            !StartsWithNoCase(device, L"\\Device\\VeraCryptVolume"))
            return 0;
        letter = device[kCryptPrefixLength];
        if (!letter) return 0;
    }
    wchar_t found[kCryptNameLength + 1];
    if (!CryptDriverVolumePath(letter, found, kCryptNameLength + 1)) return 0;
    if (!IsLetterColon(found)) {
        DriveKey deviceKey = ContainerDeviceKey(found);
        if (deviceKey != kUnidentifiedDrive) *key = deviceKey;
    }
    return CopyText(container, capacity, found);
}

wchar_t DriveLetterOfDevice(const wchar_t* deviceName) {
    uint32_t drives = deviceSystem->LogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(drives & (1u << i))) continue;
        wchar_t drive[3] = {static_cast<wchar_t>(L'A' + i), L':', 0};
        wchar_t device[kDeviceNameCapacity] = {};
        if (deviceSystem->DosDeviceName(drive, device, kDeviceNameCapacity) && wcscmp(device, deviceName) == 0)
            return drive[0];
    }
    return 0;
}

int FirstMountPathOf(const wchar_t* volume, wchar_t* out, size_t capacity) {
    constexpr uint32_t kListCapacity = 1024;
    wchar_t* copy = static_cast<wchar_t*>(AllocZero((wcslen(volume) + 2) * sizeof(wchar_t)));
    wcscpy(copy, volume);
    AddTrailingBackslash(copy, wcslen(volume) + 2);
    auto* list = static_cast<wchar_t*>(AllocZero(kListCapacity * sizeof(wchar_t)));
    uint32_t returned = 0;
    int ok = deviceSystem->VolumeMountPaths(copy, list, kListCapacity, &returned) || GetLastError() == ERROR_MORE_DATA;
    list[kListCapacity - 1] = 0;
    // fewer than one drive root with its two terminators
    int result = ok && returned >= 5 && list[0] && CopyText(out, capacity, list);
    FreeMemory(list);
    FreeMemory(copy);
    return result;
}

namespace {

int VolumeRootOfHost(const wchar_t* host, wchar_t* root, size_t capacity) {
    if (!CopyText(root, capacity, host) || !AddTrailingBackslash(root, capacity)) return 0;
    if (wcsncmp(root, L"\\\\?\\Volume", 10) != 0) {
        // a device name: find the drive letter that maps to it
        wchar_t letter = DriveLetterOfDevice(host);
        if (!letter || capacity < 4) return 0;
        root[0] = letter, root[1] = L':', root[2] = L'\\', root[3] = 0;
        return 1;
    }
    FirstMountPathOf(root, root, capacity);   // without a mount path the volume name itself serves
    return 1;
}

}  // namespace

int VhdContainerOf(const wchar_t* devicePath, wchar_t* out, size_t capacity) {
    if (!deviceSystem->LoadVirtDisk()) return 0;
    if (capacity) out[0] = 0;
    if (osVersion.packed < 0x601) {
        Print("Error resolving VHD container (Win7 or higher required)\n");
        return 0;
    }
    void* device = deviceSystem->Open(devicePath, GENERIC_READ, kShareReadWrite, 0x2000080);
    if (!device) device = deviceSystem->Open(devicePath, 0, kShareReadWrite, 0x2000080);
    if (!device) return 0;
    size_t size = kDependencyBuffer;
    auto* info = static_cast<StorageDependencyHeader*>(AllocZero(size));
    info->version = 2;
    uint32_t needed = 0;
    uint32_t error = deviceSystem->StorageDependencyInformation(device, kDependencyHostVolumes,
                                                               static_cast<uint32_t>(size), info, &needed);
    if (error == ERROR_INSUFFICIENT_BUFFER && needed <= kDependencyLimit) {
        FreeMemory(info);
        size = needed > sizeof(StorageDependencyHeader) ? needed : sizeof(StorageDependencyHeader);
        info = static_cast<StorageDependencyHeader*>(AllocZero(size));
        info->version = 2;
        error = deviceSystem->StorageDependencyInformation(device, kDependencyHostVolumes,
                                                           static_cast<uint32_t>(size), info, &needed);
    }
    int result = 0;
    const StorageDependencyEntry* entry = &info->entries[0];
    if (error == ERROR_SUCCESS && info->numberEntries != 0 && entry->hostVolumeName && entry->hostVolumeName[0] &&
        entry->dependentVolumeRelativePath && entry->dependentVolumeRelativePath[0]) {
        const wchar_t* file = entry->dependentVolumeRelativePath;
        auto* root = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
        if (VolumeRootOfHost(entry->hostVolumeName, root, kPathCapacity)) {
            if (file[0] == L'\\') StripTrailingBackslash(root);
            size_t rootLength = wcslen(root), fileLength = wcslen(file);
            if (rootLength + fileLength + 1 <= capacity) {
                wmemcpy(out, root, rootLength);
                wmemcpy(out + rootLength, file, fileLength + 1);
                result = 1;
            }
        }
        FreeMemory(root);
    }
    deviceSystem->Close(device);
    FreeMemory(info);
    return result;
}
