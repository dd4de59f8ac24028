// -dry and -maxdel:n. Every place that would write, create, delete, link or
// stamp asks here first: in a dry run the action is printed and counted
// instead of done; in any run deletions stop at the cap.
#pragma once
#include <cstdint>

struct FolderListing;

enum DryAction {
    kDryCopy,
    kDryOverwrite,
    kDrySkip,
    kDryDeleteFile,
    kDryDeleteFolder,
    kDryCreateFolder,
    kDryLink,
    kDryReuse,
    kDryRemoveSource,
    kDryActionCount
};

// What the caller is to do.
enum DryVerdict {
    kDryNotDone = 0,   // a deletion beyond the cap: leave the entry where it is
    kDryAct = 1,       // a real run: do it
    kDryPretend = 2,   // a dry run: the line is printed; go on as if it was done
};

// The line "<action>: <path>" (a skip with its reason in brackets), the path
// shown without the long-path prefix; bytes count towards what would be written.
int DryRunAction(DryAction action, const wchar_t* path, const char* reason = nullptr, int64_t bytes = 0);

inline int DryCopy(const wchar_t* path, int64_t bytes) { return DryRunAction(kDryCopy, path, nullptr, bytes); }
inline int DrySkip(const wchar_t* path, const char* reason) { return DryRunAction(kDrySkip, path, reason); }
inline int DryCreateFolder(const wchar_t* path) { return DryRunAction(kDryCreateFolder, path); }
inline int DryLink(const wchar_t* path) { return DryRunAction(kDryLink, path); }
inline int DryReuse(const wchar_t* path) { return DryRunAction(kDryReuse, path); }
// These count against -maxdel: under -mir the deletions, always the removals of sources.
inline int DryDeleteFile(const wchar_t* path) { return DryRunAction(kDryDeleteFile, path); }
inline int DryDeleteFolder(const wchar_t* path) { return DryRunAction(kDryDeleteFolder, path); }
inline int DryRemoveSource(const wchar_t* path) { return DryRunAction(kDryRemoveSource, path); }

struct DryRunCounts {
    int64_t actions[kDryActionCount];
    int64_t bytes;
    int64_t deletions;      // deletions done or, in a dry run, that would be done
    int64_t notDeleted;     // deletions refused by the cap
};
extern DryRunCounts dryRunCounts;

// A file the scan would put in place: the walk then finds it as if it were there.
void DryRememberReused(const wchar_t* path, uint32_t attributes, int64_t size, uint64_t lastWrite);
int DryFindReused(const wchar_t* path, uint32_t* attributes, int64_t* size, uint64_t* lastWrite);

// -ds in a dry run: a source folder goes only when every entry in it would go.
// DryNoteRemoved records a pretended removal; DryRemovedIn tells how many
// entries of a folder were recorded so (and forgets them).
void DryNoteRemoved(const wchar_t* path);
int64_t DryRemovedIn(const wchar_t* folder);

// CopyOneFile in a dry run: the decision about an existing target, then the
// line of what the copy would do. 1 when it would copy or link.
int DryRunCopyOneFile(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                      const wchar_t* targetPath, FolderListing* targetListing);

// The counts of a dry run and the cap's outcome; returns 1 when the cap was reached.
int PrintDryRunSummary();
