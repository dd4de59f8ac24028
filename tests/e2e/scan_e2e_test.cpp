// The real qtx.exe with -mir -scan: renamed and moved source files re-used in
// the target without writing their data, and the limit of sampled fingerprints.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

bool Move(const TempDir& root, const std::wstring& from, const std::wstring& to) {
    std::wstring target = root / to;
    MakeFolder(target.substr(0, target.find_last_of(L'\\')));
    return MoveFileW((root / from).c_str(), target.c_str()) != 0;
}

std::wstring FileNamePartOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

const uint64_t kTime = 131000000000000000ull;

}  // namespace

TEST(ScanEndToEnd, RenamedAndMovedFilesAreLinkedNotCopied) {
    TempDir source, target;
    std::string big = PatternBytes(6 * 1048576, 1), mid = PatternBytes(300000, 2), tiny = PatternBytes(400, 3);
    Put(source, L"a\\big.bin", big, kTime);
    Put(source, L"a\\mid.bin", mid, kTime + 1);
    Put(source, L"a\\tiny.bin", tiny, kTime + 2);
    Put(source, L"b\\stays.bin", PatternBytes(5000, 4), kTime + 3);
    RunResult first = RunQtxArgs({source.path(), target.path(), L"-mir", L"-s", L"-n"});
    ASSERT_EQ(0, first.exitCode) << first.out << first.err;

    ASSERT_TRUE(Move(source, L"a\\big.bin", L"b\\renamed big.bin"));
    ASSERT_TRUE(Move(source, L"a\\mid.bin", L"c\\d\\mid.bin"));
    ASSERT_TRUE(Move(source, L"a\\tiny.bin", L"tiny.bin"));
    RunResult scan = RunQtxArgs({source.path(), target.path(), L"-mir", L"-scan", L"-s", L"-n"});
    ASSERT_EQ(0, scan.exitCode) << scan.out << scan.err;

    std::wstring copy = target.path() + L"\\" + FileNamePartOf(source.path());
    EXPECT_TRUE(Shows(scan.out, "4 source files in ")) << scan.out;
    EXPECT_TRUE(Shows(scan.out, "Scan for identical file sizes...")) << scan.out;
    EXPECT_TRUE(Shows(scan.out, "found in target -> hardlink created")) << scan.out;
    EXPECT_TRUE(Shows(scan.out, "2 hardlinks created or files moved\n")) << scan.out;
    // moved in the target, old names removed by the mirror pass, the small one copied
    EXPECT_TRUE(big == ReadBytesOr(copy + L"\\b\\renamed big.bin")) << "bytes differ";
    EXPECT_TRUE(mid == ReadBytesOr(copy + L"\\c\\d\\mid.bin")) << "bytes differ";
    EXPECT_TRUE(tiny == ReadBytesOr(copy + L"\\tiny.bin")) << "bytes differ";
    EXPECT_FALSE(Exists(copy + L"\\a\\big.bin"));
    EXPECT_FALSE(Exists(copy + L"\\a\\mid.bin"));
    EXPECT_EQ(1u, Facts(copy + L"\\b\\renamed big.bin").links);
    EXPECT_FALSE(Shows(scan.out, "renamed big.bin\n File copied")) << scan.out;
    EXPECT_TRUE(Shows(scan.out, "tiny.bin\n File copied")) << scan.out;
}

TEST(ScanEndToEnd, SampledMatchIsTheDocumentedLimitAndFullComparisonCopies) {
    // same size, same samples at start, middle and end, different bytes between them
    std::string original = PatternBytes(5 * 1048576, 5);
    std::string changed = original;
    for (size_t i = 1500000; i < 1500100; ++i) changed[i] ^= 0x5A;

    for (int full = 0; full < 2; ++full) {
        SCOPED_TRACE(full ? "-t:f" : "default samples");
        TempDir source, target;
        Put(source, L"old.bin", original, kTime);
        RunResult first = RunQtxArgs({source.path(), target.path(), L"-mir", L"-n"});
        ASSERT_EQ(0, first.exitCode) << first.out << first.err;
        std::wstring copy = target.path() + L"\\" + FileNamePartOf(source.path());
        DeleteFileW((source / L"old.bin").c_str());
        Put(source, L"new.bin", changed, kTime);

        std::vector<std::wstring> arguments = {source.path(), target.path(), L"-mir", L"-scan", L"-n"};
        if (full) arguments.push_back(L"-t:f");
        RunResult scan = RunQtxArgs(arguments);
        ASSERT_EQ(0, scan.exitCode) << scan.out << scan.err;
        if (full) {
            EXPECT_FALSE(Shows(scan.out, "hardlink created")) << scan.out;
            EXPECT_TRUE(changed == ReadBytesOr(copy + L"\\new.bin")) << "bytes differ";
        } else {
            // sampling sees the files as one: the old bytes stay under the new name
            EXPECT_TRUE(Shows(scan.out, "new.bin found in target -> hardlink created")) << scan.out;
            EXPECT_TRUE(original == ReadBytesOr(copy + L"\\new.bin")) << "bytes differ";
        }
        EXPECT_FALSE(Exists(copy + L"\\old.bin"));
    }
}

TEST(ScanEndToEnd, ATargetStillInUseIsNotShared) {
    TempDir source, target;
    std::string bytes = PatternBytes(200000, 6);
    Put(source, L"keep.bin", bytes, kTime);
    RunResult first = RunQtxArgs({source.path(), target.path(), L"-mir", L"-n"});
    ASSERT_EQ(0, first.exitCode) << first.out << first.err;
    Put(source, L"copy of keep.bin", bytes, kTime);
    RunResult scan = RunQtxArgs({source.path(), target.path(), L"-mir", L"-scan", L"-n"});
    ASSERT_EQ(0, scan.exitCode) << scan.out << scan.err;
    std::wstring copy = target.path() + L"\\" + FileNamePartOf(source.path());
    EXPECT_FALSE(Shows(scan.out, "hardlink created")) << scan.out;
    EXPECT_EQ(1u, Facts(copy + L"\\keep.bin").links);
    EXPECT_EQ(1u, Facts(copy + L"\\copy of keep.bin").links);
    EXPECT_TRUE(bytes == ReadBytesOr(copy + L"\\copy of keep.bin")) << "bytes differ";
}
