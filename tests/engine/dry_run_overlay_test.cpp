// The dry run's overlay opening the walk's next files on a thread of its own.
#include <windows.h>

#include <memory>
#include <string>

#include "dry_run_overlay.h"
#include "engine_fixture.h"

namespace {

// A file the thread opened ahead answers as the volume does: its size, its
// other name and its identity, and its data; and nothing stays open after the run.
TEST_F(EngineTest, AFileOpenedAheadAnswersAsTheVolumeDoes) {
    const std::string data = qtxtest::PatternBytes(5000, 4);
    fs.AddFile(L"C:\\src\\a.txt", "aaa");
    fs.AddFile(L"C:\\src\\g1.bin", data);
    fs.AddLink(L"C:\\src\\g2.bin", L"C:\\src\\g1.bin");
    const int openBefore = fs.OpenHandles();
    std::unique_ptr<DryRunOverlay> overlay(MakeDryRunOverlay(&fs, 1));
    const wchar_t* paths[] = {L"C:\\src\\a.txt", L"C:\\src\\g1.bin"};
    ASSERT_EQ(1, overlay->ForeseeOpens(paths, 2, GENERIC_READ, FILE_SHARE_READ, 0, kInfoNoTimes));
    // the run opens the first itself while the thread opens, asks and closes the second
    fs.ResetCounts();
    void* first = overlay->Open(paths[0], GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    const int opens = static_cast<int>(qtxtest::Call::Open);
    for (int i = 0; i < 500 && (fs.counts[opens] < 2 || fs.OpenHandles() > openBefore + 1); ++i) Sleep(10);
    ASSERT_TRUE(fs.counts[opens] == 2 && fs.OpenHandles() == openBefore + 1);
    void* second = overlay->Open(paths[1], GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    uint16_t format = 9;
    EXPECT_TRUE(overlay->GetCompression(second, &format) && format == 0);
    EXPECT_EQ(2, fs.counts[opens]);
    FileInfo info = {}, identity = {}, other = {};
    ASSERT_TRUE(overlay->GetInfo(second, &info, kInfoNoTimes) && overlay->GetInfo(second, &identity, kInfoNoTimes | kInfoIdentity));
    void* g2 = fs.Open(L"C:\\src\\g2.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_TRUE(fs.GetInfo(g2, &other, kInfoIdentity));
    fs.Close(g2);
    EXPECT_TRUE(info.size == 5000 && info.links == 2) << info.size << " " << info.links;
    EXPECT_TRUE(identity.fileIndex == other.fileIndex && identity.volumeSerial == other.volumeSerial);
    std::string read(6000, '\0');
    uint32_t done = 0;
    EXPECT_TRUE(overlay->Read(second, &read[0], 6000, &done) && read.substr(0, done) == data);
    EXPECT_TRUE(overlay->Close(first) && overlay->Close(second));
    overlay->EndForesight();
    overlay->Finish();
    EXPECT_EQ(openBefore, fs.OpenHandles());
}

}  // namespace

// What the run did to a folder holds for the names in it, whatever was asked about them before.
TEST_F(EngineTest, ANameInAFolderTheRunMovedIsGone) {
    fs.AddFile(L"C:\\t\\f\\a.txt", "a");
    std::unique_ptr<DryRunOverlay> overlay(MakeDryRunOverlay(&fs, 1));
    overlay->CreateFolder(L"C:\\t\\other");   // the run has changed something
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, overlay->GetAttributes(L"C:\\t\\f\\a.txt"));
    ASSERT_TRUE(overlay->Move(L"C:\\t\\f", L"C:\\t\\g", 0));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, overlay->GetAttributes(L"C:\\t\\f\\a.txt"));
    overlay->Finish();
}
