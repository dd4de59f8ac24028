// Removal of a copied source file (-ds).
#include <windows.h>

#include "console.h"
#include "options.h"
#include "source_removal.h"
#include "text_format.h"

int RemoveSourceFile(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!DeleteFileW(path)) {
        Print(" Error %s deleting file\n", LastErrorName());
        return 0;
    }
    if (!options.quiet) Print(" File deleted\n");
    return 1;
}
