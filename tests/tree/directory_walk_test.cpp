// Whole runs in process on a volume in memory: what the walk copies, skips
// and reports when calls fail, folders loop or nest without end.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "directory_walk.h"
#include "folder_identity.h"
#include "run_in_process.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

const std::wstring S = L"C:\\W\\S", T = L"C:\\W\\T", C = T + L"\\S";   // C: where S's content lands

// A stop request comes at the second write after stopIn is opened for writing.
class Volume : public MemoryFileSystem {
public:
    std::wstring stopIn;
    int writes = -1;
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        if (writes < 0 && !stopIn.empty() && (access & GENERIC_WRITE) && wcsstr(path, stopIn.c_str())) writes = 0;
        return MemoryFileSystem::Open(path, access, share, disposition, flags);
    }
    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override {
        if (writes >= 0 && ++writes == 2) run.stopRequested = run.userInterrupted = 1;
        return MemoryFileSystem::Write(handle, buffer, length, done);
    }
};

class Walk : public ::testing::Test {
protected:
    Volume fs;
    CapturedOutput output;
    std::string text;   // what the last run printed

    void SetUp() override {
        fs.AddFolder(S);
        fs.AddFolder(T);
    }
    void TearDown() override {
        folderIndexReader = ReadFolderIndex;
        folderIdReader = ReadFolderId;
        options = Options();
    }
    // Exit code of "qtx S T <switches>".
    int Run(const std::wstring& switches) {
        InProcessRun r = RunInProcess(fs, output, S + L" " + T + L" " + switches);
        text = r.out;
        return r.code;
    }
    bool Says(const char* line) { return text.find(line) != std::string::npos; }
};

TEST_F(Walk, FailuresAreReportedAndTheWalkGoesOn) {
    fs.AddFile(S + L"\\1-locked.txt", "locked");
    fs.AddFile(S + L"\\2-fine.txt", "fine");
    fs.AddFile(S + L"\\unreadable\\u.txt", "u");
    fs.AddFile(S + L"\\nocreate\\n.txt", "n");
    fs.AddFile(S + L"\\ok\\k.txt", "k");
    fs.AddFile(S + L"\\data\\inside.txt", "inside");
    fs.AddFile(C + L"\\DATA", "a file");   // where a folder goes: nobody to ask, so it stays
    fs.AddFault(Call::Open, S + L"\\1-locked", ERROR_ACCESS_DENIED, true);
    fs.AddFault(Call::FindFirst, S + L"\\unreadable", ERROR_ACCESS_DENIED, true);
    fs.AddFault(Call::CreateFolder, L"nocreate", ERROR_ACCESS_DENIED, true);
    EXPECT_NE(0, Run(L"-s"));
    EXPECT_TRUE(Says("Error ACCESS_DENIED listing 'C:\\W\\S\\unreadable\\*'")) << text;
    EXPECT_TRUE(Says("Error ACCESS_DENIED creating dir ")) << text;
    EXPECT_EQ(4, run.failedCopies);
    EXPECT_EQ("fine", fs.Data(C + L"\\2-fine.txt"));
    EXPECT_EQ("k", fs.Data(C + L"\\ok\\k.txt"));
    EXPECT_EQ("a file", fs.Data(C + L"\\DATA"));
    EXPECT_FALSE(fs.Exists(C + L"\\1-locked.txt") || fs.Exists(C + L"\\nocreate"));
    fs.faults.clear();
    EXPECT_EQ(0, Run(L"-s -o"));   // -o puts the folder in the file's place
    EXPECT_EQ("inside", fs.Data(C + L"\\data\\inside.txt"));
}

TEST_F(Walk, ListingThatBreaksOffFailsAndTheMirrorDeletesNothing) {
    for (const wchar_t* name : {L"\\a.txt", L"\\b.txt"}) fs.AddFile(S + name, "new");
    fs.AddFile(C + L"\\b.txt", "old", 0x01C0000000000000ULL);
    // the source's listing for the mirror pass and the walk's own both end after "."
    fs.AddFault(Call::FindNext, S);
    fs.AddFault(Call::FindNext, S);
    EXPECT_NE(0, Run(L"-mir"));
    EXPECT_TRUE(Says("Error ACCESS_DENIED listing ")) << text;
    EXPECT_EQ("old", fs.Data(C + L"\\b.txt"));   // not taken for surplus
}

