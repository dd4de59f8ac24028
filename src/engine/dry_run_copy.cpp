// A file's copy in a dry run: the same reads and decisions as a real copy up
// to the point where it would open the target, then one action line.
#include <windows.h>

#include "copy_call.h"
#include "copy_engine.h"
#include "console.h"
#include "dry_run.h"
#include "folder_listing.h"
#include "link_groups.h"
#include "options.h"
#include "paths.h"
#include "reparse_points.h"
#include "run_state.h"
#include "source_removal.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

uint64_t TimeOf(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

struct Facts {
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;
};

int ReadFacts(const wchar_t* path, Facts* facts) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    facts->attributes = data.dwFileAttributes;
    facts->size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    facts->lastWrite = TimeOf(data.ftLastWriteTime);
    return 1;
}

// The target as the walk's listing, a file the scan would re-use, or the
// file system itself sees it.
int ReadExisting(const wchar_t* path, FolderListing* listing, Facts* facts) {
    if (DryFindReused(path, &facts->attributes, &facts->size, &facts->lastWrite)) return 1;
    if (!listing) return ReadFacts(path, facts);
    ListingEntry* entry = FindListingEntry(listing, path);
    if (!entry) return 0;
    *facts = {entry->attributes, entry->size, entry->lastWrite};
    return 1;
}

// A link the copy would reproduce as a link.
bool CopiedAsLink(const wchar_t* sourcePath, uint32_t attributes) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !run.targetCaps.reparse) return false;
    static wchar_t linkTarget[kPathCapacity];
    return ReadReparseTarget(sourcePath, linkTarget, kPathCapacity) && linkTarget[0] &&
           (!options.parseReparse || PointsIntoSource(linkTarget));
}

}  // namespace

int DryRunCopyOneFile(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                      const wchar_t* targetPath, FolderListing* targetListing) {
    if (run.stopRequested || run.breakRequested) return 0;
    if (run.targetIsNul || run.targetIsDevice || run.sourceIsDevice || run.sourceIsNul) {
        DryCopy(targetPath, 0);
        return 1;
    }
    Facts source = {};
    if (!ReadFacts(sourcePath, &source)) {
        PrintError("Error %s opening source file '%S'\n", LastErrorName(), SkipLongPrefix(sourcePath));
        CountFailure();
        return 0;
    }
    if (sourceAttributes == INVALID_FILE_ATTRIBUTES) sourceAttributes = source.attributes;
    if (options.forcedSize > 0) source.size = options.forcedSize;
    // the later names of a source file with several are linked to its first copy
    uint32_t names = run.singleSource ? 0 : LinkInfo(sourcePath, nullptr);
    static wchar_t firstCopy[kPathCapacity];
    bool linkedName = names >= 2 && FindLinkGroup(sourcePath, firstCopy, kPathCapacity);
    Facts existing = {};
    bool found = ReadExisting(targetPath, targetListing, &existing);
    bool overwrite = false;
    if (found) {
        if (existing.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            // the real copy fails there
            DrySkip(targetPath, "a folder stands there");
            CountFailure();
            return 0;
        }
        ExistingRules rules = {};
        rules.skipExisting = options.skipExisting;
        rules.overwrite = options.overwrite;
        rules.overwriteOlder = options.overwriteOlder;
        rules.older = IsTargetOlder(existing.lastWrite, sourceTime, existing.size, source.size);
        switch (DecideExisting(rules)) {
            case kExistingSkip: DrySkip(targetPath, "exists"); return 0;
            case kExistingNotOlder:
                // a mirror joins a name that is up to date to its group's first copy
                if (options.mirror && linkedName && !SameFile(firstCopy, targetPath)) break;
                if (options.mirror && names >= 2 && !linkedName) AddLinkGroup(names, sourcePath, targetPath, 1);
                DrySkip(targetPath, "not older");
                return 0;
            case kExistingAsk: DrySkip(targetPath, "a question would be asked"); return 0;
            default: break;
        }
        if ((existing.attributes & FILE_ATTRIBUTE_READONLY) && !options.overwriteReadOnly) {
            DrySkip(targetPath, "read-only");
            return 0;
        }
        overwrite = true;
    }
    if (options.hardlinks || linkedName || CopiedAsLink(sourcePath, sourceAttributes)) {
        DryLink(targetPath);
    } else {
        if (names >= 2) AddLinkGroup(names, sourcePath, targetPath, 1);
        DryRunAction(overwrite ? kDryOverwrite : kDryCopy, targetPath, nullptr, source.size - options.startPos);
    }
    RemoveSourceFile(sourcePath);
    return 1;
}
