// Raw disks and volumes: classification, exclusive access, lengths, volume
// locks, offline state, and the steps around opening a device source or target.
#pragma once
#include <cstddef>
#include <cstdint>

// Every Windows call on devices and volumes goes through this interface so
// that the decisions can be exercised with recorded answers, and a dry run
// can record what would change a device. A call added here that changes a
// device is pure, so the dry run's overlay must decide about it. Handles are
// nullptr when an open fails; the thread's last error is left as Windows sets it.
struct DeviceSystem {
    using InterfaceVisitor = void (*)(const wchar_t* devicePath, void* context);

    virtual ~DeviceSystem() = default;
    // CreateFileW with OPEN_EXISTING
    virtual void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags) = 0;
    virtual void Close(void* handle) = 0;
    virtual int Control(void* handle, uint32_t code, const void* input, uint32_t inputSize, void* output,
                        uint32_t outputSize, uint32_t* returned) = 0;
    virtual int Flush(void* handle) = 0;
    // QueryDosDeviceW; out holds the first answer, terminated within capacity
    virtual int DosDeviceName(const wchar_t* name, wchar_t* out, uint32_t capacity) = 0;
    virtual int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) = 0;
    virtual int VolumeNameForMountPoint(const wchar_t* mountPoint, wchar_t* out, uint32_t capacity) = 0;
    // GetVolumePathNamesForVolumeNameW (looked up at first use)
    virtual int VolumeMountPaths(const wchar_t* volume, wchar_t* out, uint32_t capacity, uint32_t* returned) = 0;
    virtual uint32_t DriveType(const wchar_t* root) = 0;
    virtual uint32_t LogicalDrives() = 0;
    virtual int DiskFreeSpace(const wchar_t* root, uint32_t* sectorsPerCluster, uint32_t* bytesPerSector,
                              uint32_t* freeClusters, uint32_t* totalClusters) = 0;
    virtual void* FirstVolume(wchar_t* name, uint32_t capacity) = 0;
    virtual int NextVolume(void* search, wchar_t* name, uint32_t capacity) = 0;
    virtual void CloseVolumeSearch(void* search) = 0;
    // the device paths of the volume device interfaces (setupapi)
    virtual int ForEachVolumeInterface(InterfaceVisitor visit, void* context) = 0;
    // the device paths of the present disk device interfaces (setupapi); 0 when they cannot be listed
    virtual int ForEachDiskInterface(InterfaceVisitor visit, void* context) { return 0; }
    // GetVolumeInformationW, the label only; label is terminated within capacity
    virtual int VolumeLabel(const wchar_t* root, wchar_t* label, uint32_t capacity) { return 0; }
    virtual int LoadVirtDisk() = 0;
    // GetStorageDependencyInformation: returns its error code
    virtual uint32_t StorageDependencyInformation(void* handle, uint32_t flags, uint32_t size, void* info,
                                                  uint32_t* sizeUsed) = 0;
};

extern DeviceSystem* deviceSystem;   // the Windows implementation; only tests swap it

// Control codes and structures exchanged with the devices.
constexpr uint32_t kLockVolume = 0x90018;
constexpr uint32_t kDismountVolume = 0x90020;
constexpr uint32_t kUnlockVolume = 0x9001C;
constexpr uint32_t kAllowExtendedDasdIo = 0x90083;
constexpr uint32_t kDiskGetLengthInfo = 0x7405C;
constexpr uint32_t kDiskGetDriveGeometry = 0x70000;
constexpr uint32_t kDiskGetDiskAttributes = 0x700F0;
constexpr uint32_t kDiskSetDiskAttributes = 0x7C0F4;
constexpr uint32_t kStorageGetDeviceNumber = 0x2D1080;
constexpr uint32_t kStorageCheckVerify2 = 0x2D0800;
constexpr uint32_t kDiskIsWritable = 0x70024;
constexpr uint32_t kDiskUpdateProperties = 0x70140;
constexpr uint64_t kDiskAttributeOffline = 1;
constexpr int64_t kUnknownDeviceSize = 0x1FFFFFFFE00000LL;
constexpr uint32_t kDeviceNameCapacity = 1024;   // answers of QueryDosDeviceW

