// Sorted listings of one folder (optionally of a whole tree), the wildcard
// matcher shared by name masks and exclude masks, the one sort, and the
// string helpers of the tree operations.
#pragma once
#include <cstddef>
#include <cstdint>

struct FolderListing;

struct ListingEntry {
    wchar_t* name;            // own copy, as the file system reports it
    const wchar_t* folder;    // the owning listing's path (not owned)
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;       // FILETIME, 100 ns since 1601
    uint64_t fingerprint;     // sampled-content checksum, 0 until computed
    FolderListing* sub;       // listing of this sub-folder when recursive
};

// Packs a console position for progressAt; column and row -1: no count shown.
constexpr uint32_t ConsolePosition(int16_t column, int16_t row) {
    return static_cast<uint16_t>(column) | (static_cast<uint32_t>(static_cast<uint16_t>(row)) << 16);
}
constexpr uint32_t kNoProgress = 0xFFFFFFFFu;

struct FolderListing {
    wchar_t* path;            // own copy, ends in a backslash once filled
    wchar_t* mask;            // own copy, "*" for all names
    int32_t recursive;
    uint32_t progressAt;      // ConsolePosition(); kNoProgress for none
    uint32_t* fileCount;      // shared by a listing and its sub-listings, owned by the caller
    uint32_t* folderCount;
    ListingEntry** entries;
    int64_t count;
    int64_t unreadable;       // times the enumeration could not start
    // 0 when the listing does not hold every entry of the folder: the folder
    // could not be opened, enumeration failed midway, a stop was requested,
    // or more entries appeared than were counted. Covers the sub-listings.
    int32_t complete;
};

// Initialises and fills a listing. folderCount may be null. progressAt null:
// no running count. threadHandle null: filled at once on this thread;
// otherwise filled on a new thread whose handle is stored there, which the
// caller must wait for (and close) before reading the listing or counters.
// Returns the listing.
FolderListing* BuildListing(FolderListing* listing, const wchar_t* path, const wchar_t* mask,
                            uint32_t* fileCount, uint32_t* folderCount, int foldersFirst, int recursive,
                            const uint32_t* progressAt, void** threadHandle);
// A listing of path made from names a search of it already returned, filtered
// and sorted as BuildListing does; complete as the caller says. Each record needs
// to hold its name only as far as its terminator.
struct FoundName;
void ListFoundNames(FolderListing* listing, const wchar_t* path, const wchar_t* mask, const FoundName* const* names,
                    int64_t count, int complete);
// Number of names the search pattern returns without "." and ".."; 0 when the
// search cannot start.
int64_t CountEntries(const wchar_t* searchPattern);
// First entry whose name equals name ignoring case (ordinal, as the file
// system compares names); null if none or listing is null.
ListingEntry* FindInListing(FolderListing* listing, const wchar_t* name);
// Lookup of the existing target by the last path component of name (a bare
// name works as well).
ListingEntry* FindListingEntry(FolderListing* listing, const wchar_t* name);
// Frees all a listing owns; the record itself stays with its owner.
void FreeListing(FolderListing* listing);

// Ordinal comparison ignoring case, per UTF-16 unit: negative, 0 or positive.
int CompareNamesNoCase(const wchar_t* a, const wchar_t* b);
// Sort order of listings: folders first, then by name.
int CompareListingEntries(const void* a, const void* b);

// Wildcard match of one name against one mask ('?' one character, '*' any
// run); 1 or 0.
int MatchMask(const wchar_t* name, const wchar_t* mask);
// 1 when name matches one of the -e masks.
int IsExcluded(const wchar_t* name);

// In-place sort of count elements of elementSize bytes each.
void SortTable(void* base, int64_t count, size_t elementSize, int (*compare)(const void*, const void*));
// The pivot generator, process-wide, starting at seed 1.
uint32_t NextSortRandom();

// New heap string joining the parts up to the first null or empty one.
wchar_t* JoinStrings(const wchar_t* first, ...);
// Replaces every occurrence of search in text (a buffer of kPathCapacity
// characters) by replacement, ignoring case; returns the number replaced,
// 0 with text unchanged when the result would not fit.
int ReplaceAllNoCase(wchar_t* text, const wchar_t* search, const wchar_t* replacement);
