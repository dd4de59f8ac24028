// Sorted listings of a folder or a folder tree.
#include "folder_listing.h"

#include <windows.h>

#include <cstring>

#include "console.h"
#include "directory_walk.h"
#include "heap_memory.h"
#include "options.h"
#include "run_state.h"
#include "text_format.h"
#include "tree_file_system.h"

namespace {

bool StopAsked() { return run.stopRequested || run.breakRequested; }

wchar_t* CopyWithRoom(const wchar_t* text, size_t extra) {
    size_t length = wcslen(text);
    wchar_t* copy = static_cast<wchar_t*>(AllocZero((length + 1 + extra) * sizeof(wchar_t)));
    memcpy(copy, text, length * sizeof(wchar_t));
    return copy;
}

void ShowCount(uint32_t position, uint32_t count) {
    if (position == kNoProgress) return;
    wchar_t text[16];
    FormatTextW(text, 16, L"%u", count);
    PrintAtW(position, text);
}

void AddEntry(FolderListing* listing, ListingEntry* entry, int64_t* capacity) {
    if (listing->count == *capacity) {
        int64_t grown = *capacity ? *capacity * 2 : 64;
        ListingEntry** entries = static_cast<ListingEntry**>(AllocZero(static_cast<size_t>(grown) * sizeof(ListingEntry*)));
        if (listing->count) memcpy(entries, listing->entries, static_cast<size_t>(listing->count) * sizeof(ListingEntry*));
        FreeMemory(listing->entries);
        listing->entries = entries;
        *capacity = grown;
    }
    listing->entries[listing->count++] = entry;
}

void AddFound(FolderListing* listing, const FoundName& found, int64_t* capacity) {
    ListingEntry* entry = static_cast<ListingEntry*>(AllocZero(sizeof(ListingEntry)));
    entry->name = CopyWithRoom(found.name, 0);
    entry->folder = listing->path;
    entry->attributes = found.attributes;
    entry->size = found.size;
    entry->lastWrite = found.lastWrite;
    AddEntry(listing, entry, capacity);
}

void InitListing(FolderListing* listing, const wchar_t* path, const wchar_t* mask, uint32_t* fileCount,
                 uint32_t* folderCount, int recursive, const uint32_t* progressAt) {
    memset(listing, 0, sizeof *listing);
    listing->path = CopyWithRoom(path, 1);
    listing->mask = CopyWithRoom(mask && *mask ? mask : L"*", 0);
    listing->recursive = recursive;
    listing->progressAt = progressAt ? *progressAt : kNoProgress;
    listing->fileCount = fileCount;
    listing->folderCount = folderCount;
}

// One enumeration fills the table, which grows as needed: a counting pass
// beforehand would read every folder twice and still race with new entries.
// depth counts the levels below the listed root, bounded as the walk is.
void FillListing(FolderListing* listing, int depth) {
    FileOps* fs = fileOps;
    size_t pathLength = wcslen(listing->path);
    if (pathLength == 0 || listing->path[pathLength - 1] != L'\\') listing->path[pathLength++] = L'\\';
    wchar_t* pattern = CopyWithRoom(listing->path, 1);
    pattern[pathLength] = L'*';
    bool allNames = listing->mask[0] == L'*' && listing->mask[1] == 0;

    FoundName found;
    int64_t capacity = 0;
    DWORD shownAt = GetTickCount();
    void* search = fs->FindFirst(pattern, &found);
    if (!search) {
        ++listing->unreadable;
        listing->complete = 0;
    } else {
        listing->complete = 1;
        for (;;) {
            bool folder = (found.attributes & kAttributeDirectory) != 0;
            if (!IsDotName(found.name) && (folder || allNames || MatchMask(found.name, listing->mask)) &&
                !IsExcluded(found.name)) {
                AddFound(listing, found, &capacity);
                if (folder) {
                    if (listing->folderCount) ++*listing->folderCount;
                } else if (listing->fileCount) {
                    ++*listing->fileCount;
                }
                if (listing->progressAt != kNoProgress && GetTickCount() - shownAt > 100) {
                    ShowCount(listing->progressAt, listing->fileCount ? *listing->fileCount : 0);
                    shownAt = GetTickCount();
                }
            }
            if (StopAsked()) {
                listing->complete = 0;
                break;
            }
            if (!fs->FindNext(search, &found)) {
                if (GetLastError() != ERROR_NO_MORE_FILES) listing->complete = 0;
                break;
            }
        }
        DWORD error = GetLastError();
        fs->FindEnd(search);
        SetLastError(error);
    }
    FreeMemory(pattern);
    ShowCount(listing->progressAt, listing->fileCount ? *listing->fileCount : 0);
    SortTable(listing->entries, listing->count, sizeof(ListingEntry*), CompareListingEntries);

    if (!listing->recursive) return;
    if (StopAsked()) {
        listing->complete = 0;
        return;
    }
    for (int64_t i = 0; i < listing->count; ++i) {
        ListingEntry* entry = listing->entries[i];
        if (!(entry->attributes & kAttributeDirectory)) continue;
        // links are entered only when -p asks to look through them
        if ((entry->attributes & kAttributeReparsePoint) && !options.parseReparse) continue;
        if (depth >= kMaxWalkDepth) {
            Print("path nested too deep (max %i) -> skip folder %S\n", kMaxWalkDepth, entry->name);
            listing->complete = 0;
            continue;
        }
        wchar_t* subPath = static_cast<wchar_t*>(AllocZero((pathLength + wcslen(entry->name) + 2) * sizeof(wchar_t)));
        memcpy(subPath, listing->path, pathLength * sizeof(wchar_t));
        wcscpy(subPath + pathLength, entry->name);
        entry->sub = static_cast<FolderListing*>(AllocZero(sizeof(FolderListing)));
        uint32_t position = listing->progressAt;
        InitListing(entry->sub, subPath, listing->mask, listing->fileCount, listing->folderCount, 1, &position);
        FillListing(entry->sub, depth + 1);
        FreeMemory(subPath);
        if (!entry->sub->complete) listing->complete = 0;
        if (StopAsked()) {
            listing->complete = 0;
            return;
        }
    }
}

DWORD WINAPI ListingThread(void* parameter) {
    FillListing(static_cast<FolderListing*>(parameter), 0);
    return 0;
}

// First index in [from, to) whose name is not below name (ordinal, no case).
int64_t LowerBound(ListingEntry** entries, int64_t from, int64_t to, const wchar_t* name) {
    while (from < to) {
        int64_t middle = from + (to - from) / 2;
        if (CompareNamesNoCase(entries[middle]->name, name) < 0)
            from = middle + 1;
        else
            to = middle;
    }
    return from;
}

}  // namespace

