// Read errors injected by class and offset: sector-wise recovery, retries,
// reopening, the question and what the caller sees afterwards.
#include <string>

#include "fault_injection.h"

using namespace qtxtest;

namespace enginetest {
namespace {

constexpr int64_t kBlock = 0x10000;
constexpr int64_t kUnit = 4096;

class ReadRecoveryTest : public InjectionTest {};

TEST_F(ReadRecoveryTest, BadUnitsStayZeroInPlaceAndEveryGoodUnitArrives) {
    for (int parallel = 0; parallel <= 1; ++parallel) {
        SetUpRun(parallel, kBlock);
        inject = InjectingFileOps();
        TempDir dir;
        // the last block holds 1000 bytes: one partial unit, read at its own length
        std::string data = PatternBytes(3 * kBlock + 1000, 5);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        const int64_t badFirst = 0, badMiddle = kBlock + 5 * kUnit, tail = 3 * kBlock;
        inject.sourceFaults = {{badFirst, badFirst + kUnit, ERROR_CRC, -1},
                               {badMiddle, badMiddle + kUnit, ERROR_IO_DEVICE, -1},
                               {tail, tail + 1000, ERROR_CRC, 3}};
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
        output.Restore();
        std::string expected = Zeroed(Zeroed(data, badFirst, kUnit), badMiddle, kUnit);
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == expected) << "parallel " << parallel;
        EXPECT_EQ(transfer.failedSectors, 2);
        EXPECT_EQ(run.readErrorFiles, 1);
        EXPECT_EQ(run.failedCopies, 1);   // exit code 13
        // each unit once per attempt at its own offset; the whole block read counts at its start
        EXPECT_EQ(inject.ReadsAt(badFirst), 1 + 11);
        EXPECT_EQ(inject.ReadsAt(badMiddle), 11);
        EXPECT_EQ(inject.ReadsAt(badMiddle + kUnit), 1);
        EXPECT_EQ(inject.ReadsAt(tail), 1 + 3);
        EXPECT_EQ(Occurrences(output.out, "15 of 16 sectors successfully read, 1 failed\r\n"), 2) << output.out;
        EXPECT_EQ(Occurrences(output.out, "1 of 1 sectors successfully read, 0 failed\r\n"), 1);
        EXPECT_NE(output.err.find("Error CRC reading " + Narrow(dir / L"src.bin") + ": 2 sectors failed\r\n"),
                  std::string::npos)
            << output.err;
        EXPECT_EQ(questionsAsked, 0);
    }
}

TEST_F(ReadRecoveryTest, AttemptsPerUnitFollowTheRetryOption) {
    for (int attempts = 3; attempts <= 4; ++attempts) {
        SetUpRun(0, kBlock);
        inject = InjectingFileOps();
        options.retries = attempts;
        TempDir dir;
        std::string data = PatternBytes(2 * kBlock, 6);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        const int64_t bad = 3 * kUnit;
        // four failed reads: the block read and three unit attempts
        inject.sourceFaults = {{bad, bad + kUnit, ERROR_CRC, 4}};
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
        output.Restore();
        EXPECT_EQ(inject.ReadsAt(bad), attempts);
        bool recovered = attempts == 4;
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == (recovered ? data : Zeroed(data, bad, kUnit))) << attempts;
        EXPECT_EQ(transfer.failedSectors, recovered ? 0 : 1);
        EXPECT_EQ(run.failedCopies, recovered ? 0 : 1);
    }
}

TEST_F(ReadRecoveryTest, OneAttemptAbortsWithoutSectorReading) {
    options.retries = 1;
    Rebuffer(kBlock);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(3 * kBlock, 7)));
    inject.sourceFaults = {{kBlock, 2 * kBlock, ERROR_CRC, -1}};
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    output.Restore();
    EXPECT_NE(output.out.find("read error CRC -> abort\r\n"), std::string::npos) << output.out;
    EXPECT_EQ(output.out.find("Reading sector"), std::string::npos);
    EXPECT_EQ(inject.ReadsAt(kBlock), 1);
    EXPECT_EQ(questionsAsked, 0);
    EXPECT_EQ(run.aborted, 0);
    EXPECT_EQ(run.failedCopies, 1);
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
}

