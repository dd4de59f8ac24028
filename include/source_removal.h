// -ds: removal of the source after it was copied.
#pragma once
#include <cstdint>

// Only with -ds: clears the read-only attribute and deletes the file,
// printing the outcome; a file that stays gets its attribute back.
int RemoveSourceFile(const wchar_t* path);

struct FileIdentity;
// The source file as its copy began.
struct SourceAsCopied {
    int64_t size;   // with lastWrite; -1: not known
    uint64_t lastWrite;
    const FileIdentity* identity;   // when set, the file must be this one still
};
// As RemoveSourceFile, through one handle that is not led through a link;
// with `copied`, a file whose size, last-write time or identity differs from
// it stays, with a line and a counted failure.
int RemoveSourceFileAsCopied(const wchar_t* path, const SourceAsCopied* copied);
struct CopyCall;
// -ds after CopyOneFile: the file named by the call, as it was when opened.
// A name of a link group (groupTarget: its first target) waits with -sec for
// the group's security.
int RemoveCopiedSource(const CopyCall* call, int64_t size, const wchar_t* groupTarget = nullptr);
// Only with -ds: removes a walked source folder when it is empty; one that
// still holds anything stays without a message.
int RemoveSourceFolder(const wchar_t* path);
// After a source file removed late: the folders above it, up to the walk's
// root, that this leaves empty.
void RemoveEmptiedSourceFolders(const wchar_t* path);
