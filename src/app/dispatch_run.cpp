// After the checks: a single source goes to the copy of one file, a folder or
// mask to the walk; then the summary, the error-log report and the exit code.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "block_copy.h"
#include "console.h"
#include "copy_engine.h"
#include "dry_run.h"
#include "directory_walk.h"
#include "file_ops.h"
#include "link_groups.h"
#include "options.h"
#include "paths.h"
#include "run_driver.h"
#include "run_state.h"
#include "run_summary.h"
#include "scan.h"
#include "security_streams.h"
#include "source_removal.h"
#include "system_facts.h"
#include "target_folders.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

uint64_t LastWriteTimeOf(const wchar_t* path) {
    void* handle = fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (!IsValidHandle(handle)) return 0;
    FileInfo info;
    uint64_t time = fileOps->GetInfo(handle, &info, 0) ? info.times[2] : 0;
    fileOps->Close(handle);
    return time;
}

void CopySingleSource() {
    static wchar_t targetFile[kPathCapacity];
    if (IsFolder(run.targetPath)) {
        if (FormatTextW(targetFile, kPathCapacity, L"%s%s", run.targetFolder, run.sourceName) >= kPathCapacity - 1) {
            PrintError("target path is too long -> abort\n");
            CountFailure();
            return;
        }
    } else {
        lstrcpynW(targetFile, run.targetPath, kPathCapacity);
    }
    lstrcpynW(run.sourceName, run.sourcePath, kPathCapacity);
    uint32_t attributes = fileOps->GetAttributes(run.sourceName);
    int64_t links = 0;
    CopyOneFile(run.sourceName, attributes, LastWriteTimeOf(run.sourceName), targetFile, &links,
                HasStreamName(run.sourceName), nullptr);
    if (options.security) CopySecurity(run.sourceName, targetFile);
}

// Whether the root target folder's last write is its source's already.
bool SameLastWrite() {
    FolderTimes source, target;
    return ReadFolderTimes(run.folderSource, &source) && ReadFolderTimes(run.createdTargetFolder, &target) &&
           source.times[2] == target.times[2];
}

// Returns -1 after a complete walk, or 0 when the user interrupted it.
int WalkSource() {
    DWORD start = GetTickCount();
    int64_t links = 0;
    if (options.scan) RunScan();
    // read before -ds empties the source folder
    FolderTimes rootTimes;
    bool rootTimesRead =
        options.deleteSource && run.createdTargetFolder[0] && ReadFolderTimes(run.folderSource, &rootTimes);
    int64_t copied = WalkFolder(run.sourceFolder, run.sourceName[0] ? run.sourceName : L"*", run.targetFolder, &links, 0);
    if (WalkStoppedAt()[0])
        PrintErrorName("the run stopped at '%S': what follows it in the tree was not reached\n",
                       SkipLongPrefix(WalkStoppedAt()));
    if (run.breakRequested || run.stopRequested) return 0;
    // the walk wrote into the root folder after its times were copied
    if (rootTimesRead)
        SetFolderTimes(run.createdTargetFolder, rootTimes);
    else if (run.createdTargetFolder[0] && (walkWroteIntoFolder || !SameLastWrite()))
        CopyFolderTimes(run.folderSource, run.createdTargetFolder);
    if (options.deleteSource && run.deleteSourceFolder[0]) RemoveSourceFolder(run.deleteSourceFolder);
    if (run.stopRequested) return 0;
    // a dry run's counts come at the end of any run
    if (!DryRunActive()) PrintWalkSummary(copied, links, GetTickCount() - start);
    // a source held for its link group's security goes now, and may empty the root
    if (CopyLinkGroupSecurity() > 0 && options.deleteSource && run.deleteSourceFolder[0])
        RemoveSourceFolder(run.deleteSourceFolder);
    return -1;
}

}  // namespace

int FinishRun() {
    ReleaseBlockBuffers();
    FreeHardLinkList(run.linkGroups);
    run.linkGroups = nullptr;
    EndLine();
    SetCursorVisible(1);
    ReportInterruption();
    ReportErrorCounts();
    FlushTargetVolume();
    // the cap leaves entries that a mirror or -ds was to remove: not all was done
    int capReached = PrintDryRunSummary();
    SetThreadExecutionState(ES_CONTINUOUS);
    WaitForKeyAtEnd(console);
    ReleaseHashBuffers();
    return RunExitCode(run.verifyFailures, run.failedCopies + capReached, run.userInterrupted);
}

int DispatchRun() {
    if (run.singleSource) {
        if (!PathExists(run.sourcePath)) {
            // a trailing backslash names a folder, not a file
            int folder = EndsWithI(run.sourcePath, L"\\");
            Print(folder ? "source folder not found -> abort\n" : "source file not found -> abort\n");
            WaitForKeyAtEnd(console);
            return folder ? kExitSourceFolderNotFound : kExitSourceFileNotFound;
        }
        CopySingleSource();
    } else {
        if (!IsFolder(run.sourceFolder)) {
            Print("source folder not found -> abort\n");
            WaitForKeyAtEnd(console);
            return kExitSourceFolderNotFound;
        }
        WalkSource();
    }
    return FinishRun();
}
