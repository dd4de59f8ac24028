#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "text_format.h"

namespace {

std::string F(const char* format, ...) {
    char out[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    FormatTextV(out, sizeof out, format, args);
    va_end(args);
    return out;
}

TEST(FormatText, WindowsConventionsWithinCapacity) {
    EXPECT_EQ(F("%s and %S", "narrow", L"wide"), "narrow and wide");
    EXPECT_EQ(F("%I64u|%I64i|%Ii", 18446744073709551615ull, -5ll, static_cast<int64_t>(1) << 40),
              "18446744073709551615|-5|1099511627776");
    EXPECT_EQ(F("[%5i][%-5i][%05i]", 42, 42, -42), "[   42][42   ][-0042]");
    char small[8];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(FormatText(small, 5, "%s", "abcdefghij"), 4);
    EXPECT_STREQ(small, "abcd");
    EXPECT_EQ(small[5], 'x');
    std::wstring longName(40000, L'n');
    char line[kFormatLimit + 1];
    EXPECT_EQ(FormatText(line, sizeof line, "name %S end", longName.c_str()), kFormatLimit);
    // a name is an argument, never a format: its percent signs stay as they are
    EXPECT_EQ(F("%S", L"100%s%n"), "100%s%n");
}

TEST(FormatSize, SixtyFourBitsAndTwoLiveResults) {
    EXPECT_STREQ(FormatSize((1ull << 30) - 1, 1), "1024 MB");
    EXPECT_STREQ(FormatSizeMB(1ull << 40, 1), "1048576 MB");
    // two sizes go into one line: the earlier result must survive the later call
    const char* first = FormatSize(1, 1);
    const char* second = FormatSize(2048, 1);
    EXPECT_STREQ(first, "1 Bytes");
    EXPECT_STREQ(second, "2 KB");
    // no division by zero for a copy finished within one tick
    EXPECT_STREQ(FormatSpeed(1000, 0), "976.6 KB/s");
}

TEST(ErrorName, DecimalFallbackAndOneLineSystemText) {
    EXPECT_STREQ(ErrorName(1224), "1224");
    EXPECT_STREQ(ErrorName(4294967295u), "4294967295");
    SetLastError(5);
    std::string text = LastErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

}  // namespace
