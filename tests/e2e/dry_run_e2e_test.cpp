// The real qtx.exe with -dry and -maxdel: a dry run changes nothing and lists
// what the real run then does; the cap keeps what lies beyond it.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

// Both trees by full path.
std::map<std::wstring, Entry> Snapshot(const std::wstring& a, const std::wstring& b) {
    std::map<std::wstring, Entry> all;
    for (const std::wstring& root : {a, b})
        for (const auto& [path, entry] : Tree(root)) all[path.empty() ? root : root + L"\\" + path] = entry;
    return all;
}

// The actions a dry run announces that change the target, "action: path".
std::set<std::string> Announced(const std::string& out) {
    std::set<std::string> actions;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const char* action : {"copy: ", "overwrite: ", "delete file: ", "delete folder: ", "create folder: "})
            if (line.rfind(action, 0) == 0) actions.insert(line);
    }
    return actions;
}

// The same actions read from what a real run changed between two snapshots.
std::set<std::string> Performed(const std::map<std::wstring, Entry>& before,
                                const std::map<std::wstring, Entry>& after) {
    std::set<std::string> actions;
    for (const auto& [path, item] : before) {
        auto now = after.find(path);
        bool gone = now == after.end() || now->second.folder != item.folder;
        if (gone) actions.insert((item.folder ? "delete folder: " : "delete file: ") + Narrow(path));
        else if (!item.folder && !(now->second.bytes == item.bytes && now->second.time == item.time))
            actions.insert("overwrite: " + Narrow(path));
    }
    for (const auto& [path, item] : after) {
        auto was = before.find(path);
        if (was == before.end() || was->second.folder != item.folder)
            actions.insert((item.folder ? "create folder: " : "copy: ") + Narrow(path));
    }
    return actions;
}

const uint64_t kBase = 131000000000000000ull;
const uint64_t kDay = 864000000000ull;

}  // namespace

