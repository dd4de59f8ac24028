// The scan of -scan: source files found in the target under another name or
// path are linked into place before the walk, so they are not copied again.
#pragma once
#include <cstddef>
#include <cstdint>

struct FolderListing;
struct ListingEntry;

constexpr int64_t kScanMinimumSize = 512;     // smaller files are left to the walk
constexpr int64_t kFingerprintPiece = 1048576;

// All files of one listing tree, sorted by size ascending.
struct FileTable {
    int64_t count;
    ListingEntry** entries;
};

// Collects the files of the tree (reparse points left out), at most
// fileCount, and sorts them by size. The caller frees with FreeFileTable.
int BuildFileTable(FileTable* table, FolderListing* tree, int64_t fileCount);
void FreeFileTable(FileTable* table);
// Number of entries of that size, the first of them through first; 0 if none.
int64_t FindSizeRange(const FileTable* table, int64_t size, int64_t* first);

// Whether the fingerprint reads the whole file rather than three samples.
int UsesWholeFile(int64_t size, int64_t sampleSize);
// Start of sample region 0, 1 or 2 of a sampled fingerprint.
int64_t SampleRegionStart(int64_t size, int64_t sampleSize, int region);
// CRC-64 of the samples (or the whole file); 0 with *error set when the file
// cannot be opened or read completely, or when it changed size meanwhile.
uint64_t Fingerprint(const wchar_t* path, int64_t size, int64_t sampleSize, uint32_t* error);

// Folder path and name of an entry into out; 0 when it does not fit.
int JoinPathInto(const ListingEntry* entry, wchar_t* out, size_t capacity);
// The same as a new heap string (FreeMemory).
wchar_t* JoinPath(const ListingEntry* entry);

// Computes the missing fingerprints of a pair of equal size; 1 when equal.
int FilesIdentical(ListingEntry* source, ListingEntry* target);
// Whether a target file may be re-used for another name: its own source
// counterpart no longer exists and it has exactly one name.
int IsSurplusTarget(const wchar_t* targetPath);
// Links source files found in the target into their expected place.
void ScanTarget(FolderListing* sourceTree, FolderListing* targetTree);
// The scan start of the run driver: both trees listed on two threads with
// their counts shown, then ScanTarget.
void RunScan();
