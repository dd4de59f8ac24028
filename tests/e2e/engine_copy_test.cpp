// Single-file copies through qtx.exe: the policies for an existing target,
// start position, forced size and verification.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

RunResult Copy(const TempDir& dir, const wchar_t* from, const wchar_t* to, std::vector<std::wstring> options) {
    options.insert(options.begin(), {dir / from, dir / to});
    return RunQtxArgs(options);
}

TEST(EngineCopyE2E, OverwritePolicies) {
    TempDir dir;
    std::string data = PatternBytes(5000, 1), old = PatternBytes(4000, 2);
    Put(dir, L"src.bin", data);
    // the target's time, whether it is read-only, the options, whether it is replaced, a line said
    const std::tuple<uint64_t, bool, std::vector<std::wstring>, bool, const char*> cases[] = {
        // without a console nobody answers: kept, and said so
        {kBase - kDay, false, {}, false, "dst.bin already exists -> kept (no console to ask"},
        {kBase - kDay, false, {L"-k"}, false, "dst.bin already exists but with different size -> skip anyway"},
        {kBase + kDay, false, {L"-oo"}, false, ""},
        {kBase - kDay, false, {L"-oo"}, true, ""},
        {kBase, false, {L"-oo"}, true, ""},   // the same time with another size is kBase - kDay
        {kBase + kDay, false, {L"-o"}, true, ""},
        {kBase - kDay, true, {L"-o"}, false, "skip read-only file "},
        {kBase - kDay, true, {L"-o", L"-or"}, true, ""},
    };
    for (const auto& [time, readOnly, options, replaced, line] : cases) {
        SetFileAttributesW((dir / L"dst.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
        Put(dir, L"dst.bin", old, time);
        if (readOnly) SetFileAttributesW((dir / L"dst.bin").c_str(), FILE_ATTRIBUTE_READONLY);
        RunResult r = Copy(dir, L"src.bin", L"dst.bin", options);
        std::string context = (options.empty() ? "no option " : Narrow(options.back())) + r.out + r.err;
        EXPECT_TRUE(r.exitCode == 0 && Has(r.out + r.err, line)) << context;
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == (replaced ? data : old)) << context;
        EXPECT_EQ(LastWriteTime(dir / L"dst.bin"), replaced ? kBase : time) << context;
    }
}

// Old bytes left before the start position: -v catches them and keeps the source, -vr rewrites.
TEST(EngineCopyE2E, StartPositionKeepsTheTargetsStartAndVerificationSeesIt) {
    TempDir dir;
    std::string data = PatternBytes((3 << 20) + 777, 31), old((3 << 20) + 777, '\x5A');
    data.replace(0, 1 << 20, std::string(1 << 20, '\0'));
    Put(dir, L"src.bin", data);
    Put(dir, L"dst.bin", old);
    RunResult r = Copy(dir, L"src.bin", L"dst.bin", {L"-o", L"-st:1048576", L"-v", L"-ds"});
    EXPECT_EQ(r.exitCode, 12) << r.out << r.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == old.substr(0, 1 << 20) + data.substr(1 << 20));
    EXPECT_TRUE(Has(r.out, "00000000: 00 5A") && Has(r.out, "1 file with verification error")) << r.out;
    EXPECT_TRUE(Exists(dir / L"src.bin"));
    r = Copy(dir, L"src.bin", L"dst.bin", {L"-o", L"-st:1048576", L"-vr"});
    EXPECT_TRUE(r.exitCode == 0 && Has(r.out, " verification failed -> try to rewrite...")) << r.out << r.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    // a target with a second name keeps its start, and that name its bytes
    Put(dir, L"dst.bin", old);
    ASSERT_TRUE(CreateHardLinkW((dir / L"other.bin").c_str(), (dir / L"dst.bin").c_str(), nullptr));
    EXPECT_EQ(Copy(dir, L"src.bin", L"dst.bin", {L"-o", L"-st:1048576"}).exitCode, 0);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == old.substr(0, 1 << 20) + data.substr(1 << 20));
    EXPECT_TRUE(ReadBytesOr(dir / L"other.bin") == old);
    // a target that was not copied is compared with -ve only, at full length
    Put(dir, L"dst.bin", data + "extra");
    EXPECT_EQ(Copy(dir, L"src.bin", L"dst.bin", {L"-k", L"-v"}).exitCode, 0);
    for (const wchar_t* keep : {L"-k", L"-q"}) {   // kept by -k or by the default answer
        r = Copy(dir, L"src.bin", L"dst.bin", {keep, L"-ve"});
        EXPECT_TRUE(r.exitCode == 12 && Has(r.out, " target file size is 3146510 instead of 3146505")) << r.out;
    }
}

// -fi past the source's end, in a later block, fails alike in a tree and a
// single copy; an existing target no byte reached stays as it was.
TEST(EngineCopyE2E, ForcedSizePastTheEndFailsAndKeepsAnIntactTarget) {
    TempDir dir;
    std::string data = PatternBytes(300000, 14), old = PatternBytes(280000, 15);
    Put(dir, L"src\\a.bin", data);
    Put(dir, L"src\\b.bin", PatternBytes(0x280000, 16));
    Put(dir, L"dst\\a.bin", old);
    RunResult r = RunQtxArgs({dir / L"src\\", dir / L"dst", L"-o", L"-fi:5MB", L"-q"});
    EXPECT_TRUE(r.exitCode == 13 && Has(r.out, " a.bin kept unchanged")) << r.out << r.err;
    EXPECT_TRUE(ReadBytesOr(dir / L"dst\\a.bin") == old && LastWriteTime(dir / L"dst\\a.bin") == kBase);
    EXPECT_FALSE(Exists(dir / L"dst\\b.bin"));
    // the walk went on after a short first and a short later block, and -q hides no failure
    for (const char* name : {"a.bin': source ended before the requested size (300000 of 5000000 bytes)\r\n",
                             "b.bin': source ended before the requested size (2621440 of 5000000 bytes)\r\n"})
        EXPECT_TRUE(Has(r.err, "Error HANDLE_EOF reading '" + Narrow(dir / L"src\\") + name)) << r.err;
    EXPECT_EQ(Copy(dir, L"src\\a.bin", L"dst\\a.bin", {L"-o", L"-fi:5MB"}).exitCode, 13);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst\\a.bin") == old);
    EXPECT_EQ(Copy(dir, L"src\\b.bin", L"dst\\new.bin", {L"-fi:5MB"}).exitCode, 13);
    EXPECT_FALSE(Exists(dir / L"dst\\new.bin"));
}

}  // namespace
