// The scan: size table, and links into place on real folder trees.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "folder_listing.h"
#include "options.h"
#include "run_state.h"
#include "scan.h"
#include "test_support.h"

using namespace qtxtest;
namespace {
std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }
}  // namespace

namespace {

ListingEntry* Entry(const wchar_t* name, int64_t size, uint32_t attributes = 0) {
    ListingEntry* entry = new ListingEntry();
    entry->name = const_cast<wchar_t*>(name);
    entry->folder = L"C:\\";
    entry->size = size;
    entry->attributes = attributes;
    return entry;
}

uint32_t Links(const std::wstring& path) {
    HANDLE file = CreateFileW(Long(path).c_str(), 0, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info = {};
    GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return info.nNumberOfLinks;
}

void Put(const TempDir& root, const std::wstring& relative, const std::string& bytes) {
    std::wstring full = root / relative;
    MakeFolder(full.substr(0, full.find_last_of(L'\\')));
    ASSERT_TRUE(WriteBytes(full, bytes));
}

// Lists both trees as the scan start does and runs the scan with the roots set.
class ScanRun {
public:
    ScanRun(const TempDir& source, const TempDir& target) : savedOptions_(options) {
        std::wstring sourceRoot = Long(source.path()) + L"\\", targetRoot = Long(target.path()) + L"\\";
        lstrcpynW(run.sourceRoot, sourceRoot.c_str(), kPathCapacity);
        run.sourceRootLength = static_cast<int>(sourceRoot.size());
        lstrcpynW(run.targetRoot, targetRoot.c_str(), kPathCapacity);
        run.targetRootLength = static_cast<int>(targetRoot.size());
        run.linksCreated = 0;
        run.parallel = 0;
        run.stopRequested = run.breakRequested = 0;
        options.testSize = 1048576;
    }
    ~ScanRun() {
        options = savedOptions_;
        run.parallel = 0;
    }
    void Scan() {
        FolderListing sourceTree, targetTree;
        uint32_t sourceFiles = 0, targetFiles = 0;
        BuildListing(&targetTree, run.targetRoot, L"*", &targetFiles, nullptr, 1, 1, nullptr, nullptr);
        BuildListing(&sourceTree, run.sourceRoot, L"*", &sourceFiles, nullptr, 1, 1, nullptr, nullptr);
        ScanTarget(&sourceTree, &targetTree);
        FreeListing(&sourceTree);
        FreeListing(&targetTree);
    }

private:
    Options savedOptions_;
};

}  // namespace

TEST(ScanTable, SortsFilesBySizeAndFindsRanges) {
    FolderListing sub = {};
    std::vector<ListingEntry*> subEntries = {Entry(L"s1", 5), Entry(L"s2", 700)};
    sub.entries = subEntries.data();
    sub.count = 2;
    FolderListing root = {};
    ListingEntry* folder = Entry(L"sub", 0, 0x10);
    folder->sub = &sub;
    std::vector<ListingEntry*> rootEntries = {folder, Entry(L"lone", 0, 0x10), Entry(L"a", 700), Entry(L"b", 3),
                                              Entry(L"link", 700, 0x400), Entry(L"c", 700)};
    root.entries = rootEntries.data();
    root.count = static_cast<int64_t>(rootEntries.size());

    FileTable table;
    ASSERT_TRUE(BuildFileTable(&table, &root, 6));
    ASSERT_EQ(5, table.count);   // the reparse point and the folders are not taken
    for (int64_t i = 1; i < table.count; ++i) EXPECT_LE(table.entries[i - 1]->size, table.entries[i]->size);
    int64_t first = -1;
    EXPECT_EQ(3, FindSizeRange(&table, 700, &first));
    EXPECT_EQ(2, first);
    EXPECT_EQ(1, FindSizeRange(&table, 3, &first));
    EXPECT_EQ(0, first);
    EXPECT_EQ(0, FindSizeRange(&table, 4, &first));
    EXPECT_EQ(0, FindSizeRange(&table, 9999, &first));
    FreeFileTable(&table);

    // a count below the files found bounds the table
    ASSERT_TRUE(BuildFileTable(&table, &root, 2));
    EXPECT_EQ(2, table.count);
    FreeFileTable(&table);
    FileTable empty = {0, nullptr};
    EXPECT_EQ(0, FindSizeRange(&empty, 5, &first));
    for (ListingEntry* entry : subEntries) delete entry;
    for (ListingEntry* entry : rootEntries) delete entry;
}

TEST(ScanTable, FingerprintsThatCannotBeComputedNeverMatch) {
    ListingEntry* source = Entry(L"qtx-missing-source.bin", 5000);
    ListingEntry* target = Entry(L"qtx-missing-target.bin", 5000);
    EXPECT_EQ(0, FilesIdentical(source, target));
    EXPECT_EQ(0, FilesIdentical(source, target));   // nor once a failure was remembered
    delete source;
    delete target;
}

TEST(ScanTarget, LinksRenamedAndMovedFilesIntoPlace) {
    for (int parallel = 0; parallel < 2; ++parallel) {
        SCOPED_TRACE(parallel ? "fingerprints on threads" : "fingerprints in turn");
        TempDir source, target;
        std::string a = PatternBytes(20000, 1), b = PatternBytes(700, 2), tiny = PatternBytes(400, 3);
        Put(source, L"new\\renamed.bin", a);
        Put(source, L"moved\\deep\\b.bin", b);
        Put(source, L"tiny-moved.bin", tiny);
        Put(target, L"old\\a.bin", a);
        Put(target, L"b.bin", b);
        Put(target, L"tiny.bin", tiny);
        ScanRun scan(source, target);
        run.parallel = parallel;
        scan.Scan();
        EXPECT_EQ(2, run.linksCreated);
        EXPECT_TRUE(a == ReadBytesOr(target / L"new\\renamed.bin")) << "bytes differ";
        EXPECT_EQ(2u, Links(target / L"old\\a.bin"));
        EXPECT_TRUE(b == ReadBytesOr(target / L"moved\\deep\\b.bin")) << "bytes differ";
        EXPECT_EQ(2u, Links(target / L"b.bin"));
        EXPECT_FALSE(Exists(target / L"tiny-moved.bin"));   // below 512 bytes: left to the walk
    }
}

TEST(ScanTarget, ReusesOnlySurplusSingleNameTargetsOnce) {
    TempDir source, target;
    std::string a = PatternBytes(5000, 1), c = PatternBytes(6000, 2), d = PatternBytes(7000, 3);
    std::string f = PatternBytes(8000, 4), g = PatternBytes(8000, 5);
    // a target file whose own source still exists is not surplus
    Put(source, L"keep.bin", a);
    Put(source, L"dup.bin", a);
    Put(target, L"keep.bin", a);
    // a target file with a second name
    Put(source, L"c.bin", c);
    Put(target, L"multi.bin", c);
    ASSERT_TRUE(CreateHardLinkW(Long(target / L"multi2.bin").c_str(), Long(target / L"multi.bin").c_str(), nullptr));
    // one surplus target for two new identical sources
    Put(source, L"x1.bin", d);
    Put(source, L"x2.bin", d);
    Put(target, L"gone.bin", d);
    // the expected place already holds a file
    Put(source, L"moved.bin", f);
    Put(target, L"old-f.bin", f);
    Put(target, L"moved.bin", g);

    ScanRun scan(source, target);
    scan.Scan();
    EXPECT_FALSE(Exists(target / L"dup.bin"));
    EXPECT_EQ(1u, Links(target / L"keep.bin"));
    EXPECT_FALSE(Exists(target / L"c.bin"));
    EXPECT_EQ(2u, Links(target / L"multi.bin"));
    EXPECT_EQ(1, Exists(target / L"x1.bin") + Exists(target / L"x2.bin"));
    EXPECT_EQ(2u, Links(target / L"gone.bin"));
    EXPECT_TRUE(g == ReadBytesOr(target / L"moved.bin")) << "bytes differ";
    EXPECT_EQ(1u, Links(target / L"old-f.bin"));
    EXPECT_EQ(1, run.linksCreated);
}

TEST(ScanTarget, EmptyTreesAndStopLinkNothing) {
    TempDir source, target;
    Put(source, L"a.bin", PatternBytes(5000, 1));
    {
        ScanRun scan(source, target);
        scan.Scan();
        EXPECT_EQ(0, run.linksCreated);
    }
    Put(target, L"old.bin", PatternBytes(5000, 1));
    ScanRun scan(source, target);
    run.breakRequested = 1;
    scan.Scan();
    run.breakRequested = 0;
    EXPECT_EQ(0, run.linksCreated);
    EXPECT_FALSE(Exists(target / L"a.bin"));
}
