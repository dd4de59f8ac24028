#include <gtest/gtest.h>

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

TEST(FormatText, WindowsConventions) {
    EXPECT_EQ(F("%s and %S", "narrow", L"wide"), "narrow and wide");
    EXPECT_EQ(F("%I64u|%I64i|%Ii", 18446744073709551615ull, -5ll, static_cast<int64_t>(1) << 40),
              "18446744073709551615|-5|1099511627776");
    EXPECT_EQ(F("%u %i %x %X %c %%", 4294967295u, -2147483647 - 1, 255u, 255u, 'z'), "4294967295 -2147483648 ff FF z %");
    EXPECT_EQ(F("[%5i][%-5i][%05i][%-3s]", 42, 42, -42, "a"), "[   42][42   ][-0042][a  ]");
    EXPECT_EQ(F("%C", L'Q'), "Q");
    EXPECT_EQ(F("%s", static_cast<const char*>(nullptr)), "(null)");
    wchar_t wide[64];
    FormatTextW(wide, 64, L"%s-%S-%I64u", L"w", "n", 7ull);
    EXPECT_STREQ(wide, L"w-n-7");
}

TEST(FormatText, NeverWritesPastCapacity) {
    char small[8];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(FormatText(small, 5, "%s", "abcdefghij"), 4);
    EXPECT_STREQ(small, "abcd");
    EXPECT_EQ(small[5], 'x');
    std::wstring longName(40000, L'n');
    char line[kFormatLimit + 1];
    EXPECT_EQ(FormatText(line, sizeof line, "name %S end", longName.c_str()), kFormatLimit);
    EXPECT_EQ(strlen(line), static_cast<size_t>(kFormatLimit));
    // a name is an argument, never a format: its percent signs stay as they are
    EXPECT_EQ(F("%S", L"100%s%n"), "100%s%n");
}

}  // namespace
