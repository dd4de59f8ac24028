// Path forms and the small operations on them. Paths live in buffers of
// kPathCapacity characters; every operation that writes takes or knows the
// capacity of its output.
#pragma once
#include <cstddef>

int StartsWithI(const wchar_t* text, const wchar_t* prefix);
int EndsWithI(const wchar_t* text, const wchar_t* suffix);
int HasLongPrefix(const wchar_t* path);
int IsUncPath(const wchar_t* path);
int IsDevicePath(const wchar_t* path);
int IsFolder(const wchar_t* path);
int HasWildcard(const wchar_t* path);
int HasStreamName(const wchar_t* path);
const wchar_t* SkipLongPrefix(const wchar_t* path);
const wchar_t* FileNamePart(const wchar_t* path);
int AppendCharIfMissing(wchar_t* text, size_t capacity, wchar_t c);
void StripTrailingChar(wchar_t* text, wchar_t c);
int IsAsciiLetter(wchar_t c);
int MakeWildcardSpec(wchar_t* folder, size_t capacity);
int AddLongPrefix(wchar_t* path, size_t capacity);
int VolumeGuidToDevice(wchar_t* path);
void ExpandDeviceShortForm(wchar_t* path, size_t capacity);
int SplitFolderAndName(const wchar_t* path, wchar_t* folder, wchar_t* name);   // both kPathCapacity
int PathExists(const wchar_t* path);
int ResolveDrivePath(const wchar_t* path, wchar_t* out, size_t capacity);
int GetVolumeRoot(const wchar_t* path, wchar_t* out, size_t capacity);
int SameVolume(const wchar_t* a, const wchar_t* b);
int TargetToSource(const wchar_t* targetPath, wchar_t* out, size_t capacity);
// Whether child is folder itself or lies below it: case-insensitive, whole components.
int IsSameOrBelowFolder(const wchar_t* child, const wchar_t* folder);
