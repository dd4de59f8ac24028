// The physical drive behind a path, and whether two paths share one.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "heap_memory.h"
#include "physical_drive.h"
#include "run_state.h"
#include "text_format.h"

namespace {

constexpr uint32_t kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr uint32_t kVolumeNameCapacity = 64;
// Each level moves from a path to the storage holding it; a real chain is a few
// levels deep, so a longer one is a loop (e.g. a container inside itself).
constexpr int kMaxIndirections = 16;

struct WorkingPaths {
    wchar_t path[kPathCapacity];
    wchar_t root[kPathCapacity];
};

int IsLetterColon(const wchar_t* text) {
    return ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z')) && text[1] == L':';
}

const wchar_t* SkipLongPathPrefix(const wchar_t* path) { return wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path; }

DriveKey DriveKeyAtDepth(const wchar_t* path, int depth);

// Steps from the volume root on: the drive type, the device number, file-backed disks.
DriveKey DriveKeyOfLocalPath(WorkingPaths* w, int depth) {
    wchar_t* p = w->path;
    wchar_t* v = w->root;
    if (!deviceSystem->VolumePathName(p, v, kPathCapacity)) {
        CopyText(v, kPathCapacity, p);
        wchar_t* backslash = wcslen(v) > 4 ? wcschr(v + 4, L'\\') : nullptr;
        if (!backslash) return kUnidentifiedDrive;
        backslash[1] = 0;
    }
    uint32_t type = deviceSystem->DriveType(v);
    if (type == DRIVE_NO_ROOT_DIR) return kUnidentifiedDrive;
    if (type == DRIVE_REMOTE) return kNetworkDrive;
    if (wcsncmp(v, L"\\\\", 2) == 0 && wcsncmp(v, L"\\\\?\\", 4) != 0) return kNetworkDrive;
    wchar_t volume[kVolumeNameCapacity] = {};
    if (!deviceSystem->VolumeNameForMountPoint(v, volume, kVolumeNameCapacity)) return kUnidentifiedDrive;
    volume[kVolumeNameCapacity - 1] = 0;
    DriveKey key = VolumeDeviceNumber(volume);
    if (key == kUnidentifiedDrive) return kUnidentifiedDrive;
    if (type == DRIVE_CDROM) {
        key += kCdRomVolumeBase;
    } else if (key == 2) {
        wchar_t device[kDeviceNameCapacity];
        if (wcslen(volume) > 4 && deviceSystem->DosDeviceName(volume + 4, device, kDeviceNameCapacity) &&
            wcsstr(device, L"Floppy"))
            key = kFloppyVolume;
    }
    return key;
}

// The device of a key; a disk backed by a file resolves to the drive holding that file.
DriveKey ResolveFileBackedDisk(WorkingPaths* w, DriveKey key, int depth) {
    wchar_t device[64];
    if (key < kCdRomContainerBase)
        FormatTextW(device, 64, L"\\\\.\\PhysicalDrive%i", key);
    else if (key < kFloppyContainerBase)
        FormatTextW(device, 64, L"\\\\.\\CdRom%i", key & 0xFFFF);
    else
        FormatTextW(device, 64, L"\\\\.\\Floppy%i", key & 0xFFFF);
    uint32_t bus = 0;
    if (StorageBusType(device, &bus) && bus == kBusTypeFileBackedVirtual) {
        w->path[0] = 0;
        if (VhdContainerOf(device, w->path, kPathCapacity) && w->path[0]) return DriveKeyAtDepth(w->path, depth + 1);
    }
    return key;
}

DriveKey DriveKeyOfWorkingPath(WorkingPaths* w, int depth) {
    if (ResolveSubstDrive(w->path, w->path, kPathCapacity)) return DriveKeyAtDepth(w->path, depth + 1);
    DriveKey key = kUnidentifiedDrive;
    if (CryptContainerOf(w->path, w->path, kPathCapacity, &key)) {
        if (key == kUnidentifiedDrive) return DriveKeyAtDepth(w->path, depth + 1);
        return ResolveFileBackedDisk(w, key, depth);
    }
    key = DriveKeyOfLocalPath(w, depth);
    if (key < 0 || key >= kCdRomVolumeBase) return key;   // only physical disks are device paths of their own
    return ResolveFileBackedDisk(w, key, depth);
}

DriveKey DriveKeyAtDepth(const wchar_t* path, int depth) {
    if (depth > kMaxIndirections) return kUnidentifiedDrive;
    auto* w = static_cast<WorkingPaths*>(AllocZero(sizeof(WorkingPaths)));
    DriveKey key = kUnidentifiedDrive;
    if (CopyText(w->path, kPathCapacity, path)) key = DriveKeyOfWorkingPath(w, depth);
    FreeMemory(w);
    return key;
}

}  // namespace

