// The scan's checksum and the links it makes into place, on a volume in memory.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "crc64.h"
#include "folder_listing.h"
#include "memory_file_system.h"
#include "options.h"
#include "read_recovery.h"
#include "run_state.h"
#include "scan.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

TEST(Crc64, CheckValue) { EXPECT_EQ(0x62EC59E3F1A4F00Aull, Crc64("123456789", 9)); }   // CRC-64/WE

TEST(ScanTarget, ReusesOnlySurplusSingleNameTargetsOnceAndOnlyOnAKnownMatch) {
    const std::wstring S = L"C:\\S", T = L"C:\\T";
    MemoryFileSystem fs;
    fs.Install();
    auto both = [&](const wchar_t* source, const wchar_t* target, const std::string& bytes) {
        fs.AddFile(S + source, bytes);
        fs.AddFile(T + target, bytes);
    };
    std::string a = PatternBytes(5000, 1);
    // a target whose own source still exists is not surplus
    both(L"\\keep.bin", L"\\keep.bin", a);
    fs.AddFile(S + L"\\dup.bin", a);
    // a target with a second name
    both(L"\\c.bin", L"\\multi.bin", PatternBytes(6000, 2));
    fs.AddLink(T + L"\\multi2.bin", T + L"\\multi.bin");
    // one surplus target for two new identical sources
    both(L"\\x1.bin", L"\\gone.bin", PatternBytes(7000, 3));
    fs.AddFile(S + L"\\x2.bin", PatternBytes(7000, 3));
    // the expected place already holds a file
    both(L"\\moved.bin", L"\\old-f.bin", PatternBytes(8000, 4));
    fs.AddFile(T + L"\\moved.bin", PatternBytes(8000, 5));
    // neither fingerprint can be read: two failures are no match
    fs.AddFile(S + L"\\unread-s.bin", PatternBytes(9000, 6));
    fs.AddFile(T + L"\\unread-t.bin", PatternBytes(9000, 7));
    fs.faults.resize(1);
    fs.faults[0].call = Call::Read;
    fs.faults[0].path = L"UNREAD";
    fs.faults[0].persistent = true;

    recoveryPause = [](uint32_t) {};
    options = Options();
    ResetRunState();
    wcscpy(run.sourceRoot, L"\\\\?\\C:\\S\\");
    wcscpy(run.targetRoot, L"\\\\?\\C:\\T\\");
    run.sourceRootLength = run.targetRootLength = 9;
    FolderListing sourceTree, targetTree;
    uint32_t sourceFiles = 0, targetFiles = 0;
    BuildListing(&targetTree, run.targetRoot, L"*", &targetFiles, nullptr, 1, 1, nullptr, nullptr);
    BuildListing(&sourceTree, run.sourceRoot, L"*", &sourceFiles, nullptr, 1, 1, nullptr, nullptr);
    ScanTarget(&sourceTree, &targetTree);
    FreeListing(&sourceTree);
    FreeListing(&targetTree);

    EXPECT_FALSE(fs.Exists(T + L"\\dup.bin"));
    EXPECT_FALSE(fs.Exists(T + L"\\c.bin"));
    EXPECT_EQ(1, fs.Exists(T + L"\\x1.bin") + fs.Exists(T + L"\\x2.bin"));
    EXPECT_EQ(2u, fs.File(T + L"\\gone.bin")->links);
    EXPECT_TRUE(fs.Data(T + L"\\moved.bin") == PatternBytes(8000, 5));
    EXPECT_EQ(1u, fs.File(T + L"\\old-f.bin")->links);
    EXPECT_FALSE(fs.Exists(T + L"\\unread-s.bin"));
    EXPECT_EQ(1, run.linksCreated);
}

}  // namespace
