// -ds: removal of a source file after its copy and of a source folder after its walk.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "copy_call.h"
#include "file_ops.h"
#include "dry_run.h"
#include "folder_listing.h"
#include "heap_memory.h"
#include "link_groups.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "source_removal.h"
#include "text_format.h"
#include "transfer_state.h"
#include "tree_file_system.h"

namespace {

// Clears the read-only attribute; returns the attributes to put back when the
// removal fails, kNoAttributes when nothing was changed.
uint32_t ClearReadOnly(const wchar_t* path) {
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes == kNoAttributes || !(attributes & kAttributeReadOnly)) return kNoAttributes;
    uint32_t rest = attributes & ~kAttributeReadOnly;
    if (!fileOps->SetAttributes(path, rest ? rest : FILE_ATTRIBUTE_NORMAL)) return kNoAttributes;
    return attributes;
}

// A source that stays is left as it was found.
void PutBack(const wchar_t* path, uint32_t attributes) {
    if (attributes == kNoAttributes) return;
    DWORD error = GetLastError();
    fileOps->SetAttributes(path, attributes);
    SetLastError(error);
}

// Whether a folder's listing shows nothing but its dot names.
bool NothingBelow(const wchar_t* folder) {
    static wchar_t pattern[kPathCapacity];
    size_t length = wcsnlen(folder, kPathCapacity);
    if (length + 3 > static_cast<size_t>(kPathCapacity)) return false;
    wmemcpy(pattern, folder, length);
    if (length && pattern[length - 1] != L'\\') pattern[length++] = L'\\';
    pattern[length] = L'*';
    pattern[length + 1] = 0;
    FoundName found;
    void* search = fileOps->FindFirst(pattern, &found);
    if (!search) return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool nothing = true;
    do nothing = IsDotName(found.name);
    while (nothing && fileOps->FindNext(search, &found));
    fileOps->FindEnd(search);
    return nothing;
}

}  // namespace

int RemoveSourceFile(const wchar_t* path) { return RemoveSourceFileAsCopied(path, nullptr); }

int RemoveSourceFileAsCopied(const wchar_t* path, const SourceAsCopied* copied) {
    if (!options.deleteSource) return 0;
    if (!DeletionAllowed(path)) return 0;
    uint32_t cleared = ClearReadOnly(path);
    // the file is looked at and removed through one handle: what was checked is what goes
    void* handle = fileOps->Open(path, DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    FileInfo info;
    bool changed = false, removed = false;
    const FileIdentity* identity = copied ? copied->identity : nullptr;
    if (IsValidHandle(handle) && fileOps->GetInfo(handle, &info, identity ? kInfoIdentity : 0)) {
        FileIdentity now = {info.volumeSerial, info.fileIndex, info.fileIdHigh};
        changed = copied && ((copied->size >= 0 && (info.size != copied->size || info.times[2] != copied->lastWrite)) ||
                             (identity && !SameIdentity(now, *identity)));
        removed = !changed && fileOps->RemoveOpened(handle);
    }
    uint32_t error = changed ? ERROR_FILE_INVALID : GetLastError();
    CloseHandleOf(&handle);
    if (!removed) {
        PutBack(path, cleared);
        // the move asked for did not happen
        ReportFailure(error, changed ? "deleting source file changed since its copy began" : "deleting source file",
                      path);
        return 0;
    }
    if (!options.quiet) Print(" File deleted\n");
    return 1;
}

int RemoveCopiedSource(const CopyCall* call, int64_t size, const wchar_t* groupTarget) {
    // a link followed to its target was copied from there: the link itself has nothing to compare
    bool comparable = call->timesRead && call->sourcePath == call->entryPath;
    SourceAsCopied copied = {size, call->writeTime, nullptr};
    // a link group's copy is whole only with the security it gets after the walk
    if (call->securityPerGroup) groupTarget = call->finalPath;
    if (groupTarget && options.security && HoldSourceRemoval(groupTarget, call->entryPath, comparable ? &copied : nullptr))
        return 1;
    return RemoveSourceFileAsCopied(call->entryPath, comparable ? &copied : nullptr);
}

void RemoveEmptiedSourceFolders(const wchar_t* path) {
    static wchar_t folder[kPathCapacity];
    size_t root = wcsnlen(run.sourceFolder, kPathCapacity);
    while (root > 0 && run.sourceFolder[root - 1] == L'\\') --root;
    lstrcpynW(folder, path, kPathCapacity);
    for (;;) {
        wchar_t* slash = wcsrchr(folder, L'\\');
        if (!slash) return;
        *slash = 0;
        // the walk's root goes, if at all, as the walk's own folders do: at the end of the run
        size_t length = wcslen(folder);
        if (length <= root || _wcsnicmp(folder, run.sourceFolder, root) != 0 || folder[root] != L'\\') return;
        if (!RemoveSourceFolder(folder)) return;
    }
}

int RemoveSourceFolder(const wchar_t* path) {
    if (!options.deleteSource) return 0;
    // RemoveDirectory refuses a folder that still holds anything, so only a
    // folder whose every item was copied and removed can go; but it takes a
    // followed folder link away however full its target, so that goes only
    // when nothing is left below it
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes != kNoAttributes && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && !NothingBelow(path)) return 0;
    if (!DeletionAllowed(path)) return 0;
    uint32_t cleared = ClearReadOnly(path);
    if (fileOps->RemoveFolder(path)) {
        if (!options.quiet) Print(" Folder deleted\n");
        return 1;
    }
    PutBack(path, cleared);
    // a folder that still holds what was not copied stays, silently
    if (GetLastError() == ERROR_DIR_NOT_EMPTY) {
        DeletionNotDone();
        return 0;
    }
    ReportFailure(GetLastError(), "deleting source folder", path);
    return 0;
}