TEST_F(ReadRecoveryTest, SectorNotFoundInsideTheSourceIsABadUnitNotTheEnd) {
    Rebuffer(kBlock);
    TempDir dir;
    // second block: a full unit and a partial one that ends the source
    std::string data = PatternBytes(kBlock + 6000, 8);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    const int64_t middle = 2 * kUnit, last = kBlock + kUnit;
    inject.sourceFaults = {{middle, middle + kUnit, ERROR_SECTOR_NOT_FOUND, -1},
                           {last, last + kUnit, ERROR_SECTOR_NOT_FOUND, -1}};
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    output.Restore();
    EXPECT_EQ(inject.ReadsAt(middle + kUnit), 1);   // the loop went on after the bad unit
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == Zeroed(Zeroed(data, middle, kUnit), last, kUnit));
    // the unit holding the source's last bytes is lost data as well
    EXPECT_EQ(transfer.failedSectors, 2);
    EXPECT_NE(output.out.find("15 of 16 sectors successfully read, 1 failed\r\n"), std::string::npos) << output.out;
    EXPECT_NE(output.out.find("1 of 2 sectors successfully read, 1 failed\r\n"), std::string::npos);
    EXPECT_EQ(run.readErrorFiles, 1);
}

TEST_F(ReadRecoveryTest, VanishedSourceIsReopenedAndReadAgainFromTheBlockStart) {
    const uint32_t errors[] = {ERROR_BAD_NETPATH, ERROR_NOT_READY, ERROR_NETNAME_DELETED};
    for (uint32_t error : errors) {
        SetUpRun(1, kBlock);
        inject = InjectingFileOps();
        TempDir dir;
        std::string data = PatternBytes(4 * kBlock + 10, error);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        inject.sourceFaults = {{2 * kBlock, 3 * kBlock, error, 2}};
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1) << error;
        output.Restore();
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data) << error;
        EXPECT_EQ(inject.OpensOf(dir / L"src.bin"), 3) << error;
        EXPECT_EQ(inject.ReadsAt(2 * kBlock), 3);
        EXPECT_EQ(transfer.failedSectors, 0);
        EXPECT_EQ(run.failedCopies, 0);
    }
}

TEST_F(ReadRecoveryTest, ReopeningStopsWhenTheAttemptsAreUsedUp) {
    options.retries = 3;
    Rebuffer(kBlock);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(3 * kBlock, 9)));
    inject.sourceFaults = {{kBlock, 2 * kBlock, ERROR_BAD_NETPATH, -1}};
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    output.Restore();
    EXPECT_EQ(inject.ReadsAt(kBlock), 3);
    EXPECT_EQ(inject.OpensOf(dir / L"src.bin"), 3);
    EXPECT_NE(output.out.find("read error BAD_NETPATH -> abort\r\n"), std::string::npos) << output.out;
    EXPECT_EQ(run.failedCopies, 1);
}

TEST_F(ReadRecoveryTest, InvalidParameterOnUnbufferedSourceReopensBuffered) {
    transfer.sourceOpenFlags = kNoBufferingFlags;
    Rebuffer(kBlock);
    TempDir dir;
    std::string data = PatternBytes(3 * kBlock + 512, 10);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    inject.sourceFaults = {{kBlock, 2 * kBlock, ERROR_INVALID_PARAMETER, 1}};
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    output.Restore();
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data);
    EXPECT_EQ(transfer.sourceOpenFlags & kFlagNoBuffering, 0u);
    EXPECT_EQ(inject.OpensOf(dir / L"src.bin"), 2);
}

TEST_F(ReadRecoveryTest, OtherErrorsAskAndNoReadsAgain) {
    for (int yes = 0; yes <= 1; ++yes) {
        SetUpRun(0, kBlock);
        inject = InjectingFileOps();
        questionsAsked = 0;
        answerYes = yes;
        TempDir dir;
        std::string data = PatternBytes(3 * kBlock, 11);
        ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
        inject.sourceFaults = {{kBlock, 2 * kBlock, ERROR_ACCESS_DENIED, 1}};
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), yes ? 0 : 1);
        output.Restore();
        EXPECT_EQ(questionsAsked, 1);
        EXPECT_NE(output.err.find("read error ACCESS_DENIED - abort? (Y/N)"), std::string::npos) << output.err;
        EXPECT_EQ(run.aborted, yes);
        if (!yes) { EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == data); }
    }
}

