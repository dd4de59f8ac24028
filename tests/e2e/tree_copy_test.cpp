// The real qtx.exe copying folder trees: contents, times, attributes, masks,
// excludes, odd names, long paths and existing targets.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

struct Item {
    std::wstring path;   // relative
    std::string bytes;
    uint32_t attributes = 0;   // extra attributes to set on the source
};

// a built source was last accessed half an hour after its last write
constexpr uint64_t kAccessAfterWrite = 10000000ull * 1800;

void Build(const TempDir& root, const std::vector<Item>& items) {
    uint64_t time = 131000000000000000ull;
    for (const Item& item : items) {
        std::wstring full = root / item.path;
        MakeFolder(full.substr(0, full.find_last_of(L'\\')));
        ASSERT_TRUE(WriteBytes(full, item.bytes)) << Narrow(item.path);
        HANDLE h = CreateFileW((L"\\\\?\\" + full).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr);
        time += 10000000ull * 3600;
        uint64_t access = time + kAccessAfterWrite;
        FILETIME written = {static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
        FILETIME accessed = {static_cast<DWORD>(access), static_cast<DWORD>(access >> 32)};
        ASSERT_TRUE(SetFileTime(h, nullptr, &accessed, &written)) << Narrow(item.path);
        CloseHandle(h);
        if (item.attributes) SetFileAttributesW((L"\\\\?\\" + full).c_str(), item.attributes);
    }
}

// Same bytes, creation, last-access and last-write time and read-only/hidden/system bits.
void ExpectCopied(const std::wstring& sourceRoot, const std::wstring& targetRoot, const std::vector<Item>& items) {
    for (const Item& item : items) {
        std::wstring source = sourceRoot + L"\\" + item.path, target = targetRoot + L"\\" + item.path;
        SCOPED_TRACE(Narrow(item.path));
        // the copy's own read may have touched the source's last access since it was built
        std::vector<uint64_t> times = FileTimes(source);
        times[1] = times[2] + kAccessAfterWrite;
        EXPECT_EQ(times, FileTimes(target));   // before a read here could touch the target's
        EXPECT_EQ(item.bytes, ReadBytesOr(target));
        EXPECT_EQ(Attributes(source) & 0x7, Attributes(target) & 0x7);
    }
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(TreeEndToEnd, NestedTreeWithOddNamesIsCopiedWhole) {
    TempDir source, target;
    std::vector<Item> items = {
        {L"top.bin", PatternBytes(300000, 1)},
        {L"name with spaces.txt", "spaces"},
        {L"sub\\\x0391\x03B8\x03AE\x03BD\x03B1 \x03B1\x03C1\x03C7\x03B5\x03AF\x03BF.txt", "greek"},
        {L"sub\\deeper\\\x6587\x4EF6\x5939.dat", PatternBytes(5000, 2)},
        {L"sub\\deeper\\empty.txt", ""},
        {L"sub\\read only.txt", "ro", FILE_ATTRIBUTE_READONLY},
        {std::wstring(90, L'n') + L"1\\" + std::wstring(90, L'n') + L"2\\" + std::wstring(90, L'n') + L"3\\long.bin",
         PatternBytes(70000, 3)},   // beyond 260 characters
    };
    Build(source, items);
    MakeFolder(source / L"empty folder");
    MakeFolder(source / L"sub\\empty inner");
    ASSERT_TRUE(SetLastWriteTime(source / L"sub", 130000000000000000ull));
    ASSERT_TRUE(SetLastWriteTime(source / L"sub\\deeper", 130100000000000000ull));

    RunResult r = RunQtxArgs({source.path() + L"\\", target.path(), L"-s"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    ExpectCopied(source.path(), target.path(), items);
    // a new folder keeps its source's time although files were written into it
    EXPECT_EQ(130000000000000000ull, LastWriteTime(target / L"sub"));
    EXPECT_EQ(130100000000000000ull, LastWriteTime(target / L"sub\\deeper"));
    EXPECT_TRUE(Attributes(target / L"empty folder") & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(Attributes(target / L"sub\\empty inner") & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(Shows(r.out, "processing folder: sub\n")) << r.out;
    EXPECT_TRUE(Shows(r.out, "processing folder: sub\\deeper\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "7 files")) << r.out;
    EXPECT_TRUE(ReadableLines(r.out)) << r.out;
    EXPECT_EQ("", r.err);
}

TEST(TreeEndToEnd, ExistingTreeWithOtherCaseAndNewFiles) {
    TempDir source, target;
    std::vector<Item> items = {{L"Docs\\new.txt", "new"}, {L"Docs\\Inner\\deep.txt", "deep"}};
    Build(source, items);
    // the target has the folders in other case and a file the source lacks
    MakeFolder(target / L"DOCS\\INNER");
    WriteBytes(target / L"DOCS\\only-in-target.txt", "stays");

    RunResult r = RunQtxArgs({source.path() + L"\\", target.path(), L"-s"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    ExpectCopied(source.path(), target.path(), items);
    EXPECT_EQ("stays", ReadBytesOr(target / L"DOCS\\only-in-target.txt"));
    // no second folder of the other case next to the existing one
    auto tree = Tree(target.path());
    EXPECT_TRUE(tree.count(L"DOCS\\INNER\\deep.txt") && tree.count(L"DOCS\\new.txt") && !tree.count(L"Docs"));
    EXPECT_EQ("", r.err);
}

TEST(TreeEndToEnd, ExcludeMasksAndMaskSources) {
    TempDir source;
    std::vector<Item> items = {{L"keep.txt", "k"}, {L"drop.tmp", "d"}, {L"other.log", "o"},
                               {L"cache\\c.txt", "c"}, {L"sub\\s.txt", "s"}, {L"sub\\s.log", "l"}};
    Build(source, items);
    {
        TempDir target;
        RunResult r = RunQtxArgs({source.path() + L"\\", target.path(), L"-s", L"-e:*.tmp", L"-e:CACHE"});
        EXPECT_EQ(0, r.exitCode) << r.out << r.err;
        EXPECT_EQ("k", ReadBytesOr(target / L"keep.txt"));
        EXPECT_EQ("l", ReadBytesOr(target / L"sub\\s.log"));
        EXPECT_FALSE(Exists(target / L"drop.tmp"));
        EXPECT_FALSE(Exists(target / L"cache"));
        EXPECT_TRUE(Shows(r.out, "\ndrop.tmp\n skipped by exclude list\n")) << r.out;
        EXPECT_TRUE(Shows(r.out, "\ncache\n skipped by exclude list\n")) << r.out;
    }
    {
        // a mask source without -s: matching files of the top folder only
        TempDir target;
        RunResult r = RunQtxArgs({source / L"*.txt", target.path()});
        EXPECT_EQ(0, r.exitCode) << r.out << r.err;
        EXPECT_EQ("k", ReadBytesOr(target / L"keep.txt"));
        EXPECT_FALSE(Exists(target / L"other.log"));
        EXPECT_FALSE(Exists(target / L"sub"));
        EXPECT_EQ(0u, Count(r.out, "processing folder"));
    }
    {
        // with -s the mask picks files in every folder, and every folder is made
        TempDir target;
        RunResult r = RunQtxArgs({source / L"*.txt", target.path(), L"-s", L"-q"});
        EXPECT_EQ(0, r.exitCode) << r.out << r.err;
        EXPECT_EQ("s", ReadBytesOr(target / L"sub\\s.txt"));
        EXPECT_EQ("c", ReadBytesOr(target / L"cache\\c.txt"));
        EXPECT_FALSE(Exists(target / L"sub\\s.log"));
        EXPECT_FALSE(Exists(target / L"other.log"));
        EXPECT_EQ(0u, Count(r.out, "processing folder"));   // -q
    }
}

TEST(TreeEndToEnd, FoldersOnlyTreeHasNothingToDo) {
    TempDir source, target;
    MakeFolder(source / L"only folders\\inside");
    RunResult r = RunQtxArgs({source.path() + L"\\", target.path(), L"-s"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_TRUE(Shows(r.out, "there was nothing to do\n")) << r.out;
    EXPECT_TRUE(Attributes(target / L"only folders\\inside") & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace
