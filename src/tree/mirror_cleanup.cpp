// Mirror clean-up: surplus target entries go before anything is copied into
// their folder.
#include "mirror_cleanup.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

#include "console.h"
#include "directory_walk.h"
#include "dry_run.h"
#include "file_ops.h"
#include "folder_identity.h"
#include "folder_listing.h"
#include "heap_memory.h"
#include "options.h"
#include "partial_copy.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"
#include "tree_file_system.h"

namespace {

bool StopAsked() { return run.stopRequested || run.breakRequested; }

bool IsFolder(uint32_t attributes) { return (attributes & kAttributeDirectory) != 0; }
bool IsLink(uint32_t attributes) { return (attributes & kAttributeReparsePoint) != 0; }

// folder + name with exactly one backslash between them; free with FreeMemory.
wchar_t* ItemPath(const wchar_t* folder, const wchar_t* name) {
    size_t length = wcslen(folder);
    if (length && folder[length - 1] == L'\\') return JoinStrings(folder, name, nullptr);
    return JoinStrings(folder, L"\\", name, nullptr);
}

// A surplus entry that stays leaves the target unlike its source: the run
// must not end as a success.
void ReportNotRemoved(const wchar_t* path) { ReportFailure(GetLastError(), "deleting", path); }

constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// the folder's content was not all removable, or it is the source or target
constexpr int kFolderGuarded = 3;

// Opens an entry to remove it; a link is opened itself, never followed.
void* OpenForRemoval(const wchar_t* path, uint32_t share) {
    return fileOps->Open(path, DELETE | FILE_READ_ATTRIBUTES, share, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

bool SameKind(uint32_t a, uint32_t b) { return IsFolder(a) == IsFolder(b) && IsLink(a) == IsLink(b); }

// Removes what path names only while it is still of the kind it was listed as
// (file or folder, link or not): what was checked is what goes, and a link
// put in its place since is not followed anywhere.
int RemoveAsListed(const wchar_t* path, uint32_t listedAttributes) {
    void* handle = OpenForRemoval(path, kShareAll);
    if (!IsValidHandle(handle)) return 0;
    FileInfo info;
    int removed = fileOps->GetInfo(handle, &info, 0);
    if (removed && !SameKind(info.attributes, listedAttributes)) {
        SetLastError(ERROR_FILE_INVALID);
        removed = 0;
    }
    if (removed) removed = fileOps->RemoveOpened(handle);
    DWORD error = GetLastError();
    fileOps->Close(handle);
    SetLastError(error);
    return removed;
}

// Later lookups must not find what is gone; the order of the rest is kept.
void DropEntry(FolderListing* listing, int64_t index) {
    ListingEntry* entry = listing->entries[index];
    if (entry->sub) {
        FreeListing(entry->sub);
        FreeMemory(entry->sub);
    }
    FreeMemory(entry->name);
    FreeMemory(entry);
    memmove(listing->entries + index, listing->entries + index + 1,
            static_cast<size_t>(listing->count - index - 1) * sizeof(ListingEntry*));
    --listing->count;
    listing->entries[listing->count] = nullptr;
}

// One item inside a surplus folder that is not a real sub-folder.
void DeleteInnerItem(const wchar_t* path, const FoundName& found) {
    if (!DeletionAllowed(path)) return;
    if (!options.quiet) PrintName("delete file %S\n", SkipLongPrefix(path));
    if (found.attributes & kAttributeReadOnly) fileOps->SetAttributes(path, FILE_ATTRIBUTE_NORMAL);
    if (!RemoveAsListed(path, found.attributes)) ReportNotRemoved(path);
}

// The source has a real item where the target has a link: writing or walking
// into it would change what it points to, so the link itself goes.
bool RemoveLinkInTheWay(const wchar_t* path, uint32_t attributes) {
    if (!DeletionAllowed(path)) return false;
    if (!options.quiet) PrintName("delete reparse point %S\n", SkipLongPrefix(path));
    if (RemoveAsListed(path, attributes)) return true;
    ReportNotRemoved(path);
    return false;
}

bool Gone(const wchar_t* path) { return fileOps->GetAttributes(path) == kNoAttributes; }

// An interrupted copy of a file the source still has: its copy resumes it.
bool IsCopyInProgress(const ListingEntry* entry, FolderListing* sourceListing) {
    size_t base = 0;
    if (IsFolder(entry->attributes) || !IsPartialName(entry->name, &base) || base >= kPathCapacity) return false;
    static wchar_t name[kPathCapacity];
    wmemcpy(name, entry->name, base);
    name[base] = 0;
    ListingEntry* source = FindInListing(sourceListing, name);
    return source && !IsFolder(source->attributes);
}

}  // namespace

int MirrorDeleteFolder(const wchar_t* path, int depth) {
    FileOps* fs = fileOps;
    uint32_t attributes = fs->GetAttributes(path);
    if (attributes == kNoAttributes && GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
        ReportNotRemoved(path);
    if (attributes == kNoAttributes || !IsFolder(attributes)) return 0;
    if (IsLink(attributes)) {
        // the folder a link points to lies outside what is being cleaned up
        if (!DeletionAllowed(path)) return 0;
        if (!options.quiet) PrintName("delete reparse point %S\n", SkipLongPrefix(path));
        if (!RemoveAsListed(path, attributes)) ReportNotRemoved(path);
        return 0;
    }
    if (depth > kMaxWalkDepth) {
        ReportFailure(ERROR_FILENAME_EXCED_RANGE, "deleting, nested deeper than a walk goes,", path);
        return kFolderGuarded;
    }
    // held without shared deletion while its content goes: it cannot be moved
    // away and a link put in its place
    void* folder = OpenForRemoval(path, FILE_SHARE_READ | FILE_SHARE_WRITE);
    FileInfo info;
    if (!IsValidHandle(folder) || !fs->GetInfo(folder, &info, kInfoIdentity)) {
        ReportFailure(GetLastError(), "opening", path);
        CloseHandleOf(&folder);
        return 1;
    }
    FolderId id = {static_cast<uint32_t>(info.volumeSerial), info.fileIndex};
    if (!SameKind(info.attributes, attributes) || IsGuardedId(id)) {
        // reached through a mount or a link swapped in: the source or target itself
        ReportFailure(ERROR_CANT_RESOLVE_FILENAME, "deleting the source or target folder", path);
        CloseHandleOf(&folder);
        return kFolderGuarded;
    }

    wchar_t* pattern = JoinStrings(path, L"\\*", nullptr);
    FoundName found;
    void* search = fs->FindFirst(pattern, &found);
    if (!search) {
        ReportFailure(GetLastError(), "opening", pattern);
        FreeMemory(pattern);
        CloseHandleOf(&folder);
        return 1;
    }
    FreeMemory(pattern);

    DWORD endError = ERROR_NO_MORE_FILES;
    bool stopped = false;
    for (;;) {
        if (!IsDotName(found.name)) {
            wchar_t* item = ItemPath(path, found.name);
            if (IsFolder(found.attributes) && !IsLink(found.attributes))
                stopped = MirrorDeleteFolder(item, depth + 1) == kFolderGuarded;
            else
                DeleteInnerItem(item, found);
            FreeMemory(item);
        }
        AskStopIfPending();
        if (stopped || StopAsked()) break;
        if (!fs->FindNext(search, &found)) {
            endError = GetLastError();
            break;
        }
    }
    fs->FindEnd(search);

    int result = 0;
    if (stopped) {
        result = kFolderGuarded;
    } else if (StopAsked()) {
    } else if (endError != ERROR_NO_MORE_FILES) {
        // names not yet seen may still be in there
        SetLastError(endError);
        ReportNotRemoved(path);
        result = 2;
    } else if (DeletionAllowed(path)) {
        if (!options.quiet) PrintName("delete folder %S\n", SkipLongPrefix(path));
        if (!fs->RemoveOpened(folder)) ReportNotRemoved(path);
    }
    CloseHandleOf(&folder);
    return result;
}

void MirrorPass(const wchar_t* targetFolder, FolderListing* targetListing, FolderListing* sourceListing,
                int depth) {
    if (!targetFolder || !targetListing || !sourceListing) return;
    // a name missing from a partial listing may still be in the source
    if (!sourceListing->complete) return;
    int64_t index = 0;
    // a first Ctrl+C is answered before the next deletion
    while (index < targetListing->count && (AskStopIfPending(), !StopAsked())) {
        ListingEntry* entry = targetListing->entries[index];
        ListingEntry* source = FindInListing(sourceListing, entry->name);
        wchar_t* path = ItemPath(targetFolder, entry->name);
        bool removed = false;
        // a name the source now holds as the other kind is surplus as well
        if (!source && IsCopyInProgress(entry, sourceListing)) {
            // not surplus: left for the copy of its file
        } else if (!source || IsFolder(entry->attributes) != IsFolder(source->attributes)) {
            if (IsFolder(entry->attributes)) {
                MirrorDeleteFolder(path, depth);
                removed = Gone(path);
            } else if (DeletionAllowed(path)) {
                if (!options.quiet) PrintName("delete file %S\n", SkipLongPrefix(path));
                removed = RemoveAsListed(path, entry->attributes) != 0;
                if (!removed) ReportNotRemoved(path);
            }
        } else if (IsLink(entry->attributes) && (!IsLink(source->attributes) || options.parseReparse)) {
            // a source link that is copied as a link replaces the target link itself
            removed = RemoveLinkInTheWay(path, entry->attributes);
        }
        FreeMemory(path);
        if (removed)
            DropEntry(targetListing, index);
        else
            ++index;
    }
}
