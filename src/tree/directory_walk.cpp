// The walk of one source folder into its target folder, recursively with -s.
#include "directory_walk.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <unordered_map>
#include <vector>

#include "console.h"
#include "copy_engine.h"
#include "dry_run.h"
#include "folder_identity.h"
#include "folder_listing.h"
#include "heap_memory.h"
#include "mirror_cleanup.h"
#include "options.h"
#include "paths.h"
#include "reparse_points.h"
#include "run_state.h"
#include "security_streams.h"
#include "source_removal.h"
#include "target_folders.h"
#include "text_format.h"
#include "transfer_state.h"
#include "tree_file_system.h"

namespace {

// room behind a folder path for one name, a backslash and the terminator
constexpr size_t kNameRoom = 262;
const wchar_t kNulDevice[] = L"\\\\.\\NUL";

bool StopAsked() { return run.stopRequested || run.breakRequested; }

wchar_t walkStoppedAt[kPathCapacity];

// The names of one source folder by their upper-case form: a case-sensitive
// source may hold two that a Windows target takes for one.
using NamesSeen = std::unordered_map<std::wstring, std::wstring>;

// A name the folder had before in another case cannot be copied beside it:
// it would overwrite the first one's copy. A counted failure naming both.
bool IsSecondSpelling(NamesSeen* seen, const wchar_t* name, const wchar_t* sourceItem) {
    std::wstring key = name;
    CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    auto [earlier, added] = seen->emplace(key, name);
    if (added) return false;
    std::wstring line = L"Error FILE_EXISTS: '" + std::wstring(SkipLongPrefix(sourceItem)) +
                        L"' differs only in case from '" + earlier->second + L"' -> skip";
    PrintErrorName("%S\n", line.c_str());
    CountFailure();
    return true;
}

// Identities of the folders from the root of the walk down to the one being
// walked: a link, junction or mount point back up the tree leads to one of them.
// Each folder's path is a prefix of those below it, so only its length is kept.
FolderId walkPathIds[kMaxWalkDepth + 1];
size_t walkPathLength[kMaxWalkDepth + 1];

// Sets *same when folder is the one at depth `ancestor` of its own path, by
// full identity; 0 when either identity cannot be read.
int CompareWithAncestor(const wchar_t* folder, int ancestor, bool* same) {
    size_t length = walkPathLength[ancestor];
    wchar_t* prefix = static_cast<wchar_t*>(AllocZero((length + 1) * sizeof(wchar_t)));
    memcpy(prefix, folder, length * sizeof(wchar_t));
    FolderId mine, theirs;
    int read = folderIdReader(folder, &mine) && folderIdReader(prefix, &theirs);
    DWORD error = GetLastError();
    FreeMemory(prefix);
    *same = read && SameFolderId(mine, theirs);
    SetLastError(error);
    return read;
}

// Puts the file index of a folder in its place at `depth`. The index comes
// from the parent's listing when it had one (listedIndex nonzero; a listing
// shows a link's own index, not its target's, so links pass 0), else it is read.
int PlaceOnWalkPath(const wchar_t* folder, uint64_t listedIndex, int depth) {
    walkPathLength[depth] = wcslen(folder);
    walkPathIds[depth] = {0, listedIndex};
    return listedIndex || ReadFolderIndex(folder, &walkPathIds[depth]);
}

// Whether the walk may go into a sub-folder of the folder at `depth`: not
// into one it is walked from (a loop), nor into the run's target met inside
// the source, nor where its identity cannot be read, since nothing would then
// tell a link back up the tree from a new folder. Each refusal is a counted
// failure naming the folder. The volume serial is asked only when an index repeats.
bool MayEnter(const wchar_t* folder, uint64_t listedIndex, int depth) {
    bool loop = false, guarded = false;
    int read = PlaceOnWalkPath(folder, listedIndex, depth + 1);
    for (int i = 0; read && !loop && i <= depth; ++i)
        if (walkPathIds[i].fileIndex == walkPathIds[depth + 1].fileIndex) read = CompareWithAncestor(folder, i, &loop);
    if (read && !loop) read = CheckGuardedFolder(folder, listedIndex, &guarded);
    if (!read)
        ReportFailure(GetLastError(), "reading the identity of folder", folder);
    else if (loop)
        // walking into it would copy the tree into itself until the paths run out
        PrintErrorName("Error CANT_RESOLVE_FILENAME: folder loop -> skip folder %S\n", SkipLongPrefix(folder));
    else if (guarded)
        // the target met inside the source: copying it would feed on its own output
        PrintErrorName("Error CANT_RESOLVE_FILENAME: target folder inside the source -> skip folder %S\n",
                       SkipLongPrefix(folder));
    if (read && (loop || guarded)) CountFailure();
    return read && !loop && !guarded;
}

void AppendBackslash(wchar_t* path) {
    size_t length = wcslen(path);
    if (length == 0 || path[length - 1] != L'\\') {
        path[length] = L'\\';
        path[length + 1] = 0;
    }
}

// folder + name (+ "\\"), into a buffer of the folder's length + kNameRoom.
void JoinName(wchar_t* out, const wchar_t* folder, size_t folderLength, const wchar_t* name, bool backslash) {
    memcpy(out, folder, folderLength * sizeof(wchar_t));
    size_t nameLength = wcslen(name);
    memcpy(out + folderLength, name, nameLength * sizeof(wchar_t));
    size_t end = folderLength + nameLength;
    if (backslash) out[end++] = L'\\';
    out[end] = 0;
}

const wchar_t* RelativeToSourceRoot(const wchar_t* path) {
    size_t rootLength = run.sourceRootLength > 0 ? static_cast<size_t>(run.sourceRootLength) : 0;
    return wcslen(path) >= rootLength ? path + rootLength : path;
}

// A file where the folder is to go: delete it with -o or when the operator
// agrees. 1 when it is gone.
bool RemoveFileInTheWay(wchar_t* targetItem, const ListingEntry* entry) {
    FileOps* fs = fileOps;
    StripTrailingChar(targetItem, L'\\');
    if (!options.overwrite && !engineConsoleCheck()) {
        NoteSkip(targetItem, "a question would be asked");
        return false;
    }
    if (!options.overwrite) {
        PrintName("%S folder already exists as a file. Overwrite (Y/N)?", entry->name);
        wchar_t answer = Prompt(L"YN", L'N');
        Print("\n");
        if (answer != L'Y') return false;
    }
    if (options.mirror && !DeletionAllowed(targetItem)) {
        AppendBackslash(targetItem);
        return false;
    }
    fs->SetAttributes(targetItem, 0x80);
    if (!fs->Delete(targetItem)) {
        Print("Error %s deleting file %S\n", LastErrorName(), entry->name);
        return false;
    }
    AppendBackslash(targetItem);
    return true;
}

// In mirror mode a copy must not write through a target link that the mirror
// pass could not remove.
bool TargetIsLinkInMirror(FolderListing* listing, const wchar_t* name) {
    if (!options.mirror || !listing) return false;
    ListingEntry* existing = FindInListing(listing, name);
    if (!existing || !(existing->attributes & kAttributeReparsePoint)) return false;
    PrintName("target is a reparse point -> skip file %S\n", existing->name);
    return true;
}

// The next name of a folder; a listing that breaks off before its end leaves
// entries uncopied and counts as a failure.
bool NextEntry(void* search, FoundName* found, const wchar_t* folder) {
    if (fileOps->FindNext(search, found)) return true;
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) ReportFailure(error, "listing", folder);
    return false;
}

