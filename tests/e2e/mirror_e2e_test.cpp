// The real qtx.exe with -mir and -ds: a mirrored target ends up equal to the
// source, and a source is removed only where its copy is in place.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

const uint64_t kDay = 864000000000ull;
const uint64_t kBase = 131000000000000000ull;

void ExpectSameTree(const std::map<std::wstring, Entry>& source, const std::map<std::wstring, Entry>& target) {
    for (const auto& item : source) {
        SCOPED_TRACE(Narrow(item.first));
        auto found = target.find(item.first);
        ASSERT_NE(found, target.end()) << "missing in the target";
        EXPECT_EQ(item.second.folder, found->second.folder);
        EXPECT_EQ(item.second.bytes, found->second.bytes);
        if (!item.second.folder) {
            EXPECT_EQ(item.second.time, found->second.time);
        }
    }
    for (const auto& item : target) EXPECT_EQ(1u, source.count(item.first)) << "surplus " << Narrow(item.first);
}

TEST(MirrorEndToEnd, MirrorOfAChangedTreeEqualsTheSourceAndLeavesExcludedNames) {
    TempDir source, target;
    Put(source, L"keep.txt", "keep", kBase);
    Put(source, L"change.txt", "before", kBase);
    Put(source, L"rename me.txt", "renamed content", kBase);
    Put(source, L"remove.txt", "remove", kBase);
    Put(source, L"sub\\big.bin", PatternBytes(300000, 3), kBase);
    Put(source, L"sub\\gone\\x.txt", "x", kBase);
    Put(source, L"sub\\gone\\deeper\\y.txt", "y", kBase);
    MakeFolder(source / L"empty");
    RunResult first = RunQtxArgs({source.path() + L"\\", target.path(), L"-mir"});
    ASSERT_EQ(0, first.exitCode) << first.out << first.err;
    ExpectSameTree(Tree(source.path()), Tree(target.path()));

    // added, removed, renamed and changed files; a removed and an added folder
    Put(source, L"change.txt", "after, and longer", kBase + kDay);
    Put(source, L"keep.txt", "same time, other size", kBase);
    Put(source, L"sub\\big.bin", PatternBytes(200000, 4), kBase + kDay);
    ASSERT_TRUE(MoveFileW((source / L"rename me.txt").c_str(), (source / L"renamed.txt").c_str()));
    ASSERT_TRUE(DeleteFileW((source / L"remove.txt").c_str()));
    RemoveTree(source / L"sub\\gone");
    Put(source, L"new.txt", "new", kBase + 2 * kDay);
    Put(source, L"sub\\added\\z.txt", "z", kBase + 2 * kDay);
    // things only the target has, one of them under an exclude mask
    Put(target, L"junk.txt", "junk", kBase);
    Put(target, L"junk folder\\inner\\j.txt", "j", kBase);
    Put(target, L"sub\\note.tmp", "excluded", kBase);
    SetFileAttributesW((target / L"junk folder\\inner\\j.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    RunResult second = RunQtxArgs({source.path() + L"\\", target.path(), L"-mir", L"-e:*.tmp"});
    EXPECT_EQ(0, second.exitCode) << second.out << second.err;
    std::map<std::wstring, Entry> mirrored = Tree(target.path());
    EXPECT_EQ("excluded", mirrored[L"sub\\note.tmp"].bytes) << second.out;
    mirrored.erase(L"sub\\note.tmp");
    ExpectSameTree(Tree(source.path()), mirrored);
    EXPECT_NE(std::string::npos, second.out.find("delete file " + Narrow(target / L"junk.txt"))) << second.out;
    EXPECT_NE(std::string::npos, second.out.find("delete folder " + Narrow(target / L"sub\\gone"))) << second.out;
}

TEST(MirrorEndToEnd, MaskSourceAndReadOnlySurplus) {
    TempDir source, target;
    Put(source, L"a.txt", "a", kBase);
    Put(source, L"sub\\b.txt", "b", kBase);
    Put(source, L"other.log", "not matched", kBase);
    Put(target, L"stale.log", "stale", kBase);
    Put(target, L"read-only.txt", "ro", kBase);
    SetFileAttributesW((target / L"read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(target, L"sub\\stale.txt", "stale", kBase);
    Put(target, L"stale folder\\c.txt", "c", kBase);

    RunResult r = RunQtxArgs({source / L"*.txt", target.path(), L"-mir"});
    EXPECT_EQ("a", ReadBytesOr(target / L"a.txt")) << r.out << r.err;
    EXPECT_EQ("b", ReadBytesOr(target / L"sub\\b.txt"));
    EXPECT_FALSE(Exists(target / L"other.log"));
    EXPECT_FALSE(Exists(target / L"stale.log")) << "files the mask does not take are surplus";
    EXPECT_FALSE(Exists(target / L"sub\\stale.txt"));
    EXPECT_FALSE(Exists(target / L"stale folder"));
    // a read-only surplus file directly in a walked folder is not forced
    EXPECT_EQ("ro", ReadBytesOr(target / L"read-only.txt"));
    EXPECT_NE(std::string::npos, r.out.find("read-only.txt\r\n error ACCESS_DENIED")) << r.out;
    SetFileAttributesW((target / L"read-only.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(MirrorEndToEnd, TypeChangesAreBroughtInLine) {
    TempDir source, target;
    Put(source, L"data\\now folder\\in.txt", "in", kBase);
    Put(source, L"data\\now file", "file", kBase);
    Put(target, L"data\\now folder", "was a file", kBase);
    Put(target, L"data\\now file\\old.txt", "old", kBase);
    RunResult r = RunQtxArgs({source / L"data", target.path(), L"-mir"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    ExpectSameTree(Tree(source / L"data"), Tree(target / L"data"));
}

// Folder times survive what the walk does inside them: files overwritten with
// -o, and a source emptied with -ds while it is walked.
TEST(DeleteSourceEndToEnd, TargetFoldersKeepTheirSourceFolderTimes) {
    TempDir source, target;
    Put(source, L"data\\a.txt", "a", kBase);
    Put(source, L"data\\sub\\b.txt", "b", kBase);
    auto stampFolders = [&](const TempDir& root, uint64_t time) {
        ASSERT_TRUE(SetLastWriteTime(root / L"data\\sub", time));
        ASSERT_TRUE(SetLastWriteTime(root / L"data", time));
    };
    stampFolders(source, kBase - kDay);
    ASSERT_EQ(0, RunQtxArgs({source / L"data", target.path()}).exitCode);
    stampFolders(target, kBase + kDay);
    RunResult over = RunQtxArgs({source / L"data", target.path(), L"-o"});
    EXPECT_EQ(kBase - kDay, LastWriteTime(target / L"data\\sub")) << over.out;
    EXPECT_EQ(kBase - kDay, LastWriteTime(target / L"data"));

    TempDir moved;
    RunResult r = RunQtxArgs({source / L"data", moved.path(), L"-ds"});
    EXPECT_FALSE(Exists(source / L"data")) << r.out << r.err;
    EXPECT_EQ("b", ReadBytesOr(moved / L"data\\sub\\b.txt"));
    EXPECT_EQ(kBase - kDay, LastWriteTime(moved / L"data\\sub")) << r.out;
    EXPECT_EQ(kBase - kDay, LastWriteTime(moved / L"data"));
}

TEST(DeleteSourceEndToEnd, OnlyCopiedFilesAndEmptiedFoldersLeaveTheSource) {
    TempDir source, target;
    Put(source, L"data\\a.txt", "a", kBase);
    Put(source, L"data\\sub\\b.bin", PatternBytes(150000, 5), kBase);
    Put(source, L"data\\sub\\inner\\c.txt", "c", kBase);
    Put(source, L"data\\held\\locked.txt", "locked", kBase);
    Put(source, L"data\\excluded\\x.tmp", "x", kBase);
    Put(source, L"data\\skipped\\exists.txt", "source", kBase);
    Put(target, L"data\\skipped\\exists.txt", "target", kBase + kDay);
    Put(target, L"data\\blocked", "a file where a folder goes", kBase);
    MakeFolder(source / L"data\\blocked");
    MakeFolder(source / L"data\\empty");
    HANDLE lock = CreateFileW((source / L"data\\held\\locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, lock);
    RunResult r = RunQtxArgs({source / L"data", target.path(), L"-ds", L"-v", L"-e:*.tmp"});
    CloseHandle(lock);

    // copied and verified: gone from the source, in place in the target
    EXPECT_EQ("a", ReadBytesOr(target / L"data\\a.txt")) << r.out << r.err;
    EXPECT_EQ(PatternBytes(150000, 5), ReadBytesOr(target / L"data\\sub\\b.bin"));
    EXPECT_EQ("c", ReadBytesOr(target / L"data\\sub\\inner\\c.txt"));
    EXPECT_FALSE(Exists(source / L"data\\a.txt"));
    EXPECT_FALSE(Exists(source / L"data\\sub")) << "emptied folders go with their files";
    EXPECT_FALSE(Exists(source / L"data\\empty"));
    EXPECT_TRUE(Attributes(target / L"data\\empty") & FILE_ATTRIBUTE_DIRECTORY);
    // not copied: kept, and so are the folders holding them
    EXPECT_EQ("locked", ReadBytesOr(source / L"data\\held\\locked.txt"));
    EXPECT_NE("locked", ReadBytesOr(target / L"data\\held\\locked.txt"));
    EXPECT_NE(std::string::npos, (r.out + r.err).find("SHARING_VIOLATION")) << r.out << r.err;
    EXPECT_EQ("x", ReadBytesOr(source / L"data\\excluded\\x.tmp"));
    EXPECT_EQ("source", ReadBytesOr(source / L"data\\skipped\\exists.txt"));
    EXPECT_EQ("target", ReadBytesOr(target / L"data\\skipped\\exists.txt"));
    // an empty folder whose target folder could not be made stays
    EXPECT_TRUE(Attributes(source / L"data\\blocked") & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ("a file where a folder goes", ReadBytesOr(target / L"data\\blocked"));
    EXPECT_TRUE(Exists(source / L"data"));
    EXPECT_EQ(std::string::npos, r.out.find("deleting folder")) << r.out;
}

TEST(DeleteSourceEndToEnd, FullyCopiedFolderSourceIsRemovedWhole) {
    TempDir source, target;
    Put(source, L"data\\a.txt", "a", kBase);
    Put(source, L"data\\read-only.txt", "ro", kBase);
    SetFileAttributesW((source / L"data\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(source, L"data\\sub\\b.txt", "b", kBase);
    RunResult r = RunQtxArgs({source / L"data", target.path(), L"-ds"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_FALSE(Exists(source / L"data")) << r.out;
    EXPECT_EQ("ro", ReadBytesOr(target / L"data\\read-only.txt"));
    EXPECT_EQ("b", ReadBytesOr(target / L"data\\sub\\b.txt"));
    EXPECT_NE(std::string::npos, r.out.find(" Folder deleted")) << r.out;
    SetFileAttributesW((target / L"data\\read-only.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
