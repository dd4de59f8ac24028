// CopyOneFile: the decision about an existing target, opening, creating and
// preparing source and target, then the block loop and the finish.
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <cwchar>

#include "block_copy.h"
#include "compression.h"
#include "console.h"
#include "copy_call.h"
#include "copy_engine.h"
#include "devices.h"
#include "dry_run.h"
#include "file_ops.h"
#include "folder_listing.h"
#include "link_groups.h"
#include "open_steps.h"
#include "options.h"
#include "paths.h"
#include "reparse_points.h"
#include "run_state.h"
#include "security_streams.h"
#include "source_removal.h"
#include "text_format.h"
#include "transfer_state.h"
#include "verification.h"

ListedTimes listedTimes;

namespace {

wchar_t linkTargetPath[kPathCapacity];
wchar_t recordedTarget[kPathCapacity];
// the source's times, read with its sizes when it was opened for them
uint64_t openedTimes[3];
// the write unit of the run while one file goes through a buffered target; 0 otherwise
uint32_t bufferedTarget;
constexpr int64_t kBufferedFileSize = 0x100000;

struct ExistingTarget {
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;
};

const wchar_t* NameOf(const wchar_t* path) { return FileNamePart(SkipLongPrefix(path)); }

int ReadExistingTarget(const wchar_t* path, FolderListing* listing, ExistingTarget* existing) {
    if (listing) {
        ListingEntry* entry = FindListingEntry(listing, path);
        if (!entry) return 0;
        existing->attributes = entry->attributes;
        existing->size = entry->size;
        existing->lastWrite = entry->lastWrite;
        return 1;
    }
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    existing->attributes = attributes;
    existing->size = 0;
    existing->lastWrite = 0;
    void* handle = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (IsValidHandle(handle)) {
        FileInfo info;
        if (fileOps->GetInfo(handle, &info, 0)) {
            existing->size = info.size;
            existing->lastWrite = info.times[2];
        }
        fileOps->Close(handle);
    }
    return 1;
}

// The room on the target volume, asked once: a tree of many small files must
// not pay a volume query for each file or folder. Each copy takes its share
// from the remembered room, which is asked again only when a file would not
// fit (others may have freed space meanwhile).
struct RoomCache {
    int64_t room;
    bool valid;
};
RoomCache roomCache;

int AskRoom(const wchar_t* targetPath, int64_t* room) {
    static wchar_t folder[kPathCapacity];
    lstrcpynW(folder, targetPath, kPathCapacity);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash) slash[1] = 0;
    int64_t total = 0, free = 0;
    if (!fileOps->FreeSpace(slash ? folder : nullptr, &total, &free)) {
        Print("Error getting free space of %S: %s\n", SkipLongPrefix(folder), LastErrorName());
        roomCache.valid = false;
        return 0;
    }
    *room = EffectiveFreeSpace(total, free);
    roomCache.room = *room;
    roomCache.valid = true;
    return 1;
}

int RoomOnTarget(const wchar_t* targetPath, int64_t* room, bool* asked) {
    *asked = !roomCache.valid;
    if (*asked) return AskRoom(targetPath, room);
    *room = roomCache.room;
    return 1;
}

void TakeRoom(int64_t bytes) {
    if (roomCache.valid && bytes > 0) roomCache.room = roomCache.room > bytes ? roomCache.room - bytes : 0;
}

// An overwrite must not write through to the other names of a linked target.
void UnlinkTargetBeforeOverwrite(const wchar_t* path) {
    uint32_t links = 0;
    if (!ProbePath(path, nullptr, &links, nullptr) || links < 2) return;
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        fileOps->SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    fileOps->Delete(path);
}