// The names of a source folder in the order its one search returned them: a
// mirror lists the folder for its clean-up and walks the same names after it.
// Each record holds its name only as far as the terminator.
struct RecordedNames {
    FoundName** names;
    int64_t count;
    int64_t capacity;
    int64_t next;
    DWORD error;   // what ended the search
};

void Record(RecordedNames* recorded, const FoundName& found) {
    if (recorded->count == recorded->capacity) {
        int64_t grown = recorded->capacity ? recorded->capacity * 2 : 64;
        FoundName** names = static_cast<FoundName**>(AllocZero(static_cast<size_t>(grown) * sizeof(FoundName*)));
        if (recorded->count) memcpy(names, recorded->names, static_cast<size_t>(recorded->count) * sizeof(FoundName*));
        FreeMemory(recorded->names);
        recorded->names = names;
        recorded->capacity = grown;
    }
    size_t bytes = offsetof(FoundName, name) + (wcslen(found.name) + 1) * sizeof(wchar_t);
    FoundName* copy = static_cast<FoundName*>(AllocZero(bytes));
    memcpy(copy, &found, bytes);
    recorded->names[recorded->count++] = copy;
}

// Reads the rest of a search into the records; 1 when it reached the end.
bool RecordSearch(RecordedNames* recorded, void* search, FoundName* found) {
    for (;;) {
        Record(recorded, *found);
        if (StopAsked()) return false;
        if (!fileOps->FindNext(search, found)) {
            recorded->error = GetLastError();
            return recorded->error == ERROR_NO_MORE_FILES;
        }
    }
}

