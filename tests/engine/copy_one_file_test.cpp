// One file's copy on the volume in memory: the bytes, sizes and times that
// arrive, what a failure leaves of an existing target, and the names a
// target shares with others.
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
            SetUpRun(mode & 1, 0x100000, mode & 2);
            std::string data = PatternBytes(size, static_cast<uint32_t>(size + mode));
            Source(data);
            fs.File(kSource)->times[2] = 132000000000000000ull;
            EXPECT_EQ(Copy(kSource, kTarget), 1);
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
        SetUpRun(0);
        fs.AddFile(kSource, data);
        // an old target with other bytes everywhere, longer than the source
        fs.AddFile(kTarget, PatternBytes(data.size() + 0x9000, 9));
        EXPECT_EQ(Copy(kSource, kTarget), 1);
        EXPECT_TRUE(fs.Data(kTarget) == data) << avoid;
        // a new target reads zero where blocks were skipped
        fs.Delete(kTarget.c_str());
        EXPECT_EQ(Copy(kSource, kTarget), 1);
        EXPECT_TRUE(fs.Data(kTarget) == data) << avoid;
    }
    // -u: an equal target takes no write; of one two blocks differ and one is missing
    std::string old = data.substr(0, 3 * kBlock);
    old[5] ^= 1;
    fs.ResetCounts();
    EXPECT_EQ(Copy(kSource, kTarget), 1);
    EXPECT_EQ(fs.counts[static_cast<int>(Call::Write)], 0);
    fs.AddFile(kTarget, old);
    fs.ResetCounts();
    EXPECT_EQ(Copy(kSource, kTarget), 1);
    EXPECT_EQ(fs.counts[static_cast<int>(Call::Write)], 2);
    EXPECT_TRUE(fs.Data(kTarget) == data);
}

TEST_F(EngineTest, AllZeroSkipZerosCopyIsStillVerified) {
    options.skipZeros = options.verify = 1;
    SetUpRun(0);
    Source(std::string(3 * kBlock + 5, '\0'));
    Fault flip;
    flip.call = Call::Read;
    flip.path = L"dst";
    flip.effect = Fault::Effect::Flip;
    flip.from = kBlock + 7;
    flip.to = kBlock + 8;
    flip.times = -1;
    fs.faults = {flip};
    Copy(kSource, kTarget);
    EXPECT_EQ(fs.Data(kTarget), std::string(3 * kBlock + 5, '\0'));
    EXPECT_EQ(run.verifyFailures, 1) << Output();
}

TEST_F(EngineTest, WriteErrorWithoutConsoleFailsTheCopy) {
    for (int parallel = 0; parallel <= 1; ++parallel) {
        SetUpRun(parallel);
        Source(PatternBytes(5 * kBlock, 2));
        Fault fault;
        fault.call = Call::Write;
        fault.nth = 3;
        fault.error = ERROR_NETNAME_DELETED;   // one a console run would reopen the target for
        fs.faults = {fault};
        fs.ResetCounts();
        EXPECT_EQ(Copy(kSource, kTarget), 0);
        EXPECT_FALSE(fs.Exists(kTarget)) << parallel;
        EXPECT_EQ(run.failedCopies, 1);
        EXPECT_EQ(fs.OpenHandles(), 0);
    }
}

// An existing target no byte reached is put back exactly; one that was
// written into is deleted with the error named.
TEST_F(EngineTest, FailedOverwriteKeepsTheExistingTarget) {
    run.singleSource = 0;
    options.overwrite = 1;
    fs.AddFile(kSource, PatternBytes(3 * kBlock, 2));
    fs.AddFile(kTarget, PatternBytes(0x18000, 3), 131000000000000000ull, FILE_ATTRIBUTE_HIDDEN);
    auto before = fs.Snapshot();
    for (auto effect : {Fault::Effect::Short, Fault::Effect::Fail}) {
        Fault early;   // the source ends early, or its first read fails
        early.call = Call::Read;
        early.path = L"src";
        early.effect = effect;
        early.from = 0x8000;
        early.times = -1;
        fs.faults = {early};
        EXPECT_EQ(Copy(kSource, kTarget), 0);
        EXPECT_TRUE(fs.Snapshot() == before);
        EXPECT_EQ(fs.OpenHandles(), 0);
    }
    Fault full;
    full.call = Call::Write;
    full.nth = 2;
    full.error = ERROR_DISK_FULL;
    fs.faults = {full};
    fs.ResetCounts();
    run.aborted = 0;
    EXPECT_EQ(Copy(kSource, kTarget), 0);
    EXPECT_FALSE(fs.Exists(kTarget));
    std::string out = Output();
    EXPECT_NE(out.find(" a.bin kept unchanged"), std::string::npos) << out;
    EXPECT_NE(out.find(" broken file deleted after error DISK_FULL"), std::string::npos) << out;
    EXPECT_EQ(run.failedCopies, 3);
}

TEST_F(EngineTest, OverwriteNeverWritesThroughTheTargetsOtherNames) {
    options.overwrite = 1;
    for (int avoid = 0; avoid <= 1; ++avoid) {
        options.avoidWrites = avoid;
        SetUpRun(0);
        std::string data = PatternBytes(3 * kBlock, 1), old = PatternBytes(3 * kBlock, 2);
        fs.AddFile(kSource, data);
        fs.AddFile(kTarget, old);
        fs.AddLink(L"C:\\dst\\other.bin", kTarget);
        EXPECT_EQ(Copy(kSource, kTarget), 1);
        EXPECT_TRUE(fs.Data(kTarget) == data);
        EXPECT_TRUE(fs.Data(L"C:\\dst\\other.bin") == old) << avoid;
    }
}

TEST(IsAllZero, WholeWordsAndTheTail) {
    unsigned char bytes[37] = {};
    EXPECT_EQ(IsAllZero(bytes, 0), 1);
    EXPECT_EQ(IsAllZero(bytes, sizeof bytes), 1);
    bytes[36] = 1;   // in the tail after the whole words
    EXPECT_EQ(IsAllZero(bytes, sizeof bytes), 0);
    EXPECT_EQ(IsAllZero(bytes, 36), 1);
    bytes[3] = 0x80;
    EXPECT_EQ(IsAllZero(bytes, 8), 0);
    EXPECT_EQ(IsAllZero(bytes + 1, 2), 1);
}

}  // namespace
