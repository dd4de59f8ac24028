// Reading and copying mount points and symbolic links.
#include "reparse_points.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <cwchar>

#include "console.h"
#include "copy_call.h"
#include "dry_run.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "physical_drive.h"
#include "run_state.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLinkFlags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

void ToFileTimes(const uint64_t* times, FILETIME* out) {
    for (int i = 0; i < 3; ++i) {
        out[i].dwLowDateTime = static_cast<DWORD>(times[i]);
        out[i].dwHighDateTime = static_cast<DWORD>(times[i] >> 32);
    }
}

class WindowsLinkSystem final : public LinkSystem {
public:
    int ReadLink(const wchar_t* path, uint8_t* buffer, size_t capacity, size_t* size, uint64_t* times,
                 int* timesRead) override {
        HANDLE handle = CreateFileW(path, times ? FILE_READ_ATTRIBUTES : GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, kLinkFlags, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return kLinkOpenFailed;
        if (times) {
            FILETIME t[3];
            *timesRead = GetFileTime(handle, &t[0], &t[1], &t[2]) ? 1 : 0;
            for (int i = 0; i < 3 && *timesRead; ++i)
                times[i] = (static_cast<uint64_t>(t[i].dwHighDateTime) << 32) | t[i].dwLowDateTime;
        }
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(handle, kFsctlGetReparsePoint, nullptr, 0, buffer, static_cast<DWORD>(capacity),
                                  &returned, nullptr);
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        *size = ok ? returned : 0;
        return ok ? kLinkRead : kLinkReadFailed;
    }
    int WriteLink(const wchar_t* path, int folder, const uint8_t* data, size_t size, const uint64_t* times) override {
        HANDLE handle = CreateFileW(path, GENERIC_WRITE, 0, nullptr, folder ? OPEN_EXISTING : OPEN_ALWAYS, kLinkFlags,
                                    nullptr);
        if (handle == INVALID_HANDLE_VALUE) return 0;
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(handle, kFsctlSetReparsePoint, const_cast<uint8_t*>(data),
                                  static_cast<DWORD>(size), nullptr, 0, &returned, nullptr);
        DWORD error = GetLastError();
        if (times) {
            FILETIME t[3];
            ToFileTimes(times, t);
            SetFileTime(handle, &t[0], &t[1], &t[2]);
        }
        CloseHandle(handle);
        SetLastError(error);
        return ok ? 1 : 0;
    }
    int SetLinkTimes(const wchar_t* path, const uint64_t* times) override {
        HANDLE handle = CreateFileW(path, FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, kLinkFlags, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return 0;
        FILETIME t[3];
        ToFileTimes(times, t);
        BOOL ok = SetFileTime(handle, &t[0], &t[1], &t[2]);
        CloseHandle(handle);
        return ok ? 1 : 0;
    }
    int VolumePathOf(const wchar_t* path, wchar_t* out, size_t capacity) override {
        out[0] = 0;
        return GetVolumePathNameW(path, out, static_cast<DWORD>(capacity)) ? 1 : 0;
    }
    uint32_t GetAttributes(const wchar_t* path) override { return GetFileAttributesW(path); }
    int SetAttributes(const wchar_t* path, uint32_t attributes) override {
        return SetFileAttributesW(path, attributes) ? 1 : 0;
    }
    int CreateFolder(const wchar_t* path) override { return CreateDirectoryW(path, nullptr) ? 1 : 0; }
    int RemoveFolder(const wchar_t* path) override { return RemoveDirectoryW(path) ? 1 : 0; }
    int RemoveFile(const wchar_t* path) override { return DeleteFileW(path) ? 1 : 0; }
    int ResolveSubst(const wchar_t* in, wchar_t* out, size_t capacity) override {
        return ResolveSubstDrive(in, out, capacity);
    }
};

WindowsLinkSystem windowsLinks;

// Folder links the walk is following; a link into one of them is not walked again.
wchar_t** followed = nullptr;
size_t followedCount = 0, followedCapacity = 0;

const wchar_t* LastComponent(const wchar_t* path) { return FileNamePart(SkipLongPrefix(path)); }

// path with substituted drives resolved, into a new heap buffer.
wchar_t* Resolved(const wchar_t* path) {
    wchar_t* out = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    lstrcpynW(out, path, kPathCapacity);
    linkSystem->ResolveSubst(path, out, kPathCapacity);
    return out;
}

bool Inside(const wchar_t* resolvedTarget, const wchar_t* folder) {
    if (!folder || !*folder) return false;
    wchar_t* resolvedFolder = Resolved(folder);
    bool inside = FolderPrefixLength(resolvedTarget, resolvedFolder) != 0;
    FreeMemory(resolvedFolder);
    return inside;
}

bool InsideSourceRoot(const wchar_t* linkTarget) {
    if (!linkTarget || !*linkTarget) return false;
    wchar_t* target = Resolved(linkTarget);
    bool inside = Inside(target, run.sourceRoot);
    FreeMemory(target);
    return inside;
}

// A file stands where a folder link is to go: replaced only as an
// existing file would be by a copy.
bool MayReplaceFile(const wchar_t* targetPath) {
    ExistingRules rules = {};
    rules.skipExisting = options.skipExisting;
    rules.overwrite = options.overwrite;
    rules.overwriteOlder = options.overwriteOlder;
    int action = DecideExisting(rules);
    if (action == kExistingCopy) return true;
    if (action == kExistingAsk) {
        PrintName("%S already exists. Overwrite (Y/N)?", LastComponent(targetPath));
        wchar_t answer = Prompt(L"YN", L'N');
        Print("\n");
        if (answer == L'Y') return true;
    }
    if (!options.quiet) PrintName("\r%S already exists -> skip\n", LastComponent(targetPath));
    return false;
}

bool DeleteWithAttributes(const wchar_t* path, uint32_t attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY) linkSystem->SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    return linkSystem->RemoveFile(path) != 0;
}

void PrintCreateError(DWORD error, const char* label, const wchar_t* targetPath) {
    PrintError("Error %u creating %s %S\n", error, label, LastComponent(targetPath));
    CountFailure();
    SetLastError(error);
}

enum Prepared { kPrepareFailed, kPrepareSkipped, kPrepared };

// Makes room for the link at targetPath.
Prepared PrepareTarget(const wchar_t* targetPath, bool folder, const uint8_t* data, size_t size, const char* label,
                       const uint64_t* times) {
    uint32_t present = linkSystem->GetAttributes(targetPath);
    if (!folder) {
        if (present == INVALID_FILE_ATTRIBUTES) return kPrepared;
        // the caller decided to replace the file; a folder is not its to remove
        if (present & FILE_ATTRIBUTE_DIRECTORY) {
            PrintCreateError(ERROR_ALREADY_EXISTS, label, targetPath);
            return kPrepareFailed;
        }
        if (!DeleteWithAttributes(targetPath, present)) {
            PrintCreateError(GetLastError(), label, targetPath);
            return kPrepareFailed;
        }
        return kPrepared;
    }
    bool create = present == INVALID_FILE_ATTRIBUTES;
    if (!create && (present & FILE_ATTRIBUTE_DIRECTORY) && (present & FILE_ATTRIBUTE_REPARSE_POINT)) {
        uint8_t* existing = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
        size_t existingSize = 0;
        int read = linkSystem->ReadLink(targetPath, existing, kMaxReparseDataSize, &existingSize, nullptr, nullptr);
        bool same = read == kLinkRead && existingSize == size && memcmp(existing, data, size) == 0;
        FreeMemory(existing);
        if (same) {
            if (!options.quiet) {
                char line[64];
                wsprintfA(line, "\r%%S (%s) already exists -> skip\n", label);
                PrintName(line, LastComponent(targetPath));
            }
            if (times) linkSystem->SetLinkTimes(targetPath, times);
            SetLastError(ERROR_ALREADY_EXISTS);
            return kPrepareSkipped;
        }
        // removing a link removes the link, never what it points to
        if (!linkSystem->RemoveFolder(targetPath)) {
            PrintCreateError(GetLastError(), label, targetPath);
            return kPrepareFailed;
        }
        create = true;
    } else if (!create && !(present & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!MayReplaceFile(targetPath)) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return kPrepareSkipped;
        }
        if (!DeleteWithAttributes(targetPath, present)) {
            PrintCreateError(GetLastError(), label, targetPath);
            return kPrepareFailed;
        }
        create = true;
    }
    if (create && !linkSystem->CreateFolder(targetPath) && GetLastError() != ERROR_ALREADY_EXISTS) {
        PrintCreateError(GetLastError(), label, targetPath);
        return kPrepareFailed;
    }
    return kPrepared;
}

