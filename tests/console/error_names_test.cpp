#include <gtest/gtest.h>
#include <windows.h>

#include "text_format.h"

TEST(ErrorName, TableAndDecimalFallback) {
    EXPECT_STREQ(ErrorName(32), "SHARING_VIOLATION");
    EXPECT_STREQ(ErrorName(665), "FILE_SYSTEM_LIMITATION");
    EXPECT_STREQ(ErrorName(1921), "CANT_RESOLVE_FILENAME");
    EXPECT_STREQ(ErrorName(1), "INVALID_FUNCTION");
    EXPECT_STREQ(ErrorName(112), "DISK_FULL");
    EXPECT_STREQ(ErrorName(0), "0");
    EXPECT_STREQ(ErrorName(1224), "1224");
    EXPECT_STREQ(ErrorName(4294967295u), "4294967295");
    SetLastError(23);
    EXPECT_STREQ(LastErrorName(), "CRC");
}

TEST(ErrorName, SystemTextHasNoLineBreaks) {
    SetLastError(5);
    std::string text = LastErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.find('\r'), std::string::npos);
}
