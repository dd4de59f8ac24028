#include <gtest/gtest.h>

#include "text_format.h"

// Two results may be printed in one line; a copy may finish within one tick.
TEST(FormatSize, LastTwoResultsStayValidAndNoDivisionByZero) {
    const char* first = FormatSize(1, 1);
    const char* second = FormatSize(2048, 1);
    EXPECT_STREQ(first, "1 Bytes");
    EXPECT_STREQ(second, "2 KB");
    const char* third = FormatSize(5ull << 30, 1);
    EXPECT_STREQ(second, "2 KB");
    EXPECT_STREQ(third, "5 GB");
    EXPECT_STREQ(FormatSpeed(1000, 0), "976.6 KB/s");
}