// The data to write: as read, or re-pointed into the target tree when the
// link lies in the source tree and source and target are on different volumes.
// 0 when re-pointed data would not fit.
size_t DataToWrite(const wchar_t* sourcePath, const wchar_t* targetPath, const uint8_t* data, size_t size,
                   uint8_t* out) {
    memcpy(out, data, size);
    wchar_t* sourceVolume = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    wchar_t* targetVolume = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    linkSystem->VolumePathOf(sourcePath, sourceVolume, kPathCapacity);
    linkSystem->VolumePathOf(targetPath, targetVolume, kPathCapacity);
    bool sameVolume = !sourceVolume[0] || !targetVolume[0] || lstrcmpiW(sourceVolume, targetVolume) == 0;
    FreeMemory(sourceVolume);
    FreeMemory(targetVolume);
    if (sameVolume) return size;

    ReparseNames* names = static_cast<ReparseNames*>(AllocZero(sizeof(ReparseNames)));
    ReparseNames* moved = static_cast<ReparseNames*>(AllocZero(sizeof(ReparseNames)));
    size_t result = size;
    if (ParseReparseData(data, size, names)) {
        wchar_t* work = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
        lstrcpynW(work, names->substitute, kPathCapacity);
        if (work[0] && work[1] == L'?') work[1] = L'\\';
        if (InsideSourceRoot(work)) {
            wchar_t* root = Resolved(run.sourceRoot);
            wchar_t* target = Resolved(work);
            // the substitute name in its resolved form, so a substituted drive is matched too
            lstrcpynW(names->substitute, target, kMaxReparseNameChars + 1);
            names->substituteLength = wcslen(names->substitute);
            if (!RepointNames(*names, root, run.targetRoot, moved)) result = 0;
            // the print name may still name the drive as written
            if (result && moved->printLength == names->printLength &&
                memcmp(moved->print, names->print, names->printLength * sizeof(wchar_t)) == 0) {
                ReparseNames* again = static_cast<ReparseNames*>(AllocZero(sizeof(ReparseNames)));
                if (RepointNames(*names, run.sourceRoot, run.targetRoot, again)) {
                    memcpy(moved->print, again->print, sizeof moved->print);
                    moved->printLength = again->printLength;
                }
                FreeMemory(again);
            }
            if (result) result = BuildReparseData(*moved, out, kMaxReparseDataSize);
            FreeMemory(root);
            FreeMemory(target);
        }
        FreeMemory(work);
    }
    FreeMemory(names);
    FreeMemory(moved);
    return result;
}

}  // namespace

