#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../volumes/fake_device_system.h"
#include "directory_walk.h"
#include "folder_identity.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"
#include "tree_fakes.h"

using namespace qtxtest;
using namespace treetest;

namespace {

// Sets options and run for one walk and restores them afterwards.
class WalkSetup {
public:
    explicit WalkSetup(const std::wstring& sourceRoot) : savedOptions_(options) {
        run.targetIsNul = 0;
        run.aborted = 0;
        run.stopRequested = 0;
        run.breakRequested = 0;
        std::wstring root = Long(sourceRoot) + L"\\";
        lstrcpynW(run.sourceRoot, root.c_str(), kPathCapacity);
        run.sourceRootLength = static_cast<int>(root.size());
        options.quiet = 1;
    }
    ~WalkSetup() {
        options = savedOptions_;
        run.aborted = 0;
        run.targetIsNul = 0;
    }

private:
    Options savedOptions_;
};

int64_t Walk(const std::wstring& source, const std::wstring& target, const wchar_t* mask = L"*", int depth = 0) {
    std::vector<wchar_t> from(kPathCapacity, 0), to(kPathCapacity, 0);
    lstrcpynW(from.data(), Long(source).c_str(), kPathCapacity);
    lstrcpynW(to.data(), target == L"\\\\.\\NUL" ? target.c_str() : Long(target).c_str(), kPathCapacity);
    int64_t links = 0;
    return WalkFolder(from.data(), mask, to.data(), &links, depth);
}

bool WasCopied(const std::wstring& name) {
    return std::any_of(fake.copies.begin(), fake.copies.end(), [&](const CopyCall& call) {
        return call.source.size() >= name.size() && call.source.compare(call.source.size() - name.size(), name.size(), name) == 0;
    });
}

TEST(WalkFolder, CopiesTreeWithMaskExcludesAndExistingTargets) {
    TempDir source, target;
    WriteBytes(source / L"top.txt", "top");
    WriteBytes(source / L"top.log", "log");
    WriteBytes(source / L"name with spaces.txt", "spaces");
    MakeFolder(source / L"Sub\\Deeper");
    MakeFolder(source / L"Empty");
    MakeFolder(source / L"Excluded");
    WriteBytes(source / L"Excluded\\x.txt", "x");
    WriteBytes(source / L"Sub\\\x03B1\x03B2\x03B3.txt", "greek");
    WriteBytes(source / L"Sub\\Deeper\\\x6587\x4EF6.txt", "cjk");
    WriteBytes(source / L"Sub\\Deeper\\old.txt", "old");
    // the target already has the sub-folder, in other case, and one file in it
    MakeFolder(target / L"SUB");
    WriteBytes(target / L"SUB\\OLD-not-in-source.txt", "keep");
    WriteBytes(target / L"TOP.TXT", "previous");

    WalkSetup setup(source.path());
    options.recurse = 1;
    options.excludeMasks[0] = const_cast<wchar_t*>(L"excl*");
    treetest::UseFake use;
    int64_t copied = Walk(source.path(), target.path(), L"*.txt");

    EXPECT_EQ(5, copied);
    EXPECT_EQ("spaces", ReadBytesOr(target / L"name with spaces.txt"));
    EXPECT_EQ("greek", ReadBytesOr(target / L"SUB\\\x03B1\x03B2\x03B3.txt"));
    EXPECT_EQ("cjk", ReadBytesOr(target / L"SUB\\Deeper\\\x6587\x4EF6.txt"));
    EXPECT_EQ("keep", ReadBytesOr(target / L"SUB\\OLD-not-in-source.txt"));
    EXPECT_FALSE(Exists(target / L"top.log"));       // not matched
    EXPECT_TRUE(Exists(target / L"Empty"));          // folders are created whatever the mask
    EXPECT_FALSE(Exists(target / L"Excluded"));      // excluded folders are not
    EXPECT_FALSE(WasCopied(L"x.txt"));
    // the existing target was found in the listing handed to the copy
    auto top = std::find_if(fake.copies.begin(), fake.copies.end(),
                            [](const CopyCall& c) { return c.source.find(L"top.txt") != std::wstring::npos; });
    ASSERT_NE(fake.copies.end(), top);
    EXPECT_TRUE(top->hadListing);
    EXPECT_TRUE(top->targetListed);
    for (const CopyCall& call : fake.copies)
        if (call.source.find(L"old.txt") != std::wstring::npos) {
            EXPECT_FALSE(call.targetListed);
        }
    // a folder the walk created is known empty and never listed; one that stood there is
    auto searched = [&](const std::wstring& folder) {
        std::wstring pattern = Long(folder) + L"\\*";
        return std::count(fake.searches.begin(), fake.searches.end(), pattern);
    };
    EXPECT_EQ(1, searched(source / L"Sub\\Deeper"));
    EXPECT_EQ(0, searched(target / L"Sub\\Deeper"));
    EXPECT_EQ(0, searched(target / L"Empty"));
    EXPECT_EQ(1, searched(target / L"Sub"));   // the walk names it as the source does
}

TEST(WalkFolder, FailuresAreReportedAndTheWalkGoesOn) {
    TempDir source, target;
    WriteBytes(source / L"1-locked.txt", "locked");
    WriteBytes(source / L"2-fine.txt", "fine");
    MakeFolder(source / L"unreadable");
    WriteBytes(source / L"unreadable\\u.txt", "u");
    MakeFolder(source / L"nocreate");
    WriteBytes(source / L"nocreate\\n.txt", "n");
    MakeFolder(source / L"ok");
    WriteBytes(source / L"ok\\k.txt", "k");
    WalkSetup setup(source.path());
    options.recurse = 1;
    options.deleteSource = 1;   // a folder whose target was not made must stay
    treetest::UseFake use;
    fake.failCopyContaining = L"locked";
    fake.failFirstContaining = L"\\unreadable\\";
    fake.failCreateContaining = L"nocreate";
    run.failedCopies = 0;
    CapturedOutput output;
    EXPECT_EQ(2, Walk(source.path(), target.path()));
    // the copy counts its own failure; the walk counts the folder it could not list or make
    EXPECT_EQ(2, run.failedCopies);
    EXPECT_NE(output.text().find("\\unreadable\\*' err=ACCESS_DENIED\n"), std::string::npos) << output.text();
    EXPECT_NE(output.text().find("Error ACCESS_DENIED creating dir "), std::string::npos) << output.text();
    EXPECT_EQ("fine", ReadBytesOr(target / L"2-fine.txt"));
    EXPECT_EQ("k", ReadBytesOr(target / L"ok\\k.txt"));
    EXPECT_FALSE(Exists(target / L"1-locked.txt"));
    EXPECT_TRUE(Exists(target / L"unreadable"));      // created, then its listing failed
    EXPECT_FALSE(Exists(target / L"nocreate"));
    EXPECT_FALSE(WasCopied(L"n.txt"));
    EXPECT_TRUE(Exists(source / L"nocreate\\n.txt"));
    EXPECT_TRUE(Exists(source / L"ok\\k.txt"));       // -ds of files is the copy's business
}

TEST(WalkFolder, AbortStopsEveryLevel) {
    TempDir source, target;
    MakeFolder(source / L"a\\b");
    WriteBytes(source / L"a\\b\\stop.txt", "s");
    WriteBytes(source / L"a\\b\\z.txt", "z");
    WriteBytes(source / L"a\\later.txt", "l");
    WriteBytes(source / L"top.txt", "t");
    WalkSetup setup(source.path());
    options.recurse = 1;
    treetest::UseFake use;
    fake.abortCopyContaining = L"stop.txt";
    Walk(source.path(), target.path());
    EXPECT_EQ(1, run.aborted);
    ASSERT_FALSE(fake.copies.empty());
    EXPECT_NE(std::wstring::npos, fake.copies.back().source.find(L"stop.txt"));
}

TEST(WalkFolder, FileInTheWayOfAFolder) {
    TempDir source, target;
    MakeFolder(source / L"data");
    WriteBytes(source / L"data\\inside.txt", "inside");
    WriteBytes(target / L"DATA", "a file");
    WalkSetup setup(source.path());
    options.recurse = 1;
    treetest::UseFake use;
    // without -o and without a console to ask, the answer is N: the file stays, the folder fails
    run.failedCopies = 0;
    {
        CapturedOutput output;
        EXPECT_EQ(0, Walk(source.path(), target.path()));
        EXPECT_NE(output.text().find("a file stands where the folder goes -> skip folder DATA\n"), std::string::npos)
            << output.text();
    }
    EXPECT_EQ(1, run.failedCopies);
    EXPECT_EQ("a file", ReadBytesOr(target / L"DATA"));
    EXPECT_FALSE(WasCopied(L"inside.txt"));
    options.overwrite = 1;
    EXPECT_EQ(1, Walk(source.path(), target.path()));
    EXPECT_EQ("inside", ReadBytesOr(target / L"data\\inside.txt"));
}

// Ids as a folder link back up the tree would show them: "loop" is the root.
std::wstring loopRoot;
int LoopIds(const wchar_t* path, FolderId* id) {
    std::wstring p = path;
    while (!p.empty() && p.back() == L'\\') p.pop_back();
    if (p.size() >= 5 && _wcsicmp(p.c_str() + p.size() - 5, L"\\loop") == 0) p = loopRoot;
    return ReadFolderId(p.c_str(), id);
}

TEST(WalkFolder, FolderLoopIsNotEntered) {
    TempDir source, target;
    MakeFolder(source / L"a\\loop");
    WriteBytes(source / L"a\\f.txt", "f");
    WriteBytes(source / L"a\\loop\\never.txt", "n");
    loopRoot = Long(source.path());
    WalkSetup setup(source.path());
    options.recurse = 1;
    treetest::UseFake use;
    folderIdReader = folderIndexReader = LoopIds;
    run.failedCopies = 0;
    CapturedOutput output;
    EXPECT_EQ(1, Walk(source.path(), target.path()));
    folderIdReader = ReadFolderId;
    folderIndexReader = ReadFolderIndex;
    EXPECT_FALSE(WasCopied(L"never.txt"));
    EXPECT_EQ(1, run.failedCopies);
    EXPECT_NE(output.text().find("Error CANT_RESOLVE_FILENAME: folder loop -> skip folder loop\n"), std::string::npos)
        << output.text();

    // equal indexes on other volumes are no loop: the full identity decides
    folderIndexReader = [](const wchar_t*, FolderId* id) {
        *id = {0, 7};
        return 1;
    };
    run.failedCopies = 0;
    Walk(source.path(), target.path());
    folderIndexReader = ReadFolderIndex;
    EXPECT_TRUE(WasCopied(L"never.txt"));
    EXPECT_EQ(0, run.failedCopies);
}

TEST(WalkFolder, DepthLimitAndNullTarget) {
    TempDir source, target;
    MakeFolder(source / L"level\\below");
    WriteBytes(source / L"level\\f.txt", "f");
    WriteBytes(source / L"level\\below\\g.txt", "g");
    WalkSetup setup(source.path());
    options.recurse = 1;
    treetest::UseFake use;
    // a walk at the deepest level copies its files but no sub-folder
    EXPECT_EQ(1, Walk(source.path() + L"\\level", target.path(), L"*", kMaxWalkDepth));
    EXPECT_EQ("f", ReadBytesOr(target / L"f.txt"));
    EXPECT_FALSE(Exists(target / L"below"));

    fake = FakeState();
    run.targetIsNul = 1;
    EXPECT_EQ(2, Walk(source.path(), L"\\\\.\\NUL"));
    ASSERT_EQ(2u, fake.copies.size());
    for (const CopyCall& call : fake.copies) {
        EXPECT_EQ(L"\\\\.\\NUL", call.target);
        EXPECT_FALSE(call.hadListing);
    }
}

TEST(WalkFolder, ListingThatBreaksOffIsAFailure) {
    TempDir source;
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"c.txt"}) WriteBytes(source / name, "x");
    WalkSetup setup(source.path());
    treetest::UseFake use;
    run.targetIsNul = 1;
    run.failedCopies = 0;
    fake.failNextAfter = 2;   // "..", one name, then the error
    CapturedOutput output;
    EXPECT_EQ(1, Walk(source.path(), L"\\\\.\\NUL"));
    EXPECT_EQ(1, run.failedCopies);
    EXPECT_NE(output.text().find("Error ACCESS_DENIED listing "), std::string::npos) << output.text();
}

}  // namespace
