// Single-file copies through qtx.exe, checked byte for byte.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

constexpr uint64_t kSourceTime = 132000000000000000ull;
constexpr uint64_t kHour = 36000000000ull;

TEST(EngineCopyE2E, CopiesFilesOfEverySizeByteForByte) {
    const size_t sizes[] = {0, 1, 1000, 0x100000, 0x100001, 0x280000 + 77};
    for (size_t size : sizes) {
        TempDir dir;
        std::string data = PatternBytes(size, static_cast<uint32_t>(size) + 11);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        ASSERT_TRUE(SetLastWriteTime(dir / L"src.bin", kSourceTime));
        RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin"});
        EXPECT_EQ(result.exitCode, 0) << size << result.out << result.err;
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data) << size;
        EXPECT_EQ(LastWriteTime(dir / L"dst.bin"), kSourceTime) << size;
        // a file of 0 bytes is created without a result line
        EXPECT_EQ(Has(result.out, " File copied"), size > 0) << size << result.out;
        EXPECT_TRUE(ReadableLines(result.out)) << size << result.out;
    }
}

TEST(EngineCopyE2E, OverwritePolicies) {
    TempDir dir;
    std::string data = PatternBytes(5000, 1);
    std::string old = PatternBytes(4000, 2);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(SetLastWriteTime(dir / L"src.bin", kSourceTime));
    const uint64_t older = kSourceTime - kHour, newer = kSourceTime + kHour;
    const struct {
        uint64_t targetTime;
        bool readOnly;
        std::vector<std::wstring> options;
        bool replaced;
        const char* line;   // in the output or the error output
    } cases[] = {
        // without a console nobody answers: kept, and said so
        {older, false, {}, false, "dst.bin already exists -> kept (no console to ask"},
        {older, false, {L"-k"}, false, "dst.bin already exists but with different size -> skip anyway"},
        {newer, false, {L"-oo"}, false, ""},
        {older, false, {L"-oo"}, true, ""},
        {kSourceTime, false, {L"-oo"}, true, ""},   // the same time with another size is older
        {newer, false, {L"-o"}, true, ""},
        {older, true, {L"-o"}, false, "skip read-only file "},
        {older, true, {L"-o", L"-or"}, true, ""},
    };
    for (const auto& c : cases) {
        SetFileAttributesW((dir / L"dst.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(WriteBytes(dir / L"dst.bin", old));
        ASSERT_TRUE(SetLastWriteTime(dir / L"dst.bin", c.targetTime));
        if (c.readOnly) SetFileAttributesW((dir / L"dst.bin").c_str(), FILE_ATTRIBUTE_READONLY);
        std::vector<std::wstring> args = {dir / L"src.bin", dir / L"dst.bin"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        RunResult result = RunQtxArgs(args);
        std::string context = c.options.empty() ? "no option" : Narrow(c.options.back());
        EXPECT_EQ(result.exitCode, 0) << context;
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == (c.replaced ? data : old)) << context;
        if (c.replaced) {
            EXPECT_EQ(LastWriteTime(dir / L"dst.bin"), kSourceTime) << context;
        }
        EXPECT_TRUE(Has(result.out + result.err, c.line)) << context << result.out << result.err;
        EXPECT_TRUE(ReadableLines(result.out)) << context << result.out;
    }
    SetFileAttributesW((dir / L"dst.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(EngineCopyE2E, AvoidWritesAndSkipZeros) {
    TempDir dir;
    std::string data = PatternBytes(300000, 6);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", data));
    RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-o", L"-u"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Has(result.out, " 0 Bytes actually written")) << result.out;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    std::string late = data;   // one byte differs, late in the only block
    late[290000] ^= 0x40;
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", late));
    result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-o", L"-u"});
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);

    // zero runs in the middle and at the end read back as zeros, at the exact size
    std::string sparse = PatternBytes(200000, 7) + std::string(2 << 20, '\0') + PatternBytes(100, 8) +
                         std::string(1 << 20, '\0');
    ASSERT_TRUE(WriteBytes(dir / L"zeros.bin", sparse));
    result = RunQtxArgs({dir / L"zeros.bin", dir / L"zeros.out", L"-sz"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"zeros.out") == sparse);
    EXPECT_FALSE(Has(result.out, "delete incomplete")) << result.out;

    // over a longer existing file every skipped range reads as zeros, and -v agrees
    std::string mixed = PatternBytes(1 << 20, 11) + std::string(1 << 20, '\0') + PatternBytes(1 << 20, 12) +
                        std::string((1 << 20) + 1000, '\0');
    ASSERT_TRUE(WriteBytes(dir / L"mixed.bin", mixed));
    ASSERT_TRUE(WriteBytes(dir / L"mixed.out", PatternBytes(4207649, 13)));
    result = RunQtxArgs({dir / L"mixed.bin", dir / L"mixed.out", L"-sz", L"-o", L"-v"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"mixed.out") == mixed);
}

TEST(EngineCopyE2E, StartPosition) {
    TempDir dir;
    std::string data = PatternBytes(3 << 20, 9);
    std::string old = PatternBytes(3 << 20, 10);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", old));
    RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"dst.bin", L"-o", L"-st:1048576"});
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    std::string copied = ReadBytesOr(dir / L"dst.bin");
    ASSERT_EQ(copied.size(), data.size());
    // the start of the target stays, the rest comes from the same place in the source
    EXPECT_TRUE(copied.substr(0, 1 << 20) == old.substr(0, 1 << 20));
    EXPECT_TRUE(copied.substr(1 << 20) == data.substr(1 << 20));

    result = RunQtxArgs({dir / L"src.bin", dir / L"far.bin", L"-st:4194304"});
    EXPECT_TRUE(Has(result.err, "Error: StartPos (4194304) > FileSize (3145728) -> abort")) << result.err;
    EXPECT_FALSE(Exists(dir / L"far.bin"));
}

// -fi past the source's end fails alike in a tree and a single copy; an
// existing target no byte reached stays as it was.
TEST(EngineCopyE2E, ForcedSizePastTheEndFailsAndKeepsAnIntactTarget) {
    TempDir dir;
    std::string data = PatternBytes(300000, 14), old = PatternBytes(280000, 15);
    ASSERT_TRUE(MakeFolder(dir / L"src"));
    ASSERT_TRUE(MakeFolder(dir / L"dst"));
    ASSERT_TRUE(WriteBytes(dir / L"src\\a.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"src\\b.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"dst\\a.bin", old));
    ASSERT_TRUE(SetLastWriteTime(dir / L"dst\\a.bin", kSourceTime));
    RunResult result = RunQtxArgs({dir / L"src\\", dir / L"dst", L"-o", L"-fi:1MB"});
    EXPECT_EQ(result.exitCode, 13) << result.out << result.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst\\a.bin") == old);
    EXPECT_EQ(LastWriteTime(dir / L"dst\\a.bin"), kSourceTime);
    EXPECT_TRUE(Has(result.out, " a.bin kept unchanged")) << result.out;
    EXPECT_FALSE(Exists(dir / L"dst\\b.bin"));
    EXPECT_FALSE(Has(result.out, " File copied")) << result.out;
    const char* ended = " source ended before the requested size (300000 of 1000000 bytes)";
    size_t first = result.out.find(ended);
    ASSERT_NE(first, std::string::npos) << result.out;
    EXPECT_NE(result.out.find(ended, first + 1), std::string::npos) << result.out;   // the walk went on

    result = RunQtxArgs({dir / L"src\\a.bin", dir / L"dst\\a.bin", L"-o", L"-fi:1MB"});
    EXPECT_EQ(result.exitCode, 13) << result.out << result.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst\\a.bin") == old);
    EXPECT_TRUE(Has(result.out, " source ended before the requested size")) << result.out;
    result = RunQtxArgs({dir / L"src\\b.bin", dir / L"dst\\new.bin", L"-fi:1MB"});
    EXPECT_EQ(result.exitCode, 13) << result.out << result.err;
    EXPECT_FALSE(Exists(dir / L"dst\\new.bin"));
}

TEST(EngineCopyE2E, TargetThatCannotBeCreatedFailsTheRun) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(1000, 1)));
    ASSERT_TRUE(MakeFolder(dir / L"out\\src.bin"));
    RunResult result = RunQtxArgs({dir / L"src.bin", dir / L"out", L"-o"});
    EXPECT_TRUE(Has(result.err, "already exists as folder")) << result.err;
    EXPECT_FALSE(Has(result.out, " File copied")) << result.out;
    EXPECT_EQ(result.exitCode, 13);
}

}  // namespace
