// Runs that could not do all they were asked: each names what failed with
// the error's name, and none of them ends with 0.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

TEST(FailureExitEndToEnd, EveryKindOfFailureEndsWithThirteen) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"file.bin", PatternBytes(5000)));
    ASSERT_TRUE(MakeFolder(dir / L"src\\sub"));
    ASSERT_TRUE(WriteBytes(dir / L"src\\a.txt", "alpha"));
    ASSERT_TRUE(WriteBytes(dir / L"src\\sub\\b.txt", "beta"));
    ASSERT_TRUE(MakeFolder(dir / L"out"));
    ASSERT_TRUE(MakeFolder(dir / L"blocked"));
    ASSERT_TRUE(WriteBytes(dir / L"blocked\\sub", "a file"));
    struct Case {
        std::wstring tail;
        const char* line;
    } cases[] = {
        // a file stands where a target folder must go
        {L"src\\ blocked -s", "a file stands where the folder goes -> skip folder sub"},
        // Wine's volumes have no named streams
        {L"file.bin out\\file.bin:extra", "target drive does not support streams -> abort"},
        {L"file.bin \\\\.\\" + dir / L"out", "target drive does not support streams -> abort"},
        // Wine cannot read security descriptors or streams as backup streams (NOT_SUPPORTED)
        {L"src\\ out -s -sec", "Error NOT_SUPPORTED copying security of "},
        {L"src\\ out -s -ads", "Error NOT_SUPPORTED copying streams of "},
        {L"file.bin missing\\link.bin -h", "creating hardlink "},
    };
    for (const Case& c : cases) {
        RunResult r = RunQtx(c.tail, dir.path());
        EXPECT_EQ(r.exitCode, 13) << Narrow(c.tail) << "\n" << r.out << r.err;
        EXPECT_TRUE(Has(r.out + r.err, c.line)) << Narrow(c.tail) << "\n" << r.out << r.err;
        EXPECT_FALSE(Has(r.out, "there was nothing to do")) << Narrow(c.tail);
    }
    EXPECT_EQ(ReadBytesOr(dir / L"blocked\\sub"), "a file");
    EXPECT_EQ(ReadBytesOr(dir / L"out\\a.txt"), "alpha") << "the data is copied even when its security is not";
}

TEST(FailureExitEndToEnd, HardLinkReplacesAnExistingTargetOnlyWhenToldTo) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"a.bin", PatternBytes(5000)));
    ASSERT_TRUE(MakeFolder(dir / L"out"));
    ASSERT_TRUE(WriteBytes(dir / L"out\\a.bin", "older"));
    RunResult r = RunQtx(L"a.bin out -h", dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;   // no console to ask: the default keeps the target
    EXPECT_EQ(ReadBytesOr(dir / L"out\\a.bin"), "older");
    r = RunQtx(L"a.bin out -h -o", dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Facts(dir / L"out\\a.bin").index, Facts(dir / L"a.bin").index);
    EXPECT_EQ(ReadBytesOr(dir / L"out\\a.bin"), PatternBytes(5000));
}

}  // namespace
