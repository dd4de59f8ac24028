// The finish of one copy: exact size, result line, removal of an incomplete
// target, times and attributes, verification hand-off and -ds.
#include <windows.h>

#include "compression.h"
#include "console.h"
#include "copy_call.h"
#include "devices.h"
#include "error_log.h"
#include "file_ops.h"
#include "options.h"
#include "partial_copy.h"
#include "paths.h"
#include "read_recovery.h"
#include "run_state.h"
#include "security_streams.h"
#include "source_removal.h"
#include "text_format.h"
#include "transfer_state.h"
#include "verification.h"

namespace {

const wchar_t* NameOf(const wchar_t* path) { return FileNamePart(SkipLongPrefix(path)); }

const char* ResultWord(int kind) {
    switch (kind) {
        case kSourceNul: return " NUL copied";
        case kSourceVolume: return " Volume copied";
        case kSourceDisk: return " Disk copied";
        default: return " File copied";
    }
}

// 0 when the target could not be given its source's times: -ds keeps the source.
int StampTimes(const CopyCall* call) {
    if (!call->timesRead || !IsValidHandle(transfer.targetHandle)) return 1;
    // a target without its source's times reads as changed, or as unchanged, to the next run
    // a target left unwritten that has them already keeps them untouched
    // a link group's first copy is marked until its security comes, after the walk
    const uint64_t* written = call->securityPerGroup ? &kIncompleteMark : &call->writeTime;
    const uint64_t* had = transfer.targetTimes;
    if (call->targetExisted && !transfer.targetTouched && !call->marked && had[0] == call->creationTime &&
        had[1] == call->accessTime && had[2] == *written)
        return 1;
    if (fileOps->SetTimes(transfer.targetHandle, &call->creationTime, &call->accessTime, written)) return 1;
    PrintError("Error %s setting the times of '%S'\n", LastErrorName(), SkipLongPrefix(call->finalPath));
    CountFailure();
    return 0;
}

// Whether the target's attributes must still be set by name, and to what.
bool AttributesToSet(const CopyCall* call, uint32_t* attributes) {
    // a file made by this copy already carries its creation attributes; the
    // system adds the archive bit to a new file, so only that case is free
    if (!call->targetExisted && !call->readOnly && (call->creationAttributes & FILE_ATTRIBUTE_ARCHIVE) &&
        !call->streamCall)
        return false;
    *attributes = call->creationAttributes | (call->readOnly ? FILE_ATTRIBUTE_READONLY : 0);
    if (!*attributes) *attributes = FILE_ATTRIBUTE_NORMAL;
    // an existing target left unwritten keeps attributes that are right already
    return !(call->targetExisted && !transfer.targetTouched && call->openedAttributes == *attributes &&
             !call->streamCall);
}

// 0 when the target could not be given its source's attributes: the run
// fails, and -ds keeps the source.
int SetTargetAttributes(const CopyCall* call) {
    uint32_t attributes = 0;
    if (!AttributesToSet(call, &attributes)) return 1;
    if (fileOps->SetAttributes(call->targetPath, attributes)) return 1;
    PrintError("Error %s setting the attributes of '%S'\n", LastErrorName(), SkipLongPrefix(call->finalPath));
    CountFailure();
    return 0;
}

// 0 when security or streams could not be copied: the source is then the only
// full copy and -ds keeps it.
int SecurityAndStreams(const CopyCall* call) {
    if (call->streamCall) return 1;
    if (options.streams && options.mirror) RemoveSurplusStreams(call->sourcePath, call->targetPath);
    // a descriptor set here could deny the group's later links
    int security = options.security && !call->securityPerGroup;
    if (security || options.streams)
        return CopySecurityAndStreams(call->sourcePath, call->targetPath, security, options.streams);
    return 1;
}

// A copy beside its target that nothing after its data opens by name keeps its
// handle to be renamed through it: one call where a rename by name is four.
bool RenamesThroughHandle(const CopyCall* call) {
    uint32_t attributes = 0;
    return call->writeMode == kWriteTemporary && !call->streamCall && !options.security && !options.streams &&
           !options.wof && !(options.mirror && options.compression >= 1) && !AttributesToSet(call, &attributes);
}

void DeleteTarget(const CopyCall* call, const char* done, const char* failed) {
    CloseHandleOf(&transfer.verifyHandle);
    CloseHandleOf(&transfer.targetHandle);
    if (fileOps->Delete(call->targetPath))
        Print(done);
    else
        Print(failed, LastErrorName());
}

// Removes what a failed copy wrote beside its target (done: the line on
// success, with the error's name); the target itself is as it was, and the line says so.
void DropPartial(const CopyCall* call, const char* done = "", uint32_t error = 0) {
    CloseHandleOf(&transfer.verifyHandle);
    CloseHandleOf(&transfer.targetHandle);
    fileOps->SetAttributes(call->targetPath, FILE_ATTRIBUTE_NORMAL);
    if (!fileOps->Delete(call->targetPath)) {
        PrintError("Error %s deleting '%S'\n", LastErrorName(), SkipLongPrefix(call->targetPath));
        CountFailure();
        return;
    }
    Print(done, ErrorName(error));
    if (call->finalExisted) {
        PrintNameW(L" %s kept unchanged\n", FileNamePart(SkipLongPrefix(call->finalPath)));
    }
}

// Gives a file the last-write time by name.
int StampWriteTime(const wchar_t* path, uint64_t time) {
    void* handle = fileOps->Open(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (!IsValidHandle(handle)) return 0;
    int stamped = fileOps->SetTimes(handle, nullptr, nullptr, &time);
    uint32_t error = GetLastError();
    fileOps->Close(handle);
    SetLastError(error);
    return stamped;
}

// Stamps a file with the time that tells a later run it is incomplete.
int MarkIncomplete(const wchar_t* path) { return StampWriteTime(path, kIncompleteMark); }

// A device has no times to give its image: a whole one gets the time it was
// finished, which takes away the mark of an image to resume. 0 when it cannot.
int StampFinishedImage(const CopyCall* call) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (StampWriteTime(call->targetPath, (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime))
        return 1;
    PrintError("Error %s setting the time of '%S'\n", LastErrorName(), SkipLongPrefix(call->finalPath));
    CountFailure();
    return 0;
}

// The streams of a link group's first copy, copied as files of their own,
// gave it its times: it is marked again until the group's security is set.
int KeepGroupMark(const CopyCall* call) {
    if (!call->securityPerGroup || !options.streams || MarkIncomplete(call->targetPath)) return 1;
    PrintError("Error %s marking '%S' as incomplete\n", LastErrorName(), SkipLongPrefix(call->finalPath));
    CountFailure();
    return 0;
}

// Renames the copy over its target: through its handle where that is still
// open, else, and where the handle cannot, by name.
int RenameIntoPlace(const CopyCall* call) {
    if (IsValidHandle(transfer.targetHandle)) {
        int moved = fileOps->MoveOpened(transfer.targetHandle, call->finalPath, 1);
        CloseHandleOf(&transfer.targetHandle);
        if (moved) return 1;
    }
    return fileOps->Move(call->targetPath, call->finalPath, 1);
}

// A copy made beside its target is renamed over it when its data are
// complete, else removed, so the old target stays. A copy whose security,
// streams or attributes failed, or that holds zeros for unreadable sectors,
// keeps its data but is marked, so the same command completes it. 0 when the
// target is not the complete copy.
int PutInPlace(const CopyCall* call, int dataComplete, int extrasComplete) {
    if (!extrasComplete || call->writeMode != kWriteTemporary) CloseHandleOf(&transfer.targetHandle);
    // a stream's file is marked by the file's own copy
    bool marked = dataComplete && !extrasComplete && !call->streamCall && MarkIncomplete(call->targetPath);
    if (call->writeMode != kWriteTemporary) return dataComplete && (extrasComplete || marked);
    int complete = dataComplete && (extrasComplete || marked);
    uint32_t attributes = complete && call->clearReadOnly ? fileOps->GetAttributes(call->finalPath) : INVALID_FILE_ATTRIBUTES;
    bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly) fileOps->SetAttributes(call->finalPath, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (complete && RenameIntoPlace(call)) return extrasComplete;
    if (complete) {
        DWORD error = GetLastError();
        if (readOnly) fileOps->SetAttributes(call->finalPath, attributes);
        PrintError("Error %s replacing '%S'\n", ErrorName(error), SkipLongPrefix(call->finalPath));
        CountFailure();
    }
    DropPartial(call);
    return 0;
}

// Reopens the target with the given flags after closing it.
int ReopenTarget(const CopyCall* call, uint32_t flags) {
    CloseHandleOf(&transfer.targetHandle);
    uint32_t access = GENERIC_READ | GENERIC_WRITE | (call->writeMode == kWriteTemporary ? DELETE : 0);
    void* handle = fileOps->Open(call->targetPath, access, run.targetShareMode, OPEN_EXISTING, flags);
    if (!IsValidHandle(handle)) return 0;
    transfer.targetHandle = handle;
    return 1;
}

int FinishZeroLength(CopyCall* call) {
    CloseHandleOf(&transfer.sourceHandle);
    int complete = 1;
    if (IsValidHandle(transfer.targetHandle) && !call->targetIsDevice) {
        // an older, longer target must not keep its content under the new times
        if (!fileOps->SetPointer(transfer.targetHandle, 0, FILE_BEGIN, nullptr) || !fileOps->SetEnd(transfer.targetHandle)) {
            ReportFailure(GetLastError(), "emptying", call->finalPath);
            complete = 0;
        }
        complete = StampTimes(call) && complete;
    }
    CloseHandleOf(&transfer.verifyHandle);
    if (call->targetIsNul || call->targetIsDevice || !RenamesThroughHandle(call)) CloseHandleOf(&transfer.targetHandle);
    if (call->targetIsNul || call->targetIsDevice) return 1;
    int attributesSet = SetTargetAttributes(call);
    int extrasCopied = SecurityAndStreams(call) && attributesSet && KeepGroupMark(call);
    call->detailsFailed = !(complete && extrasCopied);
    if (!PutInPlace(call, complete, extrasCopied)) return call->writeMode == kWriteTemporary ? 0 : 1;
    // a stream copied on its own leaves the source to its file's copy
    if (complete && extrasCopied && options.deleteSource && call->sourceKind == kSourceFile && !call->streamCall)
        RemoveCopiedSource(call, transfer.sourceSize);
    return 1;
}

constexpr int kCutFailed = -1;

// Exact size after a complete loop; 0 when the target came out short,
// kCutFailed when it stays longer than its source.
int CutToSize(CopyCall* call) {
    const int64_t size = transfer.sourceSize;
    if (!(transfer.targetOpenFlags & kFlagNoBuffering) && (size >> 20) > 10) fileOps->Flush(transfer.targetHandle);
    // skipped zero blocks at the end leave the file short without missing data
    bool allRead = transfer.bytesRead >= size - transfer.startPosition;
    int64_t targetSize = 0;
    if (!allRead) fileOps->GetSize(transfer.targetHandle, &targetSize);
    if (targetSize < size && !allRead) {
        char line[160];
        FormatText(line, sizeof line, "Error: target file '%%S' is only %I64u bytes long instead of %I64u\n",
                   static_cast<uint64_t>(targetSize), static_cast<uint64_t>(size));
        PrintErrorName(line, SkipLongPrefix(call->finalPath));
        Print(" delete incomplete file (Y/N)?");
        int yes = 1;
        if (engineConsoleCheck() && !run.stopRequested) yes = AskYesNo(L'Y');
        if (yes) DeleteTarget(call, "\n file deleted\n", "\n error %s deleting file\n");
        run.aborted = 1;
        run.breakRequested = 1;
        return 0;
    }
    bool unaligned = transfer.writeUnit && size % transfer.writeUnit != 0;
    // a new target that was written to its exact end, and never made longer, is cut already
    if (!call->targetExisted && !call->preallocated && !options.skipZeros && !transfer.compareExisting &&
        transfer.targetPosition == size)
        return 1;
    // so is a target of the source's length that the loop never wrote to
    if (call->targetExisted && !call->preallocated && !transfer.targetTouched && transfer.targetSize == size) return 1;
    if ((transfer.targetOpenFlags & kFlagNoBuffering) && unaligned) {
        // cut on the unbuffered handle itself where the volume lets it: it stays open for the verify pass
        if (fileOps->SetEndAt(transfer.targetHandle, size)) return 1;
        ReopenTarget(call, call->creationAttributes);
    }
    if (!fileOps->SetPointer(transfer.targetHandle, size, FILE_BEGIN, nullptr) || !fileOps->SetEnd(transfer.targetHandle)) {
        uint32_t error = GetLastError();
        Print("SetEndOfFile(%I64u) err=%s\n", static_cast<uint64_t>(size), ErrorName(error));
        // an old target's tail behind the new content is no copy of the source
        int64_t now = -1;
        if (!fileOps->GetSize(transfer.targetHandle, &now) || now != size) {
            transfer.lastWriteError = error;
            return kCutFailed;
        }
    }
    if ((transfer.targetOpenFlags & kFlagNoBuffering) && options.verify && unaligned)
        ReopenTarget(call, transfer.targetOpenFlags | call->creationAttributes);
    return 1;
}

void ResultLine(CopyCall* call) {
    const int64_t size = transfer.sourceSize;
    if (transfer.failedSectors) {
        LogReadError(call->sourcePath, static_cast<int32_t>(transfer.failedSectors), transfer.lastReadError);
        CountUp(&run.readErrorFiles);
        CountFailure();
    }
    if (options.quiet || run.aborted || run.breakRequested) return;
    ClearLine();
    Print(ResultWord(call->sourceKind));
    if (size > 102400) {
        if (transfer.loopElapsed && !run.stopRequested)
            Print(" with %s", FormatSpeed(static_cast<uint64_t>(size - transfer.startPosition), transfer.loopElapsed));
        if (transfer.compareExisting || options.skipZeros) {
            uint64_t written = static_cast<uint64_t>(size - transfer.bytesNotWritten);
            uint32_t percent = static_cast<uint32_t>(written * 100 / static_cast<uint64_t>(size));
            if (percent > 0)
                Print("\n %u%% actually written", percent);
            else
                Print("\n %s actually written", FormatSize(written, 1));
        }
    }
    Print("\n");
}

// An existing target no byte reached is put back as it was: preallocation may
// only have lengthened it, and its mark goes. Only then is it unchanged.
void KeepUntouchedTarget(const CopyCall* call) {
    int64_t current = 0;
    bool known = transfer.targetSize >= 0 && fileOps->GetSize(transfer.targetHandle, &current);
    bool cut = known && current != transfer.targetSize;
    bool restored = known && (!cut || (ReopenTarget(call, call->creationAttributes) &&
                                       fileOps->SetPointer(transfer.targetHandle, transfer.targetSize, FILE_BEGIN, nullptr) &&
                                       fileOps->SetEnd(transfer.targetHandle)));
    const uint64_t* times = transfer.targetTimes;
    if (restored && (cut || call->marked) && times[2])
        restored = fileOps->SetTimes(transfer.targetHandle, &times[0], &times[1], &times[2]) != 0;
    CloseHandleOf(&transfer.targetHandle);
    if (restored)
        PrintNameW(L" %s kept unchanged\n", NameOf(call->finalPath));
    else
        PrintNameW(L" %s left incomplete: run the command again to complete it\n", NameOf(call->finalPath));
}

// The line that says why a copy is incomplete, with the file's path.
void SayWhyIncomplete(const CopyCall* call) {
    if (transfer.sourceEnded) {
        char line[160];
        FormatText(line, sizeof line, "Error HANDLE_EOF reading '%%S': source ended before the requested size (%I64u of %I64u bytes)\n",
                   static_cast<uint64_t>(transfer.startPosition + transfer.bytesRead),
                   static_cast<uint64_t>(transfer.sourceSize));
        PrintErrorName(line, SkipLongPrefix(call->sourcePath));
    } else if (transfer.lastReadError) {
        PrintErrorName(FailureFormat(transfer.lastReadError, "reading"), SkipLongPrefix(call->sourcePath));
    } else if (transfer.lastWriteError) {
        PrintErrorName(FailureFormat(transfer.lastWriteError, "writing"), SkipLongPrefix(call->finalPath));
    }
}

// A copy beside its target that failed: the target is as it was. A single
// copy may keep what it wrote for the same command to resume.
void FailedBesideTarget(const CopyCall* call) {
    uint32_t error = transfer.lastReadError ? transfer.lastReadError : transfer.lastWriteError;
    if (!run.singleSource) {
        DropPartial(call, error ? " broken file deleted after error %s\n" : " broken file deleted\n", error);
        return;
    }
    int yes = 1;
    if (engineConsoleCheck() && !run.stopRequested) {
        Print(" delete incomplete file (Y/N)?");
        yes = AskYesNo(L'Y');
        Print("\n");
    }
    if (yes) {
        DropPartial(call, " file deleted\n");
        return;
    }
    CloseHandleOf(&transfer.targetHandle);
    PrintNameW(L" incomplete copy kept as %s: the same command resumes it\n", NameOf(call->targetPath));
}

int FailedLoop(CopyCall* call, bool interrupted) {
    ClearLine();
    if (!interrupted) {
        CountFailure();
        SayWhyIncomplete(call);
    }
    // only media errors are CRC errors with a line in the log
    if (!run.singleSource && IsSectorReadError(transfer.lastReadError) && !transfer.sourceEnded) {
        LogReadError(call->sourcePath, 0, transfer.lastReadError);
        CountUp(&run.readErrorFiles);
    }
    CloseHandleOf(&transfer.sourceHandle);
    CloseHandleOf(&transfer.verifyHandle);
    bool deviceSource = call->sourceKind == kSourceVolume || call->sourceKind == kSourceDisk;
    // a target lost after writes began (a reopen that failed) is still broken under its name
    if (!IsValidHandle(transfer.targetHandle) && !transfer.targetTouched && call->writeMode != kWriteTemporary) {
        // nothing left to decide about
    } else if (call->writeMode == kWriteTemporary) {
        FailedBesideTarget(call);
    } else if (call->targetExisted && !transfer.targetTouched) {
        KeepUntouchedTarget(call);
    } else if (deviceSource) {
        // an image is read once at great cost: what it holds resumes with -st
        CloseHandleOf(&transfer.targetHandle);
        Print(" incomplete image kept: the first %I64u bytes are good (resume with -st:%I64u)\n",
              static_cast<uint64_t>(transfer.goodEnd), static_cast<uint64_t>(transfer.goodEnd));
    } else if (run.singleSource) {
        // a target this copy created holds nothing worth keeping
        int yes = call->targetExisted ? 0 : 1;
        if (engineConsoleCheck() && !run.stopRequested) {
            Print(" delete incomplete file (Y/N)?");
            yes = AskYesNo(yes ? L'Y' : L'N');
        }
        if (yes) DeleteTarget(call, "\n file deleted\n", "\n error %s deleting file\n");
    } else {
        uint32_t error = transfer.lastReadError ? transfer.lastReadError : transfer.lastWriteError;
        CloseHandleOf(&transfer.targetHandle);
        if (!fileOps->Delete(call->targetPath))
            Print(" error %s deleting broken file\n", LastErrorName());
        else if (error)
            Print(" broken file deleted after error %s\n", ErrorName(error));
        else
            Print(" broken file deleted\n");
    }
    // nothing follows a single source; a stop request here would read as the user's
    if (run.singleSource && interrupted) run.stopRequested = 1;
    // a kept incomplete target never gets the source's times
    CloseHandleOf(&transfer.targetHandle);
    return 0;
}

}  // namespace

int FinishCopy(CopyCall* call) {
    const int64_t size = transfer.sourceSize;
    if (size <= 0) return FinishZeroLength(call);
    bool interrupted = run.stopRequested || run.breakRequested;
    bool complete = transfer.loopComplete != 0;
    bool fileTarget = !call->targetIsDevice && !call->targetIsNul;

    if (fileTarget) {
        if (!complete) return FailedLoop(call, interrupted);
        int cut = CutToSize(call);
        if (cut == kCutFailed) return FailedLoop(call, false);
        if (!cut) {
            CountFailure();
            CloseHandleOf(&transfer.sourceHandle);
            CloseHandleOf(&transfer.verifyHandle);
            CloseHandleOf(&transfer.targetHandle);
            if (call->writeMode == kWriteTemporary && fileOps->GetAttributes(call->targetPath) != INVALID_FILE_ATTRIBUTES)
                DropPartial(call);
            return 0;
        }
    }
    if (complete) {
        ResultLine(call);
    } else {
        // a device or NUL target that was not filled completely
        if (!interrupted) {
            CountFailure();
            if (!run.aborted) {
                uint32_t error = transfer.lastReadError ? transfer.lastReadError : transfer.lastWriteError;
                ClearLine();
                PrintError("Error %s copying '%S'\n", ErrorName(error), SkipLongPrefix(call->sourcePath));
            }
        }
    }

    bool verify = complete && options.verify > 0;
    // blocks -sz did not write are still compared
    if (verify && size <= transfer.bytesNotWritten && !options.skipZeros) {
        Print(" -> skip verify");
        verify = false;
    }
    int timesSet = 1;
    if (verify) {
        fileOps->SetPointer(transfer.sourceHandle, 0, FILE_BEGIN, nullptr);
        fileOps->SetPointer(transfer.targetHandle, 0, FILE_BEGIN, nullptr);
    } else {
        CloseHandleOf(&transfer.sourceHandle);
        if (IsValidHandle(transfer.targetHandle)) {
            if (call->targetIsDevice)
                FinishTargetDevice(transfer.targetHandle);
            else if (call->sourceKind == kSourceFile && complete)
                timesSet = StampTimes(call);
        }
        if (!complete || !fileTarget || !RenamesThroughHandle(call)) CloseHandleOf(&transfer.targetHandle);
        if (!complete) {
            CloseHandleOf(&transfer.verifyHandle);
            return 0;
        }
    }

    if (fileTarget && !call->streamCall)
        WofCompressAfterCopy(call->sourcePath, call->targetPath, call->compressed, size);
    if (verify) VerifyCopiedFile(call);

    if (!options.quiet) EndLine();
    // without a verify pass the times were set above, and the handle may stay for the rename
    if (verify && IsValidHandle(transfer.targetHandle)) {
        if (call->targetIsDevice)
            FinishTargetDevice(transfer.targetHandle);
        else if (call->sourceKind == kSourceFile)
            timesSet = StampTimes(call);
    }
    CloseHandleOf(&transfer.sourceHandle);
    if (!fileTarget || !RenamesThroughHandle(call)) CloseHandleOf(&transfer.targetHandle);
    CloseHandleOf(&transfer.verifyHandle);
    int extrasCopied = 1;
    if (fileTarget) {
        extrasCopied = SecurityAndStreams(call);
        extrasCopied = SetTargetAttributes(call) && extrasCopied && KeepGroupMark(call);
    }
    run.runBytesCopied += size;
    SettleImmediateVerification(call);
    bool image = call->sourceKind == kSourceVolume || call->sourceKind == kSourceDisk;
    if (fileTarget && image && !call->streamCall && !call->verifyFailed && !transfer.failedSectors)
        timesSet = StampFinishedImage(call);
    call->detailsFailed = !(extrasCopied && timesSet);
    // a copy that failed its verification or times never replaces the old target;
    // one with zeros for unreadable sectors stays marked, so the next run copies it again
    if (!PutInPlace(call, !call->verifyFailed && timesSet, extrasCopied && !transfer.failedSectors) &&
        (call->writeMode == kWriteTemporary || call->streamCall))
        return 0;
    // a source with unreadable sectors is the only full copy left
    if (!call->verifyFailed && !transfer.failedSectors && extrasCopied && timesSet && options.deleteSource &&
        call->sourceKind == kSourceFile && !call->streamCall)
        RemoveCopiedSource(call, transfer.sourceSize);
    return 1;
}
