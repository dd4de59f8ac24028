// Identity of folders by volume serial number and file id.
#include "folder_identity.h"

#include <windows.h>

#include <cwchar>
#include <initializer_list>

#include "file_ops.h"
#include "heap_memory.h"
#include "paths.h"
#include "run_state.h"
#include "transfer_state.h"

int ReadFolderId(const wchar_t* path, FolderId* id) {
    void* handle = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (!IsValidHandle(handle)) return 0;
    FileInfo info;
    int ok = fileOps->GetInfo(handle, &info, 1);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    if (!ok) {
        SetLastError(error);
        return 0;
    }
    id->volumeSerial = static_cast<uint32_t>(info.volumeSerial);
    id->fileIndex = info.fileIndex;
    return 1;
}

FolderIdReader folderIdReader = ReadFolderId;

// The index alone, the quickest answer a folder gives: the walk asks it of
// every folder on its path.
int ReadFolderIndex(const wchar_t* path, FolderId* id) {
    void* handle = fileOps->Open(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS);
    if (!IsValidHandle(handle)) return 0;
    FileInfo info;
    int ok = fileOps->GetInfo(handle, &info, kInfoIndexOnly);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    if (!ok) {
        SetLastError(error);
        return 0;
    }
    id->volumeSerial = 0;
    id->fileIndex = info.fileIndex;
    return 1;
}

int SameFolderId(const FolderId& a, const FolderId& b) {
    return a.volumeSerial == b.volumeSerial && a.fileIndex == b.fileIndex ? 1 : 0;
}

namespace {

// The path without trailing backslashes, as a folder is opened; a drive keeps
// its root backslash, since "C:" alone is the current folder of that drive.
wchar_t* FolderPathCopy(const wchar_t* path, size_t* length) {
    *length = wcsnlen(path, kPathCapacity);
    if (*length == 0 || *length >= static_cast<size_t>(kPathCapacity)) return nullptr;
    wchar_t* copy = static_cast<wchar_t*>(AllocZero((*length + 2) * sizeof(wchar_t)));
    memcpy(copy, path, *length * sizeof(wchar_t));
    while (*length > 0 && copy[*length - 1] == L'\\') copy[--*length] = 0;
    if (*length > 0 && copy[*length - 1] == L':') copy[*length] = L'\\';
    return copy;
}

}  // namespace

namespace {

// Whether `path` or one of the ancestors written in it has the identity `wanted`.
bool WrittenPathWithin(wchar_t* path, size_t length, const FolderId& wanted, FolderIdReader reader) {
    FolderId seen;
    // one step up per pass: the loop ends when no backslash is left
    for (;;) {
        while (length > 0 && path[length - 1] == L'\\') path[--length] = 0;
        if (length == 0) return false;
        // "C:" alone is the current folder of that drive, the root is "C:\"
        bool driveOnly = path[length - 1] == L':';
        if (driveOnly) path[length] = L'\\', path[length + 1] = 0;
        if (reader(path, &seen) && SameFolderId(seen, wanted)) return true;
        if (driveOnly) path[length] = 0;
        wchar_t* cut = wcsrchr(path, L'\\');
        if (!cut) return false;
        length = static_cast<size_t>(cut - path);
        *cut = 0;
    }
}

// Length of the volume root at the start of a final path, backslash included:
// "\\?\C:\", "\\?\Volume{...}\" or "\\?\UNC\server\share\".
size_t FinalRootLength(const wchar_t* path) {
    size_t at = StartsWithI(path, L"\\\\?\\") ? 4 : 0;
    int parts = StartsWithI(path + at, L"UNC\\") ? 3 : 1;
    for (int i = 0; i < parts; ++i) {
        const wchar_t* next = wcschr(path + at, L'\\');
        if (!next) return wcslen(path);
        at = static_cast<size_t>(next - path) + 1;
    }
    return at;
}

// Every prefix of a final path, from the whole down to its volume root, is a
// real folder: compares each with `wanted`. Leaves the root in `root`.
bool FinalPathWithin(wchar_t* path, const FolderId& wanted, FolderIdReader reader, wchar_t* root) {
    size_t rootLength = FinalRootLength(path);
    lstrcpynW(root, path, static_cast<int>(rootLength + 1));
    size_t length = wcslen(path);
    FolderId seen;
    for (;;) {
        while (length > rootLength && path[length - 1] == L'\\') path[--length] = 0;
        if (reader(path, &seen) && SameFolderId(seen, wanted)) return true;
        if (length <= rootLength) return false;
        while (length > rootLength && path[length - 1] != L'\\') --length;
        path[length] = 0;
    }
}

// Opens what path names, following links; a missing tail is cut off, so the
// deepest part that exists is opened. The path keeps what was opened.
void* OpenExistingPart(wchar_t* path) {
    for (;;) {
        void* handle = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
        if (IsValidHandle(handle)) return handle;
        size_t length = wcslen(path);
        while (length > 0 && path[length - 1] == L'\\') path[--length] = 0;
        wchar_t* cut = wcsrchr(path, L'\\');
        if (!cut || cut == path || cut[-1] == L':' || cut[-1] == L'?') return nullptr;
        *cut = 0;
    }
}

// A volume mounted inside another leads up into it; a few such steps are
// enough for any real nesting, and they bound a loop of mounts.
constexpr int kMountSteps = 16;

// Follows path to where it really lies and compares that folder and every
// real ancestor with `wanted`, across the folders its volume is mounted at.
bool RealLocationWithin(const wchar_t* start, const FolderId& wanted, FolderIdReader reader) {
    wchar_t* pending = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    wchar_t* path = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    wchar_t* root = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    lstrcpynW(pending, start, kPathCapacity - 1);
    size_t pendingUsed = wcslen(pending) + 1;
    bool found = false;
    for (int step = 0; step < kMountSteps && pending[0] && !found; ++step) {
        lstrcpynW(path, pending, kPathCapacity);
        size_t first = wcslen(pending) + 1;
        memmove(pending, pending + first, (pendingUsed - first + 1) * sizeof(wchar_t));
        pendingUsed -= first;
        void* handle = OpenExistingPart(path);
        if (!handle) continue;
        int resolved = fileOps->FinalPath(handle, path, kPathCapacity);
        fileOps->Close(handle);
        if (!resolved) continue;
        found = FinalPathWithin(path, wanted, reader, root);
        if (found || !fileOps->MountHolders(root, path, kPathCapacity)) continue;
        for (const wchar_t* holder = path; *holder; holder += wcslen(holder) + 1) {
            size_t length = wcslen(holder);
            if (pendingUsed + length + 2 > static_cast<size_t>(kPathCapacity)) break;
            memcpy(pending + pendingUsed, holder, (length + 1) * sizeof(wchar_t));
            pendingUsed += length + 1;
            pending[pendingUsed] = 0;
        }
    }
    FreeMemory(pending);
    FreeMemory(path);
    FreeMemory(root);
    return found;
}

}  // namespace

