// Which names a mask takes, the sort, and folder listings on a volume in
// memory: each name is found again in any case, and a listing that does not
// hold the whole tree says so.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "directory_walk.h"
#include "folder_listing.h"
#include "memory_file_system.h"

using namespace qtxtest;

namespace {

const std::wstring D = L"\\\\?\\C:\\L";

struct Listing : FolderListing {
    uint32_t files = 0, folders = 0;
    explicit Listing(const std::wstring& path, int recursive = 0, bool onThread = false) {
        void* thread = nullptr;
        BuildListing(this, path.c_str(), L"*", &files, &folders, 1, recursive, nullptr, onThread ? &thread : nullptr);
        if (thread) WaitForSingleObject(thread, INFINITE), CloseHandle(thread);
    }
    ~Listing() { FreeListing(this); }
};

TEST(MatchMask, NamesTakenAndLeft) {
    struct Case {
        const wchar_t *name, *mask;
        int match;
    } cases[] = {{L"Report.TXT", L"*.txt", 1}, {L".txt", L"*.txt", 1}, {L"report.txt.bak", L"*.txt", 0},
                 {L"abc", L"A?C", 1},          {L"ab", L"a?c", 0},     {L"abcabd", L"*abd", 1},
                 {L"aXbXc", L"a*b*c", 1},      {L"xy", L"*x", 0},      {L"ab x", L"ab\0*", 0}};   // an end is no blank
    for (const Case& c : cases) EXPECT_EQ(c.match, MatchMask(c.name, c.mask)) << c.name << " " << c.mask;
}

int CompareInts(const void* a, const void* b) {
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return x < y ? -1 : x > y;
}

TEST(SortTable, ManyEqualKeys) {
    std::vector<int> values(20000);
    uint32_t seed = 7;
    for (int& v : values) v = static_cast<int>((seed = seed * 69069u + 1u) >> 20) % 3;
    std::vector<int> expected = values;
    std::sort(expected.begin(), expected.end());
    SortTable(values.data(), 20000, sizeof(int), CompareInts);
    EXPECT_TRUE(expected == values);
}

TEST(FolderListing, EveryNameIsFoundInOtherCaseAndNoOtherIs) {
    MemoryFileSystem fs;
    fs.Install();
    std::vector<std::wstring> names = {L"Stra\x00DF" L"e", L"\x0391\x03B8\x03AE\x03BD\x03B1", L"\x6587\x4EF6", L"_"};
    for (int i = 0; i < 200; ++i) names.push_back(L"f" + std::to_wstring(i * 7919 % 1000));
    for (size_t i = 0; i < names.size(); ++i)
        i % 3 ? fs.AddFile(D + L"\\" + names[i], "") : fs.AddFolder(D + L"\\" + names[i]);
    Listing listing(D);
    for (const std::wstring& name : names) {
        std::wstring upper = name;
        CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
        ListingEntry* entry = FindListingEntry(&listing, (D + L"\\" + upper).c_str());
        EXPECT_TRUE(entry && name == entry->name);
    }
    EXPECT_EQ(nullptr, FindInListing(&listing, L"STRASSE"));
    EXPECT_EQ(nullptr, FindInListing(&listing, L"f1000"));
}

TEST(FolderListing, IncompleteListingsSaySo) {
    MemoryFileSystem fs;
    fs.Install();
    for (int i = 0; i < 10; ++i) fs.AddFile(D + L"\\n" + std::to_wstring(i), "");
    fs.AddFolder(D + L"\\sub");
    EXPECT_EQ(1, Listing(D, 1).complete);
    EXPECT_EQ(0, Listing(D + L"\\missing").complete);
    Fault fault;
    fault.call = Call::FindFirst;
    fault.path = L"\\SUB";
    fs.faults = {fault};
    EXPECT_EQ(0, Listing(D, 1).complete);   // a sub-folder that cannot be read
}

TEST(FolderListing, RecursiveListingStopsAtTheWalkDepth) {
    MemoryFileSystem fs;
    fs.Install();
    std::wstring deep = D;
    for (int i = 0; i < kMaxWalkDepth + 5; ++i) deep += L"\\d";
    fs.AddFolder(deep);
    Listing listing(D, 1, true);   // on its own thread, as the scan lists a tree
    EXPECT_EQ(0, listing.complete);
    EXPECT_EQ(static_cast<uint32_t>(kMaxWalkDepth) + 1, listing.folders);
}

}  // namespace
