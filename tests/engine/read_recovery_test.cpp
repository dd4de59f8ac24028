// Unreadable source units: read one by one, kept in place as zeros, counted,
// and tried as often as the attempts allow.
#include <string>

#include "engine_fixture.h"
#include "read_recovery.h"

using qtxtest::Call;
using qtxtest::Fault;
using qtxtest::PatternBytes;

namespace {

constexpr int64_t kBlock = 0x10000;
constexpr int64_t kUnit = 4096;

// Reads over [from, from + length) fail `times` times (-1: always).
Fault BadRange(int64_t from, int64_t length, int times, uint32_t error = ERROR_CRC) {
    Fault fault;
    fault.call = Call::Read;
    fault.path = L"source";
    fault.from = from;
    fault.to = from + length;
    fault.times = times;
    fault.error = error;
    return fault;
}

std::string Zeroed(std::string data, int64_t from, int64_t length) {
    return data.replace(static_cast<size_t>(from), static_cast<size_t>(length), static_cast<size_t>(length), '\0');
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class ReadRecoveryTest : public EngineTest {
    void SetUp() override {
        EngineTest::SetUp();
        recoveryPause = [](uint32_t) {};
    }
};

TEST_F(ReadRecoveryTest, BadUnitsStayZeroInPlaceAndTheLastPartialUnitArrives) {
    for (int parallel = 0; parallel <= 1; ++parallel) {
        // the last block holds 1000 bytes: one partial unit, read at its own length
        std::string data = PatternBytes(3 * kBlock + 1000, 5);
        SetUpRun(parallel, data);
        const int64_t middle = kBlock + 5 * kUnit, tail = 3 * kBlock;
        fs.faults = {BadRange(0, kUnit, -1), BadRange(middle, 2 * kUnit, -1, ERROR_IO_DEVICE), BadRange(tail, 1000, 3)};
        EXPECT_EQ(Copy(), 1);
        EXPECT_TRUE(fs.Data(kTarget) == Zeroed(Zeroed(data, 0, kUnit), middle, 2 * kUnit)) << parallel;
        EXPECT_EQ(transfer.failedSectors, 3);
        EXPECT_EQ(run.readErrorFiles, 1);
        EXPECT_EQ(run.failedCopies, 1);
    }
    std::string out = Output();
    EXPECT_EQ(Occurrences(out, "15 of 16 sectors successfully read, 1 failed\n"), 2) << out;
    EXPECT_EQ(Occurrences(out, "14 of 16 sectors successfully read, 2 failed\n"), 2);
    EXPECT_EQ(Occurrences(out, "1 of 1 sectors successfully read, 0 failed\n"), 2);
    EXPECT_EQ(Occurrences(out, "Error CRC reading C:\\d\\source.bin: 3 sectors failed\n"), 2);
}

TEST_F(ReadRecoveryTest, EachUnitIsReadAsOftenAsTheAttemptsSay) {
    for (int attempts = 3; attempts <= 4; ++attempts) {
        options.retries = attempts;
        std::string data = PatternBytes(2 * kBlock, 6);
        SetUpRun(0, data);
        // four failed reads: the block's and three of the unit's
        fs.faults = {BadRange(3 * kUnit, kUnit, 4)};
        EXPECT_EQ(Copy(), 1);
        bool recovered = attempts == 4;
        EXPECT_TRUE(fs.Data(kTarget) == (recovered ? data : Zeroed(data, 3 * kUnit, kUnit))) << attempts;
        EXPECT_EQ(transfer.failedSectors, recovered ? 0 : 1);
    }
}

}  // namespace