int IsWithinFolderById(const wchar_t* child, const wchar_t* folder, FolderIdReader reader) {
    if (!child || !folder || !reader) return 0;
    FolderId wanted;
    size_t length = 0;
    wchar_t* path = FolderPathCopy(folder, &length);
    int read = path && reader(path, &wanted);
    FreeMemory(path);
    if (!read) return 0;
    path = FolderPathCopy(child, &length);
    if (!path) return 0;
    bool found = WrittenPathWithin(path, length, wanted, reader) || RealLocationWithin(child, wanted, reader);
    FreeMemory(path);
    return found ? 1 : 0;
}

int ExpandShortNames(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!path || !out || capacity == 0) return 0;
    lstrcpynW(out, path, static_cast<int>(capacity));
    if (IsDevicePath(path)) return 0;
    size_t length = wcsnlen(path, kPathCapacity);
    if (length >= static_cast<size_t>(kPathCapacity)) return 0;
    wchar_t* part = static_cast<wchar_t*>(AllocZero((length + 1) * sizeof(wchar_t)));
    wchar_t* longPart = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    int done = 0;
    if (part && longPart) {
        memcpy(part, path, length * sizeof(wchar_t));
        size_t partLength = length;
        // the longest leading part that exists is expanded; the tail is kept
        while (partLength > 0) {
            if (!wcspbrk(part, L"*?")) {
                DWORD n = GetLongPathNameW(part, longPart, kPathCapacity);
                if (n > 0 && n < static_cast<DWORD>(kPathCapacity) && n + (length - partLength) < capacity) {
                    lstrcpynW(out, longPart, static_cast<int>(capacity));
                    wcscat(out, path + partLength);
                    done = 1;
                    break;
                }
            }
            wchar_t* cut = wcsrchr(part, L'\\');
            if (!cut) break;
            // keep the backslash of a root ("C:\"); "C:" alone would be the current folder
            if (cut > part && cut[-1] == L':') {
                if (cut[1] == 0) break;
                cut[1] = 0;
            } else {
                *cut = 0;
            }
            size_t next = wcslen(part);
            if (next == partLength) break;
            partLength = next;
        }
    }
    FreeMemory(part);
    FreeMemory(longPart);
    return done;
}

int IsSameOrWithinFolder(const wchar_t* child, const wchar_t* folder) {
    wchar_t* longChild = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    wchar_t* longFolder = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    int within = 0;
    if (longChild && longFolder) {
        ExpandShortNames(child, longChild, kPathCapacity);
        ExpandShortNames(folder, longFolder, kPathCapacity);
        within = IsSameOrBelowFolder(longChild, longFolder) || IsWithinFolderById(longChild, longFolder, folderIdReader);
    }
    FreeMemory(longChild);
    FreeMemory(longFolder);
    return within;
}

void SetGuardedFolders(const wchar_t* source, const wchar_t* target) {
    run.guardedFolderCount = 0;
    for (const wchar_t* folder : {source, target}) {
        size_t length = 0;
        wchar_t* path = folder ? FolderPathCopy(folder, &length) : nullptr;
        if (path && folderIdReader(path, &run.guardedFolders[run.guardedFolderCount])) ++run.guardedFolderCount;
        FreeMemory(path);
    }
}

int IsGuardedId(const FolderId& id) {
    for (int i = 0; i < run.guardedFolderCount; ++i)
        if (SameFolderId(id, run.guardedFolders[i])) return 1;
    return 0;
}

int CheckGuardedFolder(const wchar_t* path, uint64_t listedIndex, bool* guarded) {
    *guarded = false;
    bool indexMatches = listedIndex == 0;
    for (int i = 0; i < run.guardedFolderCount; ++i)
        indexMatches = indexMatches || run.guardedFolders[i].fileIndex == listedIndex;
    if (!indexMatches) return 1;
    FolderId id;
    if (!folderIdReader(path, &id)) return 0;
    *guarded = IsGuardedId(id) != 0;
    return 1;
}
