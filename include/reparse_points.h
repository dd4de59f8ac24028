// Reparse points: reading where a link points and copying the link itself.
#pragma once
#include <cstddef>
#include <cstdint>

// The path a symbolic link or mount point refers to; 0 when it cannot be read
// (then the file's data is copied as an ordinary file).
int ReadReparseTarget(const wchar_t* path, wchar_t* out, size_t capacity);
// Whether a link target lies inside the source folder of the run.
int PointsIntoSource(const wchar_t* linkTarget);
// Creates the target as the same kind of link as the source.
int CopyReparsePoint(const wchar_t* sourcePath, const wchar_t* targetPath, uint32_t sourceAttributes);
