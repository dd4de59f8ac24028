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

namespace {

wchar_t linkTargetPath[kPathCapacity];
wchar_t recordedTarget[kPathCapacity];
// the write unit of the run while one file goes through a buffered target; 0 otherwise
uint32_t bufferedTarget;
constexpr int64_t kBufferedFileSize = 0x100000;

struct ExistingTarget {
    uint32_t attributes;
    int64_t size;
    uint64_t lastWrite;
};

uint64_t ToUInt64(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

const wchar_t* NameOf(const wchar_t* path) { return FileNamePart(SkipLongPrefix(path)); }

// Size, link count and index through a handle opened with no access.
int ProbeFile(const wchar_t* path, int64_t* size, uint32_t* links, uint64_t* index) {
    HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(handle, &info);
    DWORD error = GetLastError();
    CloseHandle(handle);
    if (!ok) {
        SetLastError(error);
        return 0;
    }
    if (size) *size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (links) *links = info.nNumberOfLinks;
    if (index) *index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return 1;
}

int ReadExistingTarget(const wchar_t* path, FolderListing* listing, ExistingTarget* existing) {
    if (listing) {
        ListingEntry* entry = FindListingEntry(listing, path);
        if (!entry) return 0;
        existing->attributes = entry->attributes;
        existing->size = entry->size;
        existing->lastWrite = entry->lastWrite;
        return 1;
    }
    uint32_t attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    existing->attributes = attributes;
    existing->size = 0;
    existing->lastWrite = 0;
    ProbeFile(path, &existing->size, nullptr, nullptr);
    HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        FILETIME written;
        if (GetFileTime(handle, nullptr, nullptr, &written)) existing->lastWrite = ToUInt64(written);
        CloseHandle(handle);
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
    ULARGE_INTEGER available, total, free;
    if (!GetDiskFreeSpaceExW(slash ? folder : nullptr, &available, &total, &free)) {
        Print("Error getting free space of %S: %s\n", SkipLongPrefix(folder), LastErrorName());
        roomCache.valid = false;
        return 0;
    }
    *room = EffectiveFreeSpace(total.QuadPart, free.QuadPart);
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
    if (!ProbeFile(path, nullptr, &links, nullptr) || links < 2) return;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    fileOps->Delete(path);
}

// -u over a target with several names: the target leaves its group only when
// its content differs, so an unchanged group stays linked and unwritten.
bool LinkedTargetEqualsSource(const wchar_t* sourcePath, const wchar_t* targetPath, int64_t size) {
    uint32_t links = 0;
    int64_t targetSize = -1;
    uint8_t* mine = transfer.buffers[0];
    uint8_t* theirs = transfer.compareBuffer;
    if (!options.avoidWrites || !mine || !theirs || !ProbeFile(targetPath, &targetSize, &links, nullptr) ||
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
    if (GetFileAttributesW(targetPath) == INVALID_FILE_ATTRIBUTES) return fileOps->Link(targetPath, existingPath);
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
    if (MoveFileExW(beside, targetPath, MOVEFILE_REPLACE_EXISTING)) return 1;
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

// Steps 7 and the mirror link handling of a target that is not copied.
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
    // is fetched only for a file with several names.
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard)) {
        fileOps->Close(handle);
        return 0;
    }
    *size = standard.EndOfFile.QuadPart;
    transfer.sourceAllocatedSize = standard.AllocationSize.QuadPart;
    *links = standard.NumberOfLinks;
    *index = 0;
    if (standard.NumberOfLinks >= 2) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(handle, &info)) {
            fileOps->Close(handle);
            return 0;
        }
        *index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
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

int CopyOneFileSteps(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                     const wchar_t* targetPath, int64_t* linkCounter, int streamFlag, FolderListing* targetListing) {
    if (run.stopRequested || run.breakRequested) return 0;
    ResetTransferForFile();
    if (sourceAttributes == INVALID_FILE_ATTRIBUTES) sourceAttributes = 0;

    CopyCall call = {};
    call.sourcePath = sourcePath;
    call.entryPath = sourcePath;
    call.targetPath = targetPath;
    call.streamCall = streamFlag;
    call.sourceKind = run.sourceIsNul ? kSourceNul
                      : run.sourceIsDevice ? (run.sourceIsVolume ? kSourceVolume : kSourceDisk)
                                           : kSourceFile;
    call.targetIsNul = run.targetIsNul;
    call.targetIsDevice = run.targetIsDevice && !run.targetIsNul;
    bool deviceSource = call.sourceKind == kSourceVolume || call.sourceKind == kSourceDisk;
    bool fileTarget = !call.targetIsDevice && !call.targetIsNul;
    int64_t size = 0;
    bool listedAbsent = false;
    bool replaceExisting = false;
    bool sizesRead = false;   // size and allocated size came with the source's opening

    if (!call.targetIsDevice) {
        // steps 3 to 10: files only
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
            if (!sizesRead && !ProbeFile(sourcePath, &size, &links, &index)) {
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
                call.targetExisted = GetFileAttributesW(targetPath) != INVALID_FILE_ATTRIBUTES;
            }
        }

        // reparse points
        if (sourceAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            if (ReadReparseTarget(sourcePath, linkTargetPath, kPathCapacity) && linkTargetPath[0]) {
                if (run.targetCaps.reparse && (!options.parseReparse || PointsIntoSource(linkTargetPath))) {
                    if (!CopyReparsePoint(sourcePath, targetPath, sourceAttributes)) return 0;
                    SetFileAttributesW(targetPath, sourceAttributes);
                    return 1;
                }
                call.sourcePath = sourcePath = linkTargetPath;
                sizesRead = false;
            }
        }

        // hard links
        if (options.hardlinks) {
            // an overwrite decision replaces the existing target by the link, as it would by a copy
            if (replaceExisting && GetFileAttributesW(targetPath) != INVALID_FILE_ATTRIBUTES) {
                if (SameFile(sourcePath, targetPath)) {
                    if (!options.quiet) PrintNameW(L"\r%s already exists (hardlink) -> skip\n", NameOf(targetPath));
                    return Skip();
                }
                SetFileAttributesW(targetPath, FILE_ATTRIBUTE_NORMAL);
                fileOps->Delete(targetPath);
            }
            if (CreateHardLinkW(targetPath, sourcePath, nullptr)) {
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
                if (GetFileAttributesW(targetPath) != INVALID_FILE_ATTRIBUTES && SameFile(recordedTarget, targetPath)) {
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
    }

    // step 11: a disk source's volumes stay locked
    if (call.sourceKind == kSourceDisk && !LockSourceDiskVolumes(sourcePath)) return FailBeforeLoop(&call, false);

    // steps 12 and 13: open the source, sizes and times
    if (call.sourceKind != kSourceNul) {
        if (!IsValidHandle(transfer.sourceHandle) && !OpenSourceFile(call)) return FailBeforeLoop(&call, false);
        if (deviceSource) {
            if (!PrepareSourceDevice(sourcePath, transfer.sourceHandle, call.sourceKind == kSourceVolume, &size))
                return FailBeforeLoop(&call, false);
            transfer.sourceAllocatedSize = size;
        } else {
            FILE_STANDARD_INFO info;
            if (sizesRead) {
                // read through this handle when it was opened
            } else if (GetFileInformationByHandleEx(transfer.sourceHandle, FileStandardInfo, &info, sizeof info)) {
                size = info.EndOfFile.QuadPart;
                transfer.sourceAllocatedSize = info.AllocationSize.QuadPart;
            } else {
                fileOps->GetSize(transfer.sourceHandle, &size);
                transfer.sourceAllocatedSize = size;
            }
            FILETIME created, accessed, written;
            if (GetFileTime(transfer.sourceHandle, &created, &accessed, &written)) {
                call.creationTime = ToUInt64(created);
                call.accessTime = ToUInt64(accessed);
                call.writeTime = ToUInt64(written);
                call.timesRead = 1;
            }
        }
    } else {
        // step 14: the NUL source writes as much as the target takes
        if (call.targetIsDevice) {
            size = NulSourceSize(targetPath);
        } else if (options.sparse || options.compression == 3) {
            size = static_cast<int64_t>(run.targetCluster) * 0xFFFFFFFFLL;
        } else {
            ULARGE_INTEGER available, total, free;
            size = GetDiskFreeSpaceExW(run.targetFolder[0] ? run.targetFolder : nullptr, &available, &total, &free)
                       ? EffectiveFreeSpace(total.QuadPart, free.QuadPart)
                       : 0;
        }
        transfer.sourceAllocatedSize = size;
    }

    // step 15: start position
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

    // steps 17 and 18
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

    // step 19: room, and what stands at the target's place
    int64_t room = 0x7FFFFFFFFFFFFFFFLL;
    bool roomAsked = false;
    if (fileTarget) {
        if (!RoomOnTarget(targetPath, &room, &roomAsked)) return FailBeforeLoop(&call, false);
        uint32_t attributes = listedAbsent ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(targetPath);
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
                attributes = GetFileAttributesW(targetPath);
                if (attributes != INVALID_FILE_ATTRIBUTES)
                    SetFileAttributesW(targetPath, attributes & ~FILE_ATTRIBUTE_READONLY);
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
    const bool oneBlock =
        size - transfer.startPosition <=
        static_cast<int64_t>(FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, size));
    if (fileTarget && oneBlock && size <= kBufferedFileSize && transfer.startPosition == 0 && !options.verify &&
        !options.verifyImmediate && (transfer.targetOpenFlags & kFlagNoBuffering) && transfer.writeUnit > 1 &&
        size % transfer.writeUnit != 0) {
        bufferedTarget = transfer.writeUnit;
        transfer.targetOpenFlags &= ~kFlagNoBuffering;
        transfer.writeUnit = 1;
    }

    // steps 20 to 22: the target
    uint32_t disposition = OPEN_EXISTING;
    if (!call.targetIsNul) {
        if (!CreateTargetFile(call, &disposition)) return FailBeforeLoop(&call, false);
        int64_t opened = 0;
        // a file this open created is empty
        bool created = !call.targetExisted && !call.targetIsDevice;
        transfer.targetSize = !created && fileOps->GetSize(transfer.targetHandle, &opened) ? opened : 0;
        transfer.targetAllocatedSize = transfer.targetSize;
        FILETIME times[3];
        if (call.targetExisted && GetFileTime(transfer.targetHandle, &times[0], &times[1], &times[2]))
            for (int i = 0; i < 3; ++i) transfer.targetTimes[i] = ToUInt64(times[i]);
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

    // step 24: space and preallocation
    if (!call.targetIsNul) {
        bool useAllocated = (call.compressed && run.targetCaps.compression && options.compression >= 1) ||
                            (options.sparse && run.targetCaps.sparse);
        int64_t existingSize = 0;
        if (fileTarget && call.targetExisted) {
            DWORD high = 0;
            DWORD low = GetCompressedFileSizeW(targetPath, &high);
            if (!(low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR))
                existingSize = (static_cast<int64_t>(high) << 32) | low;
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
        } else if (fileTarget && !run.targetCompressed && !options.avoidWrites && size > 0 && !oneBlock) {
            // one write allocates a file of one block in one piece anyway
            int64_t allocation = transfer.sourceAllocatedSize > size ? transfer.sourceAllocatedSize : size;
            // never shorter: a copy that fails before its first byte leaves an existing target as it was
            if (allocation > transfer.targetSize) {
                PreallocateTarget(transfer.targetHandle, allocation, transfer.startPosition);
                call.preallocated = 1;
            }
        }
    }

    // step 25: the name line
    if (call.sourceKind == kSourceFile && !call.targetIsDevice && !options.quiet) {
        ClearLine();
        PrintNameW(L"%s\n", SkipLongPrefix(sourcePath));
    }
    SetCursorVisible(0);

    // steps 26 and 27: sparse and compression
    if (fileTarget && run.targetCaps.sparse && (call.sparse || options.sparse)) {
        DWORD returned = 0;
        transfer.sparseMode =
            DeviceIoControl(transfer.targetHandle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr) ? 1 : 0;
    }
    if (fileTarget && run.targetCaps.compression)
        ApplyNtfsCompression(transfer.sourceHandle, transfer.targetHandle, sourcePath, call.compressed, size,
                             transfer.sourceAllocatedSize);

    // step 28
    if (size > 0) {
        transfer.fileBlockSize = FileBlockSize(transfer.runBlockSize, transfer.transferUnit, run.parallel, size);
        lstrcpynW(transfer.sourcePath, sourcePath, kPathCapacity);
        lstrcpynW(transfer.targetPath, targetPath, kPathCapacity);
        transfer.finishOnStop = options.mirror && call.targetExisted && fileTarget;
        CopyBlocks();
        transfer.finishOnStop = 0;
    }
    int copied = FinishCopy(&call);
    // a stream with unreadable sectors or a failed verification leaves its file incomplete
    if (streamFlag && (transfer.failedSectors || call.verifyFailed)) copied = 0;
    // later names are linked only to a complete copy
    SettleLinkGroup(targetPath, copied && !call.verifyFailed);
    return copied;
}

}  // namespace
