// Questions to the system about paths: existence, the real location behind
// substituted and network drives, the root of the volume and whether two
// paths share a volume, all asked through fileOps.
#include "paths.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>
#include <cwchar>

#include "devices.h"
#include "file_ops.h"
#include "heap_memory.h"
#include "run_state.h"
#include "transfer_state.h"

namespace {

int CanOpen(const wchar_t* path) {
    void* handle = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!IsValidHandle(handle)) return 0;
    fileOps->Close(handle);
    return 1;
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

uint32_t Capacity32(size_t capacity) { return capacity > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(capacity); }

bool HasDriveLetter(const wchar_t* path) { return path[0] != 0 && path[1] == L':'; }

wchar_t UpperAscii(wchar_t c) { return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

// out = the parts one after the other, when they fit.
int Join(wchar_t* out, size_t capacity, const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    size_t lengths[3] = {wcslen(a), wcslen(b), wcslen(c)};
    if (lengths[0] + lengths[1] + lengths[2] >= capacity) {
        out[0] = 0;
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    wchar_t* end = out;
    for (int i = 0; i < 3; ++i) {
        const wchar_t* part = i == 0 ? a : i == 1 ? b : c;
        memcpy(end, part, lengths[i] * sizeof(wchar_t));
        end += lengths[i];
    }
    *end = 0;
    return 1;
}

// One folder up: C:\mnt\vol\ becomes C:\mnt\; false when no backslash is left.
bool GoOneFolderUp(wchar_t* folder) {
    wchar_t* last = wcsrchr(folder, L'\\');
    if (!last) return false;
    *last = 0;
    last = wcsrchr(folder, L'\\');
    if (!last) return false;
    last[1] = 0;
    return true;
}

}  // namespace

int PathExists(const wchar_t* path) {
    if (!path || !*path) return Fail(ERROR_INVALID_NAME);
    if (IsDevicePath(path)) return CanOpen(path);
    size_t length = wcsnlen(path, kPathCapacity);
    if (length == static_cast<size_t>(kPathCapacity)) return Fail(ERROR_FILENAME_EXCED_RANGE);
    // The quotes go first, so that the colon of a quoted drive is not taken for a stream.
    wchar_t* copy = static_cast<wchar_t*>(AllocZero((length + 1) * sizeof(wchar_t)));
    memcpy(copy, path, length * sizeof(wchar_t));
    PathUnquoteSpacesW(copy);
    int exists = 0;
    DWORD error = ERROR_FILE_NOT_FOUND;
    length = wcslen(copy);
    size_t streamFrom = HasLongPrefix(copy) ? 6 : 2;
    wchar_t root[kShortPathCapacity];
    uint32_t flags = 0;
    if (length > 3 && streamFrom < length && wcschr(copy + streamFrom, L':') &&
        !(fileOps->VolumePathName(copy, root, kShortPathCapacity) && fileOps->VolumeFlags(root, &flags, nullptr, 0) &&
          (flags & FILE_NAMED_STREAMS))) {
        // a stream name on a volume without named streams: not there, and not asked for
    } else {
        SetLastError(0);
        uint32_t attributes = fileOps->GetAttributes(copy);
        error = GetLastError();
        exists = attributes != INVALID_FILE_ATTRIBUTES || error == ERROR_ACCESS_DENIED;
        if (!exists && error == ERROR_INVALID_PARAMETER) {
            exists = CanOpen(copy);
            error = GetLastError();
        }
    }
    FreeMemory(copy);
    SetLastError(error);
    return exists ? 1 : 0;
}

int ResolveDrivePathFromDosDevice(const wchar_t* path, const wchar_t* dosDevice, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
    out[0] = 0;
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    const wchar_t* source = SkipLongPrefix(path);
    if (HasDriveLetter(source) && dosDevice) {
        const wchar_t* rest = source + 2;
        if (StartsWithI(dosDevice, L"\\??\\")) {
            // a substituted drive: \??\C:\data, or \??\UNC\server\share for a network folder
            const wchar_t* head = dosDevice + 4;
            const wchar_t* lead = L"";
            if (StartsWithI(head, L"UNC\\")) {
                head += 4;
                lead = L"\\\\";
            }
            size_t headLength = wcslen(head);
            if (headLength > 0 && head[headLength - 1] == L'\\' && rest[0] == L'\\') ++rest;   // substituted root
            return Join(out, capacity, lead, head, rest);
        }
        static const wchar_t* const kRedirectors[] = {L"\\Device\\LanmanRedirector\\;", L"\\Device\\NetWareRedirector\\",
                                                      L"\\Device\\VBoxMiniRdr\\;"};
        for (const wchar_t* redirector : kRedirectors) {
            if (!StartsWithI(dosDevice, redirector)) continue;
            const wchar_t* share = wcschr(dosDevice + wcslen(redirector), L'\\');   // \server\share
            if (share) return Join(out, capacity, L"\\", share, rest);
            break;
        }
    }
    return Join(out, capacity, source, L"", L"");
}

int ResolveDrivePath(const wchar_t* path, wchar_t* out, size_t capacity) {
    const wchar_t* answer = nullptr;
    wchar_t device[kShortPathCapacity];
    const wchar_t* source = path ? SkipLongPrefix(path) : nullptr;
    if (source && HasDriveLetter(source)) {
        wchar_t drive[3] = {source[0], L':', 0};
        if (deviceSystem->DosDeviceName(drive, device, kShortPathCapacity)) answer = device;
    }
    return ResolveDrivePathFromDosDevice(path, answer, out, capacity);
}

int GetVolumeRoot(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
    out[0] = 0;
    if (!path || !*path) return Fail(ERROR_INVALID_NAME);
    wchar_t candidate[4] = {path[0], L':', L'\\', 0};
    bool hasDrive = HasDriveLetter(path);
    if (hasDrive) {
        if (fileOps->GetAttributes(candidate) == INVALID_FILE_ATTRIBUTES) return 0;
        if (fileOps->DriveType(candidate) == DRIVE_REMOTE) return Join(out, capacity, candidate, L"", L"");
    }
    if (fileOps->VolumePathName(path, out, Capacity32(capacity))) {
        for (;;) {
            uint32_t flags = 0;
            if (fileOps->VolumeFlags(out, &flags, nullptr, 0)) return 1;
            DWORD error = GetLastError();
            if (error != ERROR_DIR_NOT_ROOT || !GoOneFolderUp(out)) {
                out[0] = 0;
                return Fail(error);
            }
        }
    }
    DWORD error = GetLastError();
    out[0] = 0;
    if (hasDrive) {
        uint32_t attributes = fileOps->GetAttributes(candidate);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Join(out, capacity, candidate, L"", L"");
    }
    return Fail(error);
}

int SameVolume(const wchar_t* a, const wchar_t* b) {
    if (!a || !b) return Fail(ERROR_INVALID_PARAMETER);
    if (HasDriveLetter(a) && HasDriveLetter(b) && UpperAscii(a[0]) == UpperAscii(b[0])) return 1;
    wchar_t volumeA[kShortPathCapacity], volumeB[kShortPathCapacity];
    if (!fileOps->VolumePathName(a, volumeA, kShortPathCapacity) || !fileOps->VolumePathName(b, volumeB, kShortPathCapacity))
        return 0;
    return wcscmp(volumeA, volumeB) == 0 ? 1 : 0;
}

uint32_t SystemFileOps::DriveType(const wchar_t* root) { return GetDriveTypeW(root); }

int SystemFileOps::VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) {
    return GetVolumePathNameW(path, out, capacity) ? 1 : 0;
}

int SystemFileOps::VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* fileSystem, uint32_t capacity) {
    DWORD systemFlags = 0;
    BOOL ok = GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &systemFlags, fileSystem, capacity);
    *flags = systemFlags;
    return ok ? 1 : 0;
}
