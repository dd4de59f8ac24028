#include <string>

#include "engine_fixture.h"

using namespace qtxtest;

namespace enginetest {
namespace {

constexpr uint64_t kSourceTime = 132000000000000000ull;   // 2019

std::string Zeros(size_t n) { return std::string(n, '\0'); }

TEST_F(EngineTest, CopiesEverySizeByteForByteInBothModes) {
    const size_t sizes[] = {1, 1000, 0x100000, 0x100001, 3 * 0x10000 + 17, 0x300000 + 512};
    for (int parallel = 0; parallel <= 1; ++parallel) {
        for (size_t size : sizes) {
            SetUpRun(parallel);
            TempDir dir;
            std::string data = PatternBytes(size, static_cast<uint32_t>(size + parallel));
            ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
            ASSERT_TRUE(SetLastWriteTime(dir / L"src.bin", 132000000000000000ull));
            faults.writes = 0;
            EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1) << size << " parallel " << parallel;
            EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data) << size << " parallel " << parallel;
            EXPECT_EQ(LastWriteTime(dir / L"dst.bin"), 132000000000000000ull);
            EXPECT_EQ(run.runBytesCopied, static_cast<int64_t>(size));
            EXPECT_EQ(run.failedCopies, 0);
            if (parallel && size == 0x100001) { EXPECT_EQ(faults.writes, 9); }   // 128 KiB blocks
            if (parallel && size == 0x100000) { EXPECT_EQ(faults.writes, 1); }
        }
    }
}

TEST_F(EngineTest, NewTargetOfOneBlockTakesNoPointerMoveNorCut) {
    TempDir dir;
    std::string data = PatternBytes(1000, 5);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"old.bin", PatternBytes(5000)));
    faults.pointerMoves = faults.endSets = 0;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"new.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"new.bin") == data);
    EXPECT_EQ(faults.pointerMoves, 0);
    EXPECT_EQ(faults.endSets, 0);
    // a longer target that stood there is still cut
    options.overwrite = 1;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"old.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"old.bin") == data);
    // times a listing gave are taken as they are, not asked of the source again
    listedTimes = {1, {kSourceTime, kSourceTime - 1000, kSourceTime}};
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"listed.bin"), 1);
    listedTimes.known = 0;
    EXPECT_EQ(FileTimes(dir / L"listed.bin"), std::vector<uint64_t>({kSourceTime, kSourceTime - 1000, kSourceTime}));
}

TEST_F(EngineTest, ZeroLengthSourceEmptiesTarget) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", ""));
    ASSERT_TRUE(WriteBytes(dir / L"old.bin", PatternBytes(5000)));
    ASSERT_TRUE(SetLastWriteTime(dir / L"old.bin", kSourceTime - 100000000));
    options.overwrite = 1;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"old.bin"), 1);
    EXPECT_EQ(ReadBytesOr(dir / L"old.bin"), "");
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"new.bin"), 1);
    EXPECT_EQ(ReadBytesOr(dir / L"new.bin"), "");
    EXPECT_EQ(LastWriteTime(dir / L"new.bin"), LastWriteTime(dir / L"src.bin"));
}

TEST_F(EngineTest, AvoidWritesWritesOnlyDifferentBlocks) {
    options.avoidWrites = 1;
    Rebuffer(0x10000);
    TempDir dir;
    std::string data = PatternBytes(4 * 0x10000 + 100, 7);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", data));
    options.overwrite = 1;
    faults.writes = 0;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_EQ(faults.writes, 0);
    EXPECT_EQ(transfer.bytesNotWritten, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);

    // two blocks differ, and the target is one block short: three writes
    std::string old = data.substr(0, 4 * 0x10000);
    old[5] ^= 1;
    old[2 * 0x10000 + 9] ^= 1;
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", old));
    faults.writes = 0;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_EQ(faults.writes, 3);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
}

