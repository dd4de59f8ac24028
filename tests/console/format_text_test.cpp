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