// The next recorded name, or the failure that ended the search, as NextEntry tells it.
bool NextRecorded(RecordedNames* recorded, FoundName* found, const wchar_t* folder) {
    if (recorded->next < recorded->count) {
        const FoundName* record = recorded->names[recorded->next++];
        memcpy(found, record, offsetof(FoundName, name) + (wcslen(record->name) + 1) * sizeof(wchar_t));
        return true;
    }
    if (recorded->error != ERROR_NO_MORE_FILES && !StopAsked()) ReportFailure(recorded->error, "listing", folder);
    return false;
}

void FreeRecorded(RecordedNames* recorded) {
    for (int64_t i = 0; i < recorded->count; ++i) FreeMemory(recorded->names[i]);
    FreeMemory(recorded->names);
}

// Names the files of a folder whose sources the copy will open first, for a
// volume that opens them ahead; true when it took the list. A folder without
// any, or without a recorded listing, still has its list: the lists around it
// learn that the walk is further in.
bool ForeseeFiles(const RecordedNames* recorded, const wchar_t* sourceFolder, size_t sourceLength,
                  const wchar_t* targetFolder, size_t targetLength, const wchar_t* mask, FolderListing* listing) {
    // a huge folder's list is cut: what lies beyond is opened by the copy alone
    constexpr size_t kMostForeseen = 4096;
    static const wchar_t* const kNoPaths[1] = {nullptr};
    if (!ForeseeSourceOpens(nullptr, 0)) return false;
    std::vector<std::wstring> paths;
    std::wstring target(targetFolder, targetLength);
    for (int64_t i = 0; recorded && i < recorded->count && paths.size() < kMostForeseen; ++i) {
        const FoundName& found = *recorded->names[i];
        if (IsDotName(found.name) || (found.attributes & (kAttributeDirectory | kAttributeReparsePoint)) ||
            IsExcluded(found.name) || !MatchMask(found.name, mask))
            continue;
        ListingEntry* existing = listing ? FindInListing(listing, found.name) : nullptr;
        if (existing && (existing->attributes & kAttributeReparsePoint)) continue;
        target.resize(targetLength);
        target += found.name;
        if (OpensSourceFirst(found.attributes, found.lastWrite, found.size, target.c_str(), listing))
            paths.push_back(std::wstring(sourceFolder, sourceLength) + found.name);
    }
    std::vector<const wchar_t*> names;
    names.reserve(paths.size());
    for (const std::wstring& path : paths) names.push_back(path.c_str());
    return ForeseeSourceOpens(names.empty() ? kNoPaths : names.data(), names.size()) != 0;
}