TEST_F(EngineTest, SkipZerosKeepsOldDataAndNewTargetsReadZero) {
    options.skipZeros = 1;
    Rebuffer(0x10000);
    TempDir dir;
    // data, a zero block, data, and a zero block at the end
    std::string data = PatternBytes(0x10000, 3) + Zeros(0x10000) + PatternBytes(0x10000, 4) + Zeros(0x8000);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    faults.writes = 0;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"new.bin"), 1);
    EXPECT_EQ(faults.writes, 2);
    EXPECT_TRUE(ReadBytesOr(dir / L"new.bin") == data);   // exact size, zeros where skipped

    // over an existing file no old byte survives a skipped range
    ASSERT_TRUE(WriteBytes(dir / L"old.bin", PatternBytes(data.size() + 0x9000, 9)));
    options.overwrite = 1;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"old.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"old.bin") == data);
}


TEST_F(EngineTest, StartPositionCopiesTheRestAtItsPlace) {
    TempDir dir;
    std::string data = PatternBytes(10 << 20, 5);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    options.startPos = 4 << 20;
    faults.writes = 0;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_EQ(faults.writes, 6);
    std::string copied = ReadBytesOr(dir / L"dst.bin");
    ASSERT_EQ(copied.size(), data.size());
    EXPECT_TRUE(copied.substr(4 << 20) == data.substr(4 << 20));
    EXPECT_TRUE(copied.substr(0, 4 << 20) == Zeros(4 << 20));   // nothing written below the start

    options.startPos = 11 << 20;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"beyond.bin"), 0);
    EXPECT_FALSE(Exists(dir / L"beyond.bin"));
}

TEST_F(EngineTest, NulTargetReadsEverythingWritesNothing) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(300000)));
    run.targetIsNul = run.targetIsDevice = 1;
    faults.writes = 0;
    EXPECT_EQ(Copy(dir / L"src.bin", L"NUL"), 1);
    EXPECT_EQ(faults.writes, 0);
    EXPECT_EQ(transfer.bytesRead, 300000);
}

TEST_F(EngineTest, OverwriteDoesNotWriteThroughHardLinks) {
    TempDir dir;
    std::string data = PatternBytes(6000, 1);
    std::string old = PatternBytes(6000, 2);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", old));
    if (!CreateHardLinkW((dir / L"other.bin").c_str(), (dir / L"dst.bin").c_str(), nullptr))
        GTEST_SKIP() << "no hard links here";
    options.overwrite = 1;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    EXPECT_TRUE(ReadBytesOr(dir / L"other.bin") == old);

    // with -u too, once a block differs
    options.avoidWrites = 1;
    Rebuffer(0x10000);
    ASSERT_TRUE(CreateHardLinkW((dir / L"same.bin").c_str(), (dir / L"dst.bin").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(dir / L"same.bin", old));
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    EXPECT_TRUE(ReadBytesOr(dir / L"same.bin") == old);
}

TEST_F(EngineTest, WorkersRunJobsInOrder) {
    static int calls;
    calls = 0;
    auto job = [](uint32_t value) -> int {
        ++calls;
        return static_cast<int>(value) * 2;
    };
    for (uint32_t i = 1; i <= 50; ++i) {
        StartJob(kReaderWorker, job, i);
        StartJob(kWriterWorker, job, i + 100);
        EXPECT_EQ(WaitJob(kWriterWorker), static_cast<int>(i + 100) * 2);
        EXPECT_EQ(WaitJob(kReaderWorker), static_cast<int>(i) * 2);
    }
    EXPECT_EQ(calls, 100);
    StopIoWorkers();
    StartJob(kWriterWorker, job, 4);   // starts them again
    EXPECT_EQ(WaitJob(kWriterWorker), 8);
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

TEST_F(EngineTest, NulSourceWritesOnlyTheRequestedRange) {
    TempDir dir;
    std::string old = PatternBytes(200000, 5);
    ASSERT_TRUE(WriteBytes(dir / L"dst.bin", old));
    run.sourceIsNul = run.sourceIsDevice = 1;
    options.forcedSize = 100000;
    options.overwrite = 1;
    EXPECT_EQ(CopyOneFile(L"NUL", 0, 0, (dir / L"dst.bin").c_str(), nullptr, 0, nullptr), 1);
    EXPECT_EQ(transfer.bytesRead, 100352);   // the last block ends at the next sector, not a whole block later
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == std::string(100000, '\0'));
}

}  // namespace
}  // namespace enginetest
