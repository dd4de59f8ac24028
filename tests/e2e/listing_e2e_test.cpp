// The real qtx.exe listing the disks and volumes of the machine it runs on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

using namespace qtxtest;

namespace {

const std::string kBanner = "QTX 1.0.0 - copies files, folder trees, disks and volumes\r\n";

// The table lines behind the banner; each must end in a line feed.
std::vector<std::string> TableLines(const std::string& out) {
    std::vector<std::string> lines;
    EXPECT_EQ(0u, out.rfind(kBanner, 0)) << out;
    if (out.rfind(kBanner, 0) != 0) return lines;
    std::string rest = out.substr(kBanner.size());
    EXPECT_TRUE(rest.empty() || rest.back() == '\n') << rest;
    size_t start = 0;
    for (size_t end; (end = rest.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(rest.substr(start, end - start));
    return lines;
}

}  // namespace

TEST(ListingEndToEnd, DiskListEndsWithZero) {
    RunResult r = RunQtx(L"-ld");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    for (const std::string& line : TableLines(r.out)) {
        EXPECT_EQ(0u, line.rfind("Disk", 0)) << line;
        EXPECT_EQ(9u, line.find("\\\\.\\PhysicalDrive")) << line;
    }
}

TEST(ListingEndToEnd, VolumeListEndsWithZero) {
    RunResult r = RunQtx(L"-lv");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("", r.err);
    for (const std::string& line : TableLines(r.out)) {
        EXPECT_EQ(4u, line.find("\\\\.\\HarddiskVolume")) << line;
        EXPECT_NE(std::string::npos, line.find(" Disk")) << line;
    }
}

TEST(ListingEndToEnd, ListingEndsTheRunBeforeAnyPathIsRead) {
    RunResult r = RunQtx(L"-n -ld missing1 missing2");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(std::string::npos, r.out.find("abort")) << r.out;
    r = RunQtx(L"/LV");
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(0u, r.out.rfind(kBanner, 0)) << r.out;
}