DriveKey PhysicalDriveOf(const wchar_t* path) { return DriveKeyAtDepth(path, 0); }

int SamePhysicalDrive(const wchar_t* sourceRoot, const wchar_t* targetRoot) {
    DriveKey source = PhysicalDriveOf(sourceRoot);
    DriveKey target = PhysicalDriveOf(targetRoot);
    int same = source == target;
    Print("Files are located on %s", same ? "the same physical drive -> sequential operation\n"
                                          : "different physical drives -> parallel operation\n");
    return same;
}

wchar_t DriveLetterOf(const wchar_t* path) {
    const wchar_t* rest = SkipLongPathPrefix(path);
    return IsLetterColon(rest) ? rest[0] : 0;
}

int ResolveSubstDrive(const wchar_t* in, wchar_t* out, size_t capacity) {
    const wchar_t* rest = SkipLongPathPrefix(in);
    if (!IsLetterColon(rest)) return 0;
    wchar_t drive[3] = {static_cast<wchar_t>(rest[0] & ~0x20), L':', 0};
    auto* answer = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    int result = 0;
    if (deviceSystem->DosDeviceName(drive, answer, kPathCapacity) && wcsncmp(answer, L"\\??\\", 4) == 0 &&
        IsLetterColon(answer + 4)) {
        const wchar_t* substituted = answer + 4;
        const wchar_t* tail = rest + 2;
        size_t headLength = wcslen(substituted);
        // SUBST onto a drive root answers "D:\"; a tail "\x" must not double the backslash
        if (headLength > 0 && substituted[headLength - 1] == L'\\' && tail[0] == L'\\') ++tail;
        size_t tailLength = wcslen(tail);
        if (4 + headLength + tailLength + 1 <= capacity) {
            // the tail may lie in out: move it into place before the head is written
            wmemmove(out + 4 + headLength, tail, tailLength + 1);
            wmemcpy(out, L"\\\\?\\", 4);
            wmemcpy(out + 4, substituted, headLength);
            result = 1;
        } else {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
        }
    }
    FreeMemory(answer);
    return result;
}

DriveKey VolumeDeviceNumber(wchar_t* volumeName) {
    StripTrailingBackslash(volumeName);
    void* volume = deviceSystem->Open(volumeName, GENERIC_READ, kShareReadWrite, 0);
    if (!volume) return kUnidentifiedDrive;
    StorageDeviceNumberRecord number = {};
    uint32_t returned = 0;
    int ok = deviceSystem->Control(volume, kStorageGetDeviceNumber, nullptr, 0, &number, sizeof number, &returned);
    deviceSystem->Close(volume);
    return ok ? static_cast<DriveKey>(number.deviceNumber) : kUnidentifiedDrive;
}

int StorageBusType(const wchar_t* devicePath, uint32_t* busType) {
    if (devicePath[0] == 0) return 0;
    wchar_t* copy = DuplicateStripped(devicePath);
    void* device = deviceSystem->Open(copy, 0, kShareReadWrite, 0);
    FreeMemory(copy);
    if (!device) return 0;
    uint32_t query[3] = {0, 0, 0};   // StorageDeviceProperty, PropertyStandardQuery
    alignas(8) unsigned char descriptor[1024] = {};
    uint32_t returned = 0;
    int ok = deviceSystem->Control(device, 0x2D1400, query, sizeof query, descriptor, sizeof descriptor, &returned);
    deviceSystem->Close(device);
    if (!ok || returned == 0) return 0;
    memcpy(busType, descriptor + 28, sizeof *busType);
    return 1;
}

int IsOnFloppy(const wchar_t* path) {
    wchar_t volume[kVolumeNameCapacity] = {};
    wchar_t device[kDeviceNameCapacity] = {};
    int answered;
    if (deviceSystem->VolumeNameForMountPoint(path, volume, kVolumeNameCapacity)) {
        volume[kVolumeNameCapacity - 1] = 0;
        StripTrailingBackslash(volume);
        answered = wcslen(volume) > 4 && deviceSystem->DosDeviceName(volume + 4, device, kDeviceNameCapacity);
    } else {
        wchar_t* copy = DuplicateStripped(path);
        answered = deviceSystem->DosDeviceName(copy, device, kDeviceNameCapacity);
        FreeMemory(copy);
    }
    return answered && wcsstr(device, L"Floppy") ? 1 : 0;
}