TEST(DryRunEndToEnd, DryRunsChangeNothingAndAnnounceWhatTheMirrorThenDoes) {
    TempDir source, target;
    Put(source, L"data\\keep.txt", "keep", kBase);
    Put(source, L"data\\change.txt", "before", kBase);
    Put(source, L"data\\rename me.bin", PatternBytes(5000, 1), kBase);
    Put(source, L"data\\remove.txt", "remove", kBase);
    Put(source, L"data\\sub\\gone\\x.txt", "x", kBase);
    Put(source, L"data\\now folder", "a file first", kBase);
    Put(source, L"data\\now file\\old.txt", "old", kBase);
    ASSERT_EQ(0, RunQtxArgs({source / L"data", target.path(), L"-mir"}).exitCode);

    // a dry copy and a dry mirror into a folder that does not exist yet
    TempDir fresh;
    auto untouched = Snapshot(source.path(), fresh.path());
    for (const wchar_t* form : {L"-s", L"-mir"}) {
        RunResult copy = RunQtxArgs({source / L"data", fresh / L"new", form, L"-dry"});
        EXPECT_EQ(0, copy.exitCode) << copy.out << copy.err;
        EXPECT_TRUE(untouched == Snapshot(source.path(), fresh.path())) << copy.out;
        EXPECT_NE(std::string::npos, copy.out.find("create folder: " + Narrow(fresh / L"new\\data\\sub\\gone")))
            << copy.out;
        EXPECT_NE(std::string::npos, copy.out.find("copy: " + Narrow(fresh / L"new\\data\\sub\\gone\\x.txt")));
        EXPECT_EQ(std::string::npos, copy.out.find("incomplete")) << "the folder not made is not listed";
    }

    Put(source, L"data\\change.txt", "after, and longer", kBase + kDay);
    ASSERT_TRUE(MoveFileW((source / L"data\\rename me.bin").c_str(), (source / L"data\\renamed.bin").c_str()));
    ASSERT_TRUE(DeleteFileW((source / L"data\\remove.txt").c_str()));
    RemoveTree(source / L"data\\sub\\gone");
    Put(source, L"data\\sub\\added\\z.txt", "z", kBase);
    ASSERT_TRUE(DeleteFileW((source / L"data\\now folder").c_str()));
    Put(source, L"data\\now folder\\in.txt", "in", kBase);
    RemoveTree(source / L"data\\now file");
    Put(source, L"data\\now file", "a file now", kBase);
    SetFileAttributesW((target / L"data\\keep.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    auto before = Snapshot(source.path(), target.path());
    RunResult scan = RunQtxArgs({source / L"data", target.path(), L"-mir", L"-scan", L"-dry"});
    EXPECT_EQ(0, scan.exitCode) << scan.out << scan.err;
    EXPECT_NE(std::string::npos, scan.out.find("re-use: " + Narrow(target / L"data\\renamed.bin"))) << scan.out;
    RunResult dry = RunQtxArgs({source / L"data", target.path(), L"-mir", L"-dry"});
    EXPECT_EQ(0, dry.exitCode) << dry.out << dry.err;
    EXPECT_TRUE(before == Snapshot(source.path(), target.path())) << scan.out << dry.out;
    EXPECT_NE(std::string::npos, dry.out.find("skip (not older): " + Narrow(target / L"data\\keep.txt"))) << dry.out;
    EXPECT_NE(std::string::npos, dry.out.find("\n5030 bytes would be written")) << dry.out;

    RunResult real = RunQtxArgs({source / L"data", target.path(), L"-mir"});
    EXPECT_EQ(0, real.exitCode) << real.out << real.err;
    std::set<std::string> announced = Announced(dry.out);
    std::set<std::string> performed = Performed(before, Snapshot(source.path(), target.path()));
    EXPECT_EQ(performed, announced) << dry.out << real.out;
    EXPECT_EQ(14u, announced.size()) << dry.out;
    SetFileAttributesW((target / L"data\\keep.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(DryRunEndToEnd, SourceRemovalsAndTheDeletionCap) {
    TempDir source, target;
    Put(source, L"a.txt", "a", kBase);
    for (wchar_t c = L'1'; c <= L'5'; ++c) Put(target, std::wstring(L"surplus") + c + L".txt", "s", kBase);
    auto surplusLeft = [&]() {
        int left = 0;
        for (wchar_t c = L'1'; c <= L'5'; ++c) left += Exists(target / (std::wstring(L"surplus") + c + L".txt"));
        return left;
    };
    RunResult dry = RunQtxArgs({source.path() + L"\\", target.path(), L"-mir", L"-dry", L"-maxdel:2"});
    EXPECT_EQ(0, dry.exitCode) << dry.out;
    EXPECT_EQ(5, surplusLeft());
    EXPECT_NE(std::string::npos, dry.out.find("deletion cap would be reached, 3 entries not deleted")) << dry.out;

    RunResult real = RunQtxArgs({source.path() + L"\\", target.path(), L"-mir", L"-maxdel:2"});
    EXPECT_EQ(13, real.exitCode) << real.out;
    EXPECT_EQ(3, surplusLeft()) << real.out;
    EXPECT_EQ("a", ReadBytesOr(target / L"a.txt"));
    EXPECT_NE(std::string::npos, real.out.find("deletion cap reached, 3 entries not deleted")) << real.out;

    // a dry -ds names the sources it would remove: a folder only when all in it goes
    TempDir tree, moved;
    Put(tree, L"data\\all\\x.txt", "x", kBase);
    Put(tree, L"data\\some\\y.txt", "y", kBase);
    Put(tree, L"data\\some\\z.tmp", "z", kBase);
    RunResult dryRemoval = RunQtxArgs({tree / L"data", moved.path(), L"-ds", L"-dry", L"-e:*.tmp"});
    EXPECT_EQ(0, dryRemoval.exitCode) << dryRemoval.out;
    for (const wchar_t* removed : {L"data\\all\\x.txt", L"data\\all", L"data\\some\\y.txt"})
        EXPECT_NE(std::string::npos, dryRemoval.out.find("remove source: " + Narrow(tree / removed) + "\r\n"))
            << Narrow(removed) << dryRemoval.out;
    EXPECT_EQ(std::string::npos, dryRemoval.out.find("remove source: " + Narrow(tree / L"data\\some") + "\r\n"));
    EXPECT_EQ(std::string::npos, dryRemoval.out.find("remove source: " + Narrow(tree / L"data") + "\r\n"));
    EXPECT_EQ("y", ReadBytesOr(tree / L"data\\some\\y.txt"));

    // -ds removes sources under the same cap
    Put(source, L"b.txt", "b", kBase);
    RunResult removal = RunQtxArgs({source.path() + L"\\", moved.path(), L"-ds", L"-maxdel:1"});
    EXPECT_EQ(13, removal.exitCode) << removal.out;
    EXPECT_EQ(1, Exists(source / L"a.txt") + Exists(source / L"b.txt")) << removal.out;
    EXPECT_EQ("b", ReadBytesOr(moved / L"b.txt"));
}
