#include <string>

#include "engine_fixture.h"

using namespace qtxtest;

namespace enginetest {
namespace {

TEST_F(EngineTest, WriteFaultsFailWithoutPartialNewTarget) {
    const uint32_t errors[] = {ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_NETNAME_DELETED};
    for (int parallel = 0; parallel <= 1; ++parallel) {
        for (uint32_t error : errors) {
            SetUpRun(parallel, 0x10000);
            TempDir dir;
            ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(5 * 0x10000, 2)));
            faults.writes = 0;
            faults.failWriteAt = 2;
            faults.writeError = error;
            EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0) << error;
            EXPECT_FALSE(Exists(dir / L"dst.bin")) << error << " parallel " << parallel;
            EXPECT_EQ(run.failedCopies, 1);
            EXPECT_EQ(transfer.lastWriteError, error);
            EXPECT_EQ(run.runBytesCopied, 0);
            EXPECT_EQ(faults.writes, 3);   // no block after the failed one
        }
    }
}

TEST_F(EngineTest, FailedCopyKeepsExistingTargetWithoutSourceTimes) {
    TempDir dir;
    Rebuffer(0x10000);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(3 * 0x10000, 2)));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", PatternBytes(100, 3)));
    ASSERT_TRUE(SetLastWriteTime(dir / L"dst.bin", 131000000000000000ull));
    options.overwrite = 1;
    faults.failWriteAt = 1;
    faults.writeError = ERROR_DISK_FULL;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    ASSERT_TRUE(Exists(dir / L"dst.bin"));
    EXPECT_NE(LastWriteTime(dir / L"dst.bin"), LastWriteTime(dir / L"src.bin"));
    EXPECT_EQ(run.failedCopies, 1);
}

TEST_F(EngineTest, WalkDeletesBrokenTargetAndGoesOn) {
    run.singleSource = 0;
    Rebuffer(0x10000);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"a.bin", PatternBytes(3 * 0x10000, 2)));
    ASSERT_TRUE(WriteBytes(dir / L"b.bin", PatternBytes(3 * 0x10000, 3)));
    // an error no retry can mend, so the block fails at once
    faults.failReadAt = 1;
    faults.readError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Copy(dir / L"a.bin", dir / L"a.out"), 0);
    EXPECT_FALSE(Exists(dir / L"a.out"));
    EXPECT_EQ(run.readErrorFiles, 1);
    EXPECT_EQ(run.stopRequested, 0);
    faults.failReadAt = -1;
    EXPECT_EQ(Copy(dir / L"b.bin", dir / L"b.out"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"b.out") == ReadBytesOr(dir / L"b.bin"));
    EXPECT_EQ(run.failedCopies, 1);
}

TEST_F(EngineTest, ReadFaultInParallelOperationDeletesNewTarget) {
    SetUpRun(1, 0x10000);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(6 * 0x10000, 2)));
    faults.failReadAt = 3;
    faults.readError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    EXPECT_EQ(run.failedCopies, 1);
    EXPECT_LE(faults.writes, 3);
}

TEST_F(EngineTest, InvalidParameterReopensBufferedAndRepeatsBlock) {
    engineConsoleCheck = WithConsole;
    Rebuffer(0x10000);
    TempDir dir;
    std::string data = PatternBytes(4 * 0x10000 + 300, 8);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    faults.failWriteAt = 2;
    faults.writeError = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    EXPECT_EQ(transfer.targetOpenFlags & kFlagNoBuffering, 0u);
    EXPECT_EQ(run.failedCopies, 0);
}

TEST_F(EngineTest, StopRequestEndsCopyAsInterrupted) {
    Rebuffer(0x10000);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(5 * 0x10000, 2)));
    faults.stopAtWrite = 1;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    EXPECT_EQ(run.failedCopies, 0);
    EXPECT_LE(faults.writes, 3);
}

TEST_F(EngineTest, FailedTargetOpenLeavesNothing) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(1000, 2)));
    faults.failOpenPath = dir / L"dst.bin";
    faults.openError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    EXPECT_EQ(run.failedCopies, 1);
    EXPECT_EQ(Copy(dir / L"missing.bin", dir / L"dst.bin"), 0);
    EXPECT_EQ(run.failedCopies, 2);
}

}  // namespace
}  // namespace enginetest