struct DiskGeometryRecord {
    int64_t cylinders;
    uint32_t mediaType;
    uint32_t tracksPerCylinder;
    uint32_t sectorsPerTrack;
    uint32_t bytesPerSector;
};

struct GetDiskAttributesRecord {
    uint32_t version;   // 16
    uint32_t reserved;
    uint64_t attributes;
};

struct SetDiskAttributesRecord {
    uint32_t version;   // 40
    uint8_t persist;
    uint8_t reserved1[3];
    uint64_t attributes;
    uint64_t attributesMask;
    uint32_t reserved2[4];
};

struct StorageDeviceNumberRecord {
    uint32_t deviceType;
    uint32_t deviceNumber;
    uint32_t partitionNumber;
};

constexpr int kVolumeLockCapacity = 32;

struct VolumeLockSet {
    void* handles[kVolumeLockCapacity];
    uint32_t locked[kVolumeLockCapacity];
    uint32_t count;
};

// For the run driver.
int IsVolumeDevice(const wchar_t* path);
int ExclusiveVolumeAccess(const wchar_t* path, uint32_t access);
int MaxTargetSize(const wchar_t* root, int64_t* size);
uint32_t SectorSizeOf(const wchar_t* path);

// For the single-file copy.
int64_t DeviceSizeOfPath(const wchar_t* path);
int64_t DeviceSizeOfHandle(void* handle);
int64_t DeviceSize(const wchar_t* path, void* handle);
int64_t TargetDeviceSize(const wchar_t* path);
int LockAndDismount(const wchar_t* path, void* handle, const char* which);
int StorageNumbersOf(const wchar_t* path, int32_t* deviceNumber, int32_t* partitionNumber);
int32_t DiskNumberOf(const wchar_t* path);
// Fails, with the set left empty, when the disk has more volumes than the set holds.
int LockVolumesOfDisk(VolumeLockSet* set, int32_t disk);
void UnlockVolumes(VolumeLockSet* set);
void DismountVolumesOfDisk(const wchar_t* path);
int DiskAttributesOf(void* handle, uint64_t* attributes);
int ChangeDiskAttributes(void* handle, uint64_t mask, int set);

// The device steps of a copy, in the order the copy calls them. Each prints
// the lines scripts read; a 0 result ends the copy of the item.
// Physical-disk source, before it is opened: its volumes stay locked until the process ends.
int LockSourceDiskVolumes(const wchar_t* sourcePath);
// Device source just opened: its length, and a source volume locked and dismounted.
int PrepareSourceDevice(const wchar_t* sourcePath, void* handle, int isVolume, int64_t* size);
// Device source before the first read: extended access; a disk is dismounted and set offline.
void ClaimSourceDevice(const wchar_t* sourcePath, void* handle, int isVolume);
// The amount a NUL source writes onto a device target.
int64_t NulSourceSize(const wchar_t* targetPath);
// Device target just opened for reading and writing.
int PrepareTargetDevice(const wchar_t* targetPath, void* handle, int isVolume);
// Device target before its handle is closed, whether the copy completed or not.
void FinishTargetDevice(void* handle);
// Prints the offline lines with "Source" or "Target".
void TakeDiskOffline(void* handle, const char* which);

// Small text helpers shared by the device and drive code.
int IsValidDeviceHandle(void* handle);
int StartsWithNoCase(const wchar_t* text, const wchar_t* prefix);
void StripTrailingBackslash(wchar_t* text);
int AddTrailingBackslash(wchar_t* text, size_t capacity);
int CopyText(wchar_t* out, size_t capacity, const wchar_t* text);   // 0 when it does not fit
wchar_t* DuplicateStripped(const wchar_t* path);   // heap copy without a trailing backslash
