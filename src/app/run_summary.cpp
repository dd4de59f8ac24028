// The summary lines of a walk and the report of the error log at the end.
#include "run_summary.h"

#include <windows.h>
#include <shellapi.h>

#include "console.h"
#include "dry_run.h"
#include "link_groups.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"

void PrintWalkSummary(int64_t n, int64_t h, uint32_t t) {
    int64_t bytes = run.runBytesCopied;
    if (n <= 1 || bytes == 0 || run.stopRequested) {
        EndLine();
        if (run.linksCreated > 0) Print("%Ii hardlink%s created or files moved\n", run.linksCreated, PluralS(run.linksCreated));
        if (run.ntfsCompressedCount > 0)
            Print("%Ii exisiting file%s NTFS compressed saving %s\n", run.ntfsCompressedCount,
                  PluralS(run.ntfsCompressedCount), FormatSizeMB(run.ntfsSavedBytes, 1));
        if (run.wofCompressedCount > 0)
            Print("%Ii exisiting file%s WOF compressed saving %s\n", run.wofCompressedCount,
                  PluralS(run.wofCompressedCount), FormatSizeMB(run.wofSavedBytes, 1));
        else if (n == 0 && run.failedCopies == 0 && run.verifyFailures == 0 && run.deletionsDone == 0 &&
                 run.foldersCreated == 0)
            Print("there was nothing to do\n");
        if (n == 0 && run.foldersCreated > 0)
            Print("%Ii folder%s created\n", run.foldersCreated, PluralS(run.foldersCreated));
        if (run.deletionsDone > 0)
            Print("%Ii entr%s deleted\n", run.deletionsDone, run.deletionsDone == 1 ? "y" : "ies");
        return;
    }
    if (t <= 1000 && bytes <= 1048576) {
        Print("%i files copied", static_cast<int>(n));
    } else {
        ClearLine();
        const char* folders = options.recurse ? " and folders" : "";
        if (h > 0)
            Print("%Ii file%s%s and %i hardlinks copied ", n - h, PluralS(n - h), folders, static_cast<int>(h));
        else
            Print("%Ii file%s%s copied ", n, PluralS(n), folders);
        Print("with %s", FormatSpeed(static_cast<uint64_t>(bytes), t));
        if (options.avoidWrites || options.skipZeros) {
            int64_t written = bytes - run.runBytesNotWritten;
            unsigned percent = static_cast<unsigned>(written * 100 / bytes);
            if (percent == 0)
                Print("\n %s actually written", FormatSize(static_cast<uint64_t>(written), 1));
            else
                Print("\n %u%% actually written", percent);
        }
    }
    if (run.ntfsCompressedCount > 0) {
        Print("\n");
        Print("%Ii exisiting file%s NTFS compressed saving %s", run.ntfsCompressedCount,
              PluralS(run.ntfsCompressedCount), FormatSizeMB(run.ntfsSavedBytes, 1));
    }
    if (run.wofCompressedCount > 0) {
        Print("\n");
        Print("%Ii exisiting file%s WOF compressed saving %s", run.wofCompressedCount,
              PluralS(run.wofCompressedCount), FormatSizeMB(run.wofSavedBytes, 1));
    }
    EndLine();
}

int64_t CopyLinkGroupSecurity() {
    if (!options.security) return 0;
    // a dry run shows what the pass would change, and no more
    const bool told = !DryRunActive();
    DWORD start = GetTickCount();
    int64_t groups = CountLinkGroups(run.linkGroups), removed = 0;
    if (groups > 0) {
        if (told) Print("\ncopy security attributes of %i hard link groups...", static_cast<int>(groups));
        removed = CopyGroupSecurity(run.linkGroups);
    }
    if (told) Print("done in %u ms\n", GetTickCount() - start);
    return removed;
}

void ReportErrorCounts() {
    int logged = run.logPath[0] && PathExists(run.logPath);
    SetTextColor(console, 12);
    if (run.readErrorFiles > 0)
        Print(logged ? "%i file%s with CRC error, see log!\n" : "%i file%s with CRC error, no log!\n",
              run.readErrorFiles, PluralS(run.readErrorFiles));
    if (run.verifyFailures > 0)
        Print(logged ? "%i file%s with verification error, see log!\n" : "%i file%s with verification error, no log!\n",
              run.verifyFailures, PluralS(run.verifyFailures));
    SetTextColor(console, 0);
    if (logged && !options.noLogOpen) ShellExecuteW(nullptr, L"open", run.logPath, nullptr, nullptr, SW_SHOWNORMAL);
}

void ReportInterruption() {
    if (run.userInterrupted) Print("interrupted by the user: not everything was copied\n");
}

int RunExitCode(int32_t verifyFailures, int32_t failedCopies, int interrupted) {
    if (verifyFailures > 0) return kExitVerifyFailed;
    if (interrupted) return kExitInterrupted;
    if (failedCopies > 0) return kExitCopyFailed;
    return kExitOk;
}
