// The real qtx.exe with -mir, -dry, -maxdel and -ds: a mirrored target ends up
// equal to the source, a dry run changes nothing and announces exactly what the
// real run does, and a source is removed only where its copy is in place.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <sstream>
#include <string>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

// The actions a dry run announces that change the target, "action: path".
std::set<std::string> Announced(const std::string& out) {
    std::set<std::string> actions;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const char* action : {"copy: ", "overwrite: ", "delete file: ", "delete folder: ", "create folder: "})
            if (line.rfind(action, 0) == 0) actions.insert(line);
    }
    return actions;
}

// The same actions read from what a real run changed under root.
std::set<std::string> Performed(const std::wstring& root, const TreeMap& before, const TreeMap& after) {
    std::set<std::string> actions;
    auto add = [&](const char* action, const std::wstring& path) { actions.insert(action + Narrow(root + L"\\" + path)); };
    for (const auto& [path, item] : before) {
        auto now = after.find(path);
        if (now == after.end() || now->second.folder != item.folder)
            add(item.folder ? "delete folder: " : "delete file: ", path);
        else if (!item.folder && !(now->second.bytes == item.bytes && now->second.time == item.time))
            add("overwrite: ", path);
    }
    for (const auto& [path, item] : after) {
        auto was = before.find(path);
        if (was == before.end() || was->second.folder != item.folder) add(item.folder ? "create folder: " : "copy: ", path);
    }
    return actions;
}

