// The checks that involve raw volumes, against recorded device answers.
#include <gtest/gtest.h>

#include "../volumes/fake_device_system.h"
#include "block_copy.h"
#include "options.h"
#include "run_driver.h"
#include "run_state.h"
#include "run_summary.h"
#include "text_format.h"

using namespace qtxtest;

namespace {

uint8_t* (*const realPageAllocator)(uint32_t) = pageAllocator;

class VolumeChecks : public ::testing::Test {
protected:
    void SetUp() override {
        ResetRunState();
        options = Options{};
        fake.AddVolume(L'E', L"11111111-2222-3333-4444-555555555555", 1);
        fake.AddVolume(L'F', L"66666666-7777-8888-9999-000000000000", 2);
        for (auto& d : fake.devices) d.hasGeometry = true, d.geometry.bytesPerSector = 512;
        image = dir / L"image.bin";
    }
    void TearDown() override {
        ReleaseBlockBuffers();
        ReleaseHashBuffers();
    }
    int Check(const std::wstring& source, const std::wstring& target) {
        lstrcpynW(run.sourcePath, source.c_str(), kPathCapacity);
        lstrcpynW(run.targetPath, target.c_str(), kPathCapacity);
        return RunChecks();
    }
    FakeDevice& Device(const wchar_t* path) { return *fake.Find(path); }

    FakeDeviceSystem fake;
    UseFake use{&fake};
    CapturedOutput output;
    TempDir dir;
    std::wstring image;
};

TEST_F(VolumeChecks, SourceVolumeNeedsExclusiveAccessUnlessShareWrite) {
    Device(L"\\\\.\\E:").lockError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Check(L"\\\\.\\E:", image), kExitSourceAccess);
    EXPECT_EQ(output.errors(), "no exclusive access to source volume -> abort\n");
    EXPECT_NE(output.text().find("hint: try -sw (share write)\n"), std::string::npos);
    EXPECT_FALSE(Exists(image));

    ResetRunState();
    output.Clear();
    options.shareWrite = 1;
    options.security = 1;
    EXPECT_EQ(Check(L"\\\\.\\E:", image), -1) << output.text() << output.errors();
    EXPECT_TRUE(run.sourceIsVolume);
    EXPECT_TRUE(run.sourceIsDevice);
    EXPECT_TRUE(run.parallel) << "a device always runs in parallel";
    EXPECT_EQ(run.sourceShareMode, 3u);
    // no file-system flags are read for a device, so there is no security to copy
    EXPECT_NE(output.text().find("security attributes not supported\n"), std::string::npos);
    EXPECT_EQ(options.security, 0);
    EXPECT_NE(output.text().find("copy \\\\.\\E: to "), std::string::npos) << output.text();
}

TEST_F(VolumeChecks, TargetVolumeNeedsExclusiveAccessEvenWithShareWrite) {
    ASSERT_TRUE(WriteBytes(image, PatternBytes(4096)));
    Device(L"\\\\.\\F:").lockError = ERROR_ACCESS_DENIED;
    options.shareWrite = 1;
    EXPECT_EQ(Check(image, L"\\\\.\\F:"), kExitTargetAccess);
    EXPECT_EQ(output.errors(), "no exclusive access to target volume -> abort\n");
}

TEST_F(VolumeChecks, VolumeTargetIsAlwaysOverwrittenWithoutSharing) {
    ASSERT_TRUE(WriteBytes(image, PatternBytes(4096)));
    EXPECT_EQ(Check(image, L"\\\\.\\F:"), -1) << output.text() << output.errors();
    EXPECT_TRUE(run.targetIsVolume);
    EXPECT_EQ(options.overwrite, 1);
    EXPECT_EQ(run.targetShareMode, 0u);
    EXPECT_STREQ(run.targetVolumeRoot, L"\\\\.\\F:");
    options = Options{};
    ResetRunState();
    options.shareRead = 1;
    EXPECT_EQ(Check(image, L"\\\\.\\F:"), -1);
    EXPECT_EQ(run.targetShareMode, 1u) << "-sr adds read sharing";
}

TEST_F(VolumeChecks, SeveralFilesCannotGoToOneDevice) {
    ASSERT_TRUE(MakeFolder(dir / L"tree"));
    ASSERT_TRUE(WriteBytes(dir / L"tree\\a.bin", "a"));
    EXPECT_EQ(Check(dir / L"tree", L"\\\\.\\F:"), kExitTargetVolume);
    EXPECT_NE(output.text().find("Error: target for multiple files cannot be a device -> abort\n"), std::string::npos);
}

uint8_t* NoPages(uint32_t) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}

TEST_F(VolumeChecks, NoMemoryForTheBuffersEndsWithFourteen) {
    ASSERT_TRUE(WriteBytes(image, PatternBytes(4096)));
    pageAllocator = NoPages;
    int code = Check(image, L"\\\\.\\F:");
    pageAllocator = realPageAllocator;
    EXPECT_EQ(code, kExitOutOfMemory);
    EXPECT_EQ(output.errors(), std::string("Error ") + ErrorName(ERROR_NOT_ENOUGH_MEMORY) + " allocating buffers -> abort\n");
}

TEST(RunExitCode, VerificationOutranksCopyFailureAndAnInterruptedRunIsNeverZero) {
    EXPECT_EQ(RunExitCode(0, 0, 0), kExitOk);
    EXPECT_EQ(RunExitCode(1, 3, 0), kExitVerifyFailed);
    EXPECT_EQ(RunExitCode(0, 1, 0), kExitCopyFailed);
    EXPECT_EQ(RunExitCode(0, 1, 1), kExitInterrupted);
    EXPECT_EQ(RunExitCode(2, 1, 1), kExitVerifyFailed);
    EXPECT_EQ(kExitInterrupted, 15);
    ResetRunState();
    CapturedOutput output;
    ReportInterruption();
    run.userInterrupted = 1;
    ReportInterruption();
    EXPECT_EQ(output.text(), "interrupted by the user: not everything was copied\n");
    ResetRunState();
}

}  // namespace
