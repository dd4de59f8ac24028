// Path forms and the small operations on them. Paths live in
// buffers of kPathCapacity characters (run_state.h); every operation that
// writes a path takes the capacity of its output in characters, terminator
// included. When the result does not fit, it returns 0, leaves the output
// terminated (an in-place edit leaves its text unchanged) and writes nothing
// past the end; the last error is then ERROR_INSUFFICIENT_BUFFER.
// "True" is 1, "false" 0. Prefix comparisons ignore case (ordinal: each
// UTF-16 unit upper-cased, no linguistic rules) unless said otherwise.
#pragma once
#include <cstddef>
#include <cstdint>

// ---- Forms and tests (src/app/path_forms.cpp) ----

int StartsWithI(const wchar_t* text, const wchar_t* prefix);
int EndsWithI(const wchar_t* text, const wchar_t* suffix);
int HasLongPrefix(const wchar_t* path);     // begins with \\?\ (exact)
int IsUncPath(const wchar_t* path);         // \\server\share, also \\.\PhysicalDrive0; not \\?\C:\dir
int IsDevicePath(const wchar_t* path);      // \\.\ or \\?\ and no further backslash
int IsFolder(const wchar_t* path);          // the attributes can be read and say directory
int HasWildcard(const wchar_t* path);
int HasStreamName(const wchar_t* path);
const wchar_t* SkipLongPrefix(const wchar_t* path);   // the display form
const wchar_t* FileNamePart(const wchar_t* path);
int IsAsciiLetter(wchar_t c);
// Whether child is the folder itself or lies below it: whole components,
// ordinal case-insensitive, trailing backslashes and a leading \\?\ (or
// \\?\UNC\ against \\) ignored on either. Empty texts give false.
int IsSameOrBelowFolder(const wchar_t* child, const wchar_t* folder);

// ---- Edits (src/app/path_edits.cpp) ----

int AppendCharIfMissing(wchar_t* text, size_t capacity, wchar_t c);
void StripTrailingChar(wchar_t* text, wchar_t c);
int MakeWildcardSpec(wchar_t* folder, size_t capacity);
int AddLongPrefix(wchar_t* path, size_t capacity);
// The kernel's form of a full path, as a rename through a handle takes it:
// \\?\C:\x and C:\x become \??\C:\x, \\server\share \??\UNC\server\share.
// 0 for any other form, or when out is too small.
int KernelPathOf(const wchar_t* path, wchar_t* out, size_t capacity);
int VolumeGuidToDevice(wchar_t* path);   // whether it changed \\?\Volume{...} to \\.\Volume{...}
// \\.\pdN -> \\.\PhysicalDriveN, \\.\hdvN -> \\.\HarddiskVolumeN, and before
// Windows 6 \\.\HarddiskVolumeN -> \\?\Volume{...}. Returns 0 only when the
// longer form does not fit (the path then stays).
int ExpandDeviceShortForm(wchar_t* path, size_t capacity);
// folder gets the trailing backslash, name the name or mask; both buffers
// hold kPathCapacity characters. False (both empty) when the path has no
// backslash or the folder does not fit.
int SplitFolderAndName(const wchar_t* path, wchar_t* folder, wchar_t* name);
// out = sourceRoot + the part of targetPath behind targetRoot (RunState).
// False when targetPath does not begin with targetRoot or out is too small.
int TargetToSource(const wchar_t* targetPath, wchar_t* out, size_t capacity);

// ---- Existence, drives and volumes (src/app/path_volumes.cpp) ----

int PathExists(const wchar_t* path);
// The real location behind a substituted or network drive, without \\?\;
// out must not overlap path.
int ResolveDrivePath(const wchar_t* path, wchar_t* out, size_t capacity);
int GetVolumeRoot(const wchar_t* path, wchar_t* out, size_t capacity);
int SameVolume(const wchar_t* a, const wchar_t* b);

// ---- The decision of ResolveDrivePath on a recorded answer ----

// The resolution of ResolveDrivePath given what QueryDosDeviceW answered for
// the path's drive (nullptr when it was not asked or failed).
int ResolveDrivePathFromDosDevice(const wchar_t* path, const wchar_t* dosDevice, wchar_t* out, size_t capacity);

