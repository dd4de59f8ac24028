// The real qtx.exe with folder times, -sec and -ads on what Wine offers.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "test_support.h"

using namespace qtxtest;

namespace {

TEST(SecurityStreamsEndToEnd, FolderTimesOfATreeAreCopied) {
    TempDir source, target;
    MakeFolder(source / L"tree\\a\\b");
    WriteBytes(source / L"tree\\a\\b\\f.txt", "leaf");
    WriteBytes(source / L"tree\\a\\g.txt", "mid");
    const uint64_t times[] = {130000000000000000ull, 130100000000000000ull, 130200000000000000ull};
    // deepest first: writing a file changes its folder's time
    ASSERT_TRUE(SetLastWriteTime(source / L"tree\\a\\b", times[2]));
    ASSERT_TRUE(SetLastWriteTime(source / L"tree\\a", times[1]));
    ASSERT_TRUE(SetLastWriteTime(source / L"tree", times[0]));
    RunResult result = RunQtxArgs({source / L"tree", target.path(), L"-s", L"-q"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_EQ(ReadBytesOr(target / L"tree\\a\\b\\f.txt"), "leaf");
    EXPECT_EQ(LastWriteTime(target / L"tree\\a\\b"), times[2]);
    EXPECT_EQ(LastWriteTime(target / L"tree\\a"), times[1]);
    EXPECT_EQ(LastWriteTime(target / L"tree"), times[0]);
}

TEST(SecurityStreamsEndToEnd, SecurityAndStreamsNeverSpoilTheData) {
    TempDir source, target;
    std::string big = PatternBytes(300000, 7);
    WriteBytes(source / L"big.bin", big);
    WriteBytes(source / L"small.txt", "small");
    MakeFolder(source / L"sub");
    WriteBytes(source / L"sub\\inner.txt", "inner");
    RunResult result = RunQtxArgs({source.path() + L"\\", target.path(), L"-s", L"-sec", L"-ads"});
    // Wine reads no security descriptors: each one not copied is a failure of the run
    EXPECT_EQ(result.exitCode, 13) << result.out << result.err;
    EXPECT_EQ(ReadBytesOr(target / L"big.bin"), big);
    EXPECT_EQ(ReadBytesOr(target / L"small.txt"), "small");
    EXPECT_EQ(ReadBytesOr(target / L"sub\\inner.txt"), "inner");

    // with -ds a source stays unless its security and streams were copied too;
    // either way the target holds the data
    TempDir again;
    result = RunQtxArgs({source.path() + L"\\", again.path(), L"-s", L"-sec", L"-ds"});
    EXPECT_EQ(ReadBytesOr(again / L"big.bin"), big);
    if (Exists(source / L"big.bin")) { EXPECT_EQ(ReadBytesOr(source / L"big.bin"), big); }
}

}  // namespace
