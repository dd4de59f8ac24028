// -ds: removal of a source folder after its walk.
#include <windows.h>

#include "console.h"
#include "options.h"
#include "source_removal.h"
#include "text_format.h"

int RemoveSourceFolder(const wchar_t* path) {
    if (!options.deleteSource) return 0;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (RemoveDirectoryW(path)) {
        if (!options.quiet) Print(" Folder deleted\n");
        return 1;
    }
    // a folder that still holds what was not copied stays, silently
    if (GetLastError() != ERROR_DIR_NOT_EMPTY) Print(" Error %s deleting folder\n", LastErrorName());
    return 0;
}
