// The real qtx.exe copying folder trees: contents, times, attributes, odd and
// long names, existing targets, masks, and runs that could not do all they were asked.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

TEST(TreeEndToEnd, NestedTreeWithOddNamesIsCopiedWhole) {
    TempDir source, target;
    const std::wstring names[] = {
        L"top.bin", L"name with spaces.txt", L"sub\\\x0391\x03B8\x03AE\x03BD\x03B1 \x03B1\x03C1\x03C7.txt",
        L"sub\\deeper\\\x6587\x4EF6\x5939.dat", L"sub\\deeper\\empty.txt", L"sub\\read only.txt",
        std::wstring(90, L'n') + L"1\\" + std::wstring(90, L'n') + L"2\\" + std::wstring(90, L'n') + L"3\\long.bin"};
    for (size_t i = 0; i < 7; ++i) Put(source, names[i], PatternBytes(i * 50000, i), kBase + i * kDay);
    SetFileAttributesW((source / L"sub\\read only.txt").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    MakeFolder(source / L"empty folder");
    MakeFolder(source / L"sub\\empty inner");
    ASSERT_TRUE(SetLastWriteTime(source / L"sub\\deeper", kBase - kDay));
    ASSERT_TRUE(SetLastWriteTime(source / L"sub", kBase - 2 * kDay));

    RunResult r = RunQtxArgs({source.path() + L"\\", target.path(), L"-s"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    TreeMap copied = Tree(target.path());
    ExpectSameTree(Tree(source.path()), copied);
    for (const std::wstring& name : names) {
        std::vector<uint64_t> times = FileTimes(source / name);
        EXPECT_EQ(times[0], FileTimes(target / name)[0]) << Narrow(name);
        EXPECT_EQ(Attributes(source / name) & 7, copied[name].attributes & 7) << Narrow(name);
    }
    // a new folder keeps its source's time although files were written into it
    EXPECT_EQ(kBase - 2 * kDay, copied[L"sub"].time);
    EXPECT_EQ(kBase - kDay, copied[L"sub\\deeper"].time);
    EXPECT_TRUE(ReadableLines(r.out)) << r.out;
    SetFileAttributesW((target / L"sub\\read only.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW((source / L"sub\\read only.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(TreeEndToEnd, ExistingTreeMasksAndExcludes) {
    TempDir source, target;
    for (const wchar_t* name : {L"Docs\\new.txt", L"Docs\\Inner\\deep.txt", L"Docs\\drop.tmp", L"other.log",
                                L"cache\\c.txt", L"sub\\s.log"})
        Put(source, name, Narrow(name));
    // the target has the folders in other case and a file the source lacks
    MakeFolder(target / L"DOCS\\INNER");
    Put(target, L"DOCS\\only-in-target.txt", "stays");
    RunResult r = RunQtxArgs({source.path() + L"\\", target.path(), L"-s", L"-e:*.tmp", L"-e:CACHE"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    TreeMap copied = Tree(target.path());
    EXPECT_EQ("stays", copied[L"DOCS\\only-in-target.txt"].bytes);
    EXPECT_EQ("Docs\\Inner\\deep.txt", copied[L"DOCS\\INNER\\deep.txt"].bytes);
    EXPECT_EQ("sub\\s.log", copied[L"sub\\s.log"].bytes);
    EXPECT_EQ(9u, copied.size()) << "no second folder of the other case, nothing excluded";
    EXPECT_TRUE(Shows(r.out, "\ncache\n skipped by exclude list\n")) << r.out;

    // a mask source takes matching files of the top folder only, and with -s of every folder
    TempDir flat, deep;
    Put(source, L"top.txt", "top");
    EXPECT_EQ(0, RunQtxArgs({source / L"*.txt", flat.path()}).exitCode);
    EXPECT_EQ(2u, Tree(flat.path()).size());
    EXPECT_EQ(0, RunQtxArgs({source / L"*.txt", deep.path(), L"-s", L"-q"}).exitCode);
    EXPECT_EQ("cache\\c.txt", ReadBytesOr(deep / L"cache\\c.txt"));
    EXPECT_FALSE(Exists(deep / L"sub\\s.log"));
    EXPECT_FALSE(Exists(deep / L"other.log"));

    // only folders: nothing to do is no failure
    TempDir bare, bareTarget;
    MakeFolder(bare / L"only folders\\inside");
    r = RunQtxArgs({bare.path() + L"\\", bareTarget.path(), L"-s"});
    EXPECT_EQ(0, r.exitCode);
    EXPECT_TRUE(Shows(r.out, "there was nothing to do\n")) << r.out;
}

// Each names what failed with the error's name, and none of them ends with 0.
TEST(TreeEndToEnd, EveryKindOfFailureEndsWithThirteen) {
    TempDir dir;
    Put(dir, L"file.bin", PatternBytes(5000));
    Put(dir, L"src\\a.txt", "alpha");
    Put(dir, L"src\\sub\\b.txt", "beta");
    Put(dir, L"blocked\\sub", "a file");
    MakeFolder(dir / L"out\\file.bin\\in");
    const struct {
        std::wstring tail;
        const char* line;
    } cases[] = {
        {L"src\\ blocked -s", "a file stands where the folder goes -> skip folder sub"},
        {L"file.bin out -o", "already exists as folder"},
        // Wine's volumes have no named streams
        {L"file.bin out\\x.bin:extra", "target drive does not support streams -> abort"},
        {L"file.bin \\\\.\\" + dir / L"out", "target drive does not support streams -> abort"},
        // Wine cannot read security descriptors or streams as backup streams (NOT_SUPPORTED)
        {L"src\\ out -s -sec", "Error NOT_SUPPORTED copying security of "},
        {L"src\\ out -s -ads", "Error NOT_SUPPORTED copying streams of "},
        {L"file.bin missing\\link.bin -h", "creating hardlink "},
    };
    for (const auto& c : cases) {
        RunResult r = RunQtx(c.tail, dir.path());
        EXPECT_EQ(r.exitCode, 13) << Narrow(c.tail) << "\n" << r.out << r.err;
        EXPECT_TRUE(Has(r.out + r.err, c.line)) << Narrow(c.tail) << "\n" << r.out << r.err;
    }
    EXPECT_EQ(ReadBytesOr(dir / L"blocked\\sub"), "a file");
    EXPECT_EQ(ReadBytesOr(dir / L"out\\a.txt"), "alpha") << "the data is copied even when its security is not";
}

}  // namespace
