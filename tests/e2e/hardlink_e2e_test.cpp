// The real qtx.exe with hard links: source link groups reproduced in the
// target, -h, and groups whose first copy failed.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

bool Link(const std::wstring& name, const std::wstring& existing) {
    MakeFolder(name.substr(0, name.find_last_of(L'\\')));
    return CreateHardLinkW(name.c_str(), existing.c_str(), nullptr) != 0;
}

std::wstring Leaf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

// A file of three names in three folders, and a plain file.
std::string MakeGroup(const TempDir& source) {
    std::string bytes = PatternBytes(300000, 9);
    MakeFolder(source / L"x");
    EXPECT_TRUE(WriteBytes(source / L"x\\one.bin", bytes));
    EXPECT_TRUE(Link(source / L"y\\two.bin", source / L"x\\one.bin"));
    EXPECT_TRUE(Link(source / L"z\\deeper\\three.bin", source / L"x\\one.bin"));
    EXPECT_TRUE(WriteBytes(source / L"plain.txt", "plain"));
    return bytes;
}

}  // namespace

TEST(HardLinkEndToEnd, GroupOfThreeNamesIsOneFileInTheTarget) {
    TempDir source, target;
    std::string bytes = MakeGroup(source);
    ASSERT_EQ(3u, Facts(source / L"x\\one.bin").links);
    RunResult result = RunQtxArgs({source.path(), target.path(), L"-s", L"-n"});
    ASSERT_EQ(0, result.exitCode) << result.out << result.err;
    std::wstring copy = target.path() + L"\\" + Leaf(source.path());
    EXPECT_TRUE(Shows(result.out, "two.bin (hardlink)\n")) << result.out;
    EXPECT_TRUE(Shows(result.out, "three.bin (hardlink)\n")) << result.out;
    for (const wchar_t* name : {L"\\x\\one.bin", L"\\y\\two.bin", L"\\z\\deeper\\three.bin"}) {
        SCOPED_TRACE(Narrow(name));
        EXPECT_TRUE(bytes == ReadBytesOr(copy + name)) << "bytes differ";
        EXPECT_EQ(3u, Facts(copy + name).links);
        EXPECT_EQ(Facts(copy + L"\\x\\one.bin").index, Facts(copy + name).index);
    }
    EXPECT_NE(Facts(source / L"x\\one.bin").index, Facts(copy + L"\\x\\one.bin").index);   // a copy, not the source
    EXPECT_EQ(1u, Facts(copy + L"\\plain.txt").links);

    // a mirror run over the complete target keeps the group and copies nothing
    RunResult again = RunQtxArgs({source.path(), target.path(), L"-mir", L"-s", L"-n"});
    ASSERT_EQ(0, again.exitCode) << again.out << again.err;
    EXPECT_FALSE(Shows(again.out, "File copied")) << again.out;
    EXPECT_EQ(3u, Facts(copy + L"\\z\\deeper\\three.bin").links);

    // -u over the unchanged target writes nothing and leaves the group as it is
    uint64_t index = Facts(copy + L"\\x\\one.bin").index;
    again = RunQtxArgs({source.path(), target.path(), L"-u", L"-o", L"-s", L"-n"});
    ASSERT_EQ(0, again.exitCode) << again.out << again.err;
    EXPECT_TRUE(Shows(again.out, " 0 Bytes actually written")) << again.out;
    for (const wchar_t* name : {L"\\x\\one.bin", L"\\y\\two.bin", L"\\z\\deeper\\three.bin"})
        EXPECT_EQ(index, Facts(copy + name).index) << Narrow(name);
}

TEST(HardLinkEndToEnd, LaterNamesAreCopiedWhenTheFirstCopyFailed) {
    TempDir source, target;
    std::string bytes = MakeGroup(source);
    std::wstring copy = target.path() + L"\\" + Leaf(source.path());
    // the first name's target is an older read-only file: skipped without -or
    MakeFolder(copy + L"\\x");
    ASSERT_TRUE(WriteBytes(copy + L"\\x\\one.bin", "stale"));
    ASSERT_TRUE(SetLastWriteTime(copy + L"\\x\\one.bin", 120000000000000000ull));
    SetFileAttributesW(copy.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(SetFileAttributesW((copy + L"\\x\\one.bin").c_str(), FILE_ATTRIBUTE_READONLY));

    RunResult result = RunQtxArgs({source.path(), target.path(), L"-s", L"-o", L"-n"});
    ASSERT_EQ(0, result.exitCode) << result.out << result.err;
    EXPECT_TRUE(Shows(result.err, "skip read-only file")) << result.err;
    EXPECT_EQ("stale", ReadBytesOr(copy + L"\\x\\one.bin"));
    EXPECT_EQ(1u, Facts(copy + L"\\x\\one.bin").links);
    // the second name became the group's first copy, the third links to it
    EXPECT_TRUE(bytes == ReadBytesOr(copy + L"\\y\\two.bin")) << "bytes differ";
    EXPECT_TRUE(bytes == ReadBytesOr(copy + L"\\z\\deeper\\three.bin")) << "bytes differ";
    EXPECT_EQ(2u, Facts(copy + L"\\y\\two.bin").links);
    EXPECT_EQ(Facts(copy + L"\\y\\two.bin").index, Facts(copy + L"\\z\\deeper\\three.bin").index);
    SetFileAttributesW((copy + L"\\x\\one.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(HardLinkEndToEnd, DeletingSourcesKeepsTheGroupWhole) {
    TempDir source, target, second, again;
    std::string bytes = MakeGroup(source);
    RunResult result = RunQtxArgs({source.path(), target.path(), L"-s", L"-sec", L"-ds", L"-n"});
    ASSERT_EQ(13, result.exitCode) << "Wine reads no security descriptors" << result.out << result.err;
    EXPECT_TRUE(Shows(result.out, "copy security attributes of 1 hard link groups...")) << result.out;
    EXPECT_EQ(3u, Facts(target.path() + L"\\" + Leaf(source.path()) + L"\\x\\one.bin").links);

    MakeGroup(second);
    result = RunQtxArgs({second.path(), again.path(), L"-s", L"-ds", L"-n"});
    ASSERT_EQ(0, result.exitCode) << result.out << result.err;
    std::wstring copy = again.path() + L"\\" + Leaf(second.path());
    // the last name had one link left when its turn came
    for (const wchar_t* name : {L"\\x\\one.bin", L"\\y\\two.bin", L"\\z\\deeper\\three.bin"}) {
        SCOPED_TRACE(Narrow(name));
        EXPECT_FALSE(Exists(second.path() + name));
        EXPECT_TRUE(bytes == ReadBytesOr(copy + name)) << "bytes differ";
        EXPECT_EQ(3u, Facts(copy + name).links);
    }
}
