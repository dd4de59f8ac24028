// The disk table of -ld: every disk interface that has a disk number.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "devices.h"
#include "heap_memory.h"
#include "text_format.h"
#include "volume_listing.h"

namespace {

constexpr size_t kAnsiTextCapacity = 129;   // 128 characters of vendor or product

void AnsiToWideBounded(const char* text, wchar_t* out, size_t capacity) {
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, out, static_cast<int>(capacity));
    if (n <= 0) n = 1;
    out[n - 1] = 0;
}

struct DiskScan {
    DiskList* list;
    int counting;
    int32_t interfaces;
};

void VisitDiskInterface(const wchar_t* devicePath, void* context) {
    auto* scan = static_cast<DiskScan*>(context);
    if (scan->counting) {
        ++scan->interfaces;
        return;
    }
    DiskList* list = scan->list;
    if (list->count >= list->capacity) return;   // appeared after the count: no room
    int32_t disk = DiskNumberOf(devicePath);
    if (disk < 0) return;
    if (disk > list->highestDisk) list->highestDisk = disk;
    DiskEntry* entry = &list->entries[list->count++];
    entry->diskNumber = disk;
    FormatTextW(entry->devicePath, sizeof entry->devicePath / sizeof(wchar_t), L"\\\\.\\PhysicalDrive%i", disk);
    void* device = deviceSystem->Open(entry->devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (!device) return;
    ReadDeviceFacts(device, entry->sizeText, &entry->busTypeName, entry->deviceName, kDeviceNameTextLimit);
    deviceSystem->Close(device);
}

}  // namespace

void ReadDeviceFacts(void* handle, wchar_t* sizeText, const wchar_t** busTypeName, wchar_t* deviceName,
                     size_t deviceNameCapacity) {
    int64_t length = 0;
    uint32_t returned = 0;
    if (deviceSystem->Control(handle, kDiskGetLengthInfo, nullptr, 0, &length, sizeof length, &returned) &&
        returned >= sizeof length)
        DiskSizeText(length, sizeText, kListingSizeTextCapacity);

    uint32_t query[3] = {0, 0, 0};   // StorageDeviceProperty, PropertyStandardQuery
    auto* descriptor = static_cast<unsigned char*>(AllocZero(kListingDescriptorSize));
    uint32_t presetSize = kListingDescriptorSize;
    memcpy(descriptor + 4, &presetSize, 4);
    returned = 0;
    if (deviceSystem->Control(handle, kStorageQueryProperty, query, sizeof query, descriptor, kListingDescriptorSize,
                              &returned)) {
        uint32_t busType = 0;
        char vendor[kAnsiTextCapacity], product[kAnsiTextCapacity];
        if (ParseDeviceDescriptor(descriptor, returned, &busType, vendor, product, kAnsiTextCapacity)) {
            *busTypeName = BusTypeName(busType);
            wchar_t wideVendor[kAnsiTextCapacity], wideProduct[kAnsiTextCapacity];
            AnsiToWideBounded(vendor, wideVendor, kAnsiTextCapacity);
            AnsiToWideBounded(product, wideProduct, kAnsiTextCapacity);
            DeviceNameText(wideVendor, wideProduct, deviceName, deviceNameCapacity);
        }
    }
    FreeMemory(descriptor);
}

void ScanDisks(DiskList* list) {
    *list = DiskList{};
    DiskScan scan = {list, 1, 0};
    if (!deviceSystem->ForEachDiskInterface(VisitDiskInterface, &scan) || scan.interfaces <= 0) return;
    list->entries = static_cast<DiskEntry*>(AllocZero(static_cast<size_t>(scan.interfaces) * sizeof(DiskEntry)));
    list->capacity = scan.interfaces;
    scan.counting = 0;
    deviceSystem->ForEachDiskInterface(VisitDiskInterface, &scan);
}

int ListDisks() {
    DiskList list;
    ScanDisks(&list);
    PrintDisks(&list, PrintListingLine, nullptr);
    FreeMemory(list.entries);
    return 1;
}
