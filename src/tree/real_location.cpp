// Where a file or folder really lies, and removal of exactly the object a
// handle holds.
#include <windows.h>

#include <cwchar>

#include "file_ops.h"
#include "heap_memory.h"
#include "paths.h"
#include "run_state.h"

int SystemFileOps::FinalPath(void* handle, wchar_t* out, uint32_t capacity) {
    DWORD n = GetFinalPathNameByHandleW(handle, out, capacity, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return 0;
    if (n >= capacity) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return 1;
}

namespace {

// Appends text and its zero to a list of paths; false when it does not fit
// together with the closing empty entry.
bool AppendEntry(wchar_t* out, uint32_t capacity, size_t* used, const wchar_t* text, size_t length) {
    if (*used + length + 2 > capacity) return false;
    memcpy(out + *used, text, length * sizeof(wchar_t));
    *used += length;
    out[(*used)++] = 0;
    out[*used] = 0;
    return true;
}

// Wine keeps each drive as a link to a Unix folder and names no folder the
// volume is mounted at; its Unix name with "/.." opens the folder holding it.
bool AppendWineHolder(const wchar_t* root, wchar_t* out, uint32_t capacity, size_t* used) {
    typedef char*(__cdecl * UnixName)(const wchar_t*);
    static UnixName unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName) return false;
    char* name = unixName(root);
    if (!name) return false;
    wchar_t* path = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    lstrcpyW(path, L"\\\\?\\unix");
    int converted = MultiByteToWideChar(CP_UTF8, 0, name, -1, path + 8, kPathCapacity - 12);
    HeapFree(GetProcessHeap(), 0, name);
    bool added = false;
    if (converted > 1) {
        size_t length = wcslen(path);
        while (length > 8 && path[length - 1] == L'/') path[--length] = 0;
        lstrcpyW(path + length, L"/..");
        added = AppendEntry(out, capacity, used, path, length + 3);
    }
    FreeMemory(path);
    return added;
}

}  // namespace

int SystemFileOps::MountHolders(const wchar_t* root, wchar_t* out, uint32_t capacity) {
    if (capacity < 2) return 0;
    out[0] = out[1] = 0;
    size_t used = 0;
    wchar_t volume[64];
    wchar_t* names = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    DWORD length = 0;
    if (GetVolumeNameForVolumeMountPointW(root, volume, 64) &&
        GetVolumePathNamesForVolumeNameW(volume, names, kPathCapacity, &length)) {
        for (wchar_t* name = names; *name; name += wcslen(name) + 1) {
            // a drive letter's root is held by no folder; a mount folder is held by its parent
            size_t nameLength = wcslen(name);
            while (nameLength > 0 && name[nameLength - 1] == L'\\') --nameLength;
            size_t cut = nameLength;
            while (cut > 0 && name[cut - 1] != L'\\') --cut;
            if (cut == 0 || nameLength <= 3) continue;
            AppendEntry(out, capacity, &used, name, cut);
        }
    }
    FreeMemory(names);
    if (used == 0) AppendWineHolder(root, out, capacity, &used);
    return used > 0 ? 1 : 0;
}

int SystemFileOps::RemoveOpened(void* handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) ? 1 : 0;
}
