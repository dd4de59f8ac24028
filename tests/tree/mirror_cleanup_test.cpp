// Mirror clean-up decisions on an in-memory tree with links, where every
// deletion and search is recorded and can be made to fail.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "copy_engine.h"
#include "directory_walk.h"
#include "folder_listing.h"
#include "mirror_cleanup.h"
#include "options.h"
#include "run_state.h"
#include "source_removal.h"
#include "test_support.h"
#include "tree_file_system.h"

namespace {

struct Node {
    uint32_t attributes;
    std::wstring linkTo;   // a link's own target; its content is what lies there
};

struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

struct Memory {
    std::map<std::wstring, Node, NoCase> nodes;
    std::vector<std::wstring> calls;   // "search X", "delete X", "rmdir X"
    std::wstring failSearchOf;         // findFirst of this folder fails
    std::wstring failNextIn;           // the search of this folder breaks off ...
    size_t failNextAfter = 0;          // ... after this many names
    int failNextTimes = 1000;          // ... this many times
    std::wstring failDeleteOf;
    int stopAfterDeletes = -1;         // sets stopRequested after this many deletions
    int deletes = 0;
};
Memory memory;

struct Search {
    std::wstring folder;
    std::vector<FoundName> names;
    size_t next = 0;
};

std::wstring Parent(const std::wstring& path) {
    size_t at = path.rfind(L'\\');
    return at == std::wstring::npos ? L"" : path.substr(0, at);
}

// Every link on the way is followed, the last component only when asked.
std::wstring Resolve(std::wstring path, bool followLast) {
    if (!path.empty() && path.back() == L'\\') path.pop_back();
    std::wstring done;
    size_t from = 0;
    while (from <= path.size()) {
        size_t end = path.find(L'\\', from);
        if (end == std::wstring::npos) end = path.size();
        done += (done.empty() ? L"" : L"\\") + path.substr(from, end - from);
        bool last = end == path.size();
        auto node = memory.nodes.find(done);
        if (node != memory.nodes.end() && !node->second.linkTo.empty() && (!last || followLast))
            done = node->second.linkTo;
        from = end + 1;
    }
    return done;
}

// The walk lists the target on a second thread.
std::mutex noteLock;
void Note(const wchar_t* what, const std::wstring& path) {
    std::lock_guard<std::mutex> hold(noteLock);
    memory.calls.push_back(std::wstring(what) + L" " + path);
}

FoundName Found(const std::wstring& name, uint32_t attributes) {
    FoundName found = {};
    found.attributes = attributes;
    lstrcpynW(found.name, name.c_str(), 260);
    return found;
}

void* MemFindFirst(const wchar_t* pattern, FoundName* found) {
    std::wstring folder = Parent(pattern);
    Note(L"search", folder);
    std::wstring real = Resolve(folder, true);
    auto node = memory.nodes.find(real);
    if (_wcsicmp(folder.c_str(), memory.failSearchOf.c_str()) == 0 || node == memory.nodes.end() ||
        !(node->second.attributes & kAttributeDirectory)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    Search* search = new Search{folder, {Found(L".", 0x10), Found(L"..", 0x10)}, 1};
    for (auto& item : memory.nodes)
        if (_wcsicmp(Parent(item.first).c_str(), real.c_str()) == 0)
            search->names.push_back(Found(item.first.substr(real.size() + 1), item.second.attributes));
    *found = search->names[0];
    return search;
}

int MemFindNext(void* handle, FoundName* found) {
    Search* search = static_cast<Search*>(handle);
    if (_wcsicmp(search->folder.c_str(), memory.failNextIn.c_str()) == 0 && search->next >= memory.failNextAfter &&
        memory.failNextTimes > 0) {
        --memory.failNextTimes;
        SetLastError(ERROR_NETNAME_DELETED);
        return 0;
    }
    if (search->next >= search->names.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return 0;
    }
    *found = search->names[search->next++];
    return 1;
}

void MemFindClose(void* handle) { delete static_cast<Search*>(handle); }

int MemCreateFolder(const wchar_t* path) {
    std::wstring real = Resolve(path, false);
    if (memory.nodes.count(real)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return 0;
    }
    memory.nodes[real] = {kAttributeDirectory, L""};
    return 1;
}

uint32_t MemGetAttributes(const wchar_t* path) {
    auto node = memory.nodes.find(Resolve(path, false));
    if (node == memory.nodes.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return kNoAttributes;
    }
    return node->second.attributes;
}

int MemSetAttributes(const wchar_t* path, uint32_t attributes) {
    auto node = memory.nodes.find(Resolve(path, false));
    if (node == memory.nodes.end()) return 0;
    const uint32_t kept = kAttributeDirectory | kAttributeReparsePoint;
    node->second.attributes = (node->second.attributes & kept) | (attributes & ~kept & ~FILE_ATTRIBUTE_NORMAL);
    return 1;
}

bool HasChildren(const std::wstring& folder) {
    for (auto& item : memory.nodes)
        if (_wcsicmp(Parent(item.first).c_str(), folder.c_str()) == 0) return true;
    return false;
}

void CountDeletion() {
    if (++memory.deletes == memory.stopAfterDeletes) run.stopRequested = 1;
}

int MemDeleteFile(const wchar_t* path) {
    Note(L"delete", path);
    std::wstring real = Resolve(path, false);
    auto node = memory.nodes.find(real);
    DWORD error = 0;
    if (node == memory.nodes.end())
        error = ERROR_FILE_NOT_FOUND;
    else if ((node->second.attributes & (kAttributeDirectory | kAttributeReadOnly)) ||
             _wcsicmp(path, memory.failDeleteOf.c_str()) == 0)
        error = ERROR_ACCESS_DENIED;
    if (error) {
        SetLastError(error);
        return 0;
    }
    memory.nodes.erase(node);
    CountDeletion();
    return 1;
}

int MemRemoveFolder(const wchar_t* path) {
    Note(L"rmdir", path);
    std::wstring real = Resolve(path, false);
    auto node = memory.nodes.find(real);
    DWORD error = 0;
    if (node == memory.nodes.end())
        error = ERROR_PATH_NOT_FOUND;
    else if (!(node->second.attributes & kAttributeDirectory) || _wcsicmp(path, memory.failDeleteOf.c_str()) == 0)
        error = ERROR_ACCESS_DENIED;
    else if (node->second.linkTo.empty() && HasChildren(real))
        error = ERROR_DIR_NOT_EMPTY;
    if (error) {
        SetLastError(error);
        return 0;
    }
    memory.nodes.erase(node);
    CountDeletion();
    return 1;
}

// The walk's copies: the target gets the source's attributes, never through a link.
int MemCopy(const wchar_t* source, uint32_t attributes, uint64_t, const wchar_t* target, int64_t*, int,
            FolderListing*) {
    Note(L"copy", target);
    std::wstring real = Resolve(target, true);
    memory.nodes[real] = {attributes & ~kAttributeReparsePoint, L""};
    return 1;
}

struct MemoryOps : qtxtest::SystemFileOps {
    void* FindFirst(const wchar_t* pattern, FoundName* found) override { return MemFindFirst(pattern, found); }
    int FindNext(void* search, FoundName* found) override { return MemFindNext(search, found); }
    void FindEnd(void* search) override { MemFindClose(search); }
    int CreateFolder(const wchar_t* path) override { return MemCreateFolder(path); }
    uint32_t GetAttributes(const wchar_t* path) override { return MemGetAttributes(path); }
    int SetAttributes(const wchar_t* path, uint32_t attributes) override { return MemSetAttributes(path, attributes); }
    int Delete(const wchar_t* path) override { return MemDeleteFile(path); }
    int RemoveFolder(const wchar_t* path) override { return MemRemoveFolder(path); }
} memoryOps;

const uint32_t kFile = FILE_ATTRIBUTE_ARCHIVE;
const uint32_t kFolder = kAttributeDirectory;
const uint32_t kFolderLink = kAttributeDirectory | kAttributeReparsePoint;
const uint32_t kFileLink = kAttributeReparsePoint | FILE_ATTRIBUTE_ARCHIVE;

class MirrorCleanup : public ::testing::Test {
protected:
    Options savedOptions = options;
    FolderListing source = {}, target = {};

    void SetUp() override {
        memory = Memory();
        fileOps = &memoryOps;
        walkCopy = MemCopy;
        options.quiet = 1;
        options.mirror = 1;
        run.stopRequested = run.breakRequested = run.aborted = 0;
    }
    void TearDown() override {
        FreeListing(&source);
        FreeListing(&target);
        fileOps = RealFileOps();
        walkCopy = CopyOneFile;
        options = savedOptions;
        run.stopRequested = run.breakRequested = run.aborted = 0;
    }
    void Add(const std::wstring& path, uint32_t attributes, const std::wstring& linkTo = L"") {
        memory.nodes[path] = {attributes, linkTo};
    }
    bool Has(const std::wstring& path) { return memory.nodes.count(path) != 0; }
    bool Called(const std::wstring& call) {
        return std::find(memory.calls.begin(), memory.calls.end(), call) != memory.calls.end();
    }
    bool SearchedBelow(const std::wstring& folder) {
        return std::any_of(memory.calls.begin(), memory.calls.end(),
                           [&](const std::wstring& call) { return call.rfind(L"search " + folder, 0) == 0; });
    }
    void Pass(const wchar_t* mask = L"*", int depth = 0) {
        BuildListing(&source, L"S", mask, nullptr, nullptr, 1, 0, nullptr, nullptr);
        BuildListing(&target, L"T", L"*", nullptr, nullptr, 1, 0, nullptr, nullptr);
        MirrorPass(target.path, &target, &source, depth);
    }
};

// Masks, exclusions, read-only files and deep folders among the surplus are
// covered end to end (MirrorEndToEnd); here names in another case and links.
TEST_F(MirrorCleanup, SurplusEntriesGoWhileNamesTheSourceHasStay) {
    Add(L"S", kFolder);
    Add(L"S\\Report.TXT", kFile);
    Add(L"S\\sub", kFolder);
    Add(L"T", kFolder);
    Add(L"T\\report.txt", kFile);   // other case only
    Add(L"T\\sub", kFolder);
    Add(L"T\\sub\\inner.txt", kFile);   // not this level's business
    Add(L"T\\old.txt", kFile);
    Add(L"T\\gone", kFolder);
    Add(L"T\\gone\\a.txt", kFileLink | kAttributeReadOnly, L"O\\a.txt");
    Add(L"O\\a.txt", kFile);
    Pass();

    EXPECT_TRUE(Has(L"T\\report.txt"));
    EXPECT_TRUE(Has(L"T\\sub\\inner.txt"));
    EXPECT_FALSE(Has(L"T\\old.txt"));
    EXPECT_FALSE(Has(L"T\\gone"));
    EXPECT_TRUE(Has(L"O\\a.txt"));
    // what is gone is no longer in the listing, what stays still is
    EXPECT_EQ(nullptr, FindInListing(&target, L"old.txt"));
    EXPECT_EQ(nullptr, FindInListing(&target, L"gone"));
    EXPECT_NE(nullptr, FindInListing(&target, L"report.txt"));
    EXPECT_EQ(2, target.count);
}

TEST_F(MirrorCleanup, SurplusLinksAreRemovedThemselvesNeverWhatTheyPointTo) {
    Add(L"S", kFolder);
    Add(L"T", kFolder);
    Add(L"T\\junction", kFolderLink, L"O\\data");
    Add(L"T\\file link", kFileLink, L"O\\file.txt");
    Add(L"T\\gone", kFolder);
    Add(L"T\\gone\\inner", kFolderLink, L"O\\data");
    Add(L"O\\data", kFolder);
    Add(L"O\\data\\precious.txt", kFile);
    Add(L"O\\data\\nested", kFolder);
    Add(L"O\\file.txt", kFile);
    Pass();

    EXPECT_TRUE(Called(L"rmdir T\\junction"));
    EXPECT_TRUE(Called(L"delete T\\file link"));
    EXPECT_TRUE(Called(L"rmdir T\\gone\\inner"));
    EXPECT_FALSE(SearchedBelow(L"T\\junction"));
    EXPECT_FALSE(SearchedBelow(L"T\\gone\\inner"));
    EXPECT_FALSE(Has(L"T\\junction"));
    EXPECT_FALSE(Has(L"T\\gone"));
    EXPECT_TRUE(Has(L"O\\data\\precious.txt"));
    EXPECT_TRUE(Has(L"O\\data\\nested"));
    EXPECT_TRUE(Has(L"O\\file.txt"));
    EXPECT_EQ(0, target.count);
}

TEST_F(MirrorCleanup, TargetLinkWhereTheSourceHasARealItemMakesWay) {
    Add(L"S", kFolder);
    Add(L"S\\data", kFolder);
    Add(L"S\\data\\new.txt", kFile);
    Add(L"S\\notes.txt", kFile);
    Add(L"S\\linked", kFolderLink, L"S\\data");   // copied as a link: left to the link copy
    Add(L"T", kFolder);
    Add(L"T\\data", kFolderLink, L"O\\data");
    Add(L"T\\notes.txt", kFileLink, L"O\\notes.txt");
    Add(L"T\\linked", kFolderLink, L"T\\data");
    Add(L"O\\data", kFolder);
    Add(L"O\\data\\precious.txt", kFile);
    Add(L"O\\notes.txt", kFile);
    Pass();

    EXPECT_FALSE(Has(L"T\\data"));
    EXPECT_FALSE(Has(L"T\\notes.txt"));
    EXPECT_TRUE(Has(L"T\\linked"));
    EXPECT_TRUE(Has(L"O\\data\\precious.txt"));
    EXPECT_TRUE(Has(L"O\\notes.txt"));
    EXPECT_EQ(nullptr, FindInListing(&target, L"data"));
    EXPECT_EQ(1, target.count);

    // with -p the source link is walked as a folder, so the target link goes too
    FreeListing(&source);
    FreeListing(&target);
    options.parseReparse = 1;
    Pass();
    EXPECT_FALSE(Has(L"T\\linked"));
}

TEST_F(MirrorCleanup, FailuresAreReportedAndWhatCouldNotGoStays) {
    Add(L"S", kFolder);
    Add(L"T", kFolder);
    Add(L"T\\a-locked.txt", kFile);
    Add(L"T\\b-readonly.txt", kFile | kAttributeReadOnly);   // not cleared at this level
    Add(L"T\\c-unreadable", kFolder);
    Add(L"T\\c-unreadable\\x.txt", kFile);
    Add(L"T\\d-broken", kFolder);
    for (wchar_t c = L'a'; c <= L'e'; ++c) Add(std::wstring(L"T\\d-broken\\") + c, kFile);
    Add(L"T\\e.txt", kFile);
    memory.failDeleteOf = L"T\\a-locked.txt";
    memory.failSearchOf = L"T\\c-unreadable";
    memory.failNextIn = L"T\\d-broken";
    memory.failNextAfter = 3;   // ".", "..", and one name
    Pass();

    EXPECT_TRUE(Has(L"T\\a-locked.txt"));
    EXPECT_TRUE(Has(L"T\\b-readonly.txt"));
    EXPECT_TRUE(Has(L"T\\c-unreadable\\x.txt"));
    EXPECT_TRUE(Has(L"T\\d-broken"));
    EXPECT_FALSE(Called(L"rmdir T\\d-broken")) << "a folder whose search broke off is left";
    EXPECT_FALSE(Has(L"T\\e.txt")) << "the pass goes on after failures";
    EXPECT_EQ(4, target.count);

    memory.failSearchOf = L"T\\c-unreadable";
    EXPECT_EQ(1, MirrorDeleteFolder(L"T\\c-unreadable", 0));
    EXPECT_EQ(2, MirrorDeleteFolder(L"T\\d-broken", 0));
    EXPECT_EQ(0, MirrorDeleteFolder(L"T\\no such folder", 0));
    EXPECT_EQ(0, MirrorDeleteFolder(L"T\\b-readonly.txt", 0));
    EXPECT_TRUE(Has(L"T\\b-readonly.txt")) << "a file is not a folder to remove";
}

TEST_F(MirrorCleanup, SurplusFolderIsEmptiedDownToTheDepthLimit) {
    Add(L"T", kFolder);
    Add(L"T\\l0", kFolder);
    Add(L"T\\l0\\l1", kFolder);
    Add(L"T\\l0\\l1\\f1.txt", kFile);
    Add(L"T\\l0\\l1\\l2", kFolder);
    Add(L"T\\l0\\l1\\l2\\f2.txt", kFile);
    EXPECT_EQ(0, MirrorDeleteFolder(L"T\\l0", kMirrorDeleteDepth - 1));
    EXPECT_FALSE(Has(L"T\\l0\\l1\\f1.txt"));
    EXPECT_TRUE(Has(L"T\\l0\\l1\\l2\\f2.txt"));
    EXPECT_TRUE(Called(L"rmdir T\\l0\\l1")) << "tried, and refused as not empty";
    EXPECT_TRUE(Has(L"T\\l0"));

    EXPECT_EQ(0, MirrorDeleteFolder(L"T\\l0", kMirrorDeleteDepth - 3));
    EXPECT_FALSE(Has(L"T\\l0"));
}

TEST_F(MirrorCleanup, IncompleteSourceListingOrStopLeavesTheTarget) {
    Add(L"S", kFolder);
    Add(L"S\\a.txt", kFile);
    Add(L"S\\b.txt", kFile);
    Add(L"S\\c.txt", kFile);
    Add(L"T", kFolder);
    Add(L"T\\a.txt", kFile);
    Add(L"T\\b.txt", kFile);
    Add(L"T\\c.txt", kFile);
    memory.failNextIn = L"S";
    memory.failNextAfter = 3;
    memory.failNextTimes = 1;
    Pass();
    EXPECT_EQ(0, source.complete);
    EXPECT_TRUE(Has(L"T\\b.txt") && Has(L"T\\c.txt"));
    EXPECT_TRUE(memory.calls.end() == std::find_if(memory.calls.begin(), memory.calls.end(), [](const std::wstring& c) {
                    return c.rfind(L"delete", 0) == 0 || c.rfind(L"rmdir", 0) == 0;
                }));

    // a stop request ends the pass, also inside a surplus folder
    FreeListing(&source);
    FreeListing(&target);
    memory.nodes.erase(L"S\\a.txt");
    memory.nodes.erase(L"S\\b.txt");
    memory.nodes.erase(L"S\\c.txt");
    memory.stopAfterDeletes = 1;
    Pass();
    EXPECT_EQ(2, std::count_if(memory.nodes.begin(), memory.nodes.end(),
                               [](const std::pair<const std::wstring, Node>& n) { return n.first.rfind(L"T\\", 0) == 0; }));
}

TEST_F(MirrorCleanup, WalkDoesNotDescendIntoOrWriteThroughATargetLink) {
    // the source listing breaks off, so no mirror pass runs and the links stay
    Add(L"S", kFolder);
    Add(L"S\\data", kFolder);
    Add(L"S\\data\\new.txt", kFile);
    Add(L"S\\notes.txt", kFile);
    Add(L"T", kFolder);
    Add(L"T\\data", kFolderLink, L"O\\data");
    Add(L"T\\notes.txt", kFileLink, L"O\\notes.txt");
    Add(L"O\\data", kFolder);
    Add(L"O\\notes.txt", kFile);
    memory.failNextIn = L"S";
    memory.failNextAfter = 4;
    memory.failNextTimes = 1;
    std::vector<wchar_t> from(kPathCapacity, 0), to(kPathCapacity, 0);
    lstrcpynW(from.data(), L"S", kPathCapacity);
    lstrcpynW(to.data(), L"T", kPathCapacity);
    options.recurse = 1;
    int64_t links = 0;
    WalkFolder(from.data(), L"*", to.data(), &links, 0);

    EXPECT_FALSE(Has(L"O\\data\\new.txt"));
    EXPECT_FALSE(SearchedBelow(L"T\\data"));
    EXPECT_FALSE(Called(L"copy T\\notes.txt"));
    EXPECT_TRUE(Has(L"T\\data") && Has(L"T\\notes.txt"));

    // with a complete listing the links make way for a real folder and file
    memory.calls.clear();
    WalkFolder(from.data(), L"*", to.data(), &links, 0);
    EXPECT_EQ(kFolder, memory.nodes[L"T\\data"].attributes);
    EXPECT_TRUE(Has(L"T\\data\\new.txt"));
    EXPECT_TRUE(Called(L"copy T\\notes.txt"));
    EXPECT_EQ(L"", memory.nodes[L"T\\notes.txt"].linkTo);
    EXPECT_FALSE(Has(L"O\\data\\new.txt"));
}

TEST_F(MirrorCleanup, SourceRemovalGoesThroughTheTableAndKeepsWhatFails) {
    options.deleteSource = 1;
    Add(L"S", kFolder);
    Add(L"S\\ro.txt", kFile | kAttributeReadOnly);
    Add(L"S\\locked.txt", kFile | kAttributeReadOnly);
    Add(L"S\\full", kFolder);
    Add(L"S\\full\\x", kFile);
    Add(L"S\\empty", kFolder | kAttributeReadOnly);
    memory.failDeleteOf = L"S\\locked.txt";

    EXPECT_EQ(1, RemoveSourceFile(L"S\\ro.txt"));
    EXPECT_EQ(0, RemoveSourceFile(L"S\\locked.txt"));
    EXPECT_EQ(kFile | kAttributeReadOnly, memory.nodes[L"S\\locked.txt"].attributes) << "left as it was";
    EXPECT_EQ(0, RemoveSourceFolder(L"S\\full"));
    EXPECT_TRUE(Has(L"S\\full\\x"));
    EXPECT_EQ(1, RemoveSourceFolder(L"S\\empty"));
    EXPECT_FALSE(Has(L"S\\empty"));

    options.deleteSource = 0;
    Add(L"S\\kept.txt", kFile);
    EXPECT_EQ(0, RemoveSourceFile(L"S\\kept.txt"));
    EXPECT_TRUE(Has(L"S\\kept.txt"));
}

}  // namespace