enum FolderStep { kFolderWalked, kFolderSkipped, kWalkAborted };

// Creates or finds the target of one source sub-folder and walks it.
FolderStep CopySubFolder(wchar_t* sourceItem, const FoundName& found, const wchar_t* mask, wchar_t* targetItem,
                         FolderListing* targetListing, int64_t* linkCounter, int depth, int64_t* count,
                         bool* madeHere) {
    FileOps* fs = fileOps;
    ListingEntry* existing = FindInListing(targetListing, found.name);
    uint32_t targetAttributes = kNoAttributes;
    // an existing folder keeps its times unless they differ or the run writes into it
    bool stamped = false;
    bool created = false;
    void* held = nullptr;   // a folder made here stays open until its times are set
    if (existing && !(existing->attributes & kAttributeDirectory)) {
        // the file is left alone unless it is deleted; nothing below is walked into it
        if (!RemoveFileInTheWay(targetItem, existing)) {
            PrintErrorName("Error ALREADY_EXISTS: a file stands where the folder goes -> skip folder %S\n",
                           SkipLongPrefix(targetItem));
            CountFailure();
            return kFolderSkipped;
        }
        existing = nullptr;
    }
    if (existing && options.mirror && (existing->attributes & kAttributeReparsePoint)) {
        // the mirror pass removes such a link; one that stays is not walked into
        PrintName("target is a reparse point -> skip folder %S\n", existing->name);
        return kFolderSkipped;
    }
    if (existing) {
        targetAttributes = existing->attributes;
        stamped = existing->lastWrite != found.lastWrite;
        if (options.mirror && options.streams && existing->lastWrite < found.lastWrite)
            RemoveSurplusStreams(sourceItem, targetItem);
    } else if (fs->CreateFolderForTimes(targetItem, &held) != 0) {
        // new and empty: nothing to list in it, and its times are set once, after its content
        created = true;
        stamped = true;
        ++run.foldersCreated;
        bool compressionMatters = run.targetCaps.compression && (found.attributes & kAttributeCompressed) &&
                                  options.compression >= 1;
        // only compression is inherited from the parent; the rest a new folder starts without
        targetAttributes = compressionMatters ? fs->GetAttributes(targetItem) : kAttributeDirectory;
    } else {
        DWORD error = GetLastError();
        uint32_t present = error == ERROR_ALREADY_EXISTS ? fs->GetAttributes(targetItem) : kNoAttributes;
        if (present != kNoAttributes && (present & kAttributeDirectory)) {
            // appeared after the target was listed: use it as found
            targetAttributes = present;
            stamped = true;
        } else {
            ReportFailure(error, "creating dir", targetItem);
            return kFolderSkipped;
        }
    }
    if (targetAttributes != kNoAttributes) {
        if (run.targetCaps.compression && (found.attributes & kAttributeCompressed) &&
            !(targetAttributes & kAttributeCompressed) && options.compression >= 1)
            CopyFolderCompression(sourceItem, targetItem, 1);
        // a folder without its source's attributes is no copy of it
        if (((found.attributes ^ targetAttributes) & ~kAttributeCompressed) &&
            !fs->SetAttributes(targetItem,
                               (found.attributes & ~kAttributeCompressed) | (targetAttributes & kAttributeCompressed)))
            ReportFailure(GetLastError(), "setting the attributes of folder", targetItem);
    }
    // the search read the source's times before the walk; a link's own are not
    // its folder's, and -ds empties that folder during the walk
    bool link = (found.attributes & kAttributeReparsePoint) != 0;
    FolderTimes sourceTimes;
    bool timesRead = link && options.deleteSource && ReadFolderTimes(sourceItem, &sourceTimes);
    *madeHere = created;
    *count += WalkFolder(sourceItem, mask, targetItem, linkCounter, depth + 1, created);
    if (walkWroteIntoFolder) stamped = true;
    if (options.security || options.streams)
        CopySecurityAndStreams(sourceItem, targetItem, options.security, options.streams);
    // after the content, which moves a folder's times on
    const uint64_t listed[3] = {found.creation, found.lastAccess, found.lastWrite};
    if (stamped) {
        if (timesRead)
            SetFolderTimes(targetItem, sourceTimes, created);
        else if (link)
            CopyFolderTimes(sourceItem, targetItem, created);
        else if (!IsValidHandle(held) || !fs->SetTimes(held, &listed[0], &listed[1], &listed[2]))
            SetFolderTimes(targetItem, found.creation, found.lastAccess, found.lastWrite, created);
    }
    if (IsValidHandle(held)) fs->Close(held);
    return run.aborted ? kWalkAborted : kFolderWalked;
}

