// The real qtx.exe with the compression, WOF and sparse switches: whatever the
// target volume supports, the copied bytes equal the source's.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

TEST(CompressionE2E, EveryModeKeepsTheBytesAndAMirrorKeepsExistingTargets) {
    // whole zero blocks, which -sz skips, between data and at the end
    std::string big = PatternBytes(3 * 1048576 + 4321, 7);
    big.replace(1048576, 1048576, std::string(1048576, '\0'));
    TempDir source;
    Put(source, L"big.bin", big);
    Put(source, L"tail zeros.bin", PatternBytes(1048576, 8) + std::string(2 * 1048576, '\0'));
    Put(source, L"small.txt", PatternBytes(1000, 9));
    Put(source, L"empty.dat", "");
    Put(source, L"sub\\inner.txt", PatternBytes(200000, 11));
    const std::vector<std::vector<std::wstring>> modes = {
        {L"-c0"}, {L"-c1"}, {L"-c3"}, {L"-xpress16"}, {L"-sp", L"-sz"}, {L"-sz"}, {L"-c2", L"-u"}, {L"-LZX", L"-v"},
    };
    for (const auto& mode : modes) {
        TempDir target;
        std::vector<std::wstring> arguments = {source.path() + L"\\", target.path(), L"-s"};
        arguments.insert(arguments.end(), mode.begin(), mode.end());
        RunResult r = RunQtxArgs(arguments);
        std::string context = Narrow(mode[0]);
        EXPECT_EQ(0, r.exitCode) << context << r.out << r.err;
        ExpectSameTree(Tree(source.path()), Tree(target.path()));
        // WOF needs its service, which this system lacks: the copy goes on plainly
        bool wof = context == "-LZX" || context == "-xpress16";
        EXPECT_EQ(wof, Has(r.out, "Error: LZX compession requires Windows 10\r\n")) << context << r.out;
        EXPECT_EQ("", r.err) << context;
    }
    TempDir target;
    ASSERT_EQ(0, RunQtxArgs({source.path() + L"\\", target.path(), L"-mir", L"-c1"}).exitCode);
    for (const wchar_t* level : {L"-c2", L"-lzx"}) {
        TreeMap before = Tree(target.path());
        RunResult again = RunQtxArgs({source.path() + L"\\", target.path(), L"-mir", level});
        EXPECT_EQ(0, again.exitCode) << again.out << again.err;
        EXPECT_TRUE(before == Tree(target.path())) << Narrow(level);
        EXPECT_TRUE(Has(again.out, "small.txt already exists -> skip")) << again.out;
    }
}

}  // namespace
