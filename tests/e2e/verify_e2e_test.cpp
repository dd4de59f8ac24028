// Verification through qtx.exe: good copies, differences planted in the
// target, repair by rewriting and existing targets that were not copied.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

constexpr uint64_t kSourceTime = 132000000000000000ull;
constexpr uint64_t kHour = 36000000000ull;

// 3 MiB and a bit with an all-zero first MiB, which -st:1048576 leaves as the target had it.
std::string WithZeroStart() {
    std::string data = PatternBytes((3 << 20) + 777, 31);
    for (size_t i = 0; i < 1u << 20; ++i) data[i] = 0;
    return data;
}

TEST(VerifyE2E, GoodCopiesAreVerified) {
    const wchar_t* switches[] = {L"-v", L"-vi", L"-vr"};
    for (const wchar_t* option : switches) {
        TempDir dir;
        std::string data = PatternBytes((3 << 20) + 4097, 32);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", option});
        EXPECT_EQ(result.exitCode, 0) << Narrow(option) << result.out << result.err;
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data) << Narrow(option);
        EXPECT_EQ(Has(result.out, " File verified\r\n"), option[2] != L'i') << result.out;
        EXPECT_FALSE(Has(result.out, "verification error")) << result.out;
    }
}

// Old bytes left before the start position: -v fails and keeps the source, -vr repairs.
TEST(VerifyE2E, OldBytesBeforeTheStartPositionAreCaughtOrRewritten) {
    TempDir dir;
    std::string data = WithZeroStart();
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", std::string(data.size(), '\x5A')));
    RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-o", L"-st:1048576", L"-v", L"-ds"});
    EXPECT_EQ(result.exitCode, 12) << result.out << result.err;
    EXPECT_TRUE(Has(result.out, "00000000: 00 5A")) << result.out;
    EXPECT_TRUE(Has(result.out, "1 file with verification error")) << result.out;
    EXPECT_TRUE(Has(result.err, "verification failed: ")) << result.err;
    EXPECT_FALSE(Has(result.out, " File verified"));
    EXPECT_TRUE(Exists(dir / L"src.bin"));

    result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-o", L"-st:1048576", L"-vr"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Has(result.out, " verification failed -> try to rewrite...")) << result.out;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
}

TEST(VerifyE2E, ExistingTargetsThatWereNotCopiedAreVerified) {
    TempDir dir;
    std::string data = PatternBytes(200000, 33);
    std::string changed = data;
    changed[150000] ^= 0x10;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(SetLastWriteTime(dir / L"src.bin", kSourceTime));

    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", data));
    RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-k", L"-ve"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Has(result.out, " verifying...")) << result.out;
    EXPECT_TRUE(Has(result.out, " File verified")) << result.out;

    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", changed));
    result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-k", L"-ve"});
    EXPECT_EQ(result.exitCode, 12) << result.out << result.err;
    EXPECT_TRUE(Has(result.out, "000249F0: ")) << result.out;

    // newer and of the same size: -oo leaves it, -ve still compares it
    ASSERT_TRUE(SetLastWriteTime(dir / L"dst.bin", kSourceTime + kHour));
    result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-oo", L"-ve"});
    EXPECT_EQ(result.exitCode, 12) << result.out << result.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == changed);

    // a longer target holds bytes the source does not have
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", data + "extra"));
    result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-k", L"-ve"});
    EXPECT_EQ(result.exitCode, 12) << result.out << result.err;
    EXPECT_TRUE(Has(result.out, " target file size is 200005 instead of 200000")) << result.out;

    // -v alone leaves skipped targets alone
    result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-k", L"-v"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
}

TEST(VerifyE2E, FolderCopyCountsEachFailedFileOnce) {
    TempDir dir;
    std::string data = WithZeroStart();
    ASSERT_TRUE(MakeFolder(dir / L"in"));
    ASSERT_TRUE(MakeFolder(dir / L"out"));
    ASSERT_TRUE(WriteBytes(dir / L"in\\a.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"in\\b.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"in\\c.bin", PatternBytes(5000, 34)));
    ASSERT_TRUE(WriteBytes(dir / L"out\\a.bin", std::string(data.size(), '\x11')));
    ASSERT_TRUE(WriteBytes(dir / L"out\\b.bin", std::string(data.size(), '\x22')));
    RunResult result = RunQtxArgs({dir / L"in\\*", dir / L"out", L"-k", L"-ve"});
    EXPECT_EQ(result.exitCode, 12) << result.out << result.err;
    EXPECT_TRUE(Has(result.out, "2 files with verification error")) << result.out;
    EXPECT_TRUE(ReadBytesOr(dir / L"out\\c.bin") == PatternBytes(5000, 34));
}

}  // namespace
