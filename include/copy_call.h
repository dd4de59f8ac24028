// The per-call values of CopyOneFile shared with the finish, and the plain
// decisions about an existing target.
#pragma once
#include <cstdint>

enum SourceKind { kSourceFile = 0, kSourceNul, kSourceVolume, kSourceDisk };

struct CopyCall {
    const wchar_t* sourcePath;   // may be redirected to a link's target
    const wchar_t* entryPath;    // the source as named, a link itself: what -ds removes
    const wchar_t* targetPath;   // the name written: the temporary one until the copy is complete
    const wchar_t* finalPath;    // the target's own name, which lines show
    int writeMode;               // kWriteDirect, kWriteTemporary or kWriteMarked
    int finalExisted;            // a file stood under the final name
    int clearReadOnly;           // -or: the final name loses read-only just before the rename
    int marked;                  // this call stamped the target as incomplete before writing in place
    int streamCall;
    int sourceKind;
    int targetIsDevice;          // a volume or disk, not NUL
    int targetIsNul;
    int targetExisted;           // the name written existed when opened (a temporary one: resumed)
    uint32_t creationAttributes;
    int readOnly;
    int sparse;
    int compressed;
    uint32_t linkCount;
    uint64_t fileIndex;
    uint64_t creationTime, accessTime, writeTime;
    int timesRead;
    int verifyFailed;            // set by the verification pass
    int detailsFailed;           // times, attributes, security or streams could not be given
    int securityPerGroup;        // first copy of a link group: its security comes once, after the walk
    int preallocated;            // the target's end was moved before the data
    uint32_t openedAttributes;   // an existing target's, as it was opened; 0 when not read
};

constexpr uint32_t kCreationAttributeMask = 0x2B01;   // read-only, temporary, sparse, compressed, not indexed

uint32_t CreationAttributesOf(uint32_t sourceAttributes);
// Later write time, or the same time with another size.
int IsTargetOlder(uint64_t targetTime, uint64_t sourceTime, int64_t targetSize, int64_t sourceSize);

enum ExistingAction { kExistingCopy, kExistingSkip, kExistingAsk, kExistingNotOlder };
struct ExistingRules {
    int skipExisting;    // -k
    int streamCall;
    int overwrite;       // -o
    int overwriteOlder;  // -oo
    int older;
    int incomplete;      // marked by an interrupted copy: never taken for a finished one
};
// The first rule that applies to an existing target; kExistingNotOlder is
// -oo with a target that is not older (mirror compression, then not copied).
int DecideExisting(const ExistingRules& rules);

// Room on the target volume as the copy counts it.
int64_t EffectiveFreeSpace(uint64_t totalBytes, uint64_t freeBytes);
// Bytes the target needs beyond what an existing target already holds.
int64_t NeededSpace(int64_t size, int64_t allocatedSize, int useAllocated, int64_t existingCompressedSize);

// Whether an existing target is out of date: older, or for a mirror (which
// makes the target equal) of another size or time either way.
int TargetOutOfDate(uint64_t targetTime, uint64_t sourceTime, int64_t targetSize, int64_t sourceSize, int mirror);

// Finish of a copy after the block loop (or at once for a size of 0).
int FinishCopy(CopyCall* call);
