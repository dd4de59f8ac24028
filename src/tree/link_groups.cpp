// The list of hard-link groups and the engine's calls on it.
#include "link_groups.h"

#include <windows.h>

#include <cwchar>

#include "console.h"
#include "file_ops.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "security_streams.h"
#include "source_removal.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

// The identity FindLinkGroup read, handed to the AddLinkGroup that follows it
// for the same path, so a new group costs no second open.
wchar_t cachedPath[kPathCapacity];
FileIdentity cachedIdentity;
bool cacheValid = false;

int IdentityOf(const wchar_t* path, FileIdentity* identity) {
    if (cacheValid && wcscmp(cachedPath, path) == 0) {
        *identity = cachedIdentity;
        return 1;
    }
    if (!LinkInfo(path, identity)) return 0;
    if (wcslen(path) < static_cast<size_t>(kPathCapacity)) {
        wcscpy(cachedPath, path);
        cachedIdentity = *identity;
        cacheValid = true;
    }
    return 1;
}

void FreePaths(HeldSource* held) {
    while (held) {
        HeldSource* next = held->next;
        FreeMemory(held->path);
        FreeMemory(held);
        held = next;
    }
}

void FreeGroup(HardLinkGroup* group) {
    FreeMemory(group->firstTarget);
    FreePaths(group->held);
    FreePaths(group->later);
    FreeMemory(group);
}

HeldSource* AddPath(HeldSource** list, const wchar_t* path) {
    HeldSource* held = static_cast<HeldSource*>(AllocZero(sizeof(HeldSource)));
    held->path = DuplicateString(path);
    held->next = *list;
    *list = held;
    return held;
}

HardLinkGroup* GroupOf(const wchar_t* firstTarget) {
    if (!run.linkGroups || !firstTarget) return nullptr;
    for (HardLinkGroup* group = run.linkGroups->first; group; group = group->next)
        if (wcscmp(group->firstTarget, firstTarget) == 0) return group;
    return nullptr;
}

// The group's other target names lack what its first one does: each is told and counted.
void LaterNamesFailed(const HardLinkGroup* group, uint32_t error) {
    for (const HeldSource* name = group->later; name; name = name->next) {
        PrintError("Error %s: '%S' is a name of '%S', which stays incomplete\n", ErrorName(error),
                   SkipLongPrefix(name->path), SkipLongPrefix(group->firstTarget));
        CountFailure();
    }
}

// Unlinks and frees every unfinished group.
void DropUnfinished(LinkGroupList* list) {
    HardLinkGroup* previous = nullptr;
    for (HardLinkGroup* group = list->first; group;) {
        HardLinkGroup* next = group->next;
        if (!group->complete) {
            if (previous)
                previous->next = next;
            else
                list->first = next;
            if (list->last == group) list->last = previous;
            FreeGroup(group);
        } else {
            previous = group;
        }
        group = next;
    }
}

// Gives a marked copy its source's times, which takes the mark away.
int StampGroupTimes(const HardLinkGroup* group) {
    void* handle = fileOps->Open(group->firstTarget, FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS);
    int stamped = IsValidHandle(handle) && fileOps->SetTimes(handle, &group->times[0], &group->times[1], &group->times[2]);
    uint32_t error = GetLastError();
    CloseHandleOf(&handle);
    SetLastError(error);
    return stamped;
}

}  // namespace

LinkGroupList* CreateHardLinkList() {
    return static_cast<LinkGroupList*>(AllocZero(sizeof(LinkGroupList)));
}

void FreeHardLinkList(LinkGroupList* list) {
    if (!list) return;
    for (HardLinkGroup* group = list->first; group;) {
        HardLinkGroup* next = group->next;
        FreeGroup(group);
        group = next;
    }
    FreeMemory(list);
}

int64_t CountLinkGroups(const LinkGroupList* list) {
    int64_t count = 0;
    if (list)
        for (const HardLinkGroup* group = list->first; group; group = group->next) count += group->complete ? 1 : 0;
    return count;
}

HardLinkGroup* AddGroup(LinkGroupList* list, uint32_t linkCount, const FileIdentity& identity,
                        const wchar_t* targetPath, int complete) {
    if (!list || !targetPath) return nullptr;
    DropUnfinished(list);
    HardLinkGroup* group = static_cast<HardLinkGroup*>(AllocZero(sizeof(HardLinkGroup)));
    group->firstTarget = DuplicateString(targetPath);
    group->linkCount = linkCount;
    group->identity = identity;
    group->complete = complete ? 1 : 0;
    if (list->last)
        list->last->next = group;
    else
        list->first = group;
    list->last = group;
    return group;
}