TEST(MirrorEndToEnd, DryRunsChangeNothingAndAnnounceWhatTheMirrorThenDoes) {
    TempDir source, target;
    for (const wchar_t* name : {L"keep.txt", L"same time.txt", L"change.txt", L"remove.txt", L"sub\\gone\\x.txt",
                                L"sub\\gone\\deeper\\y.txt", L"now folder", L"now file\\old.txt"})
        Put(source, std::wstring(L"data\\") + name, Narrow(name));
    Put(source, L"data\\rename me.bin", PatternBytes(5000, 1));
    MakeFolder(source / L"data\\empty");
    ASSERT_EQ(0, RunQtxArgs({source / L"data", target.path(), L"-mir"}).exitCode);
    // added, removed, renamed and changed files; removed, added and retyped folders
    Put(source, L"data\\change.txt", "after, and longer", kBase + kDay);
    Put(source, L"data\\same time.txt", "same time, other size");
    ASSERT_TRUE(MoveFileW((source / L"data\\rename me.bin").c_str(), (source / L"data\\renamed.bin").c_str()));
    ASSERT_TRUE(DeleteFileW((source / L"data\\remove.txt").c_str()));
    RemoveTree(source / L"data\\sub\\gone");
    Put(source, L"data\\sub\\added\\z.txt", "z");
    ASSERT_TRUE(DeleteFileW((source / L"data\\now folder").c_str()));
    Put(source, L"data\\now folder\\in.txt", "in");
    RemoveTree(source / L"data\\now file");
    Put(source, L"data\\now file", "a file now");
    // things only the target has, one of them under an exclude mask
    Put(target, L"data\\junk folder\\inner\\j.txt", "j");
    SetFileAttributesW((target / L"data\\junk folder\\inner\\j.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(target, L"data\\sub\\note.tmp", "excluded");
    SetFileAttributesW((target / L"data\\keep.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    TreeMap sourceBefore = Tree(source.path()), before = Tree(target.path());
    RunResult dry = RunQtxArgs({source / L"data", target.path(), L"-mir", L"-dry", L"-e:*.tmp"});
    EXPECT_TRUE(dry.exitCode == 0 && Has(dry.out, "skip (not older): " + Narrow(target / L"data\\keep.txt"))) << dry.out;
    EXPECT_TRUE(sourceBefore == Tree(source.path()) && before == Tree(target.path())) << dry.out;

    RunResult r = RunQtxArgs({source / L"data", target.path(), L"-mir", L"-e:*.tmp"});
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_EQ(Performed(target.path(), before, Tree(target.path())), Announced(dry.out)) << dry.out << r.out;
    EXPECT_EQ(20u, Announced(dry.out).size()) << dry.out;
    EXPECT_EQ("excluded", ReadBytesOr(target / L"data\\sub\\note.tmp"));
    // taking the excluded file away gives its folder a time of its own
    ASSERT_TRUE(DeleteFileW((target / L"data\\sub\\note.tmp").c_str()));
    ExpectSameTree(Tree(source / L"data"), Tree(target / L"data"), false);
    // folders the mirror writes into, as one that gains only an empty folder, take their source's times
    MakeFolder(source / L"data\\sub\\added\\empty");
    EXPECT_EQ(0, RunQtxArgs({source / L"data", target.path(), L"-mir"}).exitCode);
    ExpectSameTree(Tree(source / L"data"), Tree(target / L"data"));
}

TEST(MirrorEndToEnd, TheDeletionCapKeepsWhatLiesBeyondIt) {
    TempDir source, target, moved;
    Put(source, L"a.txt", "a");
    for (wchar_t c = L'1'; c <= L'5'; ++c) Put(target, std::wstring(L"surplus") + c + L".txt", "s");
    EXPECT_EQ(13, RunQtxArgs({source.path() + L"\\", target.path(), L"-mir", L"-maxdel:2"}).exitCode);
    EXPECT_EQ(5u, Tree(target.path()).size()) << "root, the copy and three surplus files left";
    // -ds removes sources under the same cap
    Put(source, L"b.txt", "b");
    EXPECT_EQ(13, RunQtxArgs({source.path() + L"\\", moved.path(), L"-ds", L"-maxdel:1"}).exitCode);
    EXPECT_EQ(1, Exists(source / L"a.txt") + Exists(source / L"b.txt"));
}

// A source leaves only where its complete copy is in place, a folder only when
// emptied; target folders keep their source's time whatever is written into them.
TEST(DeleteSourceEndToEnd, OnlyCopiedFilesAndEmptiedFoldersLeaveTheSource) {
    TempDir source, target;
    Put(source, L"data\\read-only.txt", "ro");
    SetFileAttributesW((source / L"data\\read-only.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    Put(source, L"data\\sub\\b.bin", PatternBytes(150000, 5));
    Put(source, L"data\\sub\\inner\\c.txt", "c");
    Put(source, L"data\\held\\locked.txt", "locked");
    Put(source, L"data\\excluded\\x.tmp", "x");
    Put(source, L"data\\skipped\\exists.txt", "source");
    Put(target, L"data\\skipped\\exists.txt", "target", kBase + kDay);
    Put(target, L"data\\blocked", "a file where a folder goes");
    MakeFolder(source / L"data\\blocked");
    MakeFolder(source / L"data\\empty");
    ASSERT_TRUE(SetLastWriteTime(source / L"data\\sub", kBase - kDay));
    HANDLE lock = CreateFileW((source / L"data\\held\\locked.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    RunResult r = RunQtxArgs({source / L"data", target.path(), L"-ds", L"-v", L"-e:*.tmp"});
    CloseHandle(lock);
    EXPECT_TRUE(r.exitCode == 13 && Has(r.out + r.err, "SHARING_VIOLATION")) << r.out << r.err;
    TreeMap copied = Tree(target / L"data");
    EXPECT_EQ("c", copied[L"sub\\inner\\c.txt"].bytes);
    EXPECT_TRUE(PatternBytes(150000, 5) == copied[L"sub\\b.bin"].bytes && copied[L"read-only.txt"].bytes == "ro");
    EXPECT_TRUE(copied[L"empty"].folder && copied[L"skipped\\exists.txt"].bytes == "target");
    EXPECT_EQ(kBase - kDay, copied[L"sub"].time);
    TreeMap left = Tree(source / L"data");
    EXPECT_EQ(8u, left.size()) << "root, held, excluded, skipped and blocked";
    EXPECT_EQ("locked", left[L"held\\locked.txt"].bytes);
    EXPECT_EQ("source", left[L"skipped\\exists.txt"].bytes);
    EXPECT_TRUE(left[L"blocked"].folder && left[L"excluded\\x.tmp"].bytes == "x");

    // the rest, copied over the existing targets, takes the whole source folder with it
    ASSERT_TRUE(DeleteFileW((target / L"data\\blocked").c_str()));
    for (const wchar_t* folder : {L"data\\skipped", L"data"}) ASSERT_TRUE(SetLastWriteTime(source / folder, kBase - kDay));
    r = RunQtxArgs({source / L"data", target.path(), L"-ds", L"-o"});
    EXPECT_TRUE(r.exitCode == 0 && !Exists(source / L"data")) << r.out << r.err;
    copied = Tree(target / L"data");
    for (const auto& [path, entry] : left) EXPECT_TRUE(copied[path].bytes == entry.bytes) << Narrow(path);
    for (const wchar_t* folder : {L"skipped", L"sub", L""}) EXPECT_EQ(kBase - kDay, copied[folder].time) << Narrow(folder);
}

}  // namespace
