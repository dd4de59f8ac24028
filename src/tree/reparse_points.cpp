// Reading and copying mount points and symbolic links.
#include "reparse_points.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "console.h"
#include "copy_call.h"
#include "dry_run.h"
#include "file_ops.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "physical_drive.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLinkFlags = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;

enum LinkReadResult { kLinkOpenFailed, kLinkRead, kLinkReadFailed };

// Opens the link itself (never what it points to) and reads its data and,
// when times is not null, its creation, access and write time: a link copied
// without them would pass for complete with times it never had.
int ReadLink(const wchar_t* path, uint8_t* buffer, size_t capacity, size_t* size, uint64_t* times) {
    *size = 0;
    void* handle = fileOps->Open(path, times ? FILE_READ_ATTRIBUTES : GENERIC_READ, kShareAll, OPEN_EXISTING, kLinkFlags);
    if (!IsValidHandle(handle)) return kLinkOpenFailed;
    FileInfo info;
    int ok = !times || fileOps->GetInfo(handle, &info, 0);
    if (ok && times) memcpy(times, info.times, sizeof info.times);
    ok = ok && fileOps->GetReparse(handle, buffer, capacity, size);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    SetLastError(error);
    if (!ok) *size = 0;
    return ok ? kLinkRead : kLinkReadFailed;
}

// Writes reparse data to an existing folder or a file created when missing,
// then the times when not null.
int WriteLink(const wchar_t* path, bool folder, const uint8_t* data, size_t size, const uint64_t* times) {
    void* handle = fileOps->Open(path, GENERIC_WRITE, 0, folder ? OPEN_EXISTING : OPEN_ALWAYS, kLinkFlags);
    if (!IsValidHandle(handle)) return 0;
    int ok = fileOps->SetReparse(handle, data, size);
    // a link without its source's times reads as changed to the next run
    if (ok && times) ok = fileOps->SetTimes(handle, &times[0], &times[1], &times[2]);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    SetLastError(error);
    return ok;
}

int SetLinkTimes(const wchar_t* path, const uint64_t* times) {
    void* handle = fileOps->Open(path, FILE_WRITE_ATTRIBUTES, kShareAll, OPEN_EXISTING, kLinkFlags);
    if (!IsValidHandle(handle)) return 0;
    int ok = fileOps->SetTimes(handle, &times[0], &times[1], &times[2]);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    SetLastError(error);
    return ok;
}

// Folder links the walk is following; a link into one of them is not walked again.
wchar_t** followed = nullptr;
size_t followedCount = 0, followedCapacity = 0;

const wchar_t* LastComponent(const wchar_t* path) { return FileNamePart(SkipLongPrefix(path)); }

// path with substituted drives resolved, into a new heap buffer.
wchar_t* Resolved(const wchar_t* path) {
    wchar_t* out = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    lstrcpynW(out, path, kPathCapacity);
    ResolveSubstDrive(path, out, kPathCapacity);
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
    if (attributes & FILE_ATTRIBUTE_READONLY) fileOps->SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    return fileOps->Delete(path) != 0;
}

void PrintCreateError(DWORD error, const char* label, const wchar_t* targetPath) {
    PrintError("Error %s creating %s %S\n", ErrorName(error), label, SkipLongPrefix(targetPath));
    CountFailure();
    SetLastError(error);
}

enum Prepared { kPrepareFailed, kPrepareSkipped, kPrepared };

// Makes room for the link at targetPath.
Prepared PrepareTarget(const wchar_t* targetPath, bool folder, const uint8_t* data, size_t size, const char* label,
                       const uint64_t* times) {
    uint32_t present = fileOps->GetAttributes(targetPath);
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
        int read = ReadLink(targetPath, existing, kMaxReparseDataSize, &existingSize, nullptr);
        bool same = read == kLinkRead && existingSize == size && memcmp(existing, data, size) == 0;
        FreeMemory(existing);
        if (same) {
            if (!options.quiet) {
                char line[64];
                wsprintfA(line, "\r%%S (%s) already exists -> skip\n", label);
                PrintName(line, LastComponent(targetPath));
            }
            // the same link with other times is no copy of it
            if (times && !SetLinkTimes(targetPath, times)) {
                ReportFailure(GetLastError(), "setting the times of link", targetPath);
                return kPrepareFailed;
            }
            SetLastError(ERROR_ALREADY_EXISTS);
            return kPrepareSkipped;
        }
        // removing a link removes the link, never what it points to
        if (!fileOps->RemoveFolder(targetPath)) {
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
    if (create && !fileOps->CreateFolder(targetPath) && GetLastError() != ERROR_ALREADY_EXISTS) {
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
    if (!fileOps->VolumePathName(sourcePath, sourceVolume, kPathCapacity)) sourceVolume[0] = 0;
    if (!fileOps->VolumePathName(targetPath, targetVolume, kPathCapacity)) targetVolume[0] = 0;
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

int ReadReparseTarget(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    out[0] = 0;
    uint8_t* data = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
    ReparseNames* names = static_cast<ReparseNames*>(AllocZero(sizeof(ReparseNames)));
    size_t size = 0;
    int result = 0;
    if (ReadLink(path, data, kMaxReparseDataSize, &size, nullptr) == kLinkRead &&
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
    const bool folder = (sourceAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    uint8_t* data = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
    uint8_t* toWrite = static_cast<uint8_t*>(AllocZero(kMaxReparseDataSize));
    uint64_t times[3] = {};
    size_t size = 0;
    int result = 0;
    int read = ReadLink(sourcePath, data, kMaxReparseDataSize, &size, times);
    if (read == kLinkReadFailed || read == kLinkOpenFailed) {
        PrintError("Error %s reading source %s %S\n", LastErrorName(), "reparse point", SkipLongPrefix(sourcePath));
        CountFailure();
    } else if (read == kLinkRead) {
        const char* label = ReparseLabel(ReparseTagOf(data, size));
        size_t writeSize = DataToWrite(sourcePath, targetPath, data, size, toWrite);
        if (!writeSize) {
            PrintCreateError(ERROR_INSUFFICIENT_BUFFER, label, targetPath);
        } else {
            Prepared prepared = PrepareTarget(targetPath, folder, toWrite, writeSize, label, times);
            if (prepared == kPrepared) {
                result = WriteLink(targetPath, folder, toWrite, writeSize, times);
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