// -u over a target with several names: the target leaves its group only when
// its content differs, so an unchanged group stays linked and unwritten.
bool LinkedTargetEqualsSource(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size) {
    uint32_t links = 0;
    int64_t targetSize = -1;
    uint8_t* mine = transfer.buffers[0];
    uint8_t* theirs = transfer.compareBuffer;
    if (!options.avoidWrites || !mine || !theirs || !ProbePath(targetPath, &targetSize, &links, nullptr) ||
        links < 2 || targetSize != size)
        return false;
    void* source = fileOps->Open(sourcePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    void* target = fileOps->Open(targetPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    bool equal = IsValidHandle(source) && IsValidHandle(target);
    for (int64_t done = 0; equal && done < size;) {
        uint32_t chunk = transfer.bufferCapacity;
        if (size - done < chunk) chunk = static_cast<uint32_t>(size - done);
        uint32_t a = 0, b = 0;
        equal = fileOps->Read(source, mine, chunk, &a) && fileOps->Read(target, theirs, chunk, &b) && a == chunk &&
                b == chunk && memcmp(mine, theirs, chunk) == 0 && !run.stopRequested && !run.breakRequested;
        done += chunk;
    }
    if (IsValidHandle(source)) fileOps->Close(source);
    if (IsValidHandle(target)) fileOps->Close(target);
    return equal;
}

int Skip() {
    CloseHandleOf(&transfer.sourceHandle);
    return 0;
}

// Makes targetPath one more name of existingPath's file. A name in place is
// replaced only by a finished link, made beside it and renamed over it, so a
// failed link leaves that name as it was. 1 when linked.
int LinkInPlace(const wchar_t* targetPath, const wchar_t* existingPath) {
    if (fileOps->GetAttributes(targetPath) == INVALID_FILE_ATTRIBUTES) return fileOps->Link(targetPath, existingPath);
    static wchar_t beside[kPathCapacity];
    const wchar_t suffix[] = L".qtx-link";
    size_t length = wcslen(targetPath);
    if (length + wcslen(suffix) >= static_cast<size_t>(kPathCapacity)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    wmemcpy(beside, targetPath, length);
    wcscpy(beside + length, suffix);
    if (!fileOps->Link(beside, existingPath)) return 0;
    if (fileOps->Move(beside, targetPath, 1)) return 1;
    DWORD error = GetLastError();
    fileOps->Delete(beside);
    SetLastError(error);
    return 0;
}

// Closes everything of a copy that failed before the block loop.
int FailBeforeLoop(CopyCall* call, bool created) {
    CloseHandleOf(&transfer.sourceHandle);
    CloseHandleOf(&transfer.verifyHandle);
    CloseHandleOf(&transfer.targetHandle);
    // a target made by this call and never written is not left behind
    if (created && !call->targetExisted && !call->targetIsDevice && !call->targetIsNul)
        fileOps->Delete(call->targetPath);
    CountFailure();
    return 0;
}

// A target that is not copied: -ve verifies it as it stands, and a mirror
// links it into its source's link group.
int NotCopied(CopyCall* call, int64_t sourceSize, int64_t* linkCounter) {
    if (options.verify >= 2) {
        transfer.bytesNotWritten += sourceSize;
        run.runBytesNotWritten += sourceSize;
        VerifyExistingTarget(call->sourcePath, call->targetPath, sourceSize);
        return Skip();
    }
    CloseHandleOf(&transfer.sourceHandle);
    if (!options.mirror || call->linkCount < 2) return 0;
    if (!FindLinkGroup(call->sourcePath, recordedTarget, kPathCapacity)) {
        AddLinkGroup(call->linkCount, call->sourcePath, call->targetPath, 1);
        return 0;
    }
    if (SameFile(recordedTarget, call->targetPath)) return 0;
    if (!LinkInPlace(call->targetPath, recordedTarget)) {
        // the name keeps its own up-to-date copy
        PrintError("creating hardlink %S pointing to %S failed; err=%s\n", SkipLongPrefix(call->targetPath),
                   SkipLongPrefix(recordedTarget), LastErrorName());
        return 0;
    }
    if (linkCounter) ++*linkCounter;
    if (!options.quiet) PrintNameW(L"%s replaced by hardlink\n", NameOf(call->targetPath));
    if (options.deleteSource) RemoveSourceFile(call->entryPath);
    return 1;
}

// The source opened for reading at once: its size, link count and index come
// from the same handle the copy then reads through, instead of a probe of its
// own. 0 when it cannot be opened so; the probe and the later open then decide.
int OpenSourceForSizes(const wchar_t* path, int64_t* size, uint32_t* links, uint64_t* index) {
    uint32_t share = run.sourceShareMode ? run.sourceShareMode : FILE_SHARE_READ;
    void* handle = fileOps->Open(path, GENERIC_READ, share, OPEN_EXISTING, transfer.sourceOpenFlags);
    if (!IsValidHandle(handle)) return 0;
    // The standard record holds size and link count; the full record also asks
    // the volume for its serial number, which some systems answer slowly, so it
    // is fetched only for a file with several names. Times the listing gave
    // are not asked again.
    int parts = listedTimes.known ? kInfoNoTimes : 0;
    FileInfo info;
    if (!fileOps->GetInfo(handle, &info, parts) ||
        (info.links >= 2 && !fileOps->GetInfo(handle, &info, parts | kInfoIdentity))) {
        fileOps->Close(handle);
        return 0;
    }
    *size = info.size;
    transfer.sourceAllocatedSize = info.allocated;
    for (int i = 0; i < 3; ++i) openedTimes[i] = listedTimes.known ? listedTimes.times[i] : info.times[i];
    *links = info.links;
    *index = info.fileIndex;
    transfer.sourceHandle = handle;
    return 1;
}

int CopyOneFileSteps(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                     const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing);

}  // namespace

int CopyOneFile(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing) {
    // a stream is copied while its file's copy is still being finished: that
    // file's per-file state must come out of the stream's copy unchanged
    static TransferState fileState;
    static uint32_t fileBuffered;
    uint32_t fileVerification = 0;
    if (options.dryRun) return DryRunCopyOneFile(sourcePath, sourceAttributes, sourceTime, targetPath, targetListing);
    if (streamFlag) {
        fileState = transfer;
        fileBuffered = bufferedTarget;
        bufferedTarget = 0;
        fileVerification = SaveImmediateVerification();
    }
    int copied = CopyOneFileSteps(sourcePath, sourceAttributes, sourceTime, targetPath, linkCounter, streamFlag,
                                  targetListing);
    if (streamFlag) {
        CloseHandleOf(&transfer.sourceHandle);
        transfer = fileState;
        bufferedTarget = fileBuffered;
        RestoreImmediateVerification(fileVerification);
    } else if (bufferedTarget) {
        // the next file decides again
        transfer.targetOpenFlags |= kFlagNoBuffering;
        transfer.writeUnit = bufferedTarget;
        bufferedTarget = 0;
    }
    // a skip or a link decided before the copy leaves no source handle behind
    CloseHandleOf(&transfer.sourceHandle);
    return copied;
}

namespace {

// What one file's copy carries from phase to phase.
struct FilePlan {
    const wchar_t* sourcePath;   // a followed link's target once the link is read
    uint32_t sourceAttributes;
    uint64_t sourceTime;
    const wchar_t* targetPath;
    int64_t* linkCounter;
    int streamFlag;
    FolderListing* targetListing;
    CopyCall call;
    bool deviceSource;
    bool fileTarget;
    int64_t size;
    bool listedAbsent;      // the walk's listing said the name is free
    bool replaceExisting;
    bool sizesRead;         // size and allocated size came with the source's opening
    int64_t room;
    bool roomAsked;
    uint32_t disposition;
    bool oneBlock;          // the whole file fits one block
};

// A phase that lets the copy go on; any other value is the copy's result.
constexpr int kGoOn = -1;

// The source's size and names, and what an existing target decides: skip,
// ask, keep it as it is, or let the copy replace it.
int DecideAboutExistingTarget(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    uint32_t& sourceAttributes = p.sourceAttributes;
    uint64_t sourceTime = p.sourceTime;
    const wchar_t* targetPath = p.targetPath;
    int64_t* linkCounter = p.linkCounter;
    int streamFlag = p.streamFlag;
    FolderListing* targetListing = p.targetListing;
    CopyCall& call = p.call;
    bool deviceSource = p.deviceSource;
    bool fileTarget = p.fileTarget;
    int64_t& size = p.size;
    bool& listedAbsent = p.listedAbsent;
    bool& replaceExisting = p.replaceExisting;
    bool& sizesRead = p.sizesRead;
    if (deviceSource) {
        size = DeviceSizeOfPath(sourcePath);
    } else if (call.sourceKind == kSourceFile) {
        uint32_t links = 0;
        uint64_t index = 0;
        if (run.securitySupported && options.security) {
            transfer.sourceOpenFlags |= kFlagBackupSemantics;
            transfer.targetOpenFlags |= kFlagBackupSemantics;
        }
        // -h links the source itself, which an open handle without write sharing would block
        sizesRead = !streamFlag && !options.hardlinks && OpenSourceForSizes(sourcePath, &size, &links, &index);
        if (!sizesRead && !ProbePath(sourcePath, &size, &links, &index)) {
            if (!options.quiet)
                PrintError("Error %s opening source file '%S'\n", LastErrorName(), SkipLongPrefix(sourcePath));
            CountFailure();
            return 0;
        }
        // a file with several names proves hard links even where the volume flags omit them
        if ((run.sourceCaps.hardLinks || links >= 2 || run.linkGroups) && !streamFlag) {
            call.linkCount = links;
            call.fileIndex = index;
        }
    }

    ExistingTarget existing = {};
    bool found = fileTarget && ReadExistingTarget(targetPath, targetListing, &existing);
    // the walk's listing already said the name is free: no need to ask again below
    listedAbsent = fileTarget && targetListing && !found;
    if (found) {
        call.targetExisted = 1;
        ExistingRules rules = {};
        rules.skipExisting = options.skipExisting;
        rules.streamCall = streamFlag;
        rules.overwrite = options.overwrite;
        rules.overwriteOlder = options.overwriteOlder;
        rules.older = IsTargetOlder(existing.lastWrite, sourceTime, existing.size, size);
        int action = DecideExisting(rules);
        if (action == kExistingSkip) {
            if (!options.quiet)
                PrintNameW(existing.size != size ? L"\r%s already exists but with different size -> skip anyway "
                                                   L"(maybe better use -oo instead of -k)\n"
                                                 : L"\r%s already exists -> skip\n",
                           NameOf(targetPath));
            CloseHandleOf(&transfer.sourceHandle);
            if (!streamFlag) {
                if (options.streams && options.mirror && rules.older) RemoveSurplusStreams(sourcePath, targetPath);
                if (options.security || options.streams)
                    CopySecurityAndStreams(sourcePath, targetPath, options.security, options.streams);
            }
            if (options.verify >= 2) VerifyExistingTarget(sourcePath, targetPath, size);
            return 0;
        }
        if (action == kExistingAsk) {
            wchar_t answer = L'N';
            if (engineConsoleCheck()) {
                PrintNameW(L"%s already exists. Overwrite (Y/N/All/Older/sKip all)?", NameOf(targetPath));
                answer = Prompt(L"YNASKO", L'N');
                if (run.stopRequested || run.breakRequested) return Skip();
                Print("\n");
            } else if (!options.quiet) {
                PrintNameW(L"\r%s already exists -> kept (no console to ask; -o or -oo overwrites)\n",
                           NameOf(targetPath));
            }
            if (answer == L'A') {
                options.overwrite = 1;
                action = kExistingCopy;
            } else if (answer == L'O') {
                options.overwriteOlder = 1;
                action = kExistingCopy;
            } else if (answer == L'K' || answer == L'S') {
                options.skipExisting = 1;
                return Skip();
            } else if (answer == L'Y') {
                action = kExistingCopy;
            } else {
                return Skip();
            }
        }
        if (action == kExistingNotOlder) {
            if (options.mirror) {
                int compressed = (sourceAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0;
                if (!CompressExistingTarget(sourcePath, targetPath, compressed) && !options.quiet)
                    PrintNameW(L"\r%s already exists -> skip\n", NameOf(targetPath));
            }
            return NotCopied(&call, size, linkCounter);
        }
        replaceExisting = action == kExistingCopy;
        if (!streamFlag && !options.skipExisting && action == kExistingCopy) {
            if (options.overwrite || options.overwriteOlder) Print("\r");
            if (!LinkedTargetEqualsSource(sourcePath, targetPath, size)) UnlinkTargetBeforeOverwrite(targetPath);
            call.targetExisted = fileOps->GetAttributes(targetPath) != INVALID_FILE_ATTRIBUTES;
        }
    }
    return kGoOn;
}

// A source link copied as a link, -h, and a later name of a copied link group.
int LinkOrReparsePoint(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    uint32_t& sourceAttributes = p.sourceAttributes;
    const wchar_t* targetPath = p.targetPath;
    int64_t* linkCounter = p.linkCounter;
    CopyCall& call = p.call;
    bool fileTarget = p.fileTarget;
    bool& replaceExisting = p.replaceExisting;
    bool& sizesRead = p.sizesRead;
    // reparse points
    if (sourceAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (ReadReparseTarget(sourcePath, linkTargetPath, kPathCapacity) && linkTargetPath[0]) {
            if (run.targetCaps.reparse && (!options.parseReparse || PointsIntoSource(linkTargetPath))) {
                if (!CopyReparsePoint(sourcePath, targetPath, sourceAttributes)) return 0;
                fileOps->SetAttributes(targetPath, sourceAttributes);
                return 1;
            }
            call.sourcePath = sourcePath = linkTargetPath;
            sizesRead = false;
        }
    }

    // hard links
    if (options.hardlinks) {
        // an overwrite decision replaces the existing target by the link, as it would by a copy
        if (replaceExisting && fileOps->GetAttributes(targetPath) != INVALID_FILE_ATTRIBUTES) {
            if (SameFile(sourcePath, targetPath)) {
                if (!options.quiet) PrintNameW(L"\r%s already exists (hardlink) -> skip\n", NameOf(targetPath));
                return Skip();
            }
            fileOps->SetAttributes(targetPath, FILE_ATTRIBUTE_NORMAL);
            fileOps->Delete(targetPath);
        }
        if (fileOps->Link(targetPath, sourcePath)) {
            if (linkCounter) ++*linkCounter;
            if (!options.quiet) PrintNameW(L"%s (hardlink created)\n", NameOf(targetPath));
            return 1;
        }
        PrintError("creating hardlink %S failed; err=%s\n", SkipLongPrefix(targetPath), LastErrorName());
        CountFailure();
        return Skip();
    }
    // -ds leaves the last name of a copied group with one link
    bool groupMember = call.linkCount >= 2 ||
                       (call.linkCount == 1 && options.deleteSource && CountLinkGroups(run.linkGroups) > 0);
    if (!run.singleSource && call.sourceKind == kSourceFile && fileTarget && groupMember) {
        if (FindLinkGroup(sourcePath, recordedTarget, kPathCapacity)) {
            if (fileOps->GetAttributes(targetPath) != INVALID_FILE_ATTRIBUTES && SameFile(recordedTarget, targetPath)) {
                if (!options.quiet) PrintNameW(L"\r%s already exists (hardlink) -> skip\n", NameOf(targetPath));
                return 0;
            }
            if (LinkInPlace(targetPath, recordedTarget)) {
                if (linkCounter) ++*linkCounter;
                if (!options.quiet) PrintNameW(L"%s (hardlink)\n", NameOf(targetPath));
                CloseHandleOf(&transfer.sourceHandle);
                if (options.deleteSource) RemoveSourceFile(call.entryPath);
                return 1;
            }
            // this name is copied as a file of its own instead, with its own security
            PrintError("creating hardlink %S pointing to %S failed; err=%s\n", SkipLongPrefix(targetPath),
                       SkipLongPrefix(recordedTarget), LastErrorName());
        } else if (call.linkCount >= 2 && AddLinkGroup(call.linkCount, sourcePath, targetPath, 0)) {
            call.securityPerGroup = 1;
        }
    }
    return kGoOn;
}

// The attributes the target is created with, and streams the volumes lack.
int TakeSourceAttributes(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    uint32_t& sourceAttributes = p.sourceAttributes;
    const wchar_t* targetPath = p.targetPath;
    CopyCall& call = p.call;
    // attributes and flags
    call.creationAttributes = CreationAttributesOf(sourceAttributes);
    call.readOnly = (sourceAttributes & FILE_ATTRIBUTE_READONLY) && run.sourceDriveType != DRIVE_CDROM;
    call.sparse = (sourceAttributes & FILE_ATTRIBUTE_SPARSE_FILE) && run.targetCaps.sparse;
    call.compressed =
        (sourceAttributes & FILE_ATTRIBUTE_COMPRESSED) && run.targetCaps.compression && options.compression != 0;
    if (run.securitySupported && options.security) {
        transfer.sourceOpenFlags |= kFlagBackupSemantics;
        transfer.targetOpenFlags |= kFlagBackupSemantics;
    }
    if (HasStreamName(sourcePath) && !run.sourceCaps.streams) {
        Print("source drive does not support streams -> abort\n");
        CountFailure();
        return Skip();
    }
    if (HasStreamName(targetPath) && !run.targetCaps.streams) {
        Print("target drive does not support streams -> abort\n");
        CountFailure();
        return Skip();
    }
    return kGoOn;
}

// Opens the source and settles how much of it is copied.
int OpenTheSource(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    const wchar_t* targetPath = p.targetPath;
    CopyCall& call = p.call;
    bool deviceSource = p.deviceSource;
    int64_t& size = p.size;
    bool& sizesRead = p.sizesRead;
    // a disk source's volumes stay locked
    if (call.sourceKind == kSourceDisk && !LockSourceDiskVolumes(sourcePath)) return FailBeforeLoop(&call, false);

    // open the source; its sizes and times
    if (call.sourceKind != kSourceNul) {
        if (!IsValidHandle(transfer.sourceHandle) && !OpenSourceFile(call)) return FailBeforeLoop(&call, false);
        if (deviceSource) {
            if (!PrepareSourceDevice(sourcePath, transfer.sourceHandle, call.sourceKind == kSourceVolume, &size))
                return FailBeforeLoop(&call, false);
            transfer.sourceAllocatedSize = size;
        } else {
            FileInfo info;
            if (sizesRead) {
                // read through this handle when it was opened
                call.creationTime = openedTimes[0];
                call.accessTime = openedTimes[1];
                call.writeTime = openedTimes[2];
                call.timesRead = 1;
            } else if (fileOps->GetInfo(transfer.sourceHandle, &info, 0)) {
                size = info.size;
                transfer.sourceAllocatedSize = info.allocated;
                call.creationTime = info.times[0];
                call.accessTime = info.times[1];
                call.writeTime = info.times[2];
                call.timesRead = 1;
            } else {
                fileOps->GetSize(transfer.sourceHandle, &size);
                transfer.sourceAllocatedSize = size;
            }
        }
    } else {
        // the NUL source writes as much as the target takes
        if (call.targetIsDevice) {
            size = NulSourceSize(targetPath);
        } else if (options.sparse || options.compression == 3) {
            size = static_cast<int64_t>(run.targetCluster) * 0xFFFFFFFFLL;
        } else {
            int64_t total = 0, free = 0;
            size = fileOps->FreeSpace(run.targetFolder[0] ? run.targetFolder : nullptr, &total, &free)
                       ? EffectiveFreeSpace(total, free)
                       : 0;
        }
        transfer.sourceAllocatedSize = size;
    }

    // the start position
    if (call.sourceKind != kSourceNul && options.startPos > 0) {
        if (options.startPos > size) {
            PrintError("Error: StartPos (%I64i) > FileSize (%I64i) -> abort\n", options.startPos, size);
            return FailBeforeLoop(&call, false);
        }
        if (!fileOps->SetPointer(transfer.sourceHandle, options.startPos, FILE_BEGIN, nullptr))
            return FailBeforeLoop(&call, false);
        transfer.startPosition = options.startPos;
    }
    if (deviceSource) ClaimSourceDevice(sourcePath, transfer.sourceHandle, call.sourceKind == kSourceVolume);

    // a forced size, and the largest file the target volume holds
    if (options.forcedSize > 0) size = options.forcedSize;
    transfer.sourceSize = size;
    if (transfer.sourceAllocatedSize < 0) transfer.sourceAllocatedSize = size;
    if (size > run.maxTargetFileSize) {
        CloseHandleOf(&transfer.sourceHandle);
        PrintError("target drive cannot handle files > 4GB -> abort\n");
        CountFailure();
        return 0;
    }
    if (run.stopRequested || run.breakRequested) return Skip();
    return kGoOn;
}

// The room on the target, and a read-only or folder name in the way.
int CheckRoom(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    const wchar_t* targetPath = p.targetPath;
    CopyCall& call = p.call;
    bool fileTarget = p.fileTarget;
    int64_t& size = p.size;
    bool& listedAbsent = p.listedAbsent;
    int64_t& room = p.room;
    bool& roomAsked = p.roomAsked;
    // what stands at the target's place
    room = 0x7FFFFFFFFFFFFFFFLL;
    roomAsked = false;
    if (fileTarget) {
        if (!RoomOnTarget(targetPath, &room, &roomAsked)) return FailBeforeLoop(&call, false);
        uint32_t attributes = listedAbsent ? INVALID_FILE_ATTRIBUTES : fileOps->GetAttributes(targetPath);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            call.targetExisted = 1;
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                PrintError("Error creating file '%S', already exists as folder\n", SkipLongPrefix(targetPath));
                return FailBeforeLoop(&call, false);
            }
            if (attributes & FILE_ATTRIBUTE_READONLY) {
                if (!options.overwriteReadOnly) {
                    PrintError("skip read-only file %S\n", SkipLongPrefix(targetPath));
                    return Skip();
                }
                // a read-only name may share its data with other names
                if (!LinkedTargetEqualsSource(sourcePath, targetPath, size)) UnlinkTargetBeforeOverwrite(targetPath);
                attributes = fileOps->GetAttributes(targetPath);
                if (attributes != INVALID_FILE_ATTRIBUTES)
                    fileOps->SetAttributes(targetPath, attributes & ~FILE_ATTRIBUTE_READONLY);
                else
                    call.targetExisted = 0;
            }
        }
    } else if (call.targetIsDevice) {
        room = TargetDeviceSize(targetPath);
        if (room <= 0) room = 0x7FFFFFFFFFFFFFFFLL;
    }

    // A file of one block without verification goes through the cache: unbuffered,
    // an odd size would need a padded write and a reopen to cut the padding off.
    p.oneBlock =
        size - transfer.startPosition <=
        static_cast<int64_t>(FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, size));
    if (fileTarget && p.oneBlock && size <= kBufferedFileSize && transfer.startPosition == 0 && !options.verify &&
        !options.verifyImmediate && (transfer.targetOpenFlags & kFlagNoBuffering) && transfer.writeUnit > 1 &&
        size % transfer.writeUnit != 0) {
        bufferedTarget = transfer.writeUnit;
        transfer.targetOpenFlags &= ~kFlagNoBuffering;
        transfer.writeUnit = 1;
    }
    return kGoOn;
}

// Creates or opens the target and readies it for the blocks.
int CreateAndPrepareTarget(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    const wchar_t* targetPath = p.targetPath;
    CopyCall& call = p.call;
    bool fileTarget = p.fileTarget;
    int64_t& size = p.size;
    int64_t& room = p.room;
    bool& roomAsked = p.roomAsked;
    uint32_t& disposition = p.disposition;
    disposition = OPEN_EXISTING;
    if (!call.targetIsNul) {
        if (!CreateTargetFile(call, &disposition)) return FailBeforeLoop(&call, false);
        int64_t opened = 0;
        // a file this open created is empty
        bool created = !call.targetExisted && !call.targetIsDevice;
        transfer.targetSize = !created && fileOps->GetSize(transfer.targetHandle, &opened) ? opened : 0;
        transfer.targetAllocatedSize = transfer.targetSize;
        FileInfo info;
        if (call.targetExisted && fileOps->GetInfo(transfer.targetHandle, &info, 0))
            for (int i = 0; i < 3; ++i) transfer.targetTimes[i] = info.times[i];
        if (options.verifyImmediate) {
            transfer.verifyHandle =
                fileOps->Open(targetPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                              transfer.targetOpenFlags | call.creationAttributes | kFlagNoBuffering);
            StartImmediateVerification(targetPath);
            if (!IsValidHandle(transfer.verifyHandle)) transfer.verifyHandle = nullptr;
        }
        // a handle just opened stands at 0
        if (transfer.startPosition != 0 &&
            !fileOps->SetPointer(transfer.targetHandle, transfer.startPosition, FILE_BEGIN, nullptr)) {
            PrintError("Error %s moving file pointer to StartPos (%I64i) -> abort\n", LastErrorName(),
                       transfer.startPosition);
            return FailBeforeLoop(&call, true);
        }
        if (call.targetIsDevice &&
            !PrepareTargetDevice(targetPath, transfer.targetHandle, run.targetIsVolume))
            return FailBeforeLoop(&call, true);
    }

    // space and preallocation
    if (!call.targetIsNul) {
        bool useAllocated = (call.compressed && run.targetCaps.compression && options.compression >= 1) ||
                            (options.sparse && run.targetCaps.sparse);
        int64_t existingSize = 0;
        if (fileTarget && call.targetExisted) {
            if (!fileOps->CompressedSize(targetPath, &existingSize)) existingSize = 0;
        }
        int64_t needed = NeededSpace(size, transfer.sourceAllocatedSize, useAllocated, existingSize);
        if (fileTarget && needed > room && !roomAsked) AskRoom(targetPath, &room);
        if (fileTarget) TakeRoom(needed);
        if (needed > room) {
            Print("Warning: Not enough space on target drive (%s more required)\n",
                  FormatSizeMB(static_cast<uint64_t>(needed - room), 1));
            if (call.targetIsDevice) {
                Print("-> Writing only to the end of the target drive\n");
                size = transfer.sourceSize = room;
            }
        } else if (fileTarget && !run.targetCompressed && !options.avoidWrites && size > 0 && !p.oneBlock) {
            // one write allocates a file of one block in one piece anyway
            int64_t allocation = transfer.sourceAllocatedSize > size ? transfer.sourceAllocatedSize : size;
            // never shorter: a copy that fails before its first byte leaves an existing target as it was
            if (allocation > transfer.targetSize) {
                PreallocateTarget(transfer.targetHandle, allocation, transfer.startPosition);
                call.preallocated = 1;
            }
        }
    }

    // the name line
    if (call.sourceKind == kSourceFile && !call.targetIsDevice && !options.quiet) {
        ClearLine();
        PrintNameW(L"%s\n", SkipLongPrefix(sourcePath));
    }
    SetCursorVisible(0);

    // sparse and compression
    if (fileTarget && run.targetCaps.sparse && (call.sparse || options.sparse)) {
        transfer.sparseMode = fileOps->SetSparse(transfer.targetHandle);
    }
    if (fileTarget && run.targetCaps.compression)
        ApplyNtfsCompression(transfer.sourceHandle, transfer.targetHandle, sourcePath, call.compressed, size,
                             transfer.sourceAllocatedSize);
    return kGoOn;
}

// The block loop, with a mirror's stop finishing the target it is in.
void CopyTheBlocks(FilePlan& p) {
    const wchar_t*& sourcePath = p.sourcePath;
    const wchar_t* targetPath = p.targetPath;
    CopyCall& call = p.call;
    bool fileTarget = p.fileTarget;
    int64_t& size = p.size;
    if (size > 0) {
        transfer.fileBlockSize = FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, size);
        lstrcpynW(transfer.sourcePath, sourcePath, kPathCapacity);
        lstrcpynW(transfer.targetPath, targetPath, kPathCapacity);
        transfer.finishOnStop = options.mirror && call.targetExisted && fileTarget;
        CopyBlocks();
        transfer.finishOnStop = 0;
    }
}

