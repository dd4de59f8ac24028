// Opening the source and creating or opening the target of one copy.
#include <windows.h>

#include "console.h"
#include "copy_call.h"
#include "file_ops.h"
#include "open_steps.h"
#include "partial_copy.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

int OpenSourceFile(const CopyCall& call) {
    bool device = call.sourceKind == kSourceVolume || call.sourceKind == kSourceDisk;
    uint32_t share = run.sourceShareMode ? run.sourceShareMode : FILE_SHARE_READ;
    void* handle = fileOps->Open(call.sourcePath, GENERIC_READ, share, OPEN_EXISTING, transfer.sourceOpenFlags);
    if (!IsValidHandle(handle) && device && GetLastError() == ERROR_SHARING_VIOLATION) {
        share &= ~FILE_SHARE_READ;
        handle = fileOps->Open(call.sourcePath, GENERIC_READ, share, OPEN_EXISTING, transfer.sourceOpenFlags);
        if (!IsValidHandle(handle) && GetLastError() == ERROR_SHARING_VIOLATION) {
            share |= FILE_SHARE_READ;
            handle = fileOps->Open(call.sourcePath, GENERIC_READ, share, OPEN_EXISTING, transfer.sourceOpenFlags);
            if (!IsValidHandle(handle) && GetLastError() == ERROR_SHARING_VIOLATION &&
                call.sourceKind == kSourceVolume) {
                share = FILE_SHARE_READ | FILE_SHARE_WRITE;
                handle = fileOps->Open(call.sourcePath, GENERIC_READ, share, OPEN_EXISTING, transfer.sourceOpenFlags);
            }
        }
        run.sourceShareMode = share;
    }
    if (!IsValidHandle(handle)) {
        uint32_t error = GetLastError();
        PrintError("Error %s opening source file '%S'\n", ErrorName(error), SkipLongPrefix(call.sourcePath));
        if (error == ERROR_SHARING_VIOLATION) PrintError("Hint: Try -sw (share write)\n");
        SetLastError(error);
        return 0;
    }
    transfer.sourceHandle = handle;
    return 1;
}

int CreateTargetFile(CopyCall& call, uint32_t* disposition) {
    *disposition = call.targetIsDevice ? OPEN_EXISTING : OPEN_ALWAYS;
    bool deleteTried = false;
    for (;;) {
        // a copy beside its target is renamed into place through this handle
        uint32_t access = GENERIC_READ | GENERIC_WRITE | (call.writeMode == kWriteTemporary ? DELETE : 0);
        void* handle = fileOps->Open(call.targetPath, access, run.targetShareMode, *disposition,
                                     transfer.targetOpenFlags | call.creationAttributes);
        if (IsValidHandle(handle)) {
            // a file that appeared after the folder was listed is an existing target
            if (*disposition == OPEN_ALWAYS && GetLastError() == ERROR_ALREADY_EXISTS) call.targetExisted = 1;
            transfer.targetHandle = handle;
            return 1;
        }
        uint32_t error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION && call.targetIsDevice && !(run.targetShareMode & FILE_SHARE_READ)) {
            run.targetShareMode |= FILE_SHARE_READ;
            handle = fileOps->Open(call.targetPath, GENERIC_READ | GENERIC_WRITE, run.targetShareMode, OPEN_EXISTING,
                                   transfer.targetOpenFlags | call.creationAttributes);
            if (IsValidHandle(handle)) {
                transfer.targetHandle = handle;
                return 1;
            }
            error = GetLastError();
        }
        // only what this program wrote may be deleted to be made again: a target
        // written in place keeps its old data when it cannot be opened
        if (error == ERROR_ACCESS_DENIED && call.writeMode == kWriteTemporary && !deleteTried &&
            fileOps->GetAttributes(call.targetPath) != INVALID_FILE_ATTRIBUTES) {
            deleteTried = true;
            fileOps->SetAttributes(call.targetPath, FILE_ATTRIBUTE_NORMAL);
            if (fileOps->Delete(call.targetPath)) continue;
            SetLastError(error);
        }
        if (error == ERROR_DISK_FULL || error == ERROR_NOT_READY) {
            PrintError("Error %s creating '%S' - Abort (Y/N)?", ErrorName(error), SkipLongPrefix(call.finalPath));
            wchar_t answer = L'Y';
            if (engineConsoleCheck() && !run.stopRequested && !run.breakRequested) answer = Prompt(L"YN", L'Y');
            PrintError("\n");
            if (answer == L'N') continue;
            SetLastError(error);
            return 0;
        }
        PrintError("Error %s %s '%S'\n", ErrorName(error), *disposition == OPEN_EXISTING ? "opening" : "creating",
                   SkipLongPrefix(call.finalPath));
        SetLastError(error);
        return 0;
    }
}
