// Unreadable source units are tried as often as the attempts allow.
#include <string>

#include "engine_fixture.h"
#include "read_recovery.h"

using qtxtest::Call;
using qtxtest::Fault;
using qtxtest::PatternBytes;

namespace {

constexpr int64_t kBlock = 0x10000;
constexpr int64_t kUnit = 4096;

std::string Zeroed(std::string data, int64_t from, int64_t length) {
    return data.replace(static_cast<size_t>(from), static_cast<size_t>(length), static_cast<size_t>(length), '\0');
}

TEST_F(EngineTest, EachUnitIsReadAsOftenAsTheAttemptsSay) {
    recoveryPause = [](uint32_t) {};
    for (int attempts = 3; attempts <= 4; ++attempts) {
        options.retries = attempts;
        uint32_t error = attempts == 3 ? ERROR_CRC : ERROR_IO_DEVICE;   // both mean a bad sector
        std::string data = PatternBytes(2 * kBlock, 6);
        SetUpRun(0, data);
        // four failed reads: the block's and three of the unit's
        fs.faults.clear();
        Fault& bad = fs.AddFault(Call::Read, L"source", error);
        bad.from = 3 * kUnit, bad.to = 4 * kUnit, bad.times = 4;
        bool recovered = attempts == 4;
        EXPECT_EQ(Copy(), recovered ? 1 : 0);   // zeros leave the copy incomplete
        EXPECT_TRUE(fs.Data(kTarget) == (recovered ? data : Zeroed(data, 3 * kUnit, kUnit))) << attempts;
        EXPECT_EQ(transfer.failedSectors, recovered ? 0 : 1);
    }
}

}  // namespace
