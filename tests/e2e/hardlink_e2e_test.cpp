// The real qtx.exe with hard links: source link groups reproduced in the
// target, groups whose first copy failed, and -mir -scan re-using targets.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

const wchar_t* const kNames[] = {L"\\x\\one.bin", L"\\y\\two.bin", L"\\z\\deeper\\three.bin"};

// A file of three names in three folders, and a plain file.
std::string MakeGroup(const TempDir& source) {
    std::string bytes = PatternBytes(300000, 9);
    Put(source, L"x\\one.bin", bytes);
    Put(source, L"plain.txt", "plain");
    for (const wchar_t* name : {L"y", L"z\\deeper"}) MakeFolder(source / name);
    EXPECT_TRUE(CreateHardLinkW((source / L"y\\two.bin").c_str(), (source / L"x\\one.bin").c_str(), nullptr));
    EXPECT_TRUE(CreateHardLinkW((source / L"z\\deeper\\three.bin").c_str(), (source / L"x\\one.bin").c_str(), nullptr));
    return bytes;
}

void ExpectGroup(const std::wstring& copy, const std::string& bytes, int first, uint32_t links) {
    for (int i = first; i < 3; ++i) {
        EXPECT_TRUE(bytes == ReadBytesOr(copy + kNames[i])) << "bytes differ " << Narrow(kNames[i]);
        EXPECT_EQ(links, Facts(copy + kNames[i]).links) << Narrow(kNames[i]);
        EXPECT_EQ(Facts(copy + kNames[first]).index, Facts(copy + kNames[i]).index) << Narrow(kNames[i]);
    }
}

// Renamed and moved files are linked, not copied; a small file, a target still
// in use and a file of equal samples but other bytes (with -t:f) are copied.
TEST(HardLinkEndToEnd, GroupsStayGroupsAndTheScanReusesOnlySurplusTargets) {
    TempDir source, target;
    std::string bytes = MakeGroup(source), big = PatternBytes(6 * 1048576, 1), stays = PatternBytes(5000, 4);
    std::string original = PatternBytes(5 * 1048576, 5), changed = original;
    for (size_t i = 1500000; i < 1500100; ++i) changed[i] ^= 0x5A;   // between the samples
    Put(source, L"a\\big.bin", big);
    Put(source, L"a\\mid.bin", PatternBytes(300000, 2), kBase + 1);
    Put(source, L"a\\tiny.bin", PatternBytes(400, 3), kBase + 2);
    Put(source, L"b\\stays.bin", stays, kBase + 3);
    Put(source, L"old.bin", original, kBase + 4);
    ASSERT_EQ(0, RunQtxArgs({source.path(), target.path(), L"-mir", L"-n"}).exitCode);
    std::wstring copy = Landed(target, source);
    ExpectGroup(copy, bytes, 0, 3);
    EXPECT_TRUE(Facts(source / L"x\\one.bin").index != Facts(copy + kNames[0]).index &&   // a copy, not the source
                Facts(copy + L"\\plain.txt").links == 1);
    // a mirror and -u over the complete target write nothing and keep the group as it is
    TreeMap before = Tree(copy);
    EXPECT_EQ(0, RunQtxArgs({source.path(), target.path(), L"-mir", L"-n"}).exitCode);
    RunResult r = RunQtxArgs({source.path(), target.path(), L"-u", L"-o", L"-s", L"-n"});
    EXPECT_TRUE(r.exitCode == 0 && Has(r.out, " 0 Bytes actually written")) << r.out << r.err;
    EXPECT_TRUE(before == Tree(copy));

    for (const auto& [from, to] : {std::pair{L"a\\big.bin", L"b\\renamed big.bin"}, {L"a\\mid.bin", L"c\\d\\mid.bin"},
                                   {L"a\\tiny.bin", L"tiny.bin"}, {L"old.bin", L"new.bin"}}) {
        MakeFolder((source / to).substr(0, (source / to).find_last_of(L'\\')));
        ASSERT_TRUE(MoveFileW((source / from).c_str(), (source / to).c_str()));
    }
    Put(source, L"new.bin", changed, kBase + 4);
    Put(source, L"copy of stays.bin", stays, kBase + 3);
    r = RunQtxArgs({source.path(), target.path(), L"-mir", L"-scan", L"-t:f", L"-n"});
    EXPECT_TRUE(r.exitCode == 0 && Has(r.out, "tiny.bin\r\n File copied")) << r.out << r.err;
    EXPECT_FALSE(Has(r.out, "renamed big.bin\r\n File copied") || Has(r.out, "mid.bin\r\n File copied")) << r.out;
    ExpectSameTree(Tree(source.path()), Tree(copy));
    ExpectGroup(copy, bytes, 0, 3);
    for (const wchar_t* name : {L"\\b\\renamed big.bin", L"\\b\\stays.bin", L"\\copy of stays.bin", L"\\new.bin"})
        EXPECT_EQ(1u, Facts(copy + name).links) << Narrow(name);
}

TEST(HardLinkEndToEnd, LaterNamesAreCopiedWhenTheFirstCopyFailedAndDeletedSourcesKeepTheGroup) {
    TempDir source, target, second, moved;
    std::string bytes = MakeGroup(source);
    std::wstring copy = Landed(target, source);
    // the first name's target is an older read-only file: skipped without -or
    Put(target, copy.substr(target.path().size() + 1) + kNames[0], "stale", kBase - kDay);
    ASSERT_TRUE(SetFileAttributesW((copy + kNames[0]).c_str(), FILE_ATTRIBUTE_READONLY));
    RunResult r = RunQtxArgs({source.path(), target.path(), L"-s", L"-o", L"-n"});
    EXPECT_TRUE(r.exitCode == 0 && Has(r.err, "skip read-only file")) << r.out << r.err;
    EXPECT_TRUE(ReadBytesOr(copy + kNames[0]) == "stale" && Facts(copy + kNames[0]).links == 1);
    ExpectGroup(copy, bytes, 1, 2);   // the second name became the group's first copy

    // -ds: the last name had one link left when its turn came
    MakeGroup(second);
    r = RunQtxArgs({second.path(), moved.path(), L"-s", L"-ds", L"-n"});
    EXPECT_TRUE(r.exitCode == 0 && !Exists(second.path())) << r.out << r.err;
    ExpectGroup(Landed(moved, second), bytes, 0, 3);
}

}  // namespace
