// The list of hard-link groups and the engine's calls on it.
#include "link_groups.h"

#include <windows.h>

#include <cwchar>

#include "file_ops.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "security_streams.h"

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

void FreeGroup(HardLinkGroup* group) {
    FreeMemory(group->firstTarget);
    FreeMemory(group->security);
    FreeMemory(group);
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

// -ds removes the source names as they are copied, before the security pass
// at the end can read them: their descriptor is kept with the group.
void KeepSecurity(HardLinkGroup* group, const wchar_t* sourcePath) {
    group->security = ReadSecurityStream(sourcePath, &group->securitySize);
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

void SettleGroup(LinkGroupList* list, const wchar_t* targetPath, int complete) {
    if (!list || !targetPath) return;
    for (HardLinkGroup* group = list->first; group; group = group->next) {
        if (!group->complete && wcscmp(group->firstTarget, targetPath) == 0) {
            if (complete)
                group->complete = 1;
            else
                DropUnfinished(list);
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
    HardLinkGroup* group = AddGroup(run.linkGroups, linkCount, identity, targetPath, complete);
    if (group && options.security && options.deleteSource) KeepSecurity(group, sourcePath);
    return group != nullptr;
}

void SettleLinkGroup(const wchar_t* targetPath, int copied) { SettleGroup(run.linkGroups, targetPath, copied); }

int64_t CopyGroupSecurity(LinkGroupList* list) {
    if (!list) return 0;
    DropUnfinished(list);
    static wchar_t sourcePath[kPathCapacity];
    int64_t handled = 0;
    for (HardLinkGroup* group = list->first; group; group = group->next) {
        ++handled;
        bool mapped = TargetToSource(group->firstTarget, sourcePath, kPathCapacity) != 0;
        if (group->security && (!mapped || !PathExists(sourcePath))) {
            if (!WriteSecurityStream(group->firstTarget, group->security, group->securitySize))
                ReportFailure(GetLastError(), "setting the security of", group->firstTarget);
            continue;
        }
        if (mapped) CopySecurity(sourcePath, group->firstTarget);
    }
    return handled;
}
