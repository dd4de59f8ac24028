// One file's copy: the bytes, sizes and times that arrive, what a failure
// leaves of an existing target, and the names a target shares with others.
#include <string>

#include "engine_fixture.h"

using qtxtest::Call;
using qtxtest::Fault;
using qtxtest::PatternBytes;

namespace {

constexpr int64_t kBlock = 0x10000;

TEST_F(EngineTest, CopiesEverySizeByteForByteAndClosesItsFiles) {
    const size_t sizes[] = {1, 1000, 0x100000, 0x100001, 3 * kBlock + 17, 0x300000 + 512};
    for (int mode = 0; mode < 4; ++mode) {
        for (size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << size << " mode " << mode);
            std::string data = PatternBytes(size, static_cast<uint32_t>(size + mode));
            SetUpRun(mode & 1, data, 0x100000);
            if (mode & 2) transfer.sourceOpenFlags = transfer.targetOpenFlags = 0;   // buffered
            fs.File(kSource)->times[2] = 132000000000000000ull;
            EXPECT_EQ(Copy(), 1);
            EXPECT_TRUE(fs.Data(kTarget) == data);
            EXPECT_EQ(fs.File(kTarget)->times[2], 132000000000000000ull);
            EXPECT_EQ(run.failedCopies, 0);
            EXPECT_EQ(fs.OpenHandles(), 0);
        }
    }
}

TEST_F(EngineTest, SkipZerosAndAvoidWritesLeaveExactlyTheSource) {
    options.overwrite = 1;
    std::string zeros(kBlock, '\0');
    std::string data = PatternBytes(kBlock, 3) + zeros + PatternBytes(kBlock, 4) + zeros.substr(0, 0x8000);
    for (int avoid = 0; avoid <= 1; ++avoid) {
        options.skipZeros = !avoid;
        options.avoidWrites = avoid;
        // a new target reads zero where blocks were skipped
        SetUpRun(0, data);
        EXPECT_EQ(Copy(), 1);
        EXPECT_TRUE(fs.Data(kTarget) == data) << avoid;
        // an old target, other bytes everywhere and longer than the source
        fs.AddFile(kTarget, PatternBytes(data.size() + 0x9000, 9));
        EXPECT_EQ(Copy(), 1);
        EXPECT_TRUE(fs.Data(kTarget) == data) << avoid;
    }
    // -u: an equal target takes no write; one with a block differing and one missing takes two
    fs.ResetCounts();
    EXPECT_EQ(Copy(), 1);
    EXPECT_EQ(fs.counts[static_cast<int>(Call::Write)], 0);
    std::string old = data.substr(0, 3 * kBlock);
    old[5] ^= 1;
    fs.AddFile(kTarget, old);
    fs.ResetCounts();
    EXPECT_EQ(Copy(), 1);
    EXPECT_EQ(fs.counts[static_cast<int>(Call::Write)], 2);
    EXPECT_TRUE(fs.Data(kTarget) == data);
}

TEST_F(EngineTest, AllZeroSkipZerosCopyIsStillVerified) {
    options.skipZeros = options.verify = 1;
    SetUpRun(0, std::string(3 * kBlock + 5, '\0'));
    // the target reads back one byte other than what is on it
    Fault& flip = fs.AddFault(Call::Read, L"target");
    flip.effect = Fault::Effect::Flip, flip.from = kBlock + 7, flip.to = kBlock + 8, flip.times = -1;
    EXPECT_EQ(Copy(), 0);
    // a copy that failed its verification never takes the target's name
    EXPECT_FALSE(fs.Exists(kTarget));
    EXPECT_EQ(run.verifyFailures, 1);
}

TEST_F(EngineTest, OverwriteNeverWritesThroughTheTargetsOtherNames) {
    options.overwrite = 1;
    std::string data = PatternBytes(3 * kBlock, 1), old = PatternBytes(3 * kBlock, 2);
    for (int avoid = 0; avoid <= 1; ++avoid) {
        options.avoidWrites = avoid;
        SetUpRun(0, data);
        fs.AddFile(kTarget, old);
        fs.AddLink(L"C:\\d\\other.bin", kTarget);
        EXPECT_EQ(Copy(), 1);
        EXPECT_TRUE(fs.Data(kTarget) == data);
        EXPECT_TRUE(fs.Data(L"C:\\d\\other.bin") == old) << avoid;
    }
}

// A target -u cannot open for writing is neither deleted nor said to be unchanged when it is not.
TEST_F(EngineTest, ATargetThatCannotBeOpenedIsKept) {
    options.overwrite = options.avoidWrites = 1;
    SetUpRun(0, PatternBytes(3 * kBlock, 1));
    fs.AddFile(kTarget, PatternBytes(2 * kBlock, 2), 131000000000000000ull);
    auto before = fs.Snapshot();
    fs.AddFault(Call::Open, L"target").times = -1;
    EXPECT_EQ(Copy(), 0);
    EXPECT_TRUE(fs.Snapshot() == before);
    EXPECT_EQ(Output().find("kept unchanged"), std::string::npos) << Output();
}

}  // namespace
