// Folders told apart by what they are, not by how they are spelled: short
// names, a second drive letter, links, junctions and SUBST drives all lead to
// one volume serial number and file id.
#pragma once
#include <cstddef>
#include <cstdint>

struct FolderId {
    uint32_t volumeSerial;
    uint64_t fileIndex;
};

// Reads the identity of an existing file or folder; 0 when it cannot be opened.
typedef int (*FolderIdReader)(const wchar_t* path, FolderId* id);
int ReadFolderId(const wchar_t* path, FolderId* id);
// The reader the guards and the walk use; only test code swaps it.
extern FolderIdReader folderIdReader;

// The file index alone (volumeSerial 0): some systems ask the volume for its
// serial number on every full read, so a walk compares indexes first.
int ReadFolderIndex(const wchar_t* path, FolderId* id);

int SameFolderId(const FolderId& a, const FolderId& b);

// 1 when `child` is `folder` or lies below it, by identity: the ancestors
// written in `child`, and every real ancestor of where `child` really lies,
// up through each folder its volume is mounted at.
int IsWithinFolderById(const wchar_t* child, const wchar_t* folder, FolderIdReader reader);

// The path with its short names made long, as far as it exists; the rest
// (a missing tail, a mask) is kept as written. 0 when nothing could be expanded.
int ExpandShortNames(const wchar_t* path, wchar_t* out, size_t capacity);

// The guards' relation: by text after short names are expanded, then by identity.
int IsSameOrWithinFolder(const wchar_t* child, const wchar_t* folder);

// The run's source and target folders: a mirror removal never removes or
// enters either, and a walk never copies the target into itself.
void SetGuardedFolders(const wchar_t* source, const wchar_t* target);
// Sets *guarded when the folder at path is one of them; listedIndex (0 when
// unknown) is the index its listing showed, which spares the read for most
// folders. 0 when its identity could not be read.
int CheckGuardedFolder(const wchar_t* path, uint64_t listedIndex, bool* guarded);
int IsGuardedId(const FolderId& id);
