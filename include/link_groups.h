// Hard-link groups of the source reproduced in the target and the identity
// of files.
#pragma once
#include <cstddef>
#include <cstdint>

// A file's identity: the serial number of its volume and its file id (the
// 128-bit id where the system gives it, else the 64-bit index in idLow).
// The index alone is not unique across volumes, nor on ReFS.
struct FileIdentity {
    uint64_t volumeSerial;
    uint64_t idLow;
    uint64_t idHigh;
};
inline bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
    return a.volumeSerial == b.volumeSerial && a.idLow == b.idLow && a.idHigh == b.idHigh;
}

// A path in a group's list: a source held for -ds, or a later target name.
struct HeldSource {
    wchar_t* path;
    int64_t size;              // the source as its copy began; -1: not known
    uint64_t lastWrite;
    HeldSource* next;
};

struct HardLinkGroup {
    wchar_t* firstTarget;      // own copy, with the long-path prefix
    uint32_t linkCount;        // names of the source file when recorded
    FileIdentity identity;     // of the source file
    int complete;              // firstTarget holds a complete copy
    // With -sec a new copy's security comes after its later names are linked;
    // until then it carries the incomplete mark, so a run that ends before
    // copies it again, and -ds keeps its source.
    int marked;
    uint64_t times[3];         // the source's, which firstTarget gets with its security
    HeldSource* held;          // -ds: the source names removed once the group is whole
    HeldSource* later;         // -sec: the target names linked to firstTarget, whole with it
    HardLinkGroup* next;
};

struct LinkGroupList {
    HardLinkGroup* first;
    HardLinkGroup* last;
};

// ---- the list (plain, no system calls) ----
LinkGroupList* CreateHardLinkList();
void FreeHardLinkList(LinkGroupList* list);
// Groups whose first target is complete.
int64_t CountLinkGroups(const LinkGroupList* list);
// Appends a group; complete 0 marks a copy still to be finished (SettleGroup).
HardLinkGroup* AddGroup(LinkGroupList* list, uint32_t linkCount, const FileIdentity& identity,
                        const wchar_t* targetPath, int complete);
// The complete group of that identity. An unfinished group met here belongs
// to a copy that ended without success: it is dropped, so a later name is
// copied instead of linked to a broken target.
HardLinkGroup* FindGroup(LinkGroupList* list, const FileIdentity& identity);
// Marks the unfinished group of targetPath complete, or drops it.
void SettleGroup(LinkGroupList* list, const wchar_t* targetPath, int complete);

// ---- the engine's calls on run.linkGroups (each does nothing without a list) ----
// The first target recorded for the source file's identity; 0 when none.
int FindLinkGroup(const wchar_t* sourcePath, wchar_t* targetPath, size_t capacity);
// Records the source file with its target; complete 0 until SettleLinkGroup.
int AddLinkGroup(uint32_t linkCount, const wchar_t* sourcePath, const wchar_t* targetPath, int complete);
// After the copy of targetPath: complete when it was copied in full.
// markedTimes: the copy carries the incomplete mark in place of these.
void SettleLinkGroup(const wchar_t* targetPath, int copied, const uint64_t* markedTimes);
struct SourceAsCopied;
// -ds of the names of a -sec group waits for the group's security: 1 when
// the group whose first target is firstTarget holds the removal.
int HoldSourceRemoval(const wchar_t* firstTarget, const wchar_t* sourcePath, const SourceAsCopied* copied);
// -sec: targetPath was linked to the group's firstTarget, and shares what
// becomes of it.
void NoteLaterName(const wchar_t* firstTarget, const wchar_t* targetPath);
// The security pass after the walk (-sec): once per complete group, from the
// source name behind firstTarget; then a marked copy gets its times and the
// held sources are removed, with the source folders that empties. Returns
// the number of sources removed.
int64_t CopyGroupSecurity(LinkGroupList* list);

// ---- queries through fileOps ----

// Number of names of the file, 0 when it cannot be queried; fills identity.
uint32_t LinkInfo(const wchar_t* path, FileIdentity* identity);
int FileIndexOf(const wchar_t* path, FileIdentity* identity);
// 1 when both paths name one file.
int SameFile(const wchar_t* a, const wchar_t* b);
