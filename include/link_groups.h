// Hard-link groups of the source reproduced in the target.
#pragma once
#include <cstddef>
#include <cstdint>

// The target path recorded for a source file index; 0 when not recorded.
int FindLinkGroup(uint64_t fileIndex, wchar_t* targetPath, size_t capacity);
// Records a source file with several names and the target it was copied to.
int AddLinkGroup(uint32_t linkCount, uint64_t fileIndex, const wchar_t* targetPath);
