// The real qtx.exe listing the disks and volumes of the machine it runs on.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

using namespace qtxtest;

TEST(ListingEndToEnd, TablesEndWithZeroBeforeAnyPathIsRead) {
    const std::string banner = "QTX 1.0.0 - copies files, folder trees, disks and volumes\r\n";
    const struct {
        const wchar_t* line;
        const char* start;   // of each table line
        size_t device;       // column of the device path
        const char* path;
    } cases[] = {{L"-n -ld missing1 missing2", "Disk", 9, "\\\\.\\PhysicalDrive"},
                 {L"/LV", "", 4, "\\\\.\\HarddiskVolume"}};
    for (const auto& c : cases) {
        RunResult r = RunQtx(c.line);
        EXPECT_EQ(0, r.exitCode) << r.out;
        EXPECT_EQ("", r.err);
        ASSERT_EQ(0u, r.out.rfind(banner, 0)) << r.out;
        std::string rest = r.out.substr(banner.size());
        EXPECT_TRUE(rest.empty() || rest.back() == '\n') << rest;
        for (size_t start = 0, end; (end = rest.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = rest.substr(start, end - start);
            EXPECT_EQ(0u, line.rfind(c.start, 0)) << line;
            EXPECT_EQ(c.device, line.find(c.path)) << line;
        }
    }
}