LinkSystem* linkSystem = &windowsLinks;

int ReadReparseTarget(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    out[0] = 0;
    uint8_t* data = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
    ReparseNames* names = static_cast<ReparseNames*>(AllocZero(sizeof(ReparseNames)));
    size_t size = 0;
    int result = 0;
    if (linkSystem->ReadLink(path, data, kMaxReparseDataSize, &size, nullptr, nullptr) == kLinkRead &&
        ParseReparseData(data, size, names)) {
        wchar_t* name = names->substitute;
        // the system's "\??\" is the long-path prefix
        if (names->substituteLength >= 5 && name[1] == L'?') name[1] = L'\\';
        if (names->tag == kTagSymbolicLink && (names->flags & kSymbolicLinkRelative)) {
            result = ResolveRelativeLink(path, name, out, capacity);
        } else if (names->substituteLength < capacity) {
            memcpy(out, name, (names->substituteLength + 1) * sizeof(wchar_t));
            result = 1;
        } else {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        }
    }
    DWORD error = GetLastError();
    FreeMemory(data);
    FreeMemory(names);
    SetLastError(error);
    return result;
}

int PointsIntoSource(const wchar_t* linkTarget) {
    if (!linkTarget || !*linkTarget) return 0;
    wchar_t* target = Resolved(linkTarget);
    bool inside = Inside(target, run.sourceRoot);
    for (size_t i = 0; !inside && i < followedCount; ++i) inside = Inside(target, followed[i]);
    FreeMemory(target);
    return inside ? 1 : 0;
}

void EnterFollowedLink(const wchar_t* linkTarget) {
    if (followedCount == followedCapacity) {
        size_t capacity = followedCapacity ? followedCapacity * 2 : 16;
        wchar_t** grown = static_cast<wchar_t**>(AllocZero(capacity * sizeof(wchar_t*)));
        if (followed) memcpy(grown, followed, followedCount * sizeof(wchar_t*));
        FreeMemory(followed);
        followed = grown;
        followedCapacity = capacity;
    }
    followed[followedCount++] = DuplicateString(linkTarget ? linkTarget : L"");
}

void LeaveFollowedLink() {
    if (followedCount) FreeMemory(followed[--followedCount]);
}

int CopyReparsePoint(const wchar_t* sourcePath, const wchar_t* targetPath, uint32_t sourceAttributes) {
    if (options.dryRun) return DryLink(targetPath) != 0;
    const bool folder = (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    uint8_t* data = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
    uint8_t* toWrite = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
    uint64_t times[3] = {};
    int timesRead = 0;
    size_t size = 0;
    int result = 0;
    int read = linkSystem->ReadLink(sourcePath, data, kMaxReparseDataSize, &size, times, &timesRead);
    if (read == kLinkReadFailed) {
        PrintError("Error %u reading source %s %S\n", GetLastError(), "reparse point", LastComponent(targetPath));
        CountFailure();
    } else if (read == kLinkRead) {
        const char* label = ReparseLabel(ReparseTagOf(data, size));
        size_t writeSize = DataToWrite(sourcePath, targetPath, data, size, toWrite);
        if (!writeSize) {
            PrintCreateError(ERROR_INSUFFICIENT_BUFFER, label, targetPath);
        } else {
            const uint64_t* stamp = timesRead ? times : nullptr;
            Prepared prepared = PrepareTarget(targetPath, folder, toWrite, writeSize, label, stamp);
            if (prepared == kPrepared) {
                result = linkSystem->WriteLink(targetPath, folder, toWrite, writeSize, stamp);
                DWORD error = GetLastError();
                if (!options.quiet) {
                    char line[64];
                    wsprintfA(line, "%%S (%s)\n", label);
                    PrintName(line, LastComponent(targetPath));
                }
                if (!result) PrintCreateError(error, label, targetPath);
                SetLastError(error);
            }
        }
    }
    DWORD error = GetLastError();
    FreeMemory(data);
    FreeMemory(toWrite);
    SetLastError(error);
    return result;
}
