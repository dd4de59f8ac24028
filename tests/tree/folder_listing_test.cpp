#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "directory_walk.h"
#include "folder_listing.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"
#include "tree_file_system.h"
#include "memory_file_system.h"

using namespace qtxtest;

namespace {

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

std::vector<std::wstring> Names(const FolderListing& listing) {
    std::vector<std::wstring> names;
    for (int64_t i = 0; i < listing.count; ++i) names.push_back(listing.entries[i]->name);
    return names;
}

TEST(FolderListing, SortedFoldersFirstWithMaskExcludesAndCounters) {
    TempDir dir;
    WriteBytes(dir / L"b.txt", "12345");
    WriteBytes(dir / L"A.txt", "");
    WriteBytes(dir / L"c.log", "x");
    WriteBytes(dir / L"skip.txt", "x");
    MakeFolder(dir / L"zeta");
    MakeFolder(dir / L"Alpha");
    MakeFolder(dir / L"zeta\\inner");
    WriteBytes(dir / L"zeta\\inner\\deep.txt", "deep");
    WriteBytes(dir / L"zeta\\other.log", "x");
    SetLastWriteTime(dir / L"b.txt", 132000000000000000ull);
    Options saved = options;
    options.excludeMasks[0] = const_cast<wchar_t*>(L"skip*");
    options.excludeMasks[1] = nullptr;

    FolderListing listing;
    uint32_t files = 0, folders = 0;
    BuildListing(&listing, Long(dir.path()).c_str(), L"*.txt", &files, &folders, 1, 1, nullptr, nullptr);
    options = saved;

    EXPECT_EQ((std::vector<std::wstring>{L"Alpha", L"zeta", L"A.txt", L"b.txt"}), Names(listing));
    EXPECT_EQ(1, listing.complete);
    EXPECT_EQ(L'\\', listing.path[wcslen(listing.path) - 1]);
    ListingEntry* b = FindInListing(&listing, L"B.TXT");
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(5, b->size);
    EXPECT_EQ(132000000000000000ull, b->lastWrite);
    EXPECT_STREQ(listing.path, b->folder);
    EXPECT_EQ(nullptr, FindInListing(&listing, L"c.log"));     // not matched by the mask
    EXPECT_EQ(nullptr, FindInListing(&listing, L"skip.txt"));  // excluded
    // the sub-listings: folders are always taken, files by the mask
    ListingEntry* zeta = FindInListing(&listing, L"ZETA");
    ASSERT_NE(nullptr, zeta);
    ASSERT_NE(nullptr, zeta->sub);
    EXPECT_EQ((std::vector<std::wstring>{L"inner"}), Names(*zeta->sub));
    ASSERT_NE(nullptr, zeta->sub->entries[0]->sub);
    EXPECT_EQ((std::vector<std::wstring>{L"deep.txt"}), Names(*zeta->sub->entries[0]->sub));
    EXPECT_EQ(3u, files);    // A.txt, b.txt, deep.txt
    EXPECT_EQ(3u, folders);  // Alpha, zeta, inner
    FreeListing(&listing);
}

TEST(FolderListing, LookupIgnoresCaseOrdinallyAndByLastComponent) {
    TempDir dir;
    WriteBytes(dir / L"Stra\x00DF" L"e.txt", "1");
    WriteBytes(dir / L"\x0391\x03B8\x03AE\x03BD\x03B1.txt", "2");   // Greek
    WriteBytes(dir / L"\x6587\x4EF6.txt", "3");                         // CJK
    MakeFolder(dir / L"Folder");
    for (int i = 0; i < 300; ++i) WriteBytes(dir / (L"f" + std::to_wstring(i)), "");

    FolderListing listing;
    uint32_t files = 0;
    BuildListing(&listing, Long(dir.path()).c_str(), L"*", &files, nullptr, 1, 0, nullptr, nullptr);
    EXPECT_EQ(303u, files);
    EXPECT_NE(nullptr, FindInListing(&listing, L"STRA\x00DF" L"E.TXT"));
    EXPECT_EQ(nullptr, FindInListing(&listing, L"STRASSE.TXT"));
    EXPECT_NE(nullptr, FindInListing(&listing, L"\x03B1\x03B8\x03AE\x03BD\x03B1.TXT"));
    EXPECT_NE(nullptr, FindInListing(&listing, L"\x6587\x4EF6.txt"));
    EXPECT_NE(nullptr, FindInListing(&listing, L"folder"));
    for (int i = 0; i < 300; i += 37) EXPECT_NE(nullptr, FindInListing(&listing, (L"F" + std::to_wstring(i)).c_str()));
    EXPECT_EQ(nullptr, FindInListing(&listing, L"f300"));
    std::wstring target = Long(dir.path()) + L"\\F12";
    ListingEntry* entry = FindListingEntry(&listing, target.c_str());
    ASSERT_NE(nullptr, entry);
    EXPECT_STREQ(L"f12", entry->name);
    EXPECT_NE(nullptr, FindListingEntry(&listing, (Long(dir.path()) + L"\\folder\\").c_str()));
    EXPECT_EQ(nullptr, FindInListing(nullptr, L"f1"));
    FreeListing(&listing);
}

TEST(FolderListing, IncompleteListingsSaySo) {
    MemoryFileSystem fs;
    fs.Install();
    const std::wstring dir = L"\\\\?\\C:\\L";
    for (int i = 0; i < 10; ++i) fs.AddFile(dir + L"\\n" + std::to_wstring(i), "");
    FolderListing listing = {};
    bool built = false;
    auto list = [&](const std::wstring& folder, int recurse) {
        if (built) FreeListing(&listing);
        built = true;
        BuildListing(&listing, folder.c_str(), L"*", nullptr, nullptr, 1, recurse, nullptr, nullptr);
    };
    Fault fault;

    // enumeration that ends with an error other than no-more-files
    fault.call = Call::FindNext;
    fault.nth = 5;
    fault.persistent = true;
    fs.faults = {fault};
    list(dir, 0);
    EXPECT_EQ(0, listing.complete);
    EXPECT_LT(listing.count, 10);
    fs.faults.clear();

    // a folder that cannot be opened
    list(dir + L"\\missing", 0);
    EXPECT_EQ(0, listing.complete);
    EXPECT_EQ(1, listing.unreadable);
    EXPECT_EQ(0, listing.count);

    // a stop request
    run.stopRequested = 1;
    list(dir, 0);
    run.stopRequested = 0;
    EXPECT_EQ(0, listing.complete);

    // a sub-folder that cannot be read makes the whole tree incomplete
    fs.AddFolder(dir + L"\\sub");
    fault = Fault();
    fault.call = Call::FindFirst;
    fault.path = L"\\SUB";
    fs.faults = {fault};
    list(dir, 1);
    EXPECT_EQ(0, listing.complete);
    EXPECT_EQ(11, listing.count);
    fs.faults.clear();

    // an empty folder is complete
    fs.AddFolder(L"C:\\E");
    list(L"\\\\?\\C:\\E", 0);
    EXPECT_EQ(1, listing.complete);
    EXPECT_EQ(0, listing.count);
    FreeListing(&listing);
    EXPECT_EQ(0, CountEntries(L"\\\\?\\C:\\E\\*"));
    EXPECT_EQ(11, CountEntries((dir + L"\\*").c_str()));
}

// Every folder holds one sub-folder, without end.
void* EndlessFirst(const wchar_t*, FoundName* found) {
    *found = FoundName();
    found->attributes = kAttributeDirectory;
    wcscpy(found->name, L"d");
    return found;
}
int EndlessNext(void*, FoundName*) {
    SetLastError(ERROR_NO_MORE_FILES);
    return 0;
}
void EndlessClose(void*) {}

// On its own thread, as the scan lists a tree.
TEST(FolderListing, RecursiveListingStopsAtTheWalkDepth) {
    struct Endless : qtxtest::SystemFileOps {
        void* FindFirst(const wchar_t* pattern, FoundName* found) override { return EndlessFirst(pattern, found); }
        int FindNext(void* search, FoundName* found) override { return EndlessNext(search, found); }
        void FindEnd(void* search) override { EndlessClose(search); }
    } endless;
    fileOps = &endless;
    FolderListing listing;
    uint32_t folders = 0;
    void* thread = nullptr;
    BuildListing(&listing, L"C:\\x", L"*", nullptr, &folders, 1, 1, nullptr, &thread);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    fileOps = RealFileOps();
    EXPECT_NE(nullptr, thread);
    EXPECT_EQ(0, listing.complete);
    // the root and the levels below it down to the limit are listed
    EXPECT_EQ(static_cast<uint32_t>(kMaxWalkDepth) + 1, folders);
    int levels = 0;
    for (FolderListing* level = &listing; level; level = level->count ? level->entries[0]->sub : nullptr) ++levels;
    EXPECT_EQ(kMaxWalkDepth + 1, levels);
    FreeListing(&listing);
}

}  // namespace
