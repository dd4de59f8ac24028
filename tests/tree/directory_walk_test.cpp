// Whole runs in process on a volume in memory: what the walk copies, skips
// and reports when calls fail, folders loop or nest without end.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "directory_walk.h"
#include "folder_identity.h"
#include "run_in_process.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

const std::wstring S = L"C:\\W\\S", T = L"C:\\W\\T", C = T + L"\\S";   // C: where S's content lands

// A listing that returns twin shows it once more in lower case, as a
// case-sensitive source would hold both; every path opened is kept.
class Volume : public MemoryFileSystem {
public:
    std::wstring twin;
    bool twinNext = false;
    int FindNext(void* search, FoundName* found) override {
        if (twinNext) {
            twinNext = false;
            for (wchar_t* c = found->name; *c; ++c) *c = towlower(*c);
            return 1;
        }
        int ok = MemoryFileSystem::FindNext(search, found);
        twinNext = ok && twin == found->name;
        return ok;
    }
    std::vector<std::wstring> opened;
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition, uint32_t flags) override {
        opened.push_back(path);
        return MemoryFileSystem::Open(path, access, share, disposition, flags);
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

// -o puts a folder in the place of a file; a mirror's summary counts what it
// removed and what it made.
TEST_F(Walk, FileGivesWayToAFolderAndTheMirrorCountsWhatItDid) {
    fs.AddFile(S + L"\\data\\inside.txt", "inside");
    fs.AddFile(C + L"\\DATA", "a file");
    EXPECT_EQ(0, Run(L"-s -o"));
    EXPECT_EQ("inside", fs.Data(C + L"\\data\\inside.txt"));
    fs.AddFile(C + L"\\surplus.txt", "surplus");
    EXPECT_EQ(0, Run(L"-mir"));
    EXPECT_TRUE(!Says("there was nothing to do") && Says("1 entry deleted\n")) << text;
    fs.AddFolder(S + L"\\data\\empty");
    EXPECT_EQ(0, Run(L"-mir"));
    EXPECT_TRUE(fs.Exists(C + L"\\data\\empty"));
    EXPECT_TRUE(!Says("there was nothing to do") && Says("1 folder created\n")) << text;
}

// A.TXT and a.txt in one source folder: the second fails naming both, and
// no run copies it over the first one's copy.
TEST_F(Walk, NamesDifferingOnlyInCaseFailTheSecond) {
    fs.AddFile(S + L"\\A.TXT", "upper");
    fs.twin = L"A.TXT";
    for (const wchar_t* switches : {L"-s", L"-mir", L"-mir"}) {
        EXPECT_EQ(13, Run(switches));
        EXPECT_TRUE(Says("Error FILE_EXISTS: 'C:\\W\\S\\a.txt' differs only in case from 'A.TXT' -> skip\n")) << text;
        EXPECT_EQ(switches[1] == L's', Says(" File copied")) << text;
    }
    EXPECT_EQ("upper", fs.Data(C + L"\\A.TXT"));
}

// A loop, or a followed link whose identity cannot be read (it could lead
// back up the tree), is not entered, and -ds keeps what lies behind it.
TEST_F(Walk, FolderLoopIsNotEnteredButAnEqualIndexElsewhereIs) {
    fs.AddFile(S + L"\\a\\loop\\never.txt", "n");
    fs.ShareFolderId(S + L"\\a\\loop", S);   // as a mount of the root would show
    fs.AddFile(S + L"\\a\\b\\up\\never.txt", "n");
    fs.ShareFolderId(S + L"\\a\\b\\up", S + L"\\a\\b");   // and of its own parent
    // the root's index is read; those below come from their parent's listing
    EXPECT_NE(0, Run(L"-s"));
    EXPECT_TRUE(Says("Error CANT_RESOLVE_FILENAME: folder loop -> skip folder C:\\W\\S\\a\\loop\n")) << text;
    EXPECT_FALSE(fs.Exists(C + L"\\a\\loop\\never.txt"));
    EXPECT_TRUE(Says("folder loop -> skip folder C:\\W\\S\\a\\b\\up\n")) << text;
    EXPECT_TRUE(fs.Exists(C + L"\\a\\b") && !fs.Exists(C + L"\\a\\b\\up\\never.txt"));

    folderIdReader = [](const wchar_t* path, FolderId* id) {
        int ok = ReadFolderId(path, id);
        if (wcsstr(path, L"\\loop") || wcsstr(path, L"\\up")) id->volumeSerial ^= 1;
        return ok;
    };
    EXPECT_EQ(0, Run(L"-s"));
    EXPECT_EQ("n", fs.Data(C + L"\\a\\loop\\never.txt"));

    fs.AddFile(L"C:\\W\\E\\e.txt", "e");
    fs.AddFolderLink(S + L"\\ext", L"C:\\W\\E");
    fs.AddReparse(S + L"\\ext", JunctionTo(L"C:\\W\\E"));
    fs.AddFault(Call::GetInfo, L"W\\E", ERROR_LOCK_VIOLATION).times = 1;
    EXPECT_EQ(13, Run(L"-s -p -ds"));
    EXPECT_TRUE(Says("Error LOCK_VIOLATION reading the identity of folder 'C:\\W\\S\\ext'\n")) << text;
    EXPECT_TRUE(!fs.Exists(C + L"\\ext\\e.txt") && fs.Data(L"C:\\W\\E\\e.txt") == "e") << text;
}

// A folder link or a drive mounted at a folder leads into the other side:
// refused by where the folders really lie, touching nothing, dry or not.
TEST_F(Walk, GuardsFollowLinksAndMountsIntoTheOtherSide) {
    fs.AddFile(S + L"\\a.txt", "a");
    fs.AddFile(S + L"\\sub\\b.txt", "b");
    fs.AddFile(T + L"\\data\\sub\\c.txt", "c");
    fs.AddFolderLink(L"C:\\W\\toTarget", T + L"\\data\\sub");
    fs.AddFolderLink(L"C:\\W\\toSource", S + L"\\sub");
    fs.AddFolderLink(L"C:\\W\\self", S);
    fs.MountAt(L"M:", T + L"\\data\\sub");
    fs.MountAt(L"N:", S + L"\\sub");
    auto before = fs.Snapshot();
    const std::pair<std::wstring, int> lines[] = {
        {L"C:\\W\\toTarget\\ " + T + L" -mir", 9}, {L"M:\\ " + T + L" -mir", 9},
        {S + L" C:\\W\\toSource -s", 9},          {S + L"\\ N:\\ -s", 9},
        {S + L"\\a.txt C:\\W\\self\\", 2},      {L"N:\\b.txt " + S + L"\\sub", 2}};
    for (const auto& [line, code] : lines)
        for (const wchar_t* dry : {L"", L" -dry"}) {
            InProcessRun r = RunInProcess(fs, output, line + dry);
            EXPECT_EQ(code, r.code) << Narrow(line + dry) << "\n" << r.out;
            EXPECT_TRUE(fs.Snapshot() == before) << Narrow(line + dry) << "\n" << r.out;
        }
}

// A source that changed while it was copied is no longer what the target
// holds: -ds leaves it, says so and fails the run.
TEST_F(Walk, SourceChangedDuringItsCopyIsNotDeleted) {
    fs.AddFile(S + L"\\a.txt", "first");
    fs.beforeCall = [this](Call call, const std::wstring& key) {
        if (call == Call::Write && key.find(L"W\\T\\A.TXT") != std::wstring::npos) fs.File(S + L"\\a.txt")->data += "+more";
    };
    InProcessRun r = RunInProcess(fs, output, S + L"\\a.txt " + T + L" -ds");
    fs.beforeCall = nullptr;
    EXPECT_NE(0, r.code) << r.out;
    EXPECT_EQ("first+more", fs.Data(S + L"\\a.txt")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Error FILE_INVALID deleting source file changed since its copy began")) << r.out;
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

// Over an unchanged tree each folder of both sides is listed once, and no file
// is opened and nothing is set, whichever switch asked for the run.
TEST_F(Walk, NothingToDoListsEachSideOnceAndOpensNoFile) {
    for (const wchar_t* name : {L"\\top.txt", L"\\A\\a.txt", L"\\A\\b.txt", L"\\B\\c.txt"})
        fs.AddFile(S + name, Narrow(name));
    ASSERT_EQ(0, Run(L"-s -q")) << text;
    for (const wchar_t* switches : {L"-mir", L"-s -oo", L"-s -oo -u"}) {
        SCOPED_TRACE(Narrow(switches));
        fs.ResetCounts();
        fs.searches.clear();
        fs.opened.clear();
        auto before = fs.Snapshot();
        EXPECT_EQ(0, Run(switches)) << text;
        EXPECT_EQ(6u, fs.searches.size()) << "S, A, B and their targets";
        for (const std::wstring& path : fs.opened) EXPECT_EQ(std::wstring::npos, path.find(L".txt")) << Narrow(path);
        EXPECT_EQ(0, fs.counts[static_cast<int>(Call::SetTimes)] + fs.counts[static_cast<int>(Call::SetAttributes)]);
        EXPECT_TRUE(before == fs.Snapshot());
    }
}

}  // namespace
