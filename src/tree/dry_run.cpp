// The deletion cap of -maxdel, and the announcements a dry run's overlay
// cannot see in the calls it records.
#include "dry_run.h"

#include <windows.h>

#include <cwchar>

#include "console.h"
#include "dry_run_overlay.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

DryRunOverlay* overlay;

int NoConsole() { return 0; }

void EndDryRun() {
    if (!InstalledOverlay()) return;
    fileOps = overlay->Below();
    EndDeviceOverlay();
}

}  // namespace

DryRunOverlay* InstalledOverlay() { return overlay && fileOps == overlay ? overlay : nullptr; }

void StartDryRun() {
    if (InstalledOverlay()) return;
    delete overlay;
    overlay = MakeDryRunOverlay(fileOps, options.quiet);
    fileOps = overlay;
    OverlayDevices();
    // the run's own lines would tell of copies that are not made: it shows
    // only its errors, and the overlay what would change
    options.quiet = 1;
    // nothing is written, so there is nothing to verify; nothing is asked
    options.verify = 0;
    options.verifyRewrite = 0;
    options.verifyImmediate = 0;
    engineConsoleCheck = NoConsole;
}

int DeletionAllowed(const wchar_t* path) {
    if (options.maxDeletions < 0 || run.deletionsDone < options.maxDeletions) {
        ++run.deletionsDone;
        return 1;
    }
    ++run.deletionsRefused;
    static wchar_t shown[kPathCapacity];
    ShownActionPath(path, shown);
    // the path goes in as an argument, never as part of the format
    PrintName("skip (deletion cap reached): %S\n", shown);
    return 0;
}

void DeletionNotDone() { --run.deletionsDone; }

void NoteSkip(const wchar_t* path, const char* reason) {
    if (DryRunOverlay* overlay = InstalledOverlay()) overlay->Skip(path, reason);
}

void NoteReuse(const wchar_t* path) {
    if (DryRunOverlay* overlay = InstalledOverlay()) overlay->ExpectReuse(path);
}

int DryRunActive() { return InstalledOverlay() != nullptr; }

int PrintDryRunSummary() {
    if (DryRunOverlay* overlay = InstalledOverlay()) {
        const DryRunCounts c = overlay->Finish();
        const int64_t* a = c.actions;
        EndLine();
        Print("dry run, nothing was changed: %Ii to copy, %Ii to overwrite, %Ii skipped, ", a[kDryCopy],
              a[kDryOverwrite], a[kDrySkip]);
        Print("%Ii file%s and ", a[kDryDeleteFile], PluralS(a[kDryDeleteFile]));
        Print("%Ii folder%s to delete, ", a[kDryDeleteFolder], PluralS(a[kDryDeleteFolder]));
        Print("%Ii folder%s to create, ", a[kDryCreateFolder], PluralS(a[kDryCreateFolder]));
        Print("%Ii link%s, %Ii re-used, ", a[kDryLink], PluralS(a[kDryLink]), a[kDryReuse]);
        Print("%Ii source%s to remove\n", a[kDryRemoveSource], PluralS(a[kDryRemoveSource]));
        Print("%I64i bytes would be written\n", c.bytes);
        if (options.maxDeletions >= 0 && run.deletionsRefused > 0)
            Print("deletion cap would be reached, %Ii entr%s not deleted\n", run.deletionsRefused,
                  run.deletionsRefused == 1 ? "y" : "ies");
        else if (options.maxDeletions >= 0)
            Print("deletion cap not reached: %Ii of %Ii\n", run.deletionsDone, options.maxDeletions);
        EndDryRun();
        return 0;
    }
    if (run.deletionsRefused > 0)
        Print("deletion cap reached, %Ii entr%s not deleted\n", run.deletionsRefused, run.deletionsRefused == 1 ? "y" : "ies");
    return run.deletionsRefused > 0;
}