int CompareListingEntries(const void* a, const void* b) {
    const ListingEntry* x = *static_cast<ListingEntry* const*>(a);
    const ListingEntry* y = *static_cast<ListingEntry* const*>(b);
    bool xFolder = (x->attributes & kAttributeDirectory) != 0;
    bool yFolder = (y->attributes & kAttributeDirectory) != 0;
    if (xFolder != yFolder) return xFolder ? -1 : 1;
    // ordered as names are looked up, so that a lookup can bisect
    int order = CompareNamesNoCase(x->name, y->name);
    if (order) return order;
    return wcscmp(x->name, y->name);
}

FolderListing* BuildListing(FolderListing* listing, const wchar_t* path, const wchar_t* mask, uint32_t* fileCount,
                            uint32_t* folderCount, int foldersFirst, int recursive, const uint32_t* progressAt,
                            void** threadHandle) {
    // every caller asks for folders first, which lookups rely on
    (void)foldersFirst;
    InitListing(listing, path, mask, fileCount, folderCount, recursive, progressAt);
    if (threadHandle) {
        *threadHandle = CreateThread(nullptr, 0, ListingThread, listing, 0, nullptr);
        if (*threadHandle) return listing;
    }
    FillListing(listing, 0);
    return listing;
}

void ListFoundNames(FolderListing* listing, const wchar_t* path, const wchar_t* mask, const FoundName* const* names,
                    int64_t count, int complete) {
    InitListing(listing, path, mask, nullptr, nullptr, 0, nullptr);
    size_t pathLength = wcslen(listing->path);
    if (pathLength == 0 || listing->path[pathLength - 1] != L'\\') listing->path[pathLength] = L'\\';
    bool allNames = listing->mask[0] == L'*' && listing->mask[1] == 0;
    int64_t capacity = 0;
    for (int64_t i = 0; i < count; ++i) {
        const FoundName& found = *names[i];
        bool folder = (found.attributes & kAttributeDirectory) != 0;
        if (!IsDotName(found.name) && (folder || allNames || MatchMask(found.name, listing->mask)) &&
            !IsExcluded(found.name))
            AddFound(listing, found, &capacity);
    }
    listing->complete = complete;
    SortTable(listing->entries, listing->count, sizeof(ListingEntry*), CompareListingEntries);
}

int64_t CountEntries(const wchar_t* searchPattern) {
    FoundName found;
    void* search = fileOps->FindFirst(searchPattern, &found);
    if (!search) return 0;
    int64_t count = 0;
    do {
        if (!IsDotName(found.name)) ++count;
    } while (fileOps->FindNext(search, &found));
    fileOps->FindEnd(search);
    return count;
}

ListingEntry* FindInListing(FolderListing* listing, const wchar_t* name) {
    if (!listing || !name || !listing->count) return nullptr;
    ListingEntry** entries = listing->entries;
    int64_t folders = 0;
    {
        // the folders come first; find where the files begin
        int64_t from = 0, to = listing->count;
        while (from < to) {
            int64_t middle = from + (to - from) / 2;
            if (entries[middle]->attributes & kAttributeDirectory)
                from = middle + 1;
            else
                to = middle;
        }
        folders = from;
    }
    int64_t at = LowerBound(entries, 0, folders, name);
    if (at < folders && CompareNamesNoCase(entries[at]->name, name) == 0) return entries[at];
    at = LowerBound(entries, folders, listing->count, name);
    if (at < listing->count && CompareNamesNoCase(entries[at]->name, name) == 0) return entries[at];
    return nullptr;
}

ListingEntry* FindListingEntry(FolderListing* listing, const wchar_t* name) {
    if (!name) return nullptr;
    const wchar_t* last = name;
    for (const wchar_t* p = name; *p; ++p)
        if (*p == L'\\' && p[1]) last = p + 1;
    // a trailing backslash does not belong to the name
    size_t length = wcslen(last);
    if (length && last[length - 1] == L'\\') {
        wchar_t* trimmed = CopyWithRoom(last, 0);
        trimmed[length - 1] = 0;
        ListingEntry* entry = FindInListing(listing, trimmed);
        FreeMemory(trimmed);
        return entry;
    }
    return FindInListing(listing, last);
}

void FreeListing(FolderListing* listing) {
    if (!listing) return;
    for (int64_t i = 0; i < listing->count; ++i) {
        ListingEntry* entry = listing->entries[i];
        if (!entry) continue;
        if (entry->sub) {
            FreeListing(entry->sub);
            FreeMemory(entry->sub);
        }
        FreeMemory(entry->name);
        FreeMemory(entry);
    }
    FreeMemory(listing->entries);
    FreeMemory(listing->path);
    FreeMemory(listing->mask);
    listing->entries = nullptr;
    listing->path = nullptr;
    listing->mask = nullptr;
    listing->count = 0;
}
