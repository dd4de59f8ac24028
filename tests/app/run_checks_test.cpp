// The checks that involve raw volumes, against recorded device answers, and
// the exit code a run ends with.
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

TEST(RunChecks, VolumesNeedExclusiveAccessAndBuffersNeedMemory) {
    FakeDeviceSystem fake;
    fake.AddVolume(L'E', L"11111111-2222-3333-4444-555555555555", 1);
    fake.AddVolume(L'F', L"66666666-7777-8888-9999-000000000000", 2);
    for (auto& d : fake.devices) d.hasGeometry = true, d.geometry.bytesPerSector = 512;
    UseFake use{&fake};
    CapturedOutput output;
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"image.bin", PatternBytes(4096)));
    ASSERT_TRUE(MakeFolder(dir / L"tree") && WriteBytes(dir / L"tree\\a.bin", "a"));
    auto check = [&](const std::wstring& source, const wchar_t* target, int shareWrite) {
        ResetRunState();
        options = Options{};
        options.shareWrite = shareWrite;
        lstrcpynW(run.sourcePath, source.c_str(), kPathCapacity);
        lstrcpynW(run.targetPath, target, kPathCapacity);
        int code = RunChecks();
        ReleaseBlockBuffers();
        ReleaseHashBuffers();
        return code;
    };
    fake.Find(L"\\\\.\\E:")->lockError = ERROR_ACCESS_DENIED;
    fake.Find(L"\\\\.\\F:")->lockError = ERROR_ACCESS_DENIED;
    std::wstring image = dir / L"image.bin";
    EXPECT_EQ(check(L"\\\\.\\E:", (dir / L"out.bin").c_str(), 0), kExitSourceAccess);
    EXPECT_FALSE(Exists(dir / L"out.bin"));
    EXPECT_EQ(check(L"\\\\.\\E:", (dir / L"out.bin").c_str(), 1), -1) << "-sw shares the source";
    EXPECT_EQ(check(image, L"\\\\.\\F:", 1), kExitTargetAccess) << "but never a target volume";
    fake.Find(L"\\\\.\\F:")->lockError = 0;
    EXPECT_EQ(check(dir / L"tree", L"\\\\.\\F:", 0), kExitTargetVolume) << "several files cannot go to one device";
    uint8_t* (*const realPageAllocator)(uint32_t) = pageAllocator;
    pageAllocator = [](uint32_t) -> uint8_t* { return SetLastError(ERROR_NOT_ENOUGH_MEMORY), nullptr; };
    EXPECT_EQ(check(image, L"\\\\.\\F:", 0), kExitOutOfMemory);
    pageAllocator = realPageAllocator;
    EXPECT_EQ(output.errors(), std::string("no exclusive access to source volume -> abort\nno exclusive access to target ") +
                                   "volume -> abort\nError " + ErrorName(ERROR_NOT_ENOUGH_MEMORY) + " allocating buffers -> abort\n");
}

// 0, 13 and an interruption's 15 alone are what the runs end with elsewhere
TEST(RunExitCode, VerificationOutranksCopyFailureAndInterruption) {
    EXPECT_EQ(RunExitCode(1, 3, 0), kExitVerifyFailed);
    EXPECT_EQ(RunExitCode(2, 1, 1), kExitVerifyFailed);
}

}  // namespace
