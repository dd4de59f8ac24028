// The recursive walk of a source folder into a target folder.
#pragma once
#include <cstdint>

constexpr int kMaxWalkDepth = 1024;

// sourceFolder and targetFolder are writable buffers of kPathCapacity
// characters (a backslash is appended in place); targetFolder is "\\\\.\\NUL"
// when the target is the null device. mask is never null ("*" for all).
// targetIsNew: the run has just created targetFolder, so it is empty and not
// listed. Returns the number of items copied in the folder and below it.
int64_t WalkFolder(wchar_t* sourceFolder, const wchar_t* mask, wchar_t* targetFolder, int64_t* linkCounter,
                   int depth, int targetIsNew = 0);

// Where the last walk stopped early (a full target, an abort, Ctrl+C): the
// item it was at; empty after a walk that went to its end.
const wchar_t* WalkStoppedAt();

// Whether the last WalkFolder made, replaced or removed an entry right in its
// target folder: only then do the folder's times need setting again.
extern bool walkWroteIntoFolder;
// After a file copy: when the console has the focus and Pause was pressed,
// waits for a key.
void CheckPauseKey();
