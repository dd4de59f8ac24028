// Hard-link groups: the list rules, identity queries and name enumeration
// against recorded system answers.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "heap_memory.h"
#include "link_groups.h"
#include "run_state.h"

namespace {

// Recorded answers: identity per path and the names FindFirstFileNameW gave.
struct Recorded {
    std::map<std::wstring, FileIdentity> identities;
    std::map<std::wstring, uint32_t> links;
    std::vector<std::wstring> names;   // relative to the volume root
    std::wstring askedPath;
    size_t next = 0;
    int closed = 0;
};
Recorded recorded;

int FakeIdentify(const wchar_t* path, FileIdentity* identity, uint32_t* linkCount) {
    auto found = recorded.identities.find(path);
    if (found == recorded.identities.end()) return 0;
    if (identity) *identity = found->second;
    if (linkCount) *linkCount = recorded.links.count(path) ? recorded.links[path] : 1;
    return 1;
}

void* FakeFirstName(const wchar_t* path, wchar_t* name, uint32_t capacity) {
    recorded.askedPath = path;
    if (recorded.names.empty()) return nullptr;
    recorded.next = 1;
    wcsncpy(name, recorded.names[0].c_str(), capacity);
    return &recorded;
}

int FakeNextName(void* search, wchar_t* name, uint32_t capacity) {
    if (recorded.next >= recorded.names.size()) return 0;
    wcsncpy(name, recorded.names[recorded.next++].c_str(), capacity);
    return 1;
}

void FakeClose(void* search) { ++recorded.closed; }

const HardLinkSystem fakeLinks = {FakeIdentify, FakeFirstName, FakeNextName, FakeClose};

class UseFakeLinks {
public:
    UseFakeLinks() {
        recorded = Recorded();
        hardLinkSystem = &fakeLinks;
    }
    ~UseFakeLinks() { hardLinkSystem = &realHardLinkSystem; }
};

std::vector<std::wstring> ListNames(const wchar_t* path, int capacity = kMaxLinkNames) {
    std::vector<wchar_t*> names(kMaxLinkNames, nullptr);
    int count = ListLinkNames(path, names.data(), capacity);
    std::vector<std::wstring> result;
    for (int i = 0; i < count; ++i) {
        result.push_back(names[i]);
        FreeMemory(names[i]);
    }
    return result;
}

const FileIdentity kFile = {0x1234, 77, 0};
const FileIdentity kSameIndexOtherVolume = {0x9999, 77, 0};
const FileIdentity kOther128 = {0x1234, 77, 1};   // differs only in the high half of a 128-bit id

}  // namespace

TEST(LinkGroupList, FindsOnlyCompleteGroupsByFullIdentity) {
    LinkGroupList* list = CreateHardLinkList();
    EXPECT_EQ(0, CountLinkGroups(list));
    AddGroup(list, 3, kFile, L"\\\\?\\D:\\t\\x\\one", 1);
    AddGroup(list, 2, {0x1234, 78, 0}, L"\\\\?\\D:\\t\\two", 1);
    ASSERT_NE(nullptr, FindGroup(list, kFile));
    EXPECT_STREQ(L"\\\\?\\D:\\t\\x\\one", FindGroup(list, kFile)->firstTarget);
    EXPECT_EQ(3u, FindGroup(list, kFile)->linkCount);
    // the index alone does not make two files one
    EXPECT_EQ(nullptr, FindGroup(list, kSameIndexOtherVolume));
    EXPECT_EQ(nullptr, FindGroup(list, kOther128));
    EXPECT_EQ(2, CountLinkGroups(list));
    // records keep their order
    EXPECT_EQ(78u, list->first->next->identity.idLow);
    FreeHardLinkList(list);
}

TEST(LinkGroupList, AFailedFirstCopyIsNeverALinkTarget) {
    LinkGroupList* list = CreateHardLinkList();
    // the copy of the first name is still running: not yet a target
    AddGroup(list, 3, kFile, L"first", 0);
    EXPECT_EQ(0, CountLinkGroups(list));
    SettleGroup(list, L"first", 0);   // it failed
    EXPECT_EQ(nullptr, FindGroup(list, kFile));
    // the second name is copied and becomes the group's first
    AddGroup(list, 3, kFile, L"second", 0);
    SettleGroup(list, L"other-path", 1);   // a stream copy of another file settles nothing
    EXPECT_EQ(nullptr, FindGroup(list, kFile));   // unsettled when looked up: its copy ended without success
    AddGroup(list, 3, kFile, L"third", 0);
    SettleGroup(list, L"third", 1);
    ASSERT_NE(nullptr, FindGroup(list, kFile));
    EXPECT_STREQ(L"third", FindGroup(list, kFile)->firstTarget);
    EXPECT_EQ(1, CountLinkGroups(list));
    FreeHardLinkList(list);
    FreeHardLinkList(nullptr);
}

