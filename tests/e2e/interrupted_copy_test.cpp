// qtx.exe ended at once in mid-copy, as by a power cut or kill -9: nothing
// under a target's name is half-written, and the same command run again
// resumes the copy and ends with 0.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

const size_t kBig = 192u << 20;
const size_t kLargestBlock = 32u << 20;

// Whether the copy being written under path holds data at offset `at`.
bool Reached(const std::wstring& path, size_t at) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr);
    char bytes[4096] = {};
    DWORD got = 0;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    if (file != INVALID_HANDLE_VALUE && !ReadFile(file, bytes, sizeof bytes, &got, &where)) got = 0;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return std::find_if(bytes, bytes + got, [](char c) { return c != 0; }) != bytes + got;
}

// The share " N% actually written" reports.
int WrittenPercent(const std::string& out) {
    size_t at = out.find("% actually written");
    return at == std::string::npos ? 100 : atoi(out.c_str() + out.rfind(' ', at) + 1);
}

// A large copy and a mirror killed in mid-file: the target's name holds no
// part of the new copy, and the same command resumes it, writing at most the
// missing bytes and one block again.
TEST(InterruptedCopy, AKilledCopyIsResumedByTheSameCommand) {
    for (int mirror = 0; mirror <= 1; ++mirror) {
        SCOPED_TRACE(mirror);
        TempDir source, target;
        const std::string big = PatternBytes(kBig, 31 + mirror), old = PatternBytes(kBig / 2, 33);
        Put(source, L"data\\sub\\big.bin", big);
        Put(source, L"data\\a.txt", "alpha");
        if (mirror) Put(target, L"data\\sub\\big.bin", old, kBase - kDay);
        if (mirror) Put(target, L"data\\surplus.txt", "surplus");
        std::vector<std::wstring> command = {source / L"data\\sub\\big.bin", target / L"data\\sub\\big.bin"};
        if (mirror) command = {source / L"data", target.path(), L"-mir"};
        MakeFolder(target / L"data\\sub");
        const std::wstring copy = target / L"data\\sub\\big.bin", partial = copy + L".qtx-part";
        RunResult killed = RunQtxKilled(command, [&] { return Reached(partial, kBig / 3); });
        ASSERT_EQ(killed.exitCode, 9) << "the copy ended before it could be stopped\n" << killed.out;
        EXPECT_TRUE(ReadBytesOr(copy) == (mirror ? old : "<missing>")) << "the old target stays until the copy is complete";
        std::string part = ReadBytesOr(partial);
        size_t good = std::mismatch(part.begin(), part.end(), big.begin()).first - part.begin();
        EXPECT_GE(good, kBig / 3);
        RunResult r = RunQtxArgs(command);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(ReadBytesOr(copy) == big && LastWriteTime(copy) == kBase);
        EXPECT_FALSE(Exists(partial));
        EXPECT_LE(static_cast<size_t>(WrittenPercent(r.out)), (kBig - good + kLargestBlock) * 100 / kBig + 1) << r.out;
        if (mirror) ExpectSameTree(Tree(source / L"data"), Tree(target / L"data"));
    }
}

}  // namespace