HardLinkGroup* FindGroup(LinkGroupList* list, const FileIdentity& identity) {
    if (!list) return nullptr;
    DropUnfinished(list);
    for (HardLinkGroup* group = list->first; group; group = group->next)
        if (SameIdentity(group->identity, identity)) return group;
    return nullptr;
}

void SettleGroup(LinkGroupList* list, const wchar_t* targetPath, int complete, const uint64_t* markedTimes) {
    if (!list || !targetPath) return;
    for (HardLinkGroup* group = list->first; group; group = group->next) {
        if (!group->complete && wcscmp(group->firstTarget, targetPath) == 0) {
            if (!complete) {
                DropUnfinished(list);
                return;
            }
            group->complete = 1;
            group->marked = markedTimes != nullptr;
            for (int i = 0; i < 3 && markedTimes; ++i) group->times[i] = markedTimes[i];
            return;
        }
    }
}

int FindLinkGroup(const wchar_t* sourcePath, wchar_t* targetPath, size_t capacity) {
    if (targetPath && capacity) targetPath[0] = 0;
    cacheValid = false;
    if (!run.linkGroups || !sourcePath) return 0;
    FileIdentity identity;
    if (!IdentityOf(sourcePath, &identity)) return 0;
    HardLinkGroup* group = FindGroup(run.linkGroups, identity);
    if (!group || !targetPath) return 0;
    size_t length = wcslen(group->firstTarget);
    if (length >= capacity) return 0;
    wmemcpy(targetPath, group->firstTarget, length + 1);
    return 1;
}

int AddLinkGroup(uint32_t linkCount, const wchar_t* sourcePath, const wchar_t* targetPath, int complete) {
    if (!sourcePath || !targetPath) return 0;
    // a source file with several names shows the volume keeps hard links
    if (!run.linkGroups && linkCount >= 2) run.linkGroups = CreateHardLinkList();
    if (!run.linkGroups) return 0;
    FileIdentity identity;
    int known = IdentityOf(sourcePath, &identity);
    cacheValid = false;
    if (!known) return 0;
    return AddGroup(run.linkGroups, linkCount, identity, targetPath, complete) != nullptr;
}

void SettleLinkGroup(const wchar_t* targetPath, int copied, const uint64_t* markedTimes) {
    SettleGroup(run.linkGroups, targetPath, copied, markedTimes);
}

int HoldSourceRemoval(const wchar_t* firstTarget, const wchar_t* sourcePath, const SourceAsCopied* copied) {
    HardLinkGroup* group = GroupOf(firstTarget);
    if (!group || !sourcePath) return 0;
    // a later name was not opened for its times: it is one file with the
    // first, so it must have the first's size and time still
    const HeldSource* first = group->held;
    HeldSource** end = &group->held;
    while (*end) end = &(*end)->next;
    HeldSource* held = AddPath(end, sourcePath);
    held->size = copied ? copied->size : first ? first->size : -1;
    held->lastWrite = copied ? copied->lastWrite : first ? first->lastWrite : 0;
    return 1;
}

void NoteLaterName(const wchar_t* firstTarget, const wchar_t* targetPath) {
    HardLinkGroup* group = options.security ? GroupOf(firstTarget) : nullptr;
    if (group && targetPath) AddPath(&group->later, targetPath);
}

int64_t CopyGroupSecurity(LinkGroupList* list) {
    if (!list) return 0;
    DropUnfinished(list);
    static wchar_t sourcePath[kPathCapacity];
    int64_t removed = 0;
    for (HardLinkGroup* group = list->first; group; group = group->next) {
        // a copy without its security stays marked, and its source stays
        if (!TargetToSource(group->firstTarget, sourcePath, kPathCapacity)) {
            uint32_t error = GetLastError();
            ReportFailure(error, "finding the source of", group->firstTarget);
            LaterNamesFailed(group, error);
            continue;
        }
        if (!CopySecurity(sourcePath, group->firstTarget)) {
            LaterNamesFailed(group, GetLastError());
            continue;
        }
        if (group->marked && !StampGroupTimes(group)) {
            uint32_t error = GetLastError();
            ReportFailure(error, "setting the times of", group->firstTarget);
            LaterNamesFailed(group, error);
            continue;
        }
        group->marked = 0;
        // each name, removed long after its copy, must still be the file that was copied
        for (HeldSource* held = group->held; held; held = held->next) {
            SourceAsCopied copied = {held->size, held->lastWrite, &group->identity};
            if (!RemoveSourceFileAsCopied(held->path, &copied)) continue;
            RemoveEmptiedSourceFolders(held->path);
            ++removed;
        }
    }
    return removed;
}
