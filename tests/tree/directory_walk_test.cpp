// The walk on a volume in memory; what it hands to the copy is recorded.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../volumes/fake_device_system.h"
#include "copy_engine.h"
#include "directory_walk.h"
#include "folder_identity.h"
#include "folder_listing.h"
#include "memory_file_system.h"
#include "options.h"
#include "run_state.h"
#include "test_support.h"
#include "tree_file_system.h"

using namespace qtxtest;

namespace {

const std::wstring S = L"C:\\W\\S", T = L"C:\\W\\T";
std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

struct Handed {
    std::wstring source, target;
    bool hadListing;
    bool targetListed;   // the target's name was found in the listing handed over
};
std::vector<Handed> handed;
std::wstring failCopyOf, abortCopyOf;

// Copies the bytes through fileOps, as the engine would, and records the call.
int RecordedCopy(const wchar_t* source, uint32_t, uint64_t, const wchar_t* target, int64_t*, int,
                 FolderListing* listing) {
    handed.push_back({source, target, listing != nullptr, FindListingEntry(listing, target) != nullptr});
    std::wstring name = source;
    if (!abortCopyOf.empty() && name.find(abortCopyOf) != std::wstring::npos) {
        run.aborted = 1;
        return 0;
    }
    if ((!failCopyOf.empty() && name.find(failCopyOf) != std::wstring::npos)) return 0;
    if (std::wstring(target) == L"\\\\.\\NUL") return 1;
    void* from = fileOps->Open(source, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    void* to = fileOps->Open(target, GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
    char buffer[4096];
    uint32_t n = 0, written = 0;
    while (fileOps->Read(from, buffer, sizeof buffer, &n) && n) fileOps->Write(to, buffer, n, &written);
    fileOps->Close(from);
    fileOps->Close(to);
    return 1;
}

bool WasCopied(const std::wstring& name) {
    return std::any_of(handed.begin(), handed.end(), [&](const Handed& h) {
        return h.source.size() >= name.size() && h.source.compare(h.source.size() - name.size(), name.size(), name) == 0;
    });
}

class Walk : public ::testing::Test {
protected:
    MemoryFileSystem fs;
    Options saved = options;

    void SetUp() override {
        fs.Install();
        fs.AddFolder(S);
        fs.AddFolder(T);
        walkCopy = RecordedCopy;
        handed.clear();
        failCopyOf.clear();
        abortCopyOf.clear();
        run.targetIsNul = run.aborted = run.stopRequested = run.breakRequested = 0;
        run.failedCopies = 0;
        std::wstring root = Long(S) + L"\\";
        lstrcpynW(run.sourceRoot, root.c_str(), kPathCapacity);
        run.sourceRootLength = static_cast<int>(root.size());
        options.quiet = 1;
        options.recurse = 1;
    }
    void TearDown() override {
        walkCopy = CopyOneFile;
        options = saved;
        run.aborted = run.targetIsNul = 0;
    }
    int64_t Run(const std::wstring& source, const std::wstring& target, const wchar_t* mask = L"*", int depth = 0) {
        std::vector<wchar_t> from(kPathCapacity, 0), to(kPathCapacity, 0);
        lstrcpynW(from.data(), Long(source).c_str(), kPathCapacity);
        lstrcpynW(to.data(), target == L"\\\\.\\NUL" ? target.c_str() : Long(target).c_str(), kPathCapacity);
        int64_t links = 0;
        return WalkFolder(from.data(), mask, to.data(), &links, depth);
    }
    void Fail(Call call, const std::wstring& path, int nth = 0) {
        Fault fault;
        fault.call = call;
        fault.path = path;
        fault.nth = nth;
        fault.persistent = true;
        fs.faults.push_back(fault);
    }
};

TEST_F(Walk, CopiesTreeWithMaskExcludesAndExistingTargets) {
    fs.AddFile(S + L"\\top.txt", "top");
    fs.AddFile(S + L"\\top.log", "log");
    fs.AddFile(S + L"\\name with spaces.txt", "spaces");
    fs.AddFolder(S + L"\\Empty");
    fs.AddFile(S + L"\\Excluded\\x.txt", "x");
    fs.AddFile(S + L"\\Sub\\\x03B1\x03B2\x03B3.txt", "greek");
    fs.AddFile(S + L"\\Sub\\Deeper\\old.txt", "old");
    // the target already has the sub-folder, in other case, and one file in it
    fs.AddFile(T + L"\\SUB\\OLD-not-in-source.txt", "keep");
    fs.AddFile(T + L"\\TOP.TXT", "previous");
    options.excludeMasks[0] = const_cast<wchar_t*>(L"excl*");

    EXPECT_EQ(4, Run(S, T, L"*.txt"));
    EXPECT_EQ("spaces", fs.Data(T + L"\\name with spaces.txt"));
    EXPECT_EQ("greek", fs.Data(T + L"\\SUB\\\x03B1\x03B2\x03B3.txt"));
    EXPECT_EQ("old", fs.Data(T + L"\\SUB\\Deeper\\old.txt"));
    EXPECT_EQ("keep", fs.Data(T + L"\\SUB\\OLD-not-in-source.txt"));
    EXPECT_FALSE(fs.Exists(T + L"\\top.log"));    // not matched
    EXPECT_TRUE(fs.Exists(T + L"\\Empty"));       // folders are created whatever the mask
    EXPECT_FALSE(fs.Exists(T + L"\\Excluded"));   // excluded folders are not
    EXPECT_FALSE(WasCopied(L"x.txt"));
    // the existing target was found in the listing handed to the copy
    for (const Handed& h : handed) {
        bool top = h.source.find(L"top.txt") != std::wstring::npos;
        EXPECT_TRUE(h.hadListing);
        EXPECT_EQ(top, h.targetListed) << Narrow(h.source);
    }
    // a folder the walk created is known empty and never listed; one that stood there is
    auto searched = [&](const std::wstring& folder) {
        return std::count(fs.searches.begin(), fs.searches.end(), Long(folder) + L"\\*");
    };
    EXPECT_EQ(1, searched(S + L"\\Sub\\Deeper"));
    EXPECT_EQ(0, searched(T + L"\\Sub\\Deeper"));
    EXPECT_EQ(0, searched(T + L"\\Empty"));
    EXPECT_EQ(1, searched(T + L"\\Sub"));   // the walk names it as the source does
}

TEST_F(Walk, FailuresAreReportedAndTheWalkGoesOn) {
    fs.AddFile(S + L"\\1-locked.txt", "locked");
    fs.AddFile(S + L"\\2-fine.txt", "fine");
    fs.AddFile(S + L"\\unreadable\\u.txt", "u");
    fs.AddFile(S + L"\\nocreate\\n.txt", "n");
    fs.AddFile(S + L"\\ok\\k.txt", "k");
    options.deleteSource = 1;   // a folder whose target was not made must stay
    failCopyOf = L"locked";
    Fail(Call::FindFirst, L"\\unreadable");
    Fail(Call::CreateFolder, L"nocreate");
    CapturedOutput output;
    EXPECT_EQ(2, Run(S, T));
    // the copy counts its own failure; the walk counts the folder it could not list or make
    EXPECT_EQ(2, run.failedCopies);
    EXPECT_NE(output.text().find("\\unreadable\\*' err=ACCESS_DENIED\n"), std::string::npos) << output.text();
    EXPECT_NE(output.text().find("Error ACCESS_DENIED creating dir "), std::string::npos) << output.text();
    EXPECT_EQ("fine", fs.Data(T + L"\\2-fine.txt"));
    EXPECT_EQ("k", fs.Data(T + L"\\ok\\k.txt"));
    EXPECT_FALSE(fs.Exists(T + L"\\1-locked.txt"));
    EXPECT_TRUE(fs.Exists(T + L"\\unreadable"));   // created, then its listing failed
    EXPECT_FALSE(fs.Exists(T + L"\\nocreate"));
    EXPECT_FALSE(WasCopied(L"n.txt"));
    EXPECT_TRUE(fs.Exists(S + L"\\nocreate\\n.txt"));
    EXPECT_TRUE(fs.Exists(S + L"\\ok\\k.txt"));   // -ds of files is the copy's business
}

TEST_F(Walk, AbortStopsEveryLevel) {
    fs.AddFile(S + L"\\a\\b\\stop.txt", "s");
    fs.AddFile(S + L"\\a\\b\\z.txt", "z");
    fs.AddFile(S + L"\\a\\later.txt", "l");
    fs.AddFile(S + L"\\top.txt", "t");
    abortCopyOf = L"stop.txt";
    Run(S, T);
    EXPECT_EQ(1, run.aborted);
    ASSERT_FALSE(handed.empty());
    EXPECT_NE(std::wstring::npos, handed.back().source.find(L"stop.txt"));
}

TEST_F(Walk, FileInTheWayOfAFolder) {
    fs.AddFile(S + L"\\data\\inside.txt", "inside");
    fs.AddFile(T + L"\\DATA", "a file");
    // without -o and without a console to ask, the answer is N: the file stays, the folder fails
    {
        CapturedOutput output;
        EXPECT_EQ(0, Run(S, T));
        EXPECT_NE(output.text().find("a file stands where the folder goes -> skip folder DATA\n"), std::string::npos)
            << output.text();
    }
    EXPECT_EQ(1, run.failedCopies);
    EXPECT_EQ("a file", fs.Data(T + L"\\DATA"));
    EXPECT_FALSE(WasCopied(L"inside.txt"));
    options.overwrite = 1;
    EXPECT_EQ(1, Run(S, T));
    EXPECT_EQ("inside", fs.Data(T + L"\\data\\inside.txt"));
}

TEST_F(Walk, FolderLoopIsNotEntered) {
    fs.AddFile(S + L"\\a\\f.txt", "f");
    fs.AddFile(S + L"\\a\\loop\\never.txt", "n");
    // "loop" shows the root's id in its parent's listing, as a mount of the root would
    fs.ShareFolderId(S + L"\\a\\loop", S);
    // only the root's index is read: those of sub-folders come from their parent's listing
    folderIndexReader = [](const wchar_t* path, FolderId* id) {
        std::wstring p = path;
        while (!p.empty() && p.back() == L'\\') p.pop_back();
        return p == Long(S) ? ReadFolderId(path, id) : 0;
    };
    CapturedOutput output;
    EXPECT_EQ(1, Run(S, T));
    EXPECT_FALSE(WasCopied(L"never.txt"));
    EXPECT_EQ(1, run.failedCopies);
    EXPECT_NE(output.text().find("Error CANT_RESOLVE_FILENAME: folder loop -> skip folder loop\n"), std::string::npos)
        << output.text();

    // an equal index on another volume is no loop: the full identity decides
    folderIdReader = [](const wchar_t* path, FolderId* id) {
        int ok = ReadFolderId(path, id);
        if (wcsstr(path, L"\\loop")) id->volumeSerial ^= 1;
        return ok;
    };
    run.failedCopies = 0;
    Run(S, T);
    folderIdReader = ReadFolderId;
    folderIndexReader = ReadFolderIndex;
    EXPECT_TRUE(WasCopied(L"never.txt"));
    EXPECT_EQ(0, run.failedCopies);
}

TEST_F(Walk, DepthLimitAndNullTarget) {
    fs.AddFile(S + L"\\level\\f.txt", "f");
    fs.AddFile(S + L"\\level\\below\\g.txt", "g");
    // a walk at the deepest level copies its files but no sub-folder
    EXPECT_EQ(1, Run(S + L"\\level", T, L"*", kMaxWalkDepth));
    EXPECT_EQ("f", fs.Data(T + L"\\f.txt"));
    EXPECT_FALSE(fs.Exists(T + L"\\below"));

    handed.clear();
    run.targetIsNul = 1;
    EXPECT_EQ(2, Run(S, L"\\\\.\\NUL"));
    ASSERT_EQ(2u, handed.size());
    for (const Handed& h : handed) {
        EXPECT_EQ(L"\\\\.\\NUL", h.target);
        EXPECT_FALSE(h.hadListing);
    }
}

TEST_F(Walk, ListingThatBreaksOffIsAFailure) {
    for (const wchar_t* name : {L"\\a.txt", L"\\b.txt", L"\\c.txt"}) fs.AddFile(S + name, "x");
    options.recurse = 0;
    run.targetIsNul = 1;
    Fail(Call::FindNext, L"", 3);   // "..", one name, then the error
    CapturedOutput output;
    EXPECT_EQ(1, Run(S, L"\\\\.\\NUL"));
    EXPECT_EQ(1, run.failedCopies);
    EXPECT_NE(output.text().find("Error ACCESS_DENIED listing "), std::string::npos) << output.text();
}

}  // namespace
