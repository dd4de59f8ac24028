// Small edits of paths in bounded buffers: trailing characters, the
// wildcard pattern of a folder, the long prefix, the device forms,
// the split into folder and name, and the mapping of target to source paths.
#include "paths.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "devices.h"
#include "run_state.h"
#include "system_facts.h"

namespace {

// The length of a text that must be terminated within capacity; an
// unterminated buffer is terminated at its end and reported as too long.
bool BoundedLength(wchar_t* text, size_t capacity, size_t* length) {
    if (!text || capacity == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    *length = wcsnlen(text, capacity);
    if (*length == capacity) {
        text[capacity - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

bool Fail(DWORD error) {
    SetLastError(error);
    return false;
}

// Appends addition when the result fits, else leaves text unchanged.
bool AppendText(wchar_t* text, size_t capacity, const wchar_t* addition) {
    size_t length;
    if (!BoundedLength(text, capacity, &length)) return false;
    size_t extra = wcslen(addition);
    if (extra >= capacity - length) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(text + length, addition, (extra + 1) * sizeof(wchar_t));
    return true;
}

// Replaces the first `replaced` characters of text by head when the result
// fits, else leaves text unchanged.
bool ReplaceHead(wchar_t* text, size_t capacity, size_t replaced, const wchar_t* head) {
    size_t length;
    if (!BoundedLength(text, capacity, &length)) return false;
    size_t headLength = wcslen(head);
    size_t restLength = length - replaced;
    if (headLength + restLength >= capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memmove(text + headLength, text + replaced, (restLength + 1) * sizeof(wchar_t));
    memcpy(text, head, headLength * sizeof(wchar_t));
    return true;
}

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Part of ExpandDeviceShortForm: \\.\HarddiskVolumeN as the volume name
// \\?\Volume{...} of the volume whose device is \Device\HarddiskVolumeN.
// False only when that name was found and does not fit.
bool HarddiskVolumeToVolumeName(wchar_t* path, size_t capacity) {
    wchar_t volume[MAX_PATH];
    void* find = deviceSystem->FirstVolume(volume, MAX_PATH);
    if (!find) return true;
    bool fits = true;
    do {
        size_t length = wcslen(volume);
        if (length > 0 && volume[length - 1] == L'\\') volume[--length] = 0;
        wchar_t device[MAX_PATH];
        if (length > 4 && deviceSystem->DosDeviceName(volume + 4, device, MAX_PATH) && wcslen(device) > 8 &&
            CompareStringOrdinal(device + 8, -1, path + 4, -1, TRUE) == CSTR_EQUAL) {
            fits = length < capacity;
            if (fits) memcpy(path, volume, (length + 1) * sizeof(wchar_t));
            break;
        }
    } while (deviceSystem->NextVolume(find, volume, MAX_PATH));
    deviceSystem->CloseVolumeSearch(find);
    return fits || Fail(ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace

int AppendCharIfMissing(wchar_t* text, size_t capacity, wchar_t c) {
    size_t length;
    if (!BoundedLength(text, capacity, &length)) return 0;
    if (length > 0 && text[length - 1] == c) return 1;
    wchar_t addition[2] = {c, 0};
    return AppendText(text, capacity, addition) ? 1 : 0;
}

void StripTrailingChar(wchar_t* text, wchar_t c) {
    if (!text) return;
    size_t length = wcslen(text);
    if (length > 0 && text[length - 1] == c) text[length - 1] = 0;
}

int MakeWildcardSpec(wchar_t* folder, size_t capacity) {
    size_t length;
    if (!BoundedLength(folder, capacity, &length)) return 0;
    const wchar_t* addition;
    if (length == 0)
        addition = L"\\*";
    else if (length == 1)
        addition = folder[0] == L'\\' ? L"*" : L"";
    else
        addition = folder[length - 1] == L'\\' ? L"*" : L"\\*";
    return AppendText(folder, capacity, addition) ? 1 : 0;
}

int AddLongPrefix(wchar_t* path, size_t capacity) {
    size_t length;
    if (!BoundedLength(path, capacity, &length)) return 0;
    if (length == 0 || HasLongPrefix(path) || IsUncPath(path) || IsDevicePath(path)) return 1;
    return ReplaceHead(path, capacity, 0, L"\\\\?\\") ? 1 : 0;
}

int KernelPathOf(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!path || !out || capacity == 0) return Fail(ERROR_INVALID_PARAMETER);
    size_t length = wcsnlen(path, capacity);
    if (length == capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(out, path, (length + 1) * sizeof(wchar_t));
    bool drive = length >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && path[2] == L'\\';
    if (HasLongPrefix(path) && !IsDevicePath(path)) return ReplaceHead(out, capacity, 4, L"\\??\\") ? 1 : 0;
    if (drive) return ReplaceHead(out, capacity, 0, L"\\??\\") ? 1 : 0;
    if (IsUncPath(path) && path[2] != L'.' && path[2] != L'?')
        return ReplaceHead(out, capacity, 2, L"\\??\\UNC\\") ? 1 : 0;
    out[0] = 0;
    return Fail(ERROR_INVALID_NAME);
}

int VolumeGuidToDevice(wchar_t* path) {
    if (!path || wcsnlen(path, 49) != 48 || !HasLongPrefix(path) || !StartsWithI(path, L"\\\\?\\Volume{")) return 0;
    if (path[19] != L'-' || path[24] != L'-' || path[29] != L'-' || path[34] != L'-' || path[47] != L'}') return 0;
    path[2] = L'.';
    return 1;
}

int ExpandDeviceShortForm(wchar_t* path, size_t capacity) {
    size_t length;
    if (!BoundedLength(path, capacity, &length)) return 0;
    if (StartsWithI(path, L"\\\\.\\pd") && IsDigit(path[6]) &&
        !ReplaceHead(path, capacity, 6, L"\\\\.\\PhysicalDrive"))
        return 0;
    if (StartsWithI(path, L"\\\\.\\hdv") && IsDigit(path[7]) &&
        !ReplaceHead(path, capacity, 7, L"\\\\.\\HarddiskVolume"))
        return 0;
    // osVersion.major is 0 until the version has been read: nothing to decide on.
    if (osVersion.major != 0 && osVersion.major < 6 && StartsWithI(path, L"\\\\.\\HarddiskVolume"))
        return HarddiskVolumeToVolumeName(path, capacity) ? 1 : 0;
    return 1;
}

int SplitFolderAndName(const wchar_t* path, wchar_t* folder, wchar_t* name) {
    if (!folder || !name) return Fail(ERROR_INVALID_PARAMETER);
    folder[0] = name[0] = 0;
    if (!path) return Fail(ERROR_INVALID_PARAMETER);
    size_t length = wcsnlen(path, kPathCapacity);
    if (length == static_cast<size_t>(kPathCapacity)) return Fail(ERROR_FILENAME_EXCED_RANGE);
    if (IsDevicePath(path)) {
        memcpy(folder, path, (length + 1) * sizeof(wchar_t));
        return 1;
    }
    if (IsFolder(path)) {
        memcpy(folder, path, (length + 1) * sizeof(wchar_t));
        if (AppendCharIfMissing(folder, kPathCapacity, L'\\')) return 1;
        folder[0] = 0;
        return 0;
    }
    const wchar_t* lastBackslash = wcsrchr(path, L'\\');
    if (!lastBackslash) return Fail(ERROR_BAD_PATHNAME);
    size_t folderLength = static_cast<size_t>(lastBackslash - path) + 1;
    const wchar_t* prefix = !HasLongPrefix(path) && !IsUncPath(path) ? L"\\\\?\\" : L"";
    size_t prefixLength = wcslen(prefix);
    if (prefixLength + folderLength >= static_cast<size_t>(kPathCapacity)) return Fail(ERROR_FILENAME_EXCED_RANGE);
    memcpy(folder, prefix, prefixLength * sizeof(wchar_t));
    memcpy(folder + prefixLength, path, folderLength * sizeof(wchar_t));
    folder[prefixLength + folderLength] = 0;
    memcpy(name, lastBackslash + 1, (length - folderLength + 1) * sizeof(wchar_t));
    return 1;
}

int TargetToSource(const wchar_t* targetPath, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
    out[0] = 0;
    const int sourceRootLength = run.sourceRootLength;
    const int targetRootLength = run.targetRootLength;
    if (!targetPath || sourceRootLength < 0 || targetRootLength < 0 ||
        wcsnlen(run.sourceRoot, kPathCapacity) < static_cast<size_t>(sourceRootLength) ||
        wcsnlen(run.targetRoot, kPathCapacity) < static_cast<size_t>(targetRootLength))
        return Fail(ERROR_INVALID_PARAMETER);
    size_t targetLength = wcsnlen(targetPath, kPathCapacity);
    if (targetLength < static_cast<size_t>(targetRootLength) || targetLength == static_cast<size_t>(kPathCapacity))
        return Fail(ERROR_INVALID_PARAMETER);
    if (targetRootLength > 0 && CompareStringOrdinal(targetPath, targetRootLength, run.targetRoot, targetRootLength,
                                                     TRUE) != CSTR_EQUAL)
        return Fail(ERROR_INVALID_PARAMETER);
    size_t restLength = targetLength - targetRootLength;
    if (sourceRootLength + restLength >= capacity) return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(out, run.sourceRoot, sourceRootLength * sizeof(wchar_t));
    memcpy(out + sourceRootLength, targetPath + targetRootLength, (restLength + 1) * sizeof(wchar_t));
    return 1;
}
