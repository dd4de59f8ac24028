// Hard-link groups. Until groups are kept, every file is copied on its own.
#include "link_groups.h"

int FindLinkGroup(uint64_t fileIndex, wchar_t* targetPath, size_t capacity) {
    if (targetPath && capacity) targetPath[0] = 0;
    return 0;
}

int AddLinkGroup(uint32_t linkCount, uint64_t fileIndex, const wchar_t* targetPath) { return 1; }
