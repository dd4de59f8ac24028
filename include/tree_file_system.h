// Names and attribute values the tree operations share; their system calls
// go through fileOps.
#pragma once
#include <cstdint>

#include "file_ops.h"

struct FolderListing;

// The copy the walk calls for each file; only test code swaps it.
using WalkCopy = int (*)(const wchar_t* sourcePath, uint32_t sourceAttributes, uint64_t sourceTime,
                         const wchar_t* targetPath, int64_t* linkCounter, int streamFlag,
                         FolderListing* targetListing);
extern WalkCopy walkCopy;

constexpr uint32_t kNoAttributes = 0xFFFFFFFFu;
constexpr uint32_t kAttributeReadOnly = 0x1;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr uint32_t kAttributeReparsePoint = 0x400;
constexpr uint32_t kAttributeCompressed = 0x800;

inline bool IsDotName(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}