// A link met with -s: copied as a link unless -p asks to look through links
// that point out of the source tree. 1 when the entry was dealt with here;
// *followed when a folder link is to be walked through (the caller leaves it).
bool HandleLink(const wchar_t* sourceItem, const wchar_t* targetItem, const FoundName& found, bool matched,
                int64_t* linkCounter, FolderListing* listing, bool toNul, int64_t* count, bool* followed) {
    bool folder = (found.attributes & kAttributeDirectory) != 0;
    // a file link read into the null device is read like any file
    if (toNul && !folder) return false;
    wchar_t* linkTarget = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    bool handled = false;
    int read = ReadReparseTarget(sourceItem, linkTarget, kPathCapacity);
    DWORD error = GetLastError();
    if (!read && error != ERROR_NOT_A_REPARSE_POINT && error != ERROR_INVALID_REPARSE_DATA &&
        error != ERROR_INSUFFICIENT_BUFFER) {
        // a link that cannot be read must not pass for a plain folder: -ds would remove it
        Print("Error %s reading the link ", ErrorName(error));
        PrintName("%S\n", SkipLongPrefix(sourceItem));
        CountFailure();
        handled = true;
    } else if (read && linkTarget[0]) {
        if (!options.parseReparse || PointsIntoSource(linkTarget)) {
            // never walked into: that could copy the tree into itself
            handled = true;
            if (toNul) {
            } else if (folder) {
                *count += CopyReparsePoint(sourceItem, targetItem, found.attributes);
                // only a link in the target takes the link's attributes; a file or
                // folder that stands there is not the link's to change
                uint32_t present = fileOps->GetAttributes(targetItem);
                if (present != kNoAttributes && (present & kAttributeReparsePoint))
                    fileOps->SetAttributes(targetItem, found.attributes);
            } else if (matched) {
                // the copy decides about an existing target as for any file, then copies the link
                WalkCopy copy = walkCopy;
                *count += copy(sourceItem, found.attributes, found.lastWrite, targetItem, linkCounter, 0, listing);
            }
        } else if (folder) {
            EnterFollowedLink(linkTarget);
            *followed = true;
        }
    }
    FreeMemory(linkTarget);
    return handled;
}

}  // namespace

void CheckPauseKey() {
    static HWND consoleWindow = GetConsoleWindow();
    if (!consoleWindow || GetForegroundWindow() != consoleWindow) return;
    if (!(GetAsyncKeyState(VK_PAUSE) & 0x8001)) return;
    Print("=== pause ===");
    Prompt(L"", L'N');
    GetAsyncKeyState(VK_PAUSE);
    Print("\r              \r");
}

