// Target folders: time stamps, compression state, creation with all parents.
#include "target_folders.h"

#include <windows.h>
#include <winioctl.h>

#include <cwchar>

#include "compression.h"
#include "console.h"
#include "file_ops.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A heap copy without the trailing backslash (a bare drive root keeps it).
wchar_t* WithoutTrailingBackslash(const wchar_t* path) {
    wchar_t* copy = DuplicateString(path);
    size_t length = wcslen(copy);
    if (length > 1 && copy[length - 1] == L'\\' && copy[length - 2] != L':') copy[length - 1] = 0;
    return copy;
}

// Gives the target sourceTimes unless it has them already; 1 on success.
int StampTarget(const wchar_t* targetFolder, const uint64_t* sourceTimes, int targetIsNew) {
    wchar_t* target = WithoutTrailingBackslash(targetFolder);
    int result = 0;
    FileInfo present;
    void* to = fileOps->Open(target, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    // a folder made by this run cannot carry the source's times yet
    if (IsValidHandle(to) && (targetIsNew || fileOps->GetInfo(to, &present, 0))) {
        bool same = !targetIsNew && sourceTimes[0] == present.times[0] && sourceTimes[1] == present.times[1] &&
                    sourceTimes[2] == present.times[2];
        result = same || fileOps->SetTimes(to, &sourceTimes[0], &sourceTimes[1], &sourceTimes[2]);
    }
    if (!result) {
        // a folder without its source's times reads as changed to the next run
        DWORD error = GetLastError();
        PrintError("Error %s SetFileTime for directory '%S'\n", LastErrorName(), SkipLongPrefix(target));
        CountFailure();
        SetLastError(error);
    }
    DWORD error = GetLastError();
    if (IsValidHandle(to)) fileOps->Close(to);
    FreeMemory(target);
    SetLastError(error);
    return result;
}

}  // namespace

int ReadFolderTimes(const wchar_t* folder, FolderTimes* times) {
    wchar_t* path = WithoutTrailingBackslash(folder);
    void* from = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS);
    FreeMemory(path);
    if (!IsValidHandle(from)) return 0;
    FileInfo info;
    int result = fileOps->GetInfo(from, &info, 0);
    DWORD error = GetLastError();
    fileOps->Close(from);
    for (int i = 0; result && i < 3; ++i) times->times[i] = info.times[i];
    SetLastError(error);
    return result;
}

int SetFolderTimes(const wchar_t* folder, const FolderTimes& times, int targetIsNew) {
    return SetFolderTimes(folder, times.times[0], times.times[1], times.times[2], targetIsNew);
}

int CopyFolderTimes(const wchar_t* sourceFolder, const wchar_t* targetFolder, int targetIsNew) {
    FolderTimes times;
    if (ReadFolderTimes(sourceFolder, &times)) return SetFolderTimes(targetFolder, times, targetIsNew);
    // the target folder keeps a time of this run: the next one takes it as changed
    DWORD error = GetLastError();
    Print("Error %s reading the times of folder %S\n", ErrorName(error), SkipLongPrefix(sourceFolder));
    CountFailure();
    SetLastError(error);
    return 0;
}

int SetFolderTimes(const wchar_t* targetFolder, uint64_t creation, uint64_t lastAccess, uint64_t lastWrite,
                   int targetIsNew) {
    uint64_t times[3] = {creation, lastAccess, lastWrite};
    return StampTarget(targetFolder, times, targetIsNew);
}

int CopyFolderCompression(const wchar_t* sourcePath, const wchar_t* targetPath, int folders) {
    uint32_t flags = folders ? FILE_FLAG_BACKUP_SEMANTICS : 0;
    void* from = OpenExisting(sourcePath, GENERIC_READ, kShareAll, flags);
    void* to = OpenExisting(targetPath, GENERIC_READ | GENERIC_WRITE, kShareAll, flags);
    uint16_t format = 0;
    int result = from && to && fileOps->GetCompression(from, &format) && fileOps->SetCompression(to, format);
    if (to) CloseKeepingError(to);
    if (from) CloseKeepingError(from);
    return result;
}

namespace {

// Characters of the root that is never created: "\\?\C:\", "C:\",
// "\\server\share\" (also behind "\\?\UNC\") or "\\?\Volume{...}\".
size_t RootLength(const wchar_t* path) {
    size_t at = 0;
    bool unc = false;
    if (path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.') && path[3] == L'\\') {
        at = 4;
        if (StartsWithI(path + 4, L"UNC\\")) {
            at = 8;
            unc = true;
        }
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        at = 2;
        unc = true;
    }
    if (!unc && IsAsciiLetter(path[at]) && path[at + 1] == L':') return path[at + 2] == L'\\' ? at + 3 : at + 2;
    // one component (a volume name) or two (server and share)
    for (int parts = unc ? 2 : (at ? 1 : 0); parts > 0; --parts) {
        const wchar_t* slash = wcschr(path + at, L'\\');
        if (!slash) return wcslen(path);
        at = static_cast<size_t>(slash - path) + 1;
    }
    return at;
}

int MakeOneFolder(wchar_t* prefix) {
    uint32_t attributes = fileOps->GetAttributes(prefix);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!options.mirror) {
            PrintError("%S already exists as file\n", SkipLongPrefix(prefix));
            SetLastError(ERROR_ALREADY_EXISTS);
            return 0;
        }
        if (attributes & FILE_ATTRIBUTE_READONLY)
            fileOps->SetAttributes(prefix, attributes & ~FILE_ATTRIBUTE_READONLY);
        if (!fileOps->Delete(prefix)) return 0;
    }
    if (fileOps->CreateFolder(prefix)) return 1;
    // made meanwhile by someone else
    DWORD error = GetLastError();
    attributes = fileOps->GetAttributes(prefix);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    SetLastError(error);
    return 0;
}

}  // namespace

int CreateFolderPath(const wchar_t* path) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    wchar_t* work = DuplicateString(path);
    size_t length = wcslen(work);
    size_t root = RootLength(work);
    while (length > root && length > 1 && work[length - 1] == L'\\') work[--length] = 0;
    int result = 1;
    if (root && root <= length) {
        // a drive or share that is not there cannot be made
        wchar_t saved = work[root];
        work[root] = 0;
        if (fileOps->GetAttributes(work) == INVALID_FILE_ATTRIBUTES) {
            SetLastError(ERROR_INVALID_DRIVE);
            result = 0;
        }
        work[root] = saved;
    }
    for (size_t at = root; result && at < length; ++at) {
        if (work[at] != L'\\' || at == 0 || work[at - 1] == L'\\') continue;
        work[at] = 0;
        result = MakeOneFolder(work);
        work[at] = L'\\';
    }
    if (result && length > root) result = MakeOneFolder(work);
    if (result) result = IsFolder(work);
    DWORD error = GetLastError();
    FreeMemory(work);
    SetLastError(error);
    return result;
}

wchar_t* ParentFolder(const wchar_t* path) {
    wchar_t* parent = static_cast<wchar_t*>(AllocZero((wcslen(path) + 2) * sizeof(wchar_t)));
    wcscpy(parent, path);
    wchar_t* slash = wcsrchr(parent, L'\\');
    if (slash) *slash = 0;
    size_t length = wcslen(parent);
    // a bare drive is its root folder
    const wchar_t* body = HasLongPrefix(parent) ? parent + 4 : parent;
    if (wcslen(body) == 2 && IsAsciiLetter(body[0]) && body[1] == L':') {
        parent[length] = L'\\';
        parent[length + 1] = 0;
    }
    return parent;
}
