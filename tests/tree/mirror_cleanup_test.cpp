// Mirror clean-up and -ds source removal on the in-memory volume.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>

#include "folder_identity.h"
#include "folder_listing.h"
#include "memory_file_system.h"
#include "directory_walk.h"
#include "mirror_cleanup.h"
#include "options.h"
#include "reparse_points.h"
#include "run_state.h"
#include "source_removal.h"

using qtxtest::Call;
using qtxtest::Fault;

namespace {

class MirrorCleanup : public ::testing::Test {
protected:
    Options savedOptions = options;
    FolderListing source = {}, target = {};
    qtxtest::MemoryFileSystem fs;

    void SetUp() override {
        fs.Install();
        options.quiet = 1;
        options.mirror = 1;
        run.stopRequested = run.breakRequested = run.aborted = 0;
        fs.AddFolder(L"C:\\S");
        fs.AddFolder(L"C:\\T");
    }
    void TearDown() override {
        FreeListing(&source);
        FreeListing(&target);
        options = savedOptions;
        run.stopRequested = run.breakRequested = run.aborted = 0;
    }
    void Pass() {
        FreeListing(&source);
        FreeListing(&target);
        BuildListing(&source, L"C:\\S", L"*", nullptr, nullptr, 1, 0, nullptr, nullptr);
        BuildListing(&target, L"C:\\T", L"*", nullptr, nullptr, 1, 0, nullptr, nullptr);
        MirrorPass(L"C:\\T\\", &target, &source, 0);
    }
    bool SearchedBelow(const std::wstring& folder) {
        return std::any_of(fs.searches.begin(), fs.searches.end(),
                           [&](const std::wstring& s) { return _wcsnicmp(s.c_str(), folder.c_str(), folder.size()) == 0; });
    }
};

TEST_F(MirrorCleanup, SurplusGoesLinksAreRemovedNeverFollowed) {
    fs.AddFile(L"C:\\S\\Report.TXT", "r");
    fs.AddFolder(L"C:\\S\\data");
    fs.AddFile(L"C:\\T\\report.txt", "old");   // other case only: stays
    fs.AddFile(L"C:\\T\\old.txt", "x");
    fs.AddFolder(L"C:\\T\\gone\\deep");
    fs.AddFile(L"C:\\T\\gone\\deep\\a.txt", "x", 0, FILE_ATTRIBUTE_READONLY);
    fs.AddFile(L"C:\\O\\data\\precious.txt", "p");
    fs.AddFolder(L"C:\\T\\junction");                 // surplus link
    fs.AddReparse(L"C:\\T\\junction", qtxtest::JunctionTo(L"C:\\O\\data"));
    fs.AddFolder(L"C:\\T\\gone\\inner");              // link inside a surplus folder
    fs.AddReparse(L"C:\\T\\gone\\inner", qtxtest::JunctionTo(L"C:\\O\\data"));
    fs.AddFolder(L"C:\\T\\data");                     // link where the source has a real folder
    fs.AddReparse(L"C:\\T\\data", qtxtest::JunctionTo(L"C:\\O\\data"));
    Pass();

    EXPECT_EQ("old", fs.Data(L"C:\\T\\report.txt"));
    EXPECT_FALSE(fs.Exists(L"C:\\T\\old.txt"));
    EXPECT_FALSE(fs.Exists(L"C:\\T\\gone"));
    for (const wchar_t* link : {L"C:\\T\\junction", L"C:\\T\\gone\\inner", L"C:\\T\\data"}) {
        EXPECT_FALSE(fs.Exists(link)) << "link stays: " << link[5];
        EXPECT_FALSE(SearchedBelow(link)) << "link followed: " << link[5];
    }
    EXPECT_EQ("p", fs.Data(L"C:\\O\\data\\precious.txt"));
    EXPECT_EQ(1, target.count);
}

TEST_F(MirrorCleanup, NothingGoesAfterAnIncompleteSourceListing) {
    fs.AddFile(L"C:\\S\\a.txt", "a");
    fs.AddFile(L"C:\\T\\a.txt", "a");
    fs.AddFile(L"C:\\T\\b.txt", "b");
    fs.AddFolder(L"C:\\T\\sub");
    fs.AddFault(Call::FindNext, L"C:\\S", ERROR_NETNAME_DELETED);
    Pass();
    EXPECT_EQ(0, source.complete);
    EXPECT_TRUE(fs.Exists(L"C:\\T\\b.txt") && fs.Exists(L"C:\\T\\sub"));
    EXPECT_EQ(0, fs.counts[static_cast<int>(Call::Delete)] + fs.counts[static_cast<int>(Call::RemoveFolder)]);
}

TEST_F(MirrorCleanup, SurplusFolderGoesAsDeepAsTheWalkAndAStopEndsIt) {
    std::wstring deep = L"C:\\T\\l0";
    for (int i = 1; i < 200; ++i) deep += L"\\l" + std::to_wstring(i);
    fs.AddFile(deep + L"\\f.txt", "x");
    fs.AddFile(L"C:\\T\\l0\\l1\\f1.txt", "x");
    run.stopRequested = 1;
    MirrorDeleteFolder(L"C:\\T\\l0", 0);
    EXPECT_TRUE(fs.Exists(deep + L"\\f.txt"));
    run.stopRequested = 0;
    EXPECT_EQ(3, MirrorDeleteFolder(L"C:\\T\\l0", kMaxWalkDepth - 1)) << "deeper than a walk goes";
    EXPECT_TRUE(fs.Exists(deep + L"\\f.txt"));
    EXPECT_EQ(0, MirrorDeleteFolder(L"C:\\T\\l0", 0));
    EXPECT_FALSE(fs.Exists(L"C:\\T\\l0"));
}

// The source or target folder met inside a surplus folder (through a mount)
// stops that removal; a link swapped in for a surplus folder while its
// content goes leads the removal nowhere.
TEST_F(MirrorCleanup, RemovalNeverTakesTheSourceOrTargetNorFollowsASwappedLink) {
    fs.AddFile(L"C:\\S\\keep.txt", "keep");
    fs.AddFile(L"C:\\T\\x\\a\\gone.txt", "x");
    fs.AddFile(L"C:\\T\\x\\m\\keep.txt", "keep");
    fs.ShareFolderId(L"C:\\T\\x\\m", L"C:\\S");   // as a mount of the source shows
    SetGuardedFolders(L"C:\\S\\", L"C:\\T\\");
    int64_t failures = run.failedCopies;
    EXPECT_EQ(3, MirrorDeleteFolder(L"C:\\T\\x", 0));
    EXPECT_EQ("keep", fs.Data(L"C:\\T\\x\\m\\keep.txt"));
    EXPECT_TRUE(fs.Exists(L"C:\\T\\x"));
    EXPECT_EQ(failures + 1, run.failedCopies);

    fs.AddFile(L"C:\\T\\y\\gone.txt", "x");
    fs.beforeCall = [this](Call call, const std::wstring& key) {
        if (call == Call::FindFirst && key == L"C:\\T\\Y" && fs.Move(L"C:\\T\\y", L"C:\\T\\y-old", 0))
            fs.AddFolderLink(L"C:\\T\\y", L"C:\\S");
    };
    MirrorDeleteFolder(L"C:\\T\\y", 0);
    fs.beforeCall = nullptr;
    EXPECT_EQ("keep", fs.Data(L"C:\\S\\keep.txt"));
    EXPECT_FALSE(fs.Exists(L"C:\\T\\y"));
    run.guardedFolderCount = 0;
}

TEST_F(MirrorCleanup, SourceRemovalPutsTheReadOnlyAttributeBackWhenItFails) {
    options.deleteSource = 1;
    fs.AddFile(L"C:\\S\\ro.txt", "x", 0, FILE_ATTRIBUTE_READONLY);
    fs.AddFile(L"C:\\S\\locked.txt", "x", 0, FILE_ATTRIBUTE_READONLY);
    fs.AddFault(Call::Delete, L"LOCKED");
    EXPECT_TRUE(RemoveSourceFile(L"C:\\S\\ro.txt") && !fs.Exists(L"C:\\S\\ro.txt"));
    EXPECT_EQ(0, RemoveSourceFile(L"C:\\S\\locked.txt"));
    EXPECT_EQ(static_cast<uint32_t>(FILE_ATTRIBUTE_READONLY),
              fs.GetAttributes(L"C:\\S\\locked.txt") & FILE_ATTRIBUTE_READONLY);
}

}  // namespace
