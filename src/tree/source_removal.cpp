// -ds: removal of a source file after its copy and of a source folder after its walk.
#include <windows.h>

#include "console.h"
#include "dry_run.h"
#include "options.h"
#include "source_removal.h"
#include "text_format.h"
#include "tree_file_system.h"

namespace {

// Clears the read-only attribute; returns the attributes to put back when the
// removal fails, kNoAttributes when nothing was changed.
uint32_t ClearReadOnly(const wchar_t* path) {
    uint32_t attributes = treeFileSystem->getAttributes(path);
    if (attributes == kNoAttributes || !(attributes & kAttributeReadOnly)) return kNoAttributes;
    uint32_t rest = attributes & ~kAttributeReadOnly;
    if (!treeFileSystem->setAttributes(path, rest ? rest : FILE_ATTRIBUTE_NORMAL)) return kNoAttributes;
    return attributes;
}

// A source that stays is left as it was found.
void PutBack(const wchar_t* path, uint32_t attributes) {
    if (attributes == kNoAttributes) return;
    DWORD error = GetLastError();
    treeFileSystem->setAttributes(path, attributes);
    SetLastError(error);
}

}  // namespace

int RemoveSourceFile(const wchar_t* path) {
    if (!options.deleteSource) return 0;
    if (int verdict = DryRemoveSource(path); verdict != kDryAct) return verdict == kDryPretend;
    uint32_t cleared = ClearReadOnly(path);
    if (!treeFileSystem->deleteFile(path)) {
        PutBack(path, cleared);
        Print(" Error %s deleting file\n", LastErrorName());
        return 0;
    }
    if (!options.quiet) Print(" File deleted\n");
    return 1;
}

int RemoveSourceFolder(const wchar_t* path) {
    if (!options.deleteSource) return 0;
    // RemoveDirectory refuses a folder that still holds anything, so only a
    // folder whose every item was copied and removed can go
    if (int verdict = DryRemoveSource(path); verdict != kDryAct) return verdict == kDryPretend;
    uint32_t cleared = ClearReadOnly(path);
    if (treeFileSystem->removeFolder(path)) {
        if (!options.quiet) Print(" Folder deleted\n");
        return 1;
    }
    PutBack(path, cleared);
    // a folder that still holds what was not copied stays, silently
    if (GetLastError() == ERROR_DIR_NOT_EMPTY) --dryRunCounts.deletions;   // nothing was deleted
    if (GetLastError() != ERROR_DIR_NOT_EMPTY) Print(" Error %s deleting folder\n", LastErrorName());
    return 0;
}
