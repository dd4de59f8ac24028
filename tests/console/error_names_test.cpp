#include <gtest/gtest.h>
#include <windows.h>

#include "text_format.h"

TEST(ErrorName, DecimalFallbackAndOneLineSystemText) {
    EXPECT_STREQ(ErrorName(1224), "1224");
    EXPECT_STREQ(ErrorName(4294967295u), "4294967295");
    SetLastError(5);
    std::string text = LastErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}
