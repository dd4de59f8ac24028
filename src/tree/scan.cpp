// The scan: size table, fingerprint comparison and the links into place.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "dry_run.h"
#include "folder_listing.h"
#include "partial_copy.h"
#include "heap_memory.h"
#include "link_groups.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "scan.h"
#include "target_folders.h"
#include "text_format.h"
#include "transfer_state.h"
#include "tree_file_system.h"

namespace {

bool StopAsked() { return run.stopRequested || run.breakRequested; }

int CompareSizes(const void* a, const void* b) {
    int64_t x = (*static_cast<ListingEntry* const*>(a))->size;
    int64_t y = (*static_cast<ListingEntry* const*>(b))->size;
    return x < y ? -1 : x > y ? 1 : 0;
}

void CollectFiles(FileTable* table, int64_t capacity, FolderListing* listing) {
    for (int64_t i = 0; listing && i < listing->count && !StopAsked(); ++i) {
        ListingEntry* entry = listing->entries[i];
        if (entry->sub) {
            CollectFiles(table, capacity, entry->sub);
        } else if (!(entry->attributes & (kAttributeReparsePoint | kAttributeDirectory)) && table->count < capacity) {
            table->entries[table->count++] = entry;
        }
    }
}

struct FingerprintJob {
    ListingEntry* entry;
    wchar_t path[kPathCapacity];
    uint32_t error;
    void* thread;
};

FingerprintJob sourceJob, targetJob;

DWORD WINAPI FingerprintThread(void* parameter) {
    FingerprintJob* job = static_cast<FingerprintJob*>(parameter);
    uint64_t value = Fingerprint(job->path, job->entry->size, options.testSize, &job->error);
    if (!job->error) job->entry->fingerprint = value;
    return 0;
}

// Starts the job on a thread when the two drives can be read at once; else runs it.
void StartFingerprint(FingerprintJob* job, ListingEntry* entry) {
    job->entry = entry;
    job->error = 0;
    job->thread = nullptr;
    if (!JoinPathInto(entry, job->path, kPathCapacity)) {
        job->error = ERROR_FILENAME_EXCED_RANGE;
        return;
    }
    if (run.parallel && wcslen(job->path) >= 5) job->thread = CreateThread(nullptr, 0, FingerprintThread, job, 0, nullptr);
    if (!job->thread) FingerprintThread(job);
}

void WaitFingerprint(FingerprintJob* job) {
    if (!job->thread) return;
    WaitForSingleObject(job->thread, INFINITE);
    CloseHandle(job->thread);
    job->thread = nullptr;
}

// The question after a failed computation run on this thread: N retries.
bool RetryAfterError(FingerprintJob* job) {
    if (job->thread || !job->error) return false;
    PrintError("Error %s reading source - Abort (Y/N)?", ErrorName(job->error));
    // where nothing is asked, a dry run's among them, the fingerprint stays unknown
    wchar_t answer = engineConsoleCheck() ? Prompt(L"YN", L'Y') : L'Y';
    PrintError("\n");
    return answer == L'N' && !StopAsked();
}

bool ComputeMissing(FingerprintJob* job, ListingEntry* entry) {
    if (entry->fingerprint) return true;
    do StartFingerprint(job, entry);
    while (RetryAfterError(job));
    return job->thread || !job->error;
}

bool PathMissing(const wchar_t* path) {
    if (fileOps->GetAttributes(path) != INVALID_FILE_ATTRIBUTES) return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Cuts path after its last backslash but one: the folder holding the file.
bool ParentOf(const wchar_t* path, wchar_t* out, size_t capacity) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    if (!slash || static_cast<size_t>(slash - path) >= capacity) return false;
    wmemcpy(out, path, slash - path);
    out[slash - path] = 0;
    return true;
}

// Creates the folder and every missing parent, default security.
bool MakeFolders(wchar_t* folder) {
    if (fileOps->CreateFolder(folder) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
    if (GetLastError() != ERROR_PATH_NOT_FOUND) return false;
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (!slash || slash == folder) return false;
    *slash = 0;
    bool parent = MakeFolders(folder);
    *slash = L'\\';
    return parent && (fileOps->CreateFolder(folder) || GetLastError() == ERROR_ALREADY_EXISTS);
}

wchar_t expectedPath[kPathCapacity];
wchar_t sourcePath[kPathCapacity];
wchar_t candidatePath[kPathCapacity];
wchar_t counterpartPath[kPathCapacity];
wchar_t folderPath[kPathCapacity];
wchar_t sourceFolderPath[kPathCapacity];

enum CandidateState : uint8_t { kUnchecked = 0, kUsable, kNotUsable };

// Links E to T; 1 on success.
int LinkIntoPlace(const wchar_t* expected, const wchar_t* target) {
    ClearLine();
    if (!ParentOf(expected, folderPath, kPathCapacity)) return 0;
    bool parentExists = IsFolder(folderPath) || MakeFolders(folderPath);
    if (!parentExists) return 0;
    if (ParentOf(sourcePath, sourceFolderPath, kPathCapacity)) CopyFolderTimes(sourceFolderPath, folderPath);
    if (!PathMissing(expected)) return 0;
    NoteReuse(expected);
    if (!fileOps->Link(expected, target)) {
        PrintError("creating hardlink %S pointing to %S failed; err=%s\n", SkipLongPrefix(expected),
                   SkipLongPrefix(target), LastErrorName());
        return 0;
    }
    if (!options.quiet) PrintNameW(L"source file %s found in target -> hardlink created\n", SkipLongPrefix(sourcePath));
    ++run.linksCreated;
    return 1;
}

}  // namespace

int BuildFileTable(FileTable* table, FolderListing* tree, int64_t fileCount) {
    table->count = 0;
    table->entries = nullptr;
    if (fileCount <= 0) return 1;
    table->entries = static_cast<ListingEntry**>(AllocZero(static_cast<size_t>(fileCount) * sizeof(ListingEntry*)));
    CollectFiles(table, fileCount, tree);
    SortTable(table->entries, table->count, sizeof(ListingEntry*), CompareSizes);
    return 1;
}

void FreeFileTable(FileTable* table) {
    FreeMemory(table->entries);
    table->entries = nullptr;
    table->count = 0;
}

int64_t FindSizeRange(const FileTable* table, int64_t size, int64_t* first) {
    if (first) *first = 0;
    if (!table || table->count <= 0) return 0;
    int64_t low = 0, high = table->count;
    while (low < high) {
        int64_t middle = low + (high - low) / 2;
        if (table->entries[middle]->size < size)
            low = middle + 1;
        else
            high = middle;
    }
    int64_t end = low;
    while (end < table->count && table->entries[end]->size == size) ++end;
    if (end == low) return 0;
    if (first) *first = low;
    return end - low;
}

int JoinPathInto(const ListingEntry* entry, wchar_t* out, size_t capacity) {
    return FormatTextW(out, capacity, L"%s%s", entry->folder, entry->name) < static_cast<int>(capacity) - 1 ? 1 : 0;
}

wchar_t* JoinPath(const ListingEntry* entry) { return JoinStrings(entry->folder, entry->name, nullptr); }

int FilesIdentical(ListingEntry* source, ListingEntry* target) {
    if (source->size == 0 && target->size == 0) return 0;
    bool sourceKnown = ComputeMissing(&sourceJob, source);
    bool targetKnown = sourceKnown && ComputeMissing(&targetJob, target);
    WaitFingerprint(&sourceJob);
    WaitFingerprint(&targetJob);
    // a failed fingerprint is 0: two failures must not compare equal
    if (!sourceKnown || !targetKnown || StopAsked()) return 0;
    return source->fingerprint != 0 && source->fingerprint == target->fingerprint;
}

int IsSurplusTarget(const wchar_t* targetPath) {
    // an interrupted copy is never taken for a finished file
    if (IsPartialName(targetPath, nullptr)) return 0;
    if (!TargetToSource(targetPath, counterpartPath, kPathCapacity)) return 0;
    // its own source still holds it: a link would make two live files one
    if (!PathMissing(counterpartPath)) return 0;
    return LinkInfo(targetPath, nullptr) == 1;
}

void ScanTarget(FolderListing* sourceTree, FolderListing* targetTree) {
    int64_t sourceFiles = sourceTree && sourceTree->fileCount ? *sourceTree->fileCount : 0;
    int64_t targetFiles = targetTree && targetTree->fileCount ? *targetTree->fileCount : 0;
    if (sourceFiles <= 0 || targetFiles <= 0) return;
    FileTable sources, targets;
    BuildFileTable(&sources, sourceTree, sourceFiles);
    BuildFileTable(&targets, targetTree, targetFiles);
    // each target file is re-used at most once
    uint8_t* state = static_cast<uint8_t*>(AllocZero(static_cast<size_t>(targets.count) + 1));

    Print("Scan for identical file sizes...");
    uint32_t pairs = 0;
    for (int64_t i = 0; i < sources.count; ++i) {
        if (sources.entries[i]->size < kScanMinimumSize) continue;
        int64_t first = 0;
        pairs += static_cast<uint32_t>(FindSizeRange(&targets, sources.entries[i]->size, &first));
    }
    Print("diff checking %u file pairs...", pairs);

    const int replaceable = run.sourceRootLength > 0 && run.targetRootLength > 0;
    for (int64_t i = 0; replaceable && i < sources.count && !StopAsked(); ++i) {
        ListingEntry* source = sources.entries[i];
        if (source->size < kScanMinimumSize) continue;
        int64_t first = 0;
        int64_t count = FindSizeRange(&targets, source->size, &first);
        if (!count) continue;
        if (!JoinPathInto(source, sourcePath, kPathCapacity)) continue;
        wcscpy(expectedPath, sourcePath);
        if (!ReplaceAllNoCase(expectedPath, run.sourceRoot, run.targetRoot)) continue;
        // a file at the expected place is never replaced
        if (!PathMissing(expectedPath)) continue;
        for (int64_t t = first; t < first + count; ++t) {
            if (state[t] == kNotUsable) continue;
            ListingEntry* target = targets.entries[t];
            if (!JoinPathInto(target, candidatePath, kPathCapacity)) {
                state[t] = kNotUsable;
                continue;
            }
            if (lstrcmpW(expectedPath, candidatePath) == 0) continue;
            if (state[t] == kUnchecked) state[t] = IsSurplusTarget(candidatePath) ? kUsable : kNotUsable;
            if (state[t] != kUsable || !FilesIdentical(source, target)) continue;
            if (LinkIntoPlace(expectedPath, candidatePath)) {
                state[t] = kNotUsable;
                break;
            }
            if (!PathMissing(expectedPath)) break;
        }
    }
    EndLine();
    FreeMemory(state);
    FreeFileTable(&sources);
    FreeFileTable(&targets);
}

void RunScan() {
    EndLine();
    PrintW(L"scanning file pool: ");
    int sourceColumn = -1, sourceRow = -1, targetColumn = -1, targetRow = -1;
    bool shown = GetCursorPosition(&sourceColumn, &sourceRow) != 0;
    EndLine();
    PrintW(L"scanning file pool: ");
    shown = GetCursorPosition(&targetColumn, &targetRow) && shown;
    if (shown && sourceRow == targetRow) sourceRow = targetRow - 1;
    uint32_t sourceAt = shown ? ConsolePosition(static_cast<int16_t>(sourceColumn), static_cast<int16_t>(sourceRow))
                              : kNoProgress;
    uint32_t targetAt = shown ? ConsolePosition(static_cast<int16_t>(targetColumn), static_cast<int16_t>(targetRow))
                              : kNoProgress;
    AppendCharIfMissing(run.targetFolder, kPathCapacity, L'\\');

    FolderListing* targetTree = static_cast<FolderListing*>(AllocZero(sizeof(FolderListing)));
    FolderListing* sourceTree = static_cast<FolderListing*>(AllocZero(sizeof(FolderListing)));
    uint32_t targetFiles = 0, targetFolders = 0, sourceFiles = 0, sourceFolders = 0;
    void* targetThread = nullptr;
    void* sourceThread = nullptr;
    BuildListing(targetTree, run.targetFolder, L"*", &targetFiles, &targetFolders, 1, 1, &targetAt, &targetThread);
    BuildListing(sourceTree, run.sourceFolder, run.sourceName[0] ? run.sourceName : L"*", &sourceFiles,
                 &sourceFolders, 1, 1, &sourceAt, &sourceThread);
    if (targetThread) WaitForSingleObject(targetThread, INFINITE);
    if (sourceThread) WaitForSingleObject(sourceThread, INFINITE);

    Print("\n%Ii source file%s", static_cast<int64_t>(sourceFiles), PluralS(sourceFiles));
    if (sourceFolders) Print(" in %Ii sub-dir%s", static_cast<int64_t>(sourceFolders), PluralS(sourceFolders));
    Print("\n%Ii file%s present in target", static_cast<int64_t>(targetFiles), PluralS(targetFiles));
    if (targetFolders) Print(" in %Ii sub-dir%s", static_cast<int64_t>(targetFolders), PluralS(targetFolders));
    Print("\n");
    EndLine();

    if (!StopAsked()) ScanTarget(sourceTree, targetTree);
    if (targetThread) CloseHandle(targetThread);
    if (sourceThread) CloseHandle(sourceThread);
    FreeListing(targetTree);
    FreeListing(sourceTree);
    FreeMemory(targetTree);
    FreeMemory(sourceTree);
}