TEST_F(ReadRecoveryTest, WithoutConsoleRecoveryRunsAndQuestionsTakeTheirDefault) {
    engineConsoleCheck = WithoutConsole;
    Rebuffer(kBlock);
    TempDir dir;
    std::string data = PatternBytes(3 * kBlock, 12);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    // a media error is read unit by unit: a script rescuing a disk gets every good sector
    inject.sourceFaults = {{kBlock, kBlock + kUnit, ERROR_CRC, -1}};
    {
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
        output.Restore();
        std::string expected = data;
        std::fill(expected.begin() + kBlock, expected.begin() + kBlock + kUnit, '\0');
        EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == expected);
        EXPECT_EQ(transfer.failedSectors, 1);
    }
    // an error that would need an answer ends the file at once, with its line
    inject.sourceFaults = {{kBlock, kBlock + kUnit, ERROR_ACCESS_DENIED, -1}};
    inject.sourceReadPositions.clear();
    {
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst2.bin"), 0);
        output.Restore();
        EXPECT_EQ(inject.ReadsAt(kBlock), 1);
        EXPECT_NE(output.out.find("read error ACCESS_DENIED -> abort"), std::string::npos) << output.out;
        EXPECT_EQ(run.aborted, 0) << "the walk goes on with the next file";
    }
    // a vanished network source is reopened as often as the attempts allow
    inject.sourceFaults = {{kBlock, kBlock + kUnit, ERROR_BAD_NETPATH, -1}};
    inject.sourceReadPositions.clear();
    {
        CapturedOutput output;
        EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst3.bin"), 0);
        output.Restore();
        EXPECT_EQ(inject.ReadsAt(kBlock), options.retries);
        EXPECT_EQ(transfer.lastReadError, static_cast<uint32_t>(ERROR_BAD_NETPATH));
    }
    EXPECT_EQ(questionsAsked, 0);
    EXPECT_EQ(run.failedCopies, 3);
}

TEST_F(ReadRecoveryTest, QuietRunsStillCountAndDeleteSourceKeepsAPartlyReadSource) {
    options.quiet = 1;
    options.deleteSource = 1;
    Rebuffer(kBlock);
    TempDir dir;
    std::string data = PatternBytes(2 * kBlock, 13);
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", data));
    ASSERT_TRUE(WriteBytes(dir / L"good.bin", data));
    inject.sourceFaults = {{kBlock + kUnit, kBlock + 2 * kUnit, ERROR_CRC, -1}};
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 1);
    inject.sourceFaults.clear();
    EXPECT_EQ(Copy(dir / L"good.bin", dir / L"good.out"), 1);
    output.Restore();
    EXPECT_TRUE(Exists(dir / L"src.bin"));
    EXPECT_FALSE(Exists(dir / L"good.bin"));
    EXPECT_TRUE(ReadBytesOr(dir / L"dst.bin") == Zeroed(data, kBlock + kUnit, kUnit));
    EXPECT_EQ(run.readErrorFiles, 1);
    EXPECT_NE(output.err.find(": 1 sectors failed\r\n"), std::string::npos) << output.err;
}

TEST_F(ReadRecoveryTest, UnreadableBlockInAWalkDeletesTheTargetAndLogsTheFile) {
    run.singleSource = 0;
    Rebuffer(kBlock);
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir / L"src.bin", PatternBytes(3 * kBlock, 14)));
    inject.sourceFaults = {{kBlock, 2 * kBlock, ERROR_CRC, -1}};
    CapturedOutput output;
    EXPECT_EQ(Copy(dir / L"src.bin", dir / L"dst.bin"), 0);
    output.Restore();
    EXPECT_FALSE(Exists(dir / L"dst.bin"));
    EXPECT_NE(output.out.find("0 of 16 sectors successfully read, 16 failed\r\n"), std::string::npos) << output.out;
    EXPECT_NE(output.err.find("Error CRC reading " + Narrow(dir / L"src.bin") + "\r\n"), std::string::npos)
        << output.err;
    EXPECT_EQ(run.readErrorFiles, 1);
    EXPECT_EQ(run.failedCopies, 1);
}

}  // namespace
}  // namespace enginetest