int64_t WalkFolder(wchar_t* sourceFolder, const wchar_t* mask, wchar_t* targetFolder, int64_t* linkCounter,
                   int depth, int targetIsNew) {
    FileOps* fs = fileOps;
    const bool toNul = run.targetIsNul != 0;
    if (depth == 0) {
        walkStoppedAt[0] = 0;
        if (!PlaceOnWalkPath(sourceFolder, 0, 0)) {
            ReportFailure(GetLastError(), "reading the identity of folder", sourceFolder);
            return 0;
        }
    }
    AppendBackslash(sourceFolder);
    size_t sourceLength = wcslen(sourceFolder);
    size_t targetLength = 0;

    FolderListing targetListing = {};
    bool haveTargetListing = false;
    if (!toNul) {
        AppendBackslash(targetFolder);
        targetLength = wcslen(targetFolder);
        if (targetIsNew) {
            // the folder this run just created holds nothing: an empty listing is complete
            targetListing.complete = 1;
        } else {
            BuildListing(&targetListing, targetFolder, L"*", nullptr, nullptr, 1, 0, nullptr, nullptr);
        }
        haveTargetListing = true;
    }
    bool wroteHere = false;

    // paths longer than a path buffer cannot be passed on
    bool tooLong = sourceLength + kNameRoom > static_cast<size_t>(kPathCapacity) ||
                   targetLength + kNameRoom > static_cast<size_t>(kPathCapacity);

    wchar_t* pattern = static_cast<wchar_t*>(AllocZero((sourceLength + 2) * sizeof(wchar_t)));
    memcpy(pattern, sourceFolder, sourceLength * sizeof(wchar_t));
    pattern[sourceLength] = L'*';
    FoundName found;
    void* search = fs->FindFirst(pattern, &found);
    DWORD searchError = search ? 0 : GetLastError();

    // an empty target has nothing to clean up; the one search of the source
    // gives the mirror its listing and the walk its names
    RecordedNames recorded = {};
    bool replay = false;
    if (options.mirror && !toNul && !targetIsNew) {
        bool whole = search && RecordSearch(&recorded, search, &found);
        if (search) {
            fs->FindEnd(search);
            search = nullptr;
            replay = true;
        }
        FolderListing sourceListing = {};
        ListFoundNames(&sourceListing, sourceFolder, mask, recorded.names, recorded.count, whole);
        // deleting against a partial listing would remove what the source still has
        if (sourceListing.complete && targetListing.complete) {
            int64_t before = targetListing.count;
            MirrorPass(targetFolder, &targetListing, &sourceListing, depth);
            wroteHere = targetListing.count != before;
        } else if (!StopAsked()) {
            PrintErrorName("incomplete folder listing -> no mirror clean-up in %S\n", SkipLongPrefix(targetFolder));
            CountFailure();
        }
        FreeListing(&sourceListing);
    }

    if (tooLong) {
        PrintErrorName("path too long -> skip folder %S\n", SkipLongPrefix(sourceFolder));
        CountFailure();
    } else if (!search && !replay && searchError != ERROR_FILE_NOT_FOUND && searchError != ERROR_NO_MORE_FILES) {
        // an empty root has nothing to list, which is no failure
        ReportFailure(searchError, "listing", pattern);
    }
    FreeMemory(pattern);
    if (tooLong || (!search && !replay) || (replay && !NextRecorded(&recorded, &found, sourceFolder))) {
        if (search) fs->FindEnd(search);
        FreeRecorded(&recorded);
        if (haveTargetListing) FreeListing(&targetListing);
        walkWroteIntoFolder = wroteHere;
        return 0;
    }

    FolderListing* listing = toNul ? nullptr : &targetListing;
    wchar_t* sourceItem = static_cast<wchar_t*>(AllocZero((sourceLength + kNameRoom) * sizeof(wchar_t)));
    wchar_t* targetItem =
        toNul ? nullptr : static_cast<wchar_t*>(AllocZero((targetLength + kNameRoom) * sizeof(wchar_t)));
    int64_t count = 0;
    NamesSeen seen;
    const bool foreseen = options.mirror && !toNul &&
                          ForeseeFiles(replay ? &recorded : nullptr, sourceFolder, sourceLength, targetFolder,
                                       targetLength, mask, listing);
    do {
        if (IsDotName(found.name)) continue;
        if (IsExcluded(found.name)) {
            if (!options.quiet) PrintName("%S\n skipped by exclude list\n", found.name);
            continue;
        }
        bool matched = MatchMask(found.name, mask) != 0;
        bool folder = (found.attributes & kAttributeDirectory) != 0;
        JoinName(sourceItem, sourceFolder, sourceLength, found.name, false);
        if ((folder ? options.recurse : matched) && !toNul && IsSecondSpelling(&seen, found.name, sourceItem)) continue;
        if (!toNul) JoinName(targetItem, targetFolder, targetLength, found.name, false);

        bool followedLink = false;
        const int64_t countBefore = count;
        if (options.recurse && (found.attributes & kAttributeReparsePoint) &&
            HandleLink(sourceItem, targetItem, found, matched, linkCounter, listing, toNul, &count, &followedLink)) {
            if (count != countBefore) wroteHere = true;
            continue;
        }

        if (!folder) {
            if (!matched) continue;
            if (TargetIsLinkInMirror(listing, found.name)) continue;
            WalkCopy copy = walkCopy;
            listedTimes = {1, {found.creation, found.lastAccess, found.lastWrite}, found.size};
            count += copy(sourceItem, found.attributes, found.lastWrite, toNul ? kNulDevice : targetItem, linkCounter,
                          0, listing);
            if (count != countBefore) wroteHere = true;
            listedTimes.known = 0;
            if (run.aborted) break;
            CheckPauseKey();
            continue;
        }

        if (!options.recurse) continue;
        if (!options.quiet) {
            ClearLine();
            PrintName("processing folder: %S\n", RelativeToSourceRoot(sourceItem));
        }
        bool walked = false;
        if (depth >= kMaxWalkDepth) {
            char line[100];
            FormatText(line, sizeof line, "path nested too deep (max %i) -> skip folder %%S\n", kMaxWalkDepth);
            PrintErrorName(line, SkipLongPrefix(sourceItem));
            CountFailure();
        } else if (!MayEnter(sourceItem, (found.attributes & kAttributeReparsePoint) ? 0 : found.fileId, depth)) {
            // refused, and the line saying why is printed
        } else if (toNul) {
            count += WalkFolder(sourceItem, mask, targetFolder, linkCounter, depth + 1);
            walked = true;
        } else {
            AppendBackslash(targetItem);
            bool made = false;
            FolderStep step =
                CopySubFolder(sourceItem, found, mask, targetItem, listing, linkCounter, depth, &count, &made);
            if (made) wroteHere = true;
            if (step == kWalkAborted) {
                if (followedLink) LeaveFollowedLink();
                break;
            }
            walked = step == kFolderWalked;
        }
        if (followedLink) LeaveFollowedLink();
        // a folder that was not copied is not removed from the source, empty or not
        if (walked && options.deleteSource) RemoveSourceFolder(sourceItem);
        if (run.aborted) break;
        AskStopIfPending();
    } while (!StopAsked() &&
             (replay ? NextRecorded(&recorded, &found, sourceFolder) : NextEntry(search, &found, sourceFolder)));
    if (foreseen) fs->EndForesight();
    // the innermost folder the run left early tells where it stopped
    if ((run.aborted || StopAsked()) && !walkStoppedAt[0])
        lstrcpynW(walkStoppedAt, sourceItem[0] ? sourceItem : sourceFolder, kPathCapacity);

    if (search) fs->FindEnd(search);
    FreeRecorded(&recorded);
    FreeMemory(sourceItem);
    FreeMemory(targetItem);
    if (haveTargetListing) FreeListing(&targetListing);
    walkWroteIntoFolder = wroteHere;
    return count;
}

const wchar_t* WalkStoppedAt() { return walkStoppedAt; }

bool walkWroteIntoFolder;
