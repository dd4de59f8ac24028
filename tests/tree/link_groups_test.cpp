// Hard-link groups: later names of a file link to its first complete copy.
#include <gtest/gtest.h>

#include "link_groups.h"
#include "memory_file_system.h"
#include "options.h"
#include "run_state.h"
#include "source_removal.h"

TEST(LinkGroups, OnlyTheWholeIdentityOfACompleteCopyIsALinkTarget) {
    LinkGroupList* list = CreateHardLinkList();
    AddGroup(list, 3, {0x1234, 77, 0}, L"one", 1);
    EXPECT_NE(nullptr, FindGroup(list, {0x1234, 77, 0}));
    EXPECT_EQ(nullptr, FindGroup(list, {0x9999, 77, 0}));   // same index, other volume
    EXPECT_EQ(nullptr, FindGroup(list, {0x1234, 77, 1}));   // differs in the high half only
    AddGroup(list, 2, {0x1234, 78, 0}, L"two", 0);          // its copy ended without being settled
    EXPECT_EQ(nullptr, FindGroup(list, {0x1234, 78, 0}));
    EXPECT_EQ(1, CountLinkGroups(list));
    FreeHardLinkList(list);
}

TEST(LinkGroups, LaterNamesLinkToTheFirstCompleteCopy) {
    qtxtest::MemoryFileSystem fs;
    fs.Install();
    fs.AddFile(L"C:\\S\\a\\one", "x");
    fs.AddLink(L"C:\\S\\b\\two", L"C:\\S\\a\\one");
    fs.AddLink(L"C:\\S\\c\\three", L"C:\\S\\a\\one");
    fs.AddFile(L"C:\\S\\lone", "x");
    fs.File(L"C:\\S\\a\\one")->security = "owner=S-1-5-18";
    options.security = options.deleteSource = 1;   // -ds waits for the group's security
    LinkGroupList* saved = run.linkGroups;
    run.linkGroups = nullptr;
    wchar_t target[kPathCapacity];
    EXPECT_EQ(0, AddLinkGroup(1, L"C:\\S\\lone", L"C:\\T\\lone", 1));   // one name: no list is made
    EXPECT_EQ(nullptr, run.linkGroups);
    // the first copy fails: the next name is copied and takes its place
    EXPECT_EQ(1, AddLinkGroup(3, L"C:\\S\\a\\one", L"C:\\T\\a\\one", 0));
    SettleLinkGroup(L"C:\\T\\a\\one", 0, nullptr);
    EXPECT_EQ(0, FindLinkGroup(L"C:\\S\\b\\two", target, kPathCapacity));
    EXPECT_EQ(1, AddLinkGroup(3, L"C:\\S\\b\\two", L"C:\\T\\b\\two", 0));
    SettleLinkGroup(L"C:\\T\\b\\two", 1, nullptr);
    ASSERT_EQ(1, FindLinkGroup(L"C:\\S\\c\\three", target, kPathCapacity));
    EXPECT_STREQ(L"C:\\T\\b\\two", target);
    EXPECT_EQ(0, FindLinkGroup(L"C:\\S\\lone", target, kPathCapacity));
    EXPECT_EQ(1, SameFile(L"C:\\S\\a\\one", L"C:\\S\\c\\three"));
    EXPECT_EQ(0, SameFile(L"C:\\S\\a\\one", L"C:\\S\\lone"));
    // a copy that is gone gets no security: a counted failure, and no source goes
    run.failedCopies = 0;
    EXPECT_EQ(1, HoldSourceRemoval(L"C:\\T\\b\\two", L"C:\\S\\b\\two", nullptr));
    EXPECT_EQ(0, CopyGroupSecurity(run.linkGroups));
    EXPECT_TRUE(run.failedCopies == 1 && fs.File(L"C:\\S\\b\\two"));
    options = Options();
    FreeHardLinkList(run.linkGroups);
    run.linkGroups = saved;
}

// -ds of a name held for its group's security, long after its copy: a name
// that is now another file stays.
TEST(LinkGroups, AHeldSourceGoesOnlyAsTheFileThatWasCopied) {
    qtxtest::MemoryFileSystem fs;
    fs.Install();
    fs.AddFile(L"C:\\S\\a", "same");
    fs.AddFile(L"C:\\S\\b", "same");
    options.deleteSource = 1;
    FileIdentity a = {}, b = {};
    ASSERT_TRUE(LinkInfo(L"C:\\S\\a", &a) && LinkInfo(L"C:\\S\\b", &b));
    SourceAsCopied asA = {-1, 0, &a};
    EXPECT_EQ(0, RemoveSourceFileAsCopied(L"C:\\S\\b", &asA));
    EXPECT_TRUE(fs.File(L"C:\\S\\b"));
    EXPECT_EQ(1, RemoveSourceFileAsCopied(L"C:\\S\\a", &asA));
    EXPECT_FALSE(fs.File(L"C:\\S\\a"));
    options = Options();
}
