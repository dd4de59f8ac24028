#include <gtest/gtest.h>

#include "text_format.h"

TEST(FormatSize, UnitBoundaries) {
    EXPECT_STREQ(FormatSize(1023, 1), "1023 Bytes");
    EXPECT_STREQ(FormatSize(1023, 0), "1023 ");
    EXPECT_STREQ(FormatSize(0, 1), "0 Bytes");
    EXPECT_STREQ(FormatSize(1535, 1), "1 KB");
    EXPECT_STREQ(FormatSize((1 << 20) - 1, 1), "1023 KB");
    EXPECT_STREQ(FormatSize(3 << 19, 1), "2 MB");
    EXPECT_STREQ(FormatSize((1ull << 30) - 1, 1), "1024 MB");
    EXPECT_STREQ(FormatSize(1ull << 30, 1), "1 GB");
    EXPECT_STREQ(FormatSize(1ull << 40, 1), "1 TB");
    EXPECT_STREQ(FormatSize(3ull << 20, 0), "3 M");
}

TEST(FormatSize, LastTwoResultsStayValid) {
    const char* first = FormatSize(1, 1);
    const char* second = FormatSize(2048, 1);
    EXPECT_STREQ(first, "1 Bytes");
    EXPECT_STREQ(second, "2 KB");
    const char* third = FormatSize(5ull << 30, 1);
    EXPECT_STREQ(second, "2 KB");
    EXPECT_STREQ(third, "5 GB");
    EXPECT_EQ(first, third);   // the third call reuses the first buffer
}

TEST(FormatSizeMB, UnitBoundaries) {
    EXPECT_STREQ(FormatSizeMB(1023, 1), "1023 Bytes");
    EXPECT_STREQ(FormatSizeMB(1536, 1), "2 KB");
    EXPECT_STREQ(FormatSizeMB(1 << 20, 1), "1024 KB");
    EXPECT_STREQ(FormatSizeMB((1 << 21) - 1, 1), "2048 KB");
    EXPECT_STREQ(FormatSizeMB(1 << 21, 1), "2 MB");
    EXPECT_STREQ(FormatSizeMB(1ull << 40, 1), "1048576 MB");
    EXPECT_STREQ(FormatSizeMB(1ull << 40, 0), "1048576 M");
}

TEST(FormatSpeed, UnitsAndRounding) {
    EXPECT_STREQ(FormatSpeed(1024, 1000), "1024 B/s");
    EXPECT_STREQ(FormatSpeed(1025, 1000), "1.0 KB/s");
    EXPECT_STREQ(FormatSpeed(5000, 1000), "4.9 KB/s");
    EXPECT_STREQ(FormatSpeed(1 << 20, 1000), "1024.0 KB/s");
    EXPECT_STREQ(FormatSpeed((1 << 20) + 1, 1000), "1.0 MB/s");
    EXPECT_STREQ(FormatSpeed(100ull << 20, 1000), "100.0 MB/s");
    EXPECT_STREQ(FormatSpeed((1ull << 30) + 1, 1000), "1.0 GB/s");
    EXPECT_STREQ(FormatSpeed(1000, 1), "976.6 KB/s");
    // no division by zero for a copy finished within one tick
    EXPECT_STREQ(FormatSpeed(1000, 0), "976.6 KB/s");
}
