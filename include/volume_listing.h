// The disk and volume tables of -ld and -lv: which device paths to give a raw copy.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kListingSizeTextCapacity = 17;            // 16 characters
constexpr size_t kListingDiskNameCapacity = 261;           // 260 characters
constexpr size_t kListingVolumeNameCapacity = 53;          // 52 characters
constexpr size_t kListingMountPathCapacity = 261;
constexpr size_t kListingLabelCapacity = 65;
constexpr size_t kListingVolumeDeviceNameCapacity = 257;
constexpr size_t kDeviceNameTextLimit = 256;               // the capacity DeviceNameText is given
constexpr uint32_t kListingDescriptorSize = 1024;
constexpr uint32_t kStorageQueryProperty = 0x2D1400;

struct DiskEntry {
    wchar_t devicePath[32];                  // \\.\PhysicalDriveN
    const wchar_t* busTypeName;              // nullptr when the device did not answer
    wchar_t sizeText[kListingSizeTextCapacity];     // empty when no length was given
    wchar_t deviceName[kListingDiskNameCapacity];   // vendor and product
    int32_t diskNumber;
};

struct DiskList {
    DiskEntry* entries;
    int32_t capacity;      // entries allocated from the first count
    int32_t count;
    int32_t highestDisk;
};

struct VolumeEntry {
    int32_t diskNumber;                          // -1 when it has none
    wchar_t volumeName[kListingVolumeNameCapacity];     // \\?\Volume{...} without trailing backslash
    wchar_t devicePath[kListingVolumeNameCapacity];     // \\.\HarddiskVolumeN
    wchar_t mountPath[kListingMountPathCapacity];       // first mount path without trailing backslash
    wchar_t label[kListingLabelCapacity];
    wchar_t sizeText[kListingSizeTextCapacity];
    wchar_t deviceName[kListingVolumeDeviceNameCapacity];
    const wchar_t* busTypeName;
};

struct VolumeList {
    VolumeEntry* entries;
    int32_t capacity;
    int32_t count;
    int32_t longestLabel;
};

// Receives each finished table line, "\n" included.
using ListingLineSink = void (*)(const wchar_t* line, void* context);

int ListVolumes();
int ListDisks();

// The list's entries come from the heap; FreeMemory(list->entries) releases them.
void ScanDisks(DiskList* list);
void PrintDisks(const DiskList* list, ListingLineSink sink, void* context);
void ScanVolumes(VolumeList* list);
void PrintVolumes(const VolumeList* list, int width, ListingLineSink sink, void* context);

int DiskSizeText(int64_t length, wchar_t* out, size_t capacity);
int DeviceNameText(const wchar_t* vendor, const wchar_t* product, wchar_t* out, size_t capacity);
const wchar_t* BusTypeName(uint32_t busType);

// Bus type, vendor and product of a STORAGE_DEVICE_DESCRIPTOR answer. The texts
// are read only within the bytes both the descriptor and the request vouch for,
// at most capacity - 1 characters each. 0 when the answer is too short to hold a bus type.
int ParseDeviceDescriptor(const unsigned char* buffer, uint32_t returned, uint32_t* busType, char* vendor,
                          char* product, size_t capacity);

// Size, bus type and device name of an open disk or volume; fields the device
// does not answer are left as they are.
void ReadDeviceFacts(void* handle, wchar_t* sizeText, const wchar_t** busTypeName, wchar_t* deviceName,
                     size_t deviceNameCapacity);

// Writes one table line to standard output.
void PrintListingLine(const wchar_t* line, void* context);
