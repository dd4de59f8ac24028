// Reparse points: reading where a link points, whether that lies inside the
// source tree, and copying the link itself (re-pointed into the target tree).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t kTagMountPoint = 0xA0000003u;
constexpr uint32_t kTagSymbolicLink = 0xA000000Cu;
constexpr uint32_t kSymbolicLinkRelative = 1;
constexpr size_t kReparseHeaderSize = 8;           // tag, data length, reserved
constexpr size_t kMaxReparseDataSize = 16 * 1024;  // the largest reparse data the system takes
constexpr size_t kMaxReparseNameChars = kMaxReparseDataSize / 2;
constexpr uint32_t kFsctlGetReparsePoint = 0x900A8;
constexpr uint32_t kFsctlSetReparsePoint = 0x900A4;

// ---- Plain buffer work (src/tree/reparse_data.cpp), no handles ----

// The names of a mount point or symbolic link, copied out of the data.
struct ReparseNames {
    uint32_t tag;
    uint32_t flags;   // symbolic links only
    size_t substituteLength;   // characters
    size_t printLength;
    wchar_t substitute[kMaxReparseNameChars + 1];
    wchar_t print[kMaxReparseNameChars + 1];
};

// The tag of the data; 0 when fewer than 8 bytes.
uint32_t ReparseTagOf(const uint8_t* data, size_t size);
// "mount point", "symlink" or "reparse point".
const char* ReparseLabel(uint32_t tag);
// Reads a mount point or symbolic link. 0 for any other tag, a data length
// beyond size, names outside the path buffer, odd lengths or an empty
// substitute name (last error ERROR_INVALID_REPARSE_DATA or
// ERROR_NOT_A_REPARSE_POINT); nothing past data + size is read.
int ParseReparseData(const uint8_t* data, size_t size, ReparseNames* names);
// Lays the names out as the system takes them: a mount point holds the
// substitute name then the print name, a symbolic link the print name then
// the substitute name and its flags. Returns the total size, 0 when it would
// exceed capacity or kMaxReparseDataSize (ERROR_INSUFFICIENT_BUFFER).
size_t BuildReparseData(const ReparseNames& names, uint8_t* out, size_t capacity);
// The characters of path taken by folder when path is the folder itself or
// lies below it (whole components, ignoring case, a long-path prefix on
// either and a trailing backslash on folder); 0 otherwise.
size_t FolderPrefixLength(const wchar_t* path, const wchar_t* folder);
// out = newFolder (without a trailing backslash) + what follows oldFolder in
// path. 0 when path is not in oldFolder or the result does not fit.
int RebasePath(const wchar_t* path, const wchar_t* oldFolder, const wchar_t* newFolder, wchar_t* out,
               size_t capacity);
// The absolute path a relative link at linkPath names: the link's folder
// joined with relative, "." and ".." resolved (never above the root).
int ResolveRelativeLink(const wchar_t* linkPath, const wchar_t* relative, wchar_t* out, size_t capacity);
// New names for a link whose target (substitute name) lies in sourceRoot:
// both names moved to targetRoot. The substitute keeps the system prefix
// "\\??\\"; a print name outside sourceRoot stays as it is. 0 when a name
// would not fit.
int RepointNames(const ReparseNames& in, const wchar_t* sourceRoot, const wchar_t* targetRoot, ReparseNames* out);

// ---- Operations ----

// Where a symbolic link or mount point points, in the long-path form (a
// relative symbolic link resolved against its folder); 0 when the path is
// no such link or cannot be read.
int ReadReparseTarget(const wchar_t* path, wchar_t* out, size_t capacity);
// Whether a link target lies inside the source tree (RunState sourceRoot) or
// inside a link the walk is following; substituted drives are resolved.
int PointsIntoSource(const wchar_t* linkTarget);
// Creates the target as the same kind of link as the source; 1 when the
// reparse data were written.
int CopyReparsePoint(const wchar_t* sourcePath, const wchar_t* targetPath, uint32_t sourceAttributes);
// The walk notes each folder link it follows (-p), so that a link back into
// it is copied as a link rather than walked again.
void EnterFollowedLink(const wchar_t* linkTarget);
void LeaveFollowedLink();
