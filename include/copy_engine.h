// Copy of one file, stream or device from the decision about an existing
// target to the finished target.
#pragma once
#include <cstdint>

struct FolderListing;

// The source's times as the caller's folder listing gave them. While known,
// the copy takes them instead of asking the opened source again: one query
// less per file of a tree.
struct ListedTimes {
    int known;
    uint64_t times[3];   // creation, last access, last write
    int64_t size;
};
extern ListedTimes listedTimes;

// The room on the target is asked again at the next copy: a new run's target
// is not the last one's.
void ForgetTargetRoom();

// Whether the copy of a walked file opens its source before it decides about
// the target, as a missing or older target makes it; the walk names such files
// ahead with ForeseeSourceOpens to a volume that can open them early.
int OpensSourceFirst(uint32_t attributes, uint64_t lastWrite, int64_t size, const wchar_t* targetPath,
                     FolderListing* targetListing);
// FileOps::ForeseeOpens with the opening the copy will ask for.
int ForeseeSourceOpens(const wchar_t* const* paths, size_t count);

// Returns 1 when the file was copied, linked or (zero length) created; 0 when
// it was skipped, failed or aborted.
int CopyOneFile(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing);