// The finish of the target, its verification, and the link group it may start.
int Finish(FilePlan& p) {
    const wchar_t* targetPath = p.targetPath;
    int streamFlag = p.streamFlag;
    CopyCall& call = p.call;
    int copied = FinishCopy(&call);
    // a stream with unreadable sectors or a failed verification leaves its file incomplete
    if (streamFlag && (transfer.failedSectors || call.verifyFailed)) copied = 0;
    // later names are linked only to a complete copy
    SettleLinkGroup(targetPath, copied && !call.verifyFailed);
    return copied;
}

int CopyOneFileSteps(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                     const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing) {
    if (run.stopRequested || run.breakRequested) return 0;
    ResetTransferForFile();
    FilePlan p = {};
    p.sourcePath = sourcePath;
    p.sourceAttributes = sourceAttributes == INVALID_FILE_ATTRIBUTES ? 0 : sourceAttributes;
    p.sourceTime = sourceTime;
    p.targetPath = targetPath;
    p.linkCounter = linkCounter;
    p.streamFlag = streamFlag;
    p.targetListing = targetListing;
    CopyCall& call = p.call;
    call.sourcePath = sourcePath;
    call.entryPath = sourcePath;
    call.targetPath = targetPath;
    call.streamCall = streamFlag;
    call.sourceKind = run.sourceIsNul ? kSourceNul
                      : run.sourceIsDevice ? (run.sourceIsVolume ? kSourceVolume : kSourceDisk)
                                           : kSourceFile;
    call.targetIsNul = run.targetIsNul;
    call.targetIsDevice = run.targetIsDevice && !run.targetIsNul;
    p.deviceSource = call.sourceKind == kSourceVolume || call.sourceKind == kSourceDisk;
    p.fileTarget = !call.targetIsDevice && !call.targetIsNul;

    int result = kGoOn;
    // a device target takes the blocks as they come: no names, links or attributes
    if (!call.targetIsDevice) {
        result = DecideAboutExistingTarget(p);
        if (result == kGoOn) result = LinkOrReparsePoint(p);
        if (result == kGoOn) result = TakeSourceAttributes(p);
    }
    if (result == kGoOn) result = OpenTheSource(p);
    if (result == kGoOn) result = CheckRoom(p);
    if (result == kGoOn) result = CreateAndPrepareTarget(p);
    if (result != kGoOn) return result;
    CopyTheBlocks(p);
    return Finish(p);
}

}  // namespace
