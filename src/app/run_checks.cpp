// The checks that can refuse a run, in their fixed order: paths are resolved
// and classified, and every contradictory combination ends the run with its
// message and exit code before anything is copied.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "dry_run.h"
#include "file_ops.h"
#include "devices.h"
#include "folder_identity.h"
#include "options.h"
#include "paths.h"
#include "run_checks_internal.h"
#include "run_driver.h"
#include "run_state.h"
#include "text_format.h"

namespace {

const wchar_t kNulDevice[] = L"\\\\.\\NUL";

// Names compare as the file system compares them: ordinal, ignoring case.
bool EqualNoCase(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// One folder or file under two spellings (short name, second drive letter, link)
// is caught by its identity.
bool SameItem(const wchar_t* a, const wchar_t* b) {
    if (EqualNoCase(a, b)) return true;
    FolderId first, second;
    return folderIdReader(a, &first) && folderIdReader(b, &second) && SameFolderId(first, second);
}

int IsDeviceSpelling(const wchar_t* path) {
    if (!StartsWithI(path, L"\\\\.\\") && !StartsWithI(path, L"\\\\?\\Volume{")) return 0;
    return wcslen(path) <= 5 || wcschr(path + 5, L'\\') == nullptr;
}

// The folder a source or target pattern names: the text up to its last backslash when
// it ends in a mask, else the path itself.
void FolderOfSpec(const wchar_t* path, wchar_t* out) {
    lstrcpynW(out, path, kPathCapacity);
    if (!HasWildcard(out)) return;
    wchar_t* cut = wcsrchr(out, L'\\');
    if (cut) cut[1] = 0;
}

void ResolvedFolderOfSpec(const wchar_t* path, wchar_t* out) {
    static wchar_t folder[kPathCapacity];
    FolderOfSpec(path, folder);
    if (!ResolveDrivePath(folder, out, kPathCapacity)) lstrcpynW(out, SkipLongPrefix(folder), kPathCapacity);
}

int FullPath(wchar_t* path) {
    static wchar_t full[kPathCapacity];
    DWORD n = GetFullPathNameW(path, kPathCapacity, full, nullptr);
    if (n == 0 || n >= static_cast<DWORD>(kPathCapacity)) return 0;
    lstrcpynW(path, full, kPathCapacity);
    return 1;
}

}  // namespace

int RefuseFoldersWithin(const wchar_t* sourcePath, const wchar_t* targetPath, bool recursion) {
    static wchar_t source[kPathCapacity], target[kPathCapacity];
    ResolvedFolderOfSpec(sourcePath, source);
    ResolvedFolderOfSpec(targetPath, target);
    if (options.mirror && IsSameOrWithinFolder(source, target)) {
        Print("Source folder is a sub-folder of the target folder, -MIR makes no sense -> abort\n");
        return kExitRecursion;
    }
    if (recursion && IsSameOrWithinFolder(target, source)) {
        Print("target path is below source path (recursion) -> abort\n");
        return kExitRecursion;
    }
    return -1;
}

int CheckPathsAndOptions() {
    if (run.sourcePath[0] == 0) {
        Print("invalid source path\n");
        return kExitInvalid;
    }
    if (run.targetPath[0] == 0) {
        Print("invalid target path\n");
        return kExitInvalid;
    }
    wchar_t current[kShortPathCapacity + 1];
    DWORD currentLength = GetCurrentDirectoryW(kShortPathCapacity, current);
    if (currentLength == 0 || currentLength >= static_cast<DWORD>(kShortPathCapacity)) {
        if (currentLength != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
        Print("Error %s determining current folder -> abort\n", LastErrorName());
        return kExitSourceVolume;
    }
    if (EndsWithI(current, L"."))
        Print("Warning: Current folder ends with a period, this causes problems!\n");
    if (IsFolder(run.targetPath) && (EndsWithI(run.targetPath, L".") || EndsWithI(run.targetPath, L".\\")))
        Print("Warning: Target folder ends with a period, this causes problems!\n");

    int typedDot = wcscmp(run.sourcePath, L".") == 0;
    FullPath(run.sourcePath);
    size_t sourceLength = wcslen(run.sourcePath);
    run.copyFolderItself = !typedDot && sourceLength && run.sourcePath[sourceLength - 1] != L'\\' &&
                           IsFolder(run.sourcePath);
    FullPath(run.targetPath);

    run.sourceIsNul = _wcsicmp(run.sourcePath, kNulDevice) == 0;
    run.targetIsNul = _wcsicmp(run.targetPath, kNulDevice) == 0;
    run.sourceIsDevice = IsDeviceSpelling(run.sourcePath);
    run.targetIsDevice = IsDeviceSpelling(run.targetPath);
    if (run.sourceIsDevice || run.targetIsDevice) {
        if (options.mirror || options.scan || options.recurse) {
            Print("invalid parameter -> abort\n");
            return kExitInvalid;
        }
        if (run.sourceIsDevice) ExpandDeviceShortForm(run.sourcePath, kPathCapacity);
        if (run.targetIsDevice) ExpandDeviceShortForm(run.targetPath, kPathCapacity);
    }
    if (run.targetIsNul) {
        if (options.verify) {
            Print("verify against the NUL device nonsense -> abort\n");
            return kExitInvalid;
        }
        // reading a source is no copy of it: deleting it would lose it
        if (options.deleteSource) {
            Print("delete source with the NUL device as target makes no sense -> abort\n");
            return kExitInvalid;
        }
        options.avoidWrites = 0;
    }
    if (!run.sourceIsDevice && !run.targetIsDevice) run.sameVolume = SameVolume(run.sourcePath, run.targetPath);
    if (options.hardlinks && !run.sameVolume) {
        Print("copy to hardlinks works on the same volume only -> abort\n");
        return kExitInvalid;
    }
    if (!run.sourceIsDevice && IsFolder(run.sourcePath)) {
        int code = PrepareFolderSource();
        if (code >= 0) return code;
    }
    if (int refused = RefuseFoldersWithin(run.sourcePath, run.targetPath, false); refused >= 0) return refused;
    if (HasWildcard(run.sourcePath)) {
        if (!IsFolder(run.targetPath) && !run.targetIsNul) {
            Print("target must be a folder -> abort\n");
            return kExitTargetNotFolder;
        }
        if (options.startPos > 0) {
            Print("startpos works with a single file or device only -> abort\n");
            return kExitStartPosOrWildcard;
        }
    } else {
        run.singleSource = 1;
    }
    size_t targetLength = wcslen(run.targetPath);
    if (targetLength >= 2 && wcscmp(run.targetPath + targetLength - 2, L"\\*") == 0)
        run.targetPath[targetLength - 1] = 0;
    if (HasWildcard(run.targetPath)) {
        Print("Wildcard in the target are not supported - sorry\n");
        return kExitStartPosOrWildcard;
    }

    AddLongPrefix(run.sourcePath, kPathCapacity);
    VolumeGuidToDevice(run.sourcePath);
    AddLongPrefix(run.targetPath, kPathCapacity);
    VolumeGuidToDevice(run.targetPath);
    SplitFolderAndName(run.sourcePath, run.sourceFolder, run.sourceName);
    SplitFolderAndName(run.targetPath, run.targetFolder, run.targetName);
    lstrcpynW(run.sourceRoot, run.sourceFolder, kPathCapacity);
    run.sourceRootLength = static_cast<int>(wcslen(run.sourceRoot));
    lstrcpynW(run.targetRoot, run.targetFolder, kPathCapacity);
    run.targetRootLength = static_cast<int>(wcslen(run.targetRoot));

    int sameFolder = !run.sourceIsDevice && !run.targetIsDevice ? SameItem(run.sourceFolder, run.targetFolder)
                                                                : EqualNoCase(run.sourceFolder, run.targetFolder);
    int sameFile = run.singleSource && !run.sourceIsDevice && !run.targetIsDevice && run.targetName[0] &&
                   SameItem(run.sourcePath, run.targetPath);
    if (((sameFolder && (run.targetName[0] == 0 || EqualNoCase(run.targetName, run.sourceName))) || sameFile) &&
        !(run.sourceIsNul && run.targetIsNul)) {
        Print("cannot copy to itself -> abort\n");
        return kExitInvalid;
    }

    run.sourceIsVolume = run.sourceIsDevice = IsVolumeDevice(run.sourcePath);
    if (run.sourceIsVolume && !options.shareWrite && !ExclusiveVolumeAccess(run.sourceFolder, GENERIC_READ)) {
        PrintError("no exclusive access to source volume -> abort\n");
        Print("hint: try -sw (share write)\n");
        return kExitSourceAccess;
    }
    static wchar_t resolved[kPathCapacity];
    if (IsDevicePath(run.sourceFolder)) {
        lstrcpynW(run.sourceVolumeRoot, run.sourceFolder, kShortPathCapacity);
        StripTrailingChar(run.sourceVolumeRoot, L'\\');
        run.sourceIsDevice = 1;
    } else {
        if (!ResolveDrivePath(run.sourceFolder, resolved, kPathCapacity)) lstrcpynW(resolved, run.sourceFolder, kPathCapacity);
        if (!GetVolumeRoot(resolved, run.sourceVolumeRoot, kShortPathCapacity)) {
            PrintError("source volume is invalid (%s) -> abort\n", LastErrorName());
            return kExitSourceVolume;
        }
    }
    run.targetIsVolume = run.targetIsDevice = IsVolumeDevice(run.targetPath);
    if (run.targetIsVolume && !ExclusiveVolumeAccess(run.targetFolder, GENERIC_WRITE)) {
        PrintError("no exclusive access to target volume -> abort\n");
        return kExitTargetAccess;
    }
    if (IsDevicePath(run.targetFolder)) {
        lstrcpynW(run.targetVolumeRoot, run.targetFolder, kShortPathCapacity);
        StripTrailingChar(run.targetVolumeRoot, L'\\');
        run.targetIsDevice = 1;
        options.overwrite = 1;
    } else {
        if (!ResolveDrivePath(run.targetFolder, resolved, kPathCapacity)) lstrcpynW(resolved, run.targetFolder, kPathCapacity);
        if (!GetVolumeRoot(resolved, run.targetVolumeRoot, kShortPathCapacity)) {
            PrintError("target volume is invalid (%s) -> abort\n", LastErrorName());
            return kExitTargetVolume;
        }
    }
    return ProbeVolumes();
}

int RunChecks() {
    if (options.dryRun) StartDryRun();
    // a log left by an earlier process of this id would mix with this run's
    if (run.logPath[0]) fileOps->Delete(run.logPath);
    int code = CheckPathsAndOptions();
    // a path whose kind could not be read would send the copy to the wrong place
    if (code < 0 && run.pathKindUnknown) {
        Print("paths could not be checked -> abort\n");
        return kExitInvalid;
    }
    return code;
}
