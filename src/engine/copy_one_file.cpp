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
#include "partial_copy.h"
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
// the name a file's copy is written under until it is complete; a stream's copy never uses it
wchar_t partialPath[kPathCapacity];
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

// -u over a target with several names: the target leaves its group only when
// its content differs, so an unchanged group stays linked and unwritten.
bool LinkedTargetEqualsSource(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size, int64_t targetSize) {
    uint8_t* mine = transfer.buffers[0];
    uint8_t* theirs = transfer.compareBuffer;
    if (!options.avoidWrites || !mine || !theirs || targetSize != size) return false;
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

// An overwrite must not write through to the other names of a linked target:
// the name is removed first, unless -u finds its content equal already.
// 1 when a removal was tried.
bool UnlinkTargetBeforeOverwrite(const wchar_t* sourcePath, const wchar_t* path, int64_t size) {
    uint32_t links = 0;
    int64_t targetSize = -1;
    if (!ProbePath(path, &targetSize, &links, nullptr) || links < 2) return false;
    if (LinkedTargetEqualsSource(sourcePath, path, size, targetSize)) return false;
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        fileOps->SetAttributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    fileOps->Delete(path);
    return true;
}

int Skip() {
    CloseHandleOf(&transfer.sourceHandle);
    return 0;
}

// -ve checks every target it keeps, whatever decided to keep it.
int KeepExisting(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size) {
    Skip();
    if (options.verify >= 2) VerifyExistingTarget(sourcePath, targetPath, size);
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
    // one left by an interrupted run goes first
    if (!fileOps->Link(beside, existingPath) &&
        (GetLastError() != ERROR_ALREADY_EXISTS || !fileOps->Delete(beside) || !fileOps->Link(beside, existingPath)))
        return 0;
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
    // a target marked and then never written gets its own time back
    const uint64_t* times = transfer.targetTimes;
    if (call->marked && call->targetExisted && times[2] && IsValidHandle(transfer.targetHandle))
        fileOps->SetTimes(transfer.targetHandle, &times[0], &times[1], &times[2]);
    CloseHandleOf(&transfer.targetHandle);
    // a target made by this call and never written is not left behind, nor is a temporary one
    if (created && (call->writeMode == kWriteTemporary || !call->targetExisted) && !call->targetIsDevice &&
        !call->targetIsNul && !fileOps->Delete(call->targetPath)) {
        PrintError("Error %s deleting '%S'\n", LastErrorName(), SkipLongPrefix(call->targetPath));
        CountFailure();
    }
    CountFailure();
    return 0;
}

int KeptNotOlder(const CopyCall* call) {
    NoteSkip(call->targetPath, "not older");
    return 0;
}

// A target that is not copied: -ve verifies it as it stands, and a mirror
// links it into its source's link group.
int NotCopied(CopyCall* call, int64_t sourceSize, int64_t* linkCounter) {
    if (options.verify >= 2) {
        transfer.bytesNotWritten += sourceSize;
        run.runBytesNotWritten += sourceSize;
        VerifyExistingTarget(call->sourcePath, call->targetPath, sourceSize);
        KeptNotOlder(call);
        return Skip();
    }
    CloseHandleOf(&transfer.sourceHandle);
    if (!options.mirror || call->linkCount < 2) return KeptNotOlder(call);
    if (!FindLinkGroup(call->sourcePath, recordedTarget, kPathCapacity)) {
        AddLinkGroup(call->linkCount, call->sourcePath, call->targetPath, 1);
        return KeptNotOlder(call);
    }
    if (SameFile(recordedTarget, call->targetPath)) return KeptNotOlder(call);
    if (!LinkInPlace(call->targetPath, recordedTarget)) {
        // the name keeps its own up-to-date copy
        PrintError("creating hardlink %S pointing to %S failed; err=%s\n", SkipLongPrefix(call->targetPath),
                   SkipLongPrefix(recordedTarget), LastErrorName());
        return 0;
    }
    if (linkCounter) ++*linkCounter;
    if (!options.quiet) PrintNameW(L"%s replaced by hardlink\n", NameOf(call->targetPath));
    NoteLaterName(recordedTarget, call->targetPath);
    if (options.deleteSource) RemoveCopiedSource(call, sourceSize, recordedTarget);
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

void ForgetTargetRoom() { roomCache.valid = false; }

int CopyOneFile(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing) {
    // a stream is copied while its file's copy is still being finished: that
    // file's per-file state must come out of the stream's copy unchanged
    static TransferState fileState;
    static uint32_t fileBuffered;
    uint32_t fileVerification = 0;
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
    bool attributesListed;  // the listing's attributes of the target still hold
    uint32_t targetAttributes;
    bool replaceExisting;
    int64_t existingSize;   // of the file under the target's name
    bool existingMarked;    // an interrupted in-place copy: it resumes
    bool sizesRead;         // size and allocated size came with the source's opening
    int64_t room;
    bool roomAsked;
    uint32_t disposition;
    bool oneBlock;          // the whole file fits one block
    bool linksPending;      // an in-place target's other names are asked through its own open
};

// A phase that lets the copy go on; any other value is the copy's result.
constexpr int kGoOn = -1;

// Whether the walk's listings of both sides show the target up to date, so
// that -oo (and -mir) keep it without opening either side. Whatever needs more
// than the listings tell (streams, security, links, compression, verifying
// kept targets) opens the source as before.
bool ListingShowsUpToDate(uint32_t sourceAttributes, uint64_t sourceTime, int64_t sourceSize, const wchar_t* targetPath,
                          FolderListing* targetListing) {
    if (!targetListing || !options.overwriteOlder || options.overwrite || options.skipExisting || options.hardlinks ||
        options.security || options.streams || options.verify >= 2 || (sourceAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (options.mirror && MayCompressExisting((sourceAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0)))
        return false;
    ExistingTarget existing = {};
    return ReadExistingTarget(targetPath, targetListing, &existing) &&
           !IsTargetOlder(existing.lastWrite, sourceTime, existing.size, sourceSize);
}

bool ListingsShowUpToDate(const FilePlan& p) {
    return listedTimes.known && !p.streamFlag && p.fileTarget &&
           ListingShowsUpToDate(p.sourceAttributes, p.sourceTime, listedTimes.size, p.targetPath, p.targetListing);
}

// The source's size and names, and what an existing target decides: skip,
// ask, keep it as it is, or let the copy replace it.
int DecideAboutExistingTarget(FilePlan& p) {
    if (p.deviceSource) {
        p.size = DeviceSizeOfPath(p.sourcePath);
    } else if (p.call.sourceKind == kSourceFile && ListingsShowUpToDate(p)) {
        p.size = listedTimes.size;
    } else if (p.call.sourceKind == kSourceFile) {
        uint32_t links = 0;
        uint64_t index = 0;
        if (run.securitySupported && options.security) {
            transfer.sourceOpenFlags |= kFlagBackupSemantics;
            transfer.targetOpenFlags |= kFlagBackupSemantics;
        }
        // -h links the source itself, which an open handle without write sharing would block
        p.sizesRead = !p.streamFlag && !options.hardlinks && OpenSourceForSizes(p.sourcePath, &p.size, &links, &index);
        if (!p.sizesRead && !ProbePath(p.sourcePath, &p.size, &links, &index)) {
            PrintError("Error %s opening source file '%S'\n", LastErrorName(), SkipLongPrefix(p.sourcePath));
            CountFailure();
            return 0;
        }
        // a file with several names proves hard links even where the volume flags omit them
        if ((run.sourceCaps.hardLinks || links >= 2 || run.linkGroups) && !p.streamFlag) {
            p.call.linkCount = links;
            p.call.fileIndex = index;
        }
    }

    ExistingTarget existing = {};
    bool found = p.fileTarget && ReadExistingTarget(p.targetPath, p.targetListing, &existing);
    // the walk's listing already said the name is free: no need to ask again below
    p.listedAbsent = p.fileTarget && p.targetListing && !found;
    p.attributesListed = found && p.targetListing;
    p.targetAttributes = existing.attributes;
    if (found) {
        p.call.targetExisted = 1;
        ExistingRules rules = {};
        rules.skipExisting = options.skipExisting;
        rules.streamCall = p.streamFlag;
        rules.overwrite = options.overwrite;
        rules.overwriteOlder = options.overwriteOlder;
        rules.older = TargetOutOfDate(existing.lastWrite, p.sourceTime, existing.size, p.size, options.mirror);
        p.existingSize = existing.size;
        p.existingMarked = !p.streamFlag && IsIncompleteMark(existing.lastWrite);
        rules.incomplete = p.existingMarked;
        int action = DecideExisting(rules);
        if (action == kExistingSkip) {
            if (!options.quiet)
                PrintNameW(existing.size != p.size ? L"\r%s already exists but with different size -> skip anyway "
                                                   L"(maybe better use -oo instead of -k)\n"
                                                 : L"\r%s already exists -> skip\n",
                           NameOf(p.targetPath));
            NoteSkip(p.targetPath, "exists");
            CloseHandleOf(&transfer.sourceHandle);
            if (!p.streamFlag) {
                if (options.streams && options.mirror && rules.older) RemoveSurplusStreams(p.sourcePath, p.targetPath);
                if (options.security || options.streams)
                    CopySecurityAndStreams(p.sourcePath, p.targetPath, options.security, options.streams);
            }
            if (options.verify >= 2) VerifyExistingTarget(p.sourcePath, p.targetPath, p.size);
            return 0;
        }
        if (action == kExistingAsk) {
            wchar_t answer = L'N';
            if (engineConsoleCheck()) {
                PrintNameW(L"%s already exists. Overwrite (Y/N/All/Older/sKip all)?", NameOf(p.targetPath));
                answer = Prompt(L"YNASKO", L'N');
                if (run.stopRequested || run.breakRequested) return Skip();
                Print("\n");
            } else {
                if (!options.quiet)
                    PrintNameW(L"\r%s already exists -> kept (no console to ask; -o or -oo overwrites)\n",
                               NameOf(p.targetPath));
                NoteSkip(p.targetPath, "a question would be asked");
            }
            if (answer == L'A') {
                options.overwrite = 1;
                action = kExistingCopy;
            } else if (answer == L'O') {
                options.overwriteOlder = 1;
                action = kExistingCopy;
            } else if (answer == L'Y') {
                action = kExistingCopy;
            } else {
                if (answer == L'K' || answer == L'S') options.skipExisting = 1;
                return KeepExisting(p.sourcePath, p.targetPath, p.size);
            }
        }
        if (action == kExistingNotOlder) {
            if (options.mirror) {
                int compressed = (p.sourceAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0;
                if (!CompressExistingTarget(p.sourcePath, p.targetPath, compressed) && !options.quiet)
                    PrintNameW(L"\r%s already exists -> skip\n", NameOf(p.targetPath));
            }
            return NotCopied(&p.call, p.size, p.linkCounter);
        }
        p.replaceExisting = action == kExistingCopy;
        if (!p.streamFlag && !options.skipExisting && action == kExistingCopy) {
            if (options.overwrite || options.overwriteOlder) Print("\r");
        }
    }
    return kGoOn;
}

// A source link copied as a link, -h, and a later name of a copied link group.
int LinkOrReparsePoint(FilePlan& p) {
    // reparse points
    if (p.sourceAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (ReadReparseTarget(p.sourcePath, linkTargetPath, kPathCapacity) && linkTargetPath[0]) {
            if (run.targetCaps.reparse && (!options.parseReparse || PointsIntoSource(linkTargetPath))) {
                if (!CopyReparsePoint(p.sourcePath, p.targetPath, p.sourceAttributes)) return 0;
                fileOps->SetAttributes(p.targetPath, p.sourceAttributes);
                return 1;
            }
            p.call.sourcePath = p.sourcePath = linkTargetPath;
            p.sizesRead = false;
        }
    }

    // hard links
    if (options.hardlinks) {
        // an overwrite decision replaces the existing target by the link, as it would by a copy:
        // the link is made beside it and renamed over it, so a failure leaves it in place
        uint32_t attributes = p.replaceExisting ? fileOps->GetAttributes(p.targetPath) : INVALID_FILE_ATTRIBUTES;
        bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (SameFile(p.sourcePath, p.targetPath)) {
                if (!options.quiet) PrintNameW(L"\r%s already exists (hardlink) -> skip\n", NameOf(p.targetPath));
                return Skip();
            }
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                PrintError("Error creating file '%S', already exists as folder\n", SkipLongPrefix(p.targetPath));
                CountFailure();
                return Skip();
            }
            if (readOnly && !options.overwriteReadOnly) {
                NoteSkip(p.targetPath, "read-only");
                PrintError("skip read-only file %S\n", SkipLongPrefix(p.targetPath));
                return Skip();
            }
            if (readOnly) fileOps->SetAttributes(p.targetPath, attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        bool linked = attributes != INVALID_FILE_ATTRIBUTES ? LinkInPlace(p.targetPath, p.sourcePath)
                                                            : fileOps->Link(p.targetPath, p.sourcePath);
        if (linked) {
            if (p.linkCounter) ++*p.linkCounter;
            if (!options.quiet) PrintNameW(L"%s (hardlink created)\n", NameOf(p.targetPath));
            return 1;
        }
        DWORD error = GetLastError();
        if (readOnly) fileOps->SetAttributes(p.targetPath, attributes);
        PrintError("creating hardlink %S failed; err=%s\n", SkipLongPrefix(p.targetPath), ErrorName(error));
        CountFailure();
        return Skip();
    }
    // -ds leaves the last name of a copied group with one link
    bool groupMember = p.call.linkCount >= 2 ||
                       (p.call.linkCount == 1 && options.deleteSource && CountLinkGroups(run.linkGroups) > 0);
    if (!run.singleSource && p.call.sourceKind == kSourceFile && p.fileTarget && groupMember) {
        if (FindLinkGroup(p.sourcePath, recordedTarget, kPathCapacity)) {
            if (fileOps->GetAttributes(p.targetPath) != INVALID_FILE_ATTRIBUTES && SameFile(recordedTarget, p.targetPath)) {
                if (!options.quiet) PrintNameW(L"\r%s already exists (hardlink) -> skip\n", NameOf(p.targetPath));
                // it shares what becomes of the group's copy, as a new link would
                NoteLaterName(recordedTarget, p.targetPath);
                return 0;
            }
            if (LinkInPlace(p.targetPath, recordedTarget)) {
                if (p.linkCounter) ++*p.linkCounter;
                if (!options.quiet) PrintNameW(L"%s (hardlink)\n", NameOf(p.targetPath));
                CloseHandleOf(&transfer.sourceHandle);
                NoteLaterName(recordedTarget, p.targetPath);
                if (options.deleteSource) RemoveCopiedSource(&p.call, p.size, recordedTarget);
                return 1;
            }
            // this name is copied as a file of its own instead, with its own security
            PrintError("creating hardlink %S pointing to %S failed; err=%s\n", SkipLongPrefix(p.targetPath),
                       SkipLongPrefix(recordedTarget), LastErrorName());
        } else if (p.call.linkCount >= 2 && AddLinkGroup(p.call.linkCount, p.sourcePath, p.targetPath, 0)) {
            p.call.securityPerGroup = options.security ? 1 : 0;
        }
    }
    return kGoOn;
}

// The attributes the target is created with, and streams the volumes lack.
int TakeSourceAttributes(FilePlan& p) {
    // attributes and flags
    p.call.creationAttributes = CreationAttributesOf(p.sourceAttributes);
    p.call.readOnly = (p.sourceAttributes & FILE_ATTRIBUTE_READONLY) && run.sourceDriveType != DRIVE_CDROM;
    p.call.sparse = (p.sourceAttributes & FILE_ATTRIBUTE_SPARSE_FILE) && run.targetCaps.sparse;
    p.call.compressed =
        (p.sourceAttributes & FILE_ATTRIBUTE_COMPRESSED) && run.targetCaps.compression && options.compression != 0;
    if (run.securitySupported && options.security) {
        transfer.sourceOpenFlags |= kFlagBackupSemantics;
        transfer.targetOpenFlags |= kFlagBackupSemantics;
    }
    if (HasStreamName(p.sourcePath) && !run.sourceCaps.streams) {
        Print("source drive does not support streams -> abort\n");
        CountFailure();
        return Skip();
    }
    if (HasStreamName(p.targetPath) && !run.targetCaps.streams) {
        Print("target drive does not support streams -> abort\n");
        CountFailure();
        return Skip();
    }
    return kGoOn;
}

// Opens the source and settles how much of it is copied.
int OpenTheSource(FilePlan& p) {
    // a disk source's volumes stay locked
    if (p.call.sourceKind == kSourceDisk && !LockSourceDiskVolumes(p.sourcePath)) return FailBeforeLoop(&p.call, false);

    // open the source; its sizes and times
    if (p.call.sourceKind != kSourceNul) {
        if (!IsValidHandle(transfer.sourceHandle) && !OpenSourceFile(p.call)) return FailBeforeLoop(&p.call, false);
        if (p.deviceSource) {
            if (!PrepareSourceDevice(p.sourcePath, transfer.sourceHandle, p.call.sourceKind == kSourceVolume, &p.size))
                return FailBeforeLoop(&p.call, false);
            transfer.sourceAllocatedSize = p.size;
        } else {
            FileInfo info;
            if (p.sizesRead) {
                // read through this handle when it was opened
                p.call.creationTime = openedTimes[0];
                p.call.accessTime = openedTimes[1];
                p.call.writeTime = openedTimes[2];
                p.call.timesRead = 1;
            } else if (fileOps->GetInfo(transfer.sourceHandle, &info, 0)) {
                p.size = info.size;
                transfer.sourceAllocatedSize = info.allocated;
                p.call.creationTime = info.times[0];
                p.call.accessTime = info.times[1];
                p.call.writeTime = info.times[2];
                p.call.timesRead = 1;
            } else {
                // a copy without its source's times would pass for changed or for unchanged
                PrintError("Error %s reading the times of '%S'\n", LastErrorName(), SkipLongPrefix(p.sourcePath));
                return FailBeforeLoop(&p.call, false);
            }
        }
    } else {
        // the NUL source writes as much as the target takes
        if (p.call.targetIsDevice) {
            p.size = NulSourceSize(p.targetPath);
        } else if (options.sparse || options.compression == 3) {
            p.size = static_cast<int64_t>(run.targetCluster) * 0xFFFFFFFFLL;
        } else {
            int64_t total = 0, free = 0;
            p.size = fileOps->FreeSpace(run.targetFolder[0] ? run.targetFolder : nullptr, &total, &free)
                       ? EffectiveFreeSpace(total, free)
                       : 0;
        }
        transfer.sourceAllocatedSize = p.size;
    }

    // the start position
    if (p.call.sourceKind != kSourceNul && options.startPos > 0) {
        if (options.startPos > p.size) {
            PrintError("Error: StartPos (%I64i) > FileSize (%I64i) -> abort\n", options.startPos, p.size);
            return FailBeforeLoop(&p.call, false);
        }
        if (!fileOps->SetPointer(transfer.sourceHandle, options.startPos, FILE_BEGIN, nullptr)) {
            PrintError("Error %s moving file pointer to StartPos (%I64i) in '%S' -> abort\n", LastErrorName(),
                       options.startPos, SkipLongPrefix(p.sourcePath));
            return FailBeforeLoop(&p.call, false);
        }
        transfer.startPosition = options.startPos;
    }
    if (p.deviceSource) ClaimSourceDevice(p.sourcePath, transfer.sourceHandle, p.call.sourceKind == kSourceVolume);

    // a forced size, and the largest file the target volume holds
    if (options.forcedSize > 0) p.size = options.forcedSize;
    transfer.sourceSize = p.size;
    if (transfer.sourceAllocatedSize < 0) transfer.sourceAllocatedSize = p.size;
    if (p.size > run.maxTargetFileSize) {
        CloseHandleOf(&transfer.sourceHandle);
        PrintError("target drive cannot handle files > 4GB -> abort\n");
        CountFailure();
        return 0;
    }
    if (run.stopRequested || run.breakRequested) return Skip();
    return kGoOn;
}

// What the choice of how to write the target weighs, its other names aside.
WriteModeFacts WriteFacts(const FilePlan& p) {
    WriteModeFacts facts = {};
    facts.fileTarget = p.fileTarget;
    facts.streamCall = p.streamFlag;
    facts.deviceSource = p.deviceSource;
    facts.existed = p.call.targetExisted;
    facts.avoidWrites = options.avoidWrites;
    facts.startPos = transfer.startPosition;
    facts.links = 1;
    facts.size = p.size;
    facts.existingSize = p.existingSize;
    facts.room = p.room;
    // a stream is copied while its file's copy still writes under the temporary name
    facts.nameFits = p.fileTarget && !p.streamFlag && PartialPathOf(p.targetPath, partialPath, kPathCapacity);
    return facts;
}

// A target with other names: -u leaves a group whose content is the source's
// as it is, linked and unwritten; else it is written beside, or leaves its
// group first.
void WeighTargetLinks(FilePlan& p, uint32_t links, int64_t targetSize) {
    if (links < 2 || LinkedTargetEqualsSource(p.sourcePath, p.targetPath, p.size, targetSize)) return;
    WriteModeFacts facts = WriteFacts(p);
    facts.links = links;
    p.call.writeMode = ChooseWriteMode(facts);
    // with no room for a name beside it, the target leaves its group first
    if (p.call.writeMode == kWriteMarked && UnlinkTargetBeforeOverwrite(p.sourcePath, p.targetPath, p.size)) {
        p.call.targetExisted = fileOps->GetAttributes(p.targetPath) != INVALID_FILE_ATTRIBUTES;
        p.attributesListed = false;
    }
}

// Written beside the target and renamed over it, or in place after a mark;
// in place never through the target's other names. A writable target learns
// its link count from the open that writes it; a read-only one is asked
// first, as its attribute is cleared before that open.
void ChooseHowToWrite(FilePlan& p, bool readOnly) {
    p.call.writeMode = ChooseWriteMode(WriteFacts(p));
    if (p.call.writeMode != kWriteMarked || !p.call.targetExisted) return;
    if (!readOnly) {
        p.linksPending = true;
        return;
    }
    int64_t targetSize = -1;
    uint32_t links = 1;
    if (ProbePath(p.targetPath, &targetSize, &links, nullptr)) WeighTargetLinks(p, links, targetSize);
}

// The room on the target, and a read-only or folder name in the way.
int CheckRoom(FilePlan& p) {
    // what stands at the target's place
    p.room = 0x7FFFFFFFFFFFFFFFLL;
    p.roomAsked = false;
    if (p.fileTarget) {
        if (!RoomOnTarget(p.targetPath, &p.room, &p.roomAsked)) return FailBeforeLoop(&p.call, false);
        uint32_t attributes = p.listedAbsent       ? INVALID_FILE_ATTRIBUTES
                              : p.attributesListed ? p.targetAttributes
                                                   : fileOps->GetAttributes(p.targetPath);
        bool readOnly = false;
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            p.call.targetExisted = 1;
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                NoteSkip(p.targetPath, "a folder stands there");
                PrintError("Error creating file '%S', already exists as folder\n", SkipLongPrefix(p.targetPath));
                return FailBeforeLoop(&p.call, false);
            }
            readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
            if (readOnly && !options.overwriteReadOnly) {
                NoteSkip(p.targetPath, "read-only");
                PrintError("skip read-only file %S\n", SkipLongPrefix(p.targetPath));
                return KeepExisting(p.sourcePath, p.targetPath, p.size);
            }
        }
        ChooseHowToWrite(p, readOnly);
        if (readOnly && p.call.writeMode == kWriteTemporary) {
            // the old target stays as it is until the finished copy replaces it
            p.call.clearReadOnly = 1;
        } else if (readOnly) {
            fileOps->SetAttributes(p.targetPath, attributes & ~FILE_ATTRIBUTE_READONLY);
        }
    } else if (p.call.targetIsDevice) {
        p.room = TargetDeviceSize(p.targetPath);
        if (p.room <= 0) p.room = 0x7FFFFFFFFFFFFFFFLL;
    }

    // A file of one block without verification goes through the cache: unbuffered,
    // an odd size would need a padded write and a reopen to cut the padding off.
    p.oneBlock =
        p.size - transfer.startPosition <=
        static_cast<int64_t>(FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, p.size));
    if (p.fileTarget && p.oneBlock && p.size <= kBufferedFileSize && transfer.startPosition == 0 && !options.verify &&
        !options.verifyImmediate && (transfer.targetOpenFlags & kFlagNoBuffering) && transfer.writeUnit > 1 &&
        p.size % transfer.writeUnit != 0) {
        bufferedTarget = transfer.writeUnit;
        transfer.targetOpenFlags &= ~kFlagNoBuffering;
        transfer.writeUnit = 1;
    }
    return kGoOn;
}

// The bytes before -st of a target with other names, which the copy beside it replaces.
int CopyPrefix(const wchar_t* finalPath, int64_t start) {
    void* old = fileOps->Open(finalPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!IsValidHandle(old)) return 0;
    uint8_t* buffer = transfer.buffers[0];
    int ok = buffer != nullptr;
    for (int64_t done = 0; ok && done < start;) {
        uint32_t chunk = start - done < transfer.bufferCapacity ? static_cast<uint32_t>(start - done)
                                                                : transfer.bufferCapacity;
        uint32_t got = 0, written = 0;
        ok = fileOps->Read(old, buffer, chunk, &got);
        if (ok && got == 0) break;   // a shorter target leaves zeros up to the start
        ok = ok && fileOps->Write(transfer.targetHandle, buffer, got, &written) && written == got;
        done += got;
    }
    DWORD error = GetLastError();
    fileOps->Close(old);
    SetLastError(error);
    return ok;
}

// Before the first byte: a copy in place marks its target incomplete, one
// beside it takes what it must keep of the old target and resumes what an
// interrupted run left.
int StartWritingSafely(FilePlan& p) {
    CopyCall& call = p.call;
    bool resume = false;
    if (call.writeMode == kWriteMarked) {
        resume = p.existingMarked && call.targetExisted;
        if (!resume) {
            if (!fileOps->SetTimes(transfer.targetHandle, nullptr, nullptr, &kIncompleteMark)) {
                PrintError("Error %s marking '%S' as incomplete\n", LastErrorName(), SkipLongPrefix(call.finalPath));
                return 0;
            }
            call.marked = 1;
        }
    } else if (call.writeMode == kWriteTemporary) {
        resume = call.targetExisted && transfer.targetSize > 0;
        if (transfer.startPosition > 0 && call.finalExisted && !CopyPrefix(call.finalPath, transfer.startPosition)) {
            PrintError("Error %s keeping the start of '%S'\n", LastErrorName(), SkipLongPrefix(call.finalPath));
            return 0;
        }
    }
    // blocks a resumed copy finds already written are compared, not written again
    if (resume && EnsureCompareBuffer()) transfer.compareExisting = 1;
    return 1;
}

// A new target written in place is made beside its name and moved there once
// marked: no moment leaves it under its name unmarked, which a later run
// would take for complete.
int MoveMarkedIntoPlace(FilePlan& p) {
    CloseHandleOf(&transfer.targetHandle);
    if (!fileOps->Move(partialPath, p.targetPath, 0)) {
        DWORD error = GetLastError();
        PrintError("Error %s creating '%S'\n", ErrorName(error), SkipLongPrefix(p.targetPath));
        SetLastError(error);
        return 0;
    }
    p.call.targetPath = p.targetPath;
    p.call.targetExisted = 0;
    transfer.targetHandle = fileOps->Open(p.targetPath, GENERIC_READ | GENERIC_WRITE, run.targetShareMode, OPEN_EXISTING,
                                          transfer.targetOpenFlags | p.call.creationAttributes);
    if (IsValidHandle(transfer.targetHandle)) return 1;
    PrintError("Error %s opening '%S'\n", LastErrorName(), SkipLongPrefix(p.targetPath));
    transfer.targetHandle = nullptr;
    return 0;
}

// Creates or opens the target and readies it for the blocks.
int CreateAndPrepareTarget(FilePlan& p) {
    p.disposition = OPEN_EXISTING;
    p.call.finalExisted = p.call.targetExisted;
    bool temporary = p.call.writeMode == kWriteTemporary;
    bool besideFirst = p.call.writeMode == kWriteMarked && !p.call.targetExisted && p.fileTarget &&
                       PartialPathOf(p.targetPath, partialPath, kPathCapacity);
    if (temporary || besideFirst) {
        // from here on the copy writes the temporary name; what it left before is resumed
        p.call.targetPath = partialPath;
        p.call.targetExisted = 0;
    }
    if (!p.call.targetIsNul) {
        if (!CreateTargetFile(p.call, &p.disposition)) return FailBeforeLoop(&p.call, false);
        int64_t opened = 0;
        // a file this open created is empty
        bool created = !p.call.targetExisted && !p.call.targetIsDevice;
        FileInfo info;
        bool informed = p.call.targetExisted && !temporary && fileOps->GetInfo(transfer.targetHandle, &info, 0);
        if (p.linksPending) {
            p.linksPending = false;
            int64_t probedSize = informed ? info.size : -1;
            uint32_t links = informed ? info.links : 1;
            if (informed || ProbePath(p.targetPath, &probedSize, &links, nullptr)) {
                if (links >= 2) {
                    // nothing is written yet: the copy starts over with what the group decides
                    CloseHandleOf(&transfer.targetHandle);
                    WeighTargetLinks(p, links, probedSize);
                    return CreateAndPrepareTarget(p);
                }
            }
        }
        if (informed) {
            for (int i = 0; i < 3; ++i) transfer.targetTimes[i] = info.times[i];
            p.call.openedAttributes = info.attributes;
        }
        // the information read for the times holds the size as well
        transfer.targetSize = created ? 0 : informed ? info.size : fileOps->GetSize(transfer.targetHandle, &opened) ? opened : 0;
        transfer.targetAllocatedSize = transfer.targetSize;
        if (!StartWritingSafely(p)) return FailBeforeLoop(&p.call, true);
        if (besideFirst && !MoveMarkedIntoPlace(p)) return FailBeforeLoop(&p.call, true);
        if (options.verifyImmediate) {
            transfer.verifyHandle =
                fileOps->Open(p.call.targetPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, p.disposition,
                              transfer.targetOpenFlags | p.call.creationAttributes | kFlagNoBuffering);
            StartImmediateVerification(p.targetPath);
            if (!IsValidHandle(transfer.verifyHandle)) transfer.verifyHandle = nullptr;
        }
        // a handle just opened stands at 0
        if (transfer.startPosition != 0 &&
            !fileOps->SetPointer(transfer.targetHandle, transfer.startPosition, FILE_BEGIN, nullptr)) {
            PrintError("Error %s moving file pointer to StartPos (%I64i) -> abort\n", LastErrorName(),
                       transfer.startPosition);
            return FailBeforeLoop(&p.call, true);
        }
        if (p.call.targetIsDevice &&
            !PrepareTargetDevice(p.targetPath, transfer.targetHandle, run.targetIsVolume))
            return FailBeforeLoop(&p.call, true);
    }

    // space and preallocation
    if (!p.call.targetIsNul) {
        bool useAllocated = (p.call.compressed && run.targetCaps.compression && options.compression >= 1) ||
                            (options.sparse && run.targetCaps.sparse);
        int64_t existingSize = 0;
        // the space an existing target frees is asked for only when the room is short without it;
        // a copy beside its target frees none
        if (p.fileTarget && p.call.targetExisted && !temporary &&
            NeededSpace(p.size, transfer.sourceAllocatedSize, useAllocated, 0) > p.room) {
            if (!fileOps->CompressedSize(p.targetPath, &existingSize)) existingSize = 0;
        }
        int64_t needed = NeededSpace(p.size, transfer.sourceAllocatedSize, useAllocated, existingSize);
        if (p.fileTarget && needed > p.room && !p.roomAsked) AskRoom(p.targetPath, &p.room);
        if (p.fileTarget) TakeRoom(needed);
        if (needed > p.room) {
            Print("Warning: Not enough space on target drive (%s more required)\n",
                  FormatSizeMB(static_cast<uint64_t>(needed - p.room), 1));
            if (p.call.targetIsDevice) {
                Print("-> Writing only to the end of the target drive\n");
                p.size = transfer.sourceSize = p.room;
                // the source's tail has nowhere to go: the copy cannot be complete
                PrintError("Error DISK_FULL: '%S' holds only the first %I64u bytes of '%S'\n", SkipLongPrefix(p.targetPath),
                           static_cast<uint64_t>(p.room), SkipLongPrefix(p.sourcePath));
                CountFailure();
            }
        } else if (p.fileTarget && !run.targetCompressed && !transfer.compareExisting && p.size > 0 && !p.oneBlock) {
            // one write allocates a file of one block in one piece anyway
            int64_t allocation = transfer.sourceAllocatedSize > p.size ? transfer.sourceAllocatedSize : p.size;
            // never shorter: a copy that fails before its first byte leaves an existing target as it was
            // a pointer not put back would have the blocks written past the allocation
            if (allocation > transfer.targetSize) {
                if (!PreallocateTarget(transfer.targetHandle, allocation, transfer.startPosition)) {
                    DWORD error = GetLastError();
                    if (CurrentPosition(transfer.targetHandle) != transfer.startPosition) {
                        PrintError("Error %s placing the start of '%S'\n", ErrorName(error), SkipLongPrefix(p.call.finalPath));
                        // its length changed: it stays marked incomplete
                        p.call.marked = 0;
                        return FailBeforeLoop(&p.call, true);
                    }
                }
                p.call.preallocated = 1;
            }
        }
    }

    // the name line
    if (p.call.sourceKind == kSourceFile && !p.call.targetIsDevice && !options.quiet) {
        ClearLine();
        PrintNameW(L"%s\n", SkipLongPrefix(p.sourcePath));
    }
    SetCursorVisible(0);

    // sparse and compression
    if (p.fileTarget && run.targetCaps.sparse && (p.call.sparse || options.sparse)) {
        transfer.sparseMode = fileOps->SetSparse(transfer.targetHandle);
    }
    if (p.fileTarget && run.targetCaps.compression)
        ApplyNtfsCompression(transfer.sourceHandle, transfer.targetHandle, p.sourcePath, p.call.compressed, p.size,
                             transfer.sourceAllocatedSize);
    return kGoOn;
}

// The block loop, with a mirror's stop finishing the target it is in.
void CopyTheBlocks(FilePlan& p) {
    if (p.size > 0) {
        transfer.fileBlockSize = FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, p.size);
        lstrcpynW(transfer.sourcePath, p.sourcePath, kPathCapacity);
        lstrcpynW(transfer.targetPath, p.call.targetPath, kPathCapacity);
        // a copy beside its target stops at once: the target is untouched
        transfer.finishOnStop = options.mirror && p.call.targetExisted && p.call.writeMode == kWriteMarked;
        CopyBlocks();
        transfer.finishOnStop = 0;
    }
}

// The finish of the target, its verification, and the link group it may start.
int Finish(FilePlan& p) {
    int copied = FinishCopy(&p.call);
    // a stream with unreadable sectors or a failed verification leaves its file incomplete
    if (p.streamFlag && (transfer.failedSectors || p.call.verifyFailed)) copied = 0;
    // later names are linked only to a complete copy: data, times and all
    const uint64_t times[3] = {p.call.creationTime, p.call.accessTime, p.call.writeTime};
    bool marked = p.call.securityPerGroup && p.call.timesRead;
    SettleLinkGroup(p.targetPath, copied && !p.call.verifyFailed && !p.call.detailsFailed && !transfer.failedSectors,
                    marked ? times : nullptr);
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
    call.finalPath = targetPath;
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

int OpensSourceFirst(uint32_t attributes, uint64_t lastWrite, int64_t size, const wchar_t* targetPath,
                     FolderListing* targetListing) {
    bool targetDevice = run.targetIsDevice && !run.targetIsNul;
    if (run.sourceIsNul || run.sourceIsDevice || targetDevice || options.hardlinks) return 0;
    return run.targetIsNul || !ListingShowsUpToDate(attributes, lastWrite, size, targetPath, targetListing);
}

int ForeseeSourceOpens(const wchar_t* const* paths, size_t count) {
    uint32_t flags = transfer.sourceOpenFlags ? transfer.sourceOpenFlags : kNoBufferingFlags;
    if (run.securitySupported && options.security) flags |= kFlagBackupSemantics;
    uint32_t share = run.sourceShareMode ? run.sourceShareMode : FILE_SHARE_READ;
    // the walk's files come with their times: the copy asks the rest
    return fileOps->ForeseeOpens(paths, count, GENERIC_READ, share, flags, kInfoNoTimes);
}
