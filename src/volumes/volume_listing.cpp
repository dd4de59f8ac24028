// The volume table of -lv: every volume whose device is a hard disk volume.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "devices.h"
#include "heap_memory.h"
#include "text_format.h"
#include "volume_listing.h"

namespace {

constexpr uint32_t kSearchNameCapacity = 52;
constexpr uint32_t kMountPathsCapacity = 2600;

void CopyTruncated(wchar_t* out, size_t capacity, const wchar_t* text) {
    size_t n = 0;
    while (n + 1 < capacity && text[n]) {
        out[n] = text[n];
        ++n;
    }
    out[n] = 0;
}

// name is a volume GUID path with its trailing backslash.
void AddVolume(VolumeList* list, const wchar_t* name) {
    size_t length = wcslen(name);
    if (length < 6 || length >= kListingVolumeNameCapacity || name[length - 1] != L'\\' ||
        wcsncmp(name, L"\\\\?\\", 4) != 0)
        return;
    wchar_t query[kListingVolumeNameCapacity];
    CopyTruncated(query, kListingVolumeNameCapacity, name + 4);
    StripTrailingBackslash(query);
    wchar_t dosDevice[kDeviceNameCapacity] = {};
    if (!deviceSystem->DosDeviceName(query, dosDevice, kDeviceNameCapacity)) return;
    dosDevice[kDeviceNameCapacity - 1] = 0;
    if (!wcsstr(dosDevice, L"\\Device\\HarddiskVolume")) return;

    VolumeEntry* entry = &list->entries[list->count++];
    FormatTextW(entry->devicePath, kListingVolumeNameCapacity, L"\\\\.\\%s", dosDevice + 8);
    CopyTruncated(entry->volumeName, kListingVolumeNameCapacity, name);
    StripTrailingBackslash(entry->volumeName);
    entry->diskNumber = DiskNumberOf(entry->volumeName);

    auto* paths = static_cast<wchar_t*>(AllocZero(kMountPathsCapacity * sizeof(wchar_t)));
    uint32_t returned = 0;
    if (deviceSystem->VolumeMountPaths(name, paths, kMountPathsCapacity, &returned)) {
        paths[kMountPathsCapacity - 1] = 0;
        CopyTruncated(entry->mountPath, kListingMountPathCapacity, paths);
        StripTrailingBackslash(entry->mountPath);
    }
    FreeMemory(paths);

    void* device = deviceSystem->Open(entry->volumeName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (device) {
        ReadDeviceFacts(device, entry->sizeText, &entry->busTypeName, entry->deviceName, kDeviceNameTextLimit);
        deviceSystem->Close(device);
    }
    if (!deviceSystem->VolumeLabel(name, entry->label, kListingLabelCapacity - 1)) entry->label[0] = 0;
    entry->label[kListingLabelCapacity - 1] = 0;
    int32_t labelLength = static_cast<int32_t>(wcslen(entry->label));
    if (labelLength > list->longestLabel) list->longestLabel = labelLength;
}

}  // namespace

void PrintListingLine(const wchar_t* line, void* context) { PrintW(L"%s", line); }

void ScanVolumes(VolumeList* list) {
    *list = VolumeList{};
    wchar_t name[kSearchNameCapacity + 1] = {};
    void* search = deviceSystem->FirstVolume(name, kSearchNameCapacity);
    if (!search) return;
    int32_t volumes = 0;
    do ++volumes;
    while (deviceSystem->NextVolume(search, name, kSearchNameCapacity));
    deviceSystem->CloseVolumeSearch(search);

    list->entries = static_cast<VolumeEntry*>(AllocZero(static_cast<size_t>(volumes) * sizeof(VolumeEntry)));
    list->capacity = volumes;
    search = deviceSystem->FirstVolume(name, kSearchNameCapacity);
    if (!search) return;
    // volumes that appeared after the count find no room
    do {
        name[kSearchNameCapacity] = 0;
        AddVolume(list, name);
    } while (list->count < list->capacity && deviceSystem->NextVolume(search, name, kSearchNameCapacity));
    deviceSystem->CloseVolumeSearch(search);
}

int ListVolumes() {
    VolumeList list;
    ScanVolumes(&list);
    PrintVolumes(&list, ScreenWidth(), PrintListingLine, nullptr);
    FreeMemory(list.entries);
    return 1;
}