TEST_F(Walk, FolderLoopIsNotEnteredButAnEqualIndexElsewhereIs) {
    fs.AddFile(S + L"\\a\\loop\\never.txt", "n");
    fs.ShareFolderId(S + L"\\a\\loop", S);   // as a mount of the root would show
    // the root's index is read; those below come from their parent's listing
    folderIndexReader = ReadFolderId;
    EXPECT_NE(0, Run(L"-s"));
    EXPECT_TRUE(Says("Error CANT_RESOLVE_FILENAME: folder loop -> skip folder C:\\W\\S\\a\\loop\n")) << text;
    EXPECT_FALSE(fs.Exists(C + L"\\a\\loop\\never.txt"));

    folderIdReader = [](const wchar_t* path, FolderId* id) {
        int ok = ReadFolderId(path, id);
        if (wcsstr(path, L"\\loop")) id->volumeSerial ^= 1;
        return ok;
    };
    EXPECT_EQ(0, Run(L"-s"));
    EXPECT_EQ("n", fs.Data(C + L"\\a\\loop\\never.txt"));
}

// M is the source under another name, as a folder link or mount shows it:
// the guards refuse by identity and touch nothing.
TEST_F(Walk, GuardsKnowTheSourceByIdentityUnderAnotherName) {
    const std::wstring M = L"C:\\W\\M";
    fs.AddFile(S + L"\\a.txt", "a");
    fs.AddFile(M + L"\\a.txt", "a");
    fs.ShareFolderId(M, S);
    auto before = fs.Snapshot();
    for (const std::wstring& line : {S + L" " + M + L" -s -mir", S + L" " + M + L"\\new -s", M + L"\\a.txt " + S + L"\\"}) {
        InProcessRun r = RunInProcess(fs, output, line);
        EXPECT_NE(0, r.code) << r.out;
        EXPECT_TRUE(fs.Snapshot() == before) << Narrow(line) << "\n" << r.out;
    }
}

// Failures after the data still fail the run: a folder's times, a surplus
// stream that stays, a source folder -ds cannot remove.
TEST_F(Walk, LateFailuresEndTheRunWithThirteen) {
    const std::tuple<Call, const wchar_t*, const wchar_t*> cases[] = {
        {Call::SetTimes, L"T\\S\\SUB", L" -s -o"}, {Call::Delete, L"T\\S\\A.TXT", L" -s -mir -ads"},
        {Call::RemoveFolder, L"W\\S\\SUB", L" -s -ds -o"}};
    for (const auto& [call, path, switches] : cases) {
        MemoryFileSystem volume;
        volume.AddFolder(S + L"\\sub");
        volume.AddFile(S + L"\\a.txt", "a");
        volume.AddFile(C + L"\\a.txt", "old", 0x01C0000000000000ULL);
        volume.File(C + L"\\a.txt")->streams[L":EXTRA"] = "x";
        volume.AddFault(call, path).times = -1;   // every such call there fails, no other
        InProcessRun r = RunInProcess(volume, output, S + L" " + T + switches);
        EXPECT_EQ(13, r.code) << Narrow(switches) << r.out;
    }
}

TEST_F(Walk, NestingIsBoundedInDepth) {
    std::wstring deep = S;
    for (int i = 0; i < kMaxWalkDepth; ++i) deep += L"\\d";
    fs.AddFile(deep + L"\\last.txt", "last");
    fs.AddFile(deep + L"\\d\\below.txt", "below");
    EXPECT_NE(0, Run(L"-s"));
    EXPECT_TRUE(Says("path nested too deep (max 1024) -> skip folder C:\\W\\S\\d\\d")) << text;
    std::wstring copy = C + deep.substr(S.size());
    EXPECT_EQ("last", fs.Data(copy + L"\\last.txt"));
    EXPECT_FALSE(fs.Exists(copy + L"\\d"));
}

TEST_F(Walk, MirrorStoppedInMidFileFinishesThatTargetOnly) {
    const std::wstring names[] = {L"\\a.bin", L"\\b.bin", L"\\c.bin"};
    const size_t size = 2 * 1048576 + 7;   // more than one block
    for (uint32_t i = 0; i < 3; ++i) {
        fs.AddFile(S + names[i], PatternBytes(size, 10 + i));
        fs.AddFile(C + names[i], PatternBytes(9000, 20 + i), 0x01C0000000000000ULL);
    }
    fs.AddFile(C + L"\\surplus.bin", "surplus");
    fs.stopIn = C + names[1];
    EXPECT_NE(0, Run(L"-mir -ds")) << text;
    EXPECT_GT(fs.writes, 2) << "no write after the stop";
    EXPECT_FALSE(fs.Exists(C + L"\\surplus.bin"));
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(Narrow(names[i]));
        EXPECT_TRUE(fs.Data(C + names[i]) == (i < 2 ? PatternBytes(size, 10 + i) : PatternBytes(9000, 20 + i)));
        EXPECT_EQ(i == 2, fs.Exists(S + names[i]));   // -ds lets go of what was copied only
    }
}

}  // namespace
