// Target folders: time stamps, compression state, creation with all parents.
#pragma once
#include <cstdint>

// Creation, last-access and last-write time of a folder (FILETIME values).
struct FolderTimes {
    uint64_t times[3];
};

// Copies creation, last-access and last-write time of a folder (either path
// may end in a backslash); 1 on success or when they are equal already.
// targetIsNew: the run created the target, so its times are not read first.
int CopyFolderTimes(const wchar_t* sourceFolder, const wchar_t* targetFolder, int targetIsNew = 0);
// The two halves of it, for a source whose times change while it is walked
// (-ds empties it): read before the walk, given to the target after it.
int ReadFolderTimes(const wchar_t* folder, FolderTimes* times);
int SetFolderTimes(const wchar_t* folder, const FolderTimes& times, int targetIsNew = 0);
// Gives a folder the times creation, last access and last write; targetIsNew
// as for CopyFolderTimes. 1 on success or when they are equal already.
int SetFolderTimes(const wchar_t* targetFolder, uint64_t creation, uint64_t lastAccess, uint64_t lastWrite,
                   int targetIsNew);
// Gives the target the source's NTFS compression format; 1 on success.
int CopyFolderCompression(const wchar_t* sourcePath, const wchar_t* targetPath, int folders);
// Creates every missing folder of path; 1 when the whole path is a folder at
// the end. A file in the way is replaced in mirror mode, else reported; a
// missing drive fails with ERROR_INVALID_DRIVE.
int CreateFolderPath(const wchar_t* path);
// A new heap string with the parent folder of path; a bare drive keeps its
// backslash ("\\?\C:\").
wchar_t* ParentFolder(const wchar_t* path);
