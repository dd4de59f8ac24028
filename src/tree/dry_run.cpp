// The action lines and counts of -dry, and the deletion cap of -maxdel.
#include "dry_run.h"

#include <windows.h>

#include <cwchar>

#include "console.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"

DryRunCounts dryRunCounts;

namespace {

constexpr int kMaxRemovedDepth = 1100;   // beyond the walk's depth limit

const char* const kActionNames[kDryActionCount] = {"copy",          "overwrite", "skip",
                                                   "delete file",   "delete folder", "create folder",
                                                   "link",          "re-use",    "remove source"};

// The cap is for what a mirror removes from the target and -ds from the source.
bool IsCapped(DryAction action) {
    if (action == kDryRemoveSource) return true;
    return options.mirror && (action == kDryDeleteFile || action == kDryDeleteFolder);
}

// path without the long-path prefix and a trailing backslash, into out
void Plain(const wchar_t* path, wchar_t* out) {
    lstrcpynW(out, SkipLongPrefix(path), kPathCapacity);
    size_t length = wcslen(out);
    if (length > 3 && out[length - 1] == L'\\') out[length - 1] = 0;
}

void PrintActionLine(const char* action, const char* reason, const wchar_t* path) {
    char format[160];
    if (reason)
        wsprintfA(format, "%s (%s): %%S\n", action, reason);
    else
        wsprintfA(format, "%s: %%S\n", action);
    static wchar_t shown[kPathCapacity];
    Plain(path, shown);
    // the path goes in as an argument, never as part of the format
    PrintName(format, shown);
}

// Files the scan would link into place, by path: the walk's listings were
// read before and cannot hold them.
struct Reused {
    wchar_t* path;
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;
};
Reused* reused;
int64_t reusedCount, reusedCapacity;

// Pretended -ds removals per folder, for the folders on the walk's path: the
// walk is depth first, so the folder of a removal is, or is below, the last.
struct Removed {
    wchar_t* folder;
    int64_t count;
};
Removed removedStack[kMaxRemovedDepth];
int removedDepth;

bool IsSameOrBelow(const wchar_t* path, const wchar_t* folder) {
    size_t length = wcslen(folder);
    return _wcsnicmp(path, folder, length) == 0 && (path[length] == 0 || path[length] == L'\\');
}

// Drops the folders that are not path's own or above it: they are done.
void UnwindTo(const wchar_t* path) {
    while (removedDepth > 0 && !IsSameOrBelow(path, removedStack[removedDepth - 1].folder))
        FreeMemory(removedStack[--removedDepth].folder);
}

}  // namespace

void DryNoteRemoved(const wchar_t* path) {
    static wchar_t folder[kPathCapacity];
    Plain(path, folder);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (!slash) return;
    *slash = 0;
    UnwindTo(folder);
    Removed* top = removedDepth ? &removedStack[removedDepth - 1] : nullptr;
    if (top && _wcsicmp(top->folder, folder) == 0) {
        ++top->count;
    } else if (removedDepth < kMaxRemovedDepth) {
        removedStack[removedDepth++] = {DuplicateString(folder), 1};
    }
}

int64_t DryRemovedIn(const wchar_t* folder) {
    static wchar_t plain[kPathCapacity];
    Plain(folder, plain);
    UnwindTo(plain);
    if (!removedDepth || _wcsicmp(removedStack[removedDepth - 1].folder, plain) != 0) return 0;
    int64_t count = removedStack[--removedDepth].count;
    FreeMemory(removedStack[removedDepth].folder);
    return count;
}

int DryRunAction(DryAction action, const wchar_t* path, const char* reason, int64_t bytes) {
    if (IsCapped(action)) {
        if (options.maxDeletions >= 0 && dryRunCounts.deletions >= options.maxDeletions) {
            ++dryRunCounts.notDeleted;
            PrintActionLine("skip", "deletion cap reached", path);
            return kDryNotDone;
        }
        ++dryRunCounts.deletions;
    }
    if (!options.dryRun) return kDryAct;
    ++dryRunCounts.actions[action];
    dryRunCounts.bytes += bytes;
    // -q keeps the lines of what would change
    if (action != kDrySkip || !options.quiet) PrintActionLine(kActionNames[action], reason, path);
    return kDryPretend;
}

void DryRememberReused(const wchar_t* path, uint32_t attributes, int64_t size, uint64_t lastWrite) {
    if (reusedCount == reusedCapacity) {
        int64_t capacity = reusedCapacity ? reusedCapacity * 2 : 64;
        Reused* grown = static_cast<Reused*>(AllocZero(static_cast<size_t>(capacity) * sizeof(Reused)));
        if (reusedCount) memcpy(grown, reused, static_cast<size_t>(reusedCount) * sizeof(Reused));
        FreeMemory(reused);
        reused = grown;
        reusedCapacity = capacity;
    }
    reused[reusedCount++] = {DuplicateString(path), attributes, size, lastWrite};
}

int DryFindReused(const wchar_t* path, uint32_t* attributes, int64_t* size, uint64_t* lastWrite) {
    const wchar_t* shown = SkipLongPrefix(path);
    for (int64_t i = 0; i < reusedCount; ++i) {
        if (_wcsicmp(SkipLongPrefix(reused[i].path), shown) != 0) continue;
        *attributes = reused[i].attributes;
        *size = reused[i].size;
        *lastWrite = reused[i].lastWrite;
        return 1;
    }
    return 0;
}

int PrintDryRunSummary() {
    const DryRunCounts& c = dryRunCounts;
    if (options.dryRun) {
        const int64_t* a = c.actions;
        EndLine();
        Print("dry run, nothing was changed: %Ii to copy, %Ii to overwrite, %Ii skipped, ", a[kDryCopy],
              a[kDryOverwrite], a[kDrySkip]);
        Print("%Ii file%s and ", a[kDryDeleteFile], PluralS(a[kDryDeleteFile]));
        Print("%Ii folder%s to delete, ", a[kDryDeleteFolder], PluralS(a[kDryDeleteFolder]));
        Print("%Ii folder%s to create, ", a[kDryCreateFolder], PluralS(a[kDryCreateFolder]));
        Print("%Ii link%s, %Ii re-used, ", a[kDryLink], PluralS(a[kDryLink]), a[kDryReuse]);
        Print("%Ii source%s to remove\n", a[kDryRemoveSource], PluralS(a[kDryRemoveSource]));
        Print("%I64i bytes would be written\n", c.bytes);
        if (options.maxDeletions >= 0 && c.notDeleted > 0)
            Print("deletion cap would be reached, %Ii entr%s not deleted\n", c.notDeleted,
                  c.notDeleted == 1 ? "y" : "ies");
        else if (options.maxDeletions >= 0)
            Print("deletion cap not reached: %Ii of %Ii\n", c.deletions, options.maxDeletions);
    } else if (c.notDeleted > 0) {
        Print("deletion cap reached, %Ii entr%s not deleted\n", c.notDeleted, c.notDeleted == 1 ? "y" : "ies");
    }
    return c.notDeleted > 0;
}
