// Which physical drive a path really lies on, through SUBST drives,
// TrueCrypt/VeraCrypt volumes, virtual disks, CD-ROM, floppy and network drives.
#pragma once
#include <cstddef>
#include <cstdint>

#include "devices.h"

// -1 unidentified, -2 network, 0..0xFFFF physical disk N, 0x10000 + N CD-ROM N
// and 0x20000 + N floppy N holding a container, 0x1000000 + N a CD-ROM volume,
// 0x2000002 a floppy volume.
using DriveKey = int32_t;
constexpr DriveKey kUnidentifiedDrive = -1;
constexpr DriveKey kNetworkDrive = -2;
constexpr DriveKey kCdRomContainerBase = 0x10000;
constexpr DriveKey kFloppyContainerBase = 0x20000;
constexpr DriveKey kCdRomVolumeBase = 0x1000000;
constexpr DriveKey kFloppyVolume = 0x2000002;
constexpr uint32_t kBusTypeFileBackedVirtual = 15;

int SamePhysicalDrive(const wchar_t* sourceRoot, const wchar_t* targetRoot);
DriveKey PhysicalDriveOf(const wchar_t* path);
int IsOnFloppy(const wchar_t* path);
// out may be in; out is left unchanged when the path is not rewritten or does not fit.
int ResolveSubstDrive(const wchar_t* in, wchar_t* out, size_t capacity);

wchar_t DriveLetterOf(const wchar_t* path);
int CryptContainerOf(const wchar_t* path, wchar_t* container, size_t capacity, DriveKey* key);
int CryptDriverVolumePath(wchar_t letter, wchar_t* out, size_t capacity);
DriveKey VolumeDeviceNumber(wchar_t* volumeName);   // strips the name's trailing backslash
int StorageBusType(const wchar_t* devicePath, uint32_t* busType);
int VhdContainerOf(const wchar_t* devicePath, wchar_t* out, size_t capacity);
int FirstMountPathOf(const wchar_t* volume, wchar_t* out, size_t capacity);
wchar_t DriveLetterOfDevice(const wchar_t* deviceName);

// The drivers' list of mounted volumes (list-mounted-volumes request).
constexpr uint32_t kCryptListMountedVolumes = 0x222018;
constexpr uint32_t kCryptRecordSize = 17424;
constexpr int kCryptNameLength = 260;
// STORAGE_DEPENDENCY_INFO version 2 as GetStorageDependencyInformation fills it.
struct StorageDependencyEntry {
    uint32_t dependencyTypeFlags;
    uint32_t providerSpecificFlags;
    uint32_t virtualStorageDeviceId;
    uint8_t virtualStorageVendorId[16];
    uint32_t ancestorLevel;
    wchar_t* dependencyDeviceName;
    wchar_t* hostVolumeName;
    wchar_t* dependentVolumeName;
    wchar_t* dependentVolumeRelativePath;
};
struct StorageDependencyHeader {
    uint32_t version;
    uint32_t numberEntries;
    StorageDependencyEntry entries[1];
};
