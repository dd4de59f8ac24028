// CRC-64 check values and the fingerprints built from it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "crc64.h"
#include "run_state.h"
#include "scan.h"
#include "test_support.h"

using namespace qtxtest;
namespace {
std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }
}  // namespace

namespace {

uint64_t CrcOf(const std::string& bytes) { return Crc64(bytes.data(), bytes.size()); }

uint64_t FingerprintOf(const std::wstring& path, int64_t size, int64_t sample, uint32_t* error) {
    return Fingerprint(Long(path).c_str(), size, sample, error);
}

}  // namespace

TEST(Crc64, KnownCheckValuesAndRunningUpdate) {
    EXPECT_EQ(0x62EC59E3F1A4F00Aull, CrcOf("123456789"));   // CRC-64/WE
    EXPECT_EQ(0ull, CrcOf(""));
    std::string data = PatternBytes(100000, 7);
    uint64_t running = kCrc64Start;
    running = Crc64Update(running, data.data(), 1);
    running = Crc64Update(running, data.data() + 1, 65535);
    running = Crc64Update(running, data.data() + 65536, data.size() - 65536);
    EXPECT_EQ(CrcOf(data), Crc64Finish(running));
    std::string changed = data;
    changed[50000] ^= 1;
    EXPECT_NE(CrcOf(data), CrcOf(changed));
}

TEST(Fingerprint, RegionsAndWholeFileRule) {
    const int64_t MiB = 1048576;
    EXPECT_FALSE(UsesWholeFile(8 * MiB, MiB));
    EXPECT_TRUE(UsesWholeFile(4 * MiB, MiB));       // 1 MiB is not below a quarter of 4 MiB
    EXPECT_TRUE(UsesWholeFile(3 * MiB, MiB));
    EXPECT_TRUE(UsesWholeFile(8 * MiB, 0x7FFFFFFFFFFFF000LL));   // -t:f
    EXPECT_EQ(0, SampleRegionStart(10000000, MiB, 0));
    EXPECT_EQ(4476928, SampleRegionStart(10000000, MiB, 1));   // (10000000 - 1048576) / 2 rounded up to 4096
    EXPECT_EQ(8953856, SampleRegionStart(10000000, MiB, 2));   // 10000000 - 1048576 rounded up
}

TEST(Fingerprint, FailuresGiveZeroWithTheError) {
    TempDir folder;
    uint32_t error = 0;
    EXPECT_EQ(0u, FingerprintOf(folder / L"missing.bin", 5000, 0x7FFFFFFFFFFFF000LL, &error));
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), error);
    // a file that is not the size listed (changed since): never a match
    ASSERT_TRUE(WriteBytes(folder / L"short.bin", PatternBytes(50000, 1)));
    EXPECT_EQ(0u, FingerprintOf(folder / L"short.bin", 60000, 0x7FFFFFFFFFFFF000LL, &error));
    EXPECT_NE(0u, error);
    EXPECT_EQ(0u, FingerprintOf(folder / L"short.bin", 200000, 8192, &error));
    EXPECT_NE(0u, error);
    // a stop ends the reading without a value
    run.stopRequested = 1;
    EXPECT_EQ(0u, FingerprintOf(folder / L"short.bin", 50000, 0x7FFFFFFFFFFFF000LL, &error));
    run.stopRequested = 0;
    EXPECT_EQ(static_cast<uint32_t>(ERROR_OPERATION_ABORTED), error);
}