TEST(LinkGroupEngineCalls, KeyedBySourceIdentityThroughTheRunList) {
    UseFakeLinks fake;
    recorded.identities[L"S:\\a\\one"] = kFile;
    recorded.identities[L"S:\\b\\two"] = kFile;
    recorded.identities[L"S:\\c\\lone"] = {0x1234, 5, 0};
    LinkGroupList* saved = run.linkGroups;
    run.linkGroups = nullptr;
    wchar_t target[kPathCapacity];
    EXPECT_EQ(0, FindLinkGroup(L"S:\\a\\one", target, kPathCapacity));
    EXPECT_EQ(0, AddLinkGroup(1, L"S:\\c\\lone", L"T:\\c\\lone", 1));   // one name: no list is made
    EXPECT_EQ(nullptr, run.linkGroups);
    EXPECT_EQ(1, AddLinkGroup(2, L"S:\\a\\one", L"T:\\a\\one", 0));
    EXPECT_EQ(0, FindLinkGroup(L"S:\\b\\two", target, kPathCapacity));   // the first copy never settled
    EXPECT_EQ(1, AddLinkGroup(2, L"S:\\b\\two", L"T:\\b\\two", 0));
    SettleLinkGroup(L"T:\\b\\two", 1);
    ASSERT_EQ(1, FindLinkGroup(L"S:\\a\\one", target, kPathCapacity));
    EXPECT_STREQ(L"T:\\b\\two", target);
    EXPECT_EQ(0, FindLinkGroup(L"S:\\a\\one", target, 5));   // never written past the capacity
    EXPECT_EQ(0, FindLinkGroup(L"S:\\c\\lone", target, kPathCapacity));
    EXPECT_EQ(0, FindLinkGroup(L"S:\\missing", target, kPathCapacity));
    FreeHardLinkList(run.linkGroups);
    run.linkGroups = saved;
}

TEST(LinkIdentity, QueriesCompareVolumeAndFullId) {
    UseFakeLinks fake;
    recorded.identities[L"a"] = kFile;
    recorded.identities[L"b"] = kFile;
    recorded.identities[L"c"] = kSameIndexOtherVolume;
    recorded.identities[L"d"] = kOther128;
    recorded.links[L"a"] = 3;
    FileIdentity identity = {};
    EXPECT_EQ(3u, LinkInfo(L"a", &identity));
    EXPECT_TRUE(SameIdentity(kFile, identity));
    EXPECT_EQ(0u, LinkInfo(L"missing", &identity));
    EXPECT_EQ(1, SameFile(L"a", L"b"));
    EXPECT_EQ(0, SameFile(L"a", L"c"));
    EXPECT_EQ(0, SameFile(L"a", L"d"));
    EXPECT_EQ(0, SameFile(L"a", L"missing"));
    EXPECT_EQ(1, HasFileIndex(L"b", kFile));
    EXPECT_EQ(0, HasFileIndex(L"c", kFile));
    EXPECT_EQ(1, FileIndexOf(L"d", &identity));
    EXPECT_EQ(0, FileIndexOf(L"missing", &identity));
}

TEST(LinkNames, VolumePartOfEachPathForm) {
    EXPECT_EQ(48, VolumePrefixLength(L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\x\\f.txt"));
    EXPECT_EQ(48, VolumePrefixLength(L"\\\\.\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\f"));
    EXPECT_EQ(0, VolumePrefixLength(L"\\\\?\\Volume{0123}\\f"));   // too short to hold a volume name
    EXPECT_EQ(6, VolumePrefixLength(L"\\\\?\\C:\\data\\f.txt"));
    EXPECT_EQ(2, VolumePrefixLength(L"c:\\f.txt"));
    EXPECT_EQ(14, VolumePrefixLength(L"\\\\server\\share\\dir\\f.txt"));
    EXPECT_EQ(0, VolumePrefixLength(L"\\\\server\\share"));
    EXPECT_EQ(0, VolumePrefixLength(L"\\\\.\\PhysicalDrive0"));
    EXPECT_EQ(0, VolumePrefixLength(L"\\\\?\\UNC\\server\\share\\f"));
    EXPECT_EQ(0, VolumePrefixLength(L"relative\\f.txt"));
    EXPECT_EQ(0, VolumePrefixLength(L"C:f.txt"));
}

TEST(LinkNames, ThreeNamesAcrossFoldersAsRecordedOnWindows) {
    UseFakeLinks fake;
    recorded.names = {L"\\data\\x\\one.bin", L"\\data\\y\\two.bin", L"\\other\\z\\three.bin"};
    EXPECT_EQ((std::vector<std::wstring>{L"\\\\?\\D:\\data\\x\\one.bin", L"\\\\?\\D:\\data\\y\\two.bin",
                                         L"\\\\?\\D:\\other\\z\\three.bin"}),
              ListNames(L"\\\\?\\D:\\data\\x\\one.bin"));
    EXPECT_EQ(L"\\\\?\\D:\\data\\x\\one.bin", recorded.askedPath);
    EXPECT_EQ(1, recorded.closed);

    const wchar_t* volume = L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\data\\x\\one.bin";
    EXPECT_EQ(L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\other\\z\\three.bin", ListNames(volume)[2]);
    EXPECT_EQ(L"\\\\srv\\share\\data\\y\\two.bin", ListNames(L"\\\\srv\\share\\data\\x\\one.bin")[1]);
    // bounded by the caller's array
    EXPECT_EQ(2u, ListNames(L"D:\\data\\x\\one.bin", 2).size());
    // a form without a volume part, or no answer from the system: no names
    EXPECT_TRUE(ListNames(L"relative\\one.bin").empty());
    recorded.names.clear();
    EXPECT_TRUE(ListNames(L"D:\\data\\x\\one.bin").empty());
}
