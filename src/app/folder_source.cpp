// A folder as source: without a trailing backslash the folder itself is
// copied into the target, otherwise its contents.
#include <windows.h>

#include <cwchar>

#include "compression.h"
#include "console.h"
#include "options.h"
#include "paths.h"
#include "run_checks_internal.h"
#include "run_state.h"
#include "target_folders.h"
#include "text_format.h"

int PrepareFolderSource() {
    size_t length = wcslen(run.sourcePath);
    if (length && run.sourcePath[length - 1] != L'\\') {
        if (run.targetIsDevice && !run.targetIsNul) {
            Print("Error: target for multiple files cannot be a device -> abort\n");
            return kExitTargetVolume;
        }
        if (!run.targetIsNul && run.copyFolderItself) {
            lstrcpynW(run.deleteSourceFolder, run.sourcePath, kPathCapacity);
            lstrcpynW(run.folderSource, run.sourcePath, kPathCapacity);
            const wchar_t* name = FileNamePart(run.sourcePath);
            if (!AppendCharIfMissing(run.targetPath, kPathCapacity, L'\\') ||
                wcslen(run.targetPath) + wcslen(name) >= static_cast<size_t>(kPathCapacity)) {
                SetLastError(ERROR_FILENAME_EXCED_RANGE);
                PrintW(L"Error %S creating target folder \"%s\"\n", LastErrorName(), run.targetPath);
                return kExitTargetVolume;
            }
            wcscat(run.targetPath, name);
            lstrcpynW(run.createdTargetFolder, run.targetPath, kPathCapacity);
            // asked before the folder is made: a refused run touches nothing
            if (int refused = RefuseFoldersWithin(run.sourcePath, run.targetPath, true); refused >= 0) return refused;
            if (PathExists(run.targetPath)) {
                // its times are set after the walk, when it wrote into the folder
            } else {
                static wchar_t longPath[kPathCapacity];
                lstrcpynW(longPath, run.targetPath, kPathCapacity);
                AddLongPrefix(longPath, kPathCapacity);
                // a missing backup folder is made too, as a user typing it would expect
                if (!CreateFolderPath(longPath)) {
                    PrintW(L"Error %S creating target folder \"%s\"\n", LastErrorName(), run.targetPath);
                    return kExitTargetVolume;
                }
                ++run.foldersCreated;
                CopyFolderTimes(run.sourcePath, run.targetPath);
                ApplyFolderCompressionLevel(run.sourcePath, run.targetPath, options.compression);
            }
        }
    }
    if (!MakeWildcardSpec(run.sourcePath, kPathCapacity)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        PrintError("source path is too long -> abort\n");
        return kExitSourceVolume;
    }
    options.recurse = 1;
    return -1;
}
