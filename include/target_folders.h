// Time stamps and compression state of target folders.
#pragma once

// Copies creation, last-access and last-write time of a folder (either path
// may end in a backslash); 1 on success or when they are equal already.
int CopyFolderTimes(const wchar_t* sourceFolder, const wchar_t* targetFolder);
// Gives the target the source's NTFS compression format; 1 on success.
int CopyFolderCompression(const wchar_t* sourcePath, const wchar_t* targetPath, int folders);
