#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "heap_memory.h"

namespace {

std::vector<std::wstring> Split(const wchar_t* line) {
    ArgumentVector arguments;
    SplitCommandLine(line, &arguments);
    std::vector<std::wstring> result;
    for (int i = 0; i < arguments.count; ++i) result.push_back(arguments.entries[i]);
    FreeMemory(arguments.buffer);
    return result;
}

TEST(SplitCommandLine, QuotesAndBlanks) {
    EXPECT_EQ(Split(L"qtx \"C:\\my dir\" D:\\x"), (std::vector<std::wstring>{L"qtx", L"C:\\my dir", L"D:\\x"}));
    EXPECT_EQ(Split(L"qtx a\"b c\"d"), (std::vector<std::wstring>{L"qtx", L"ab cd"}));
    EXPECT_EQ(Split(L"qtx \"\" b"), (std::vector<std::wstring>{L"qtx", L"", L"b"}));
    // backslashes have no special meaning, also before a quote
    EXPECT_EQ(Split(L"qtx \"C:\\dir\\\" x"), (std::vector<std::wstring>{L"qtx", L"C:\\dir\\", L"x"}));
    // the no-break space and ideographic space separate; U+000B does not
    EXPECT_EQ(Split(L"qtx a\u00A0b\u3000c\u000Bd"), (std::vector<std::wstring>{L"qtx", L"a", L"b", L"c\u000Bd"}));
}

TEST(ParseSize, UnitsAndBases) {
    EXPECT_EQ(ParseSize(L"20GB"), 20000000000ull);
    EXPECT_EQ(ParseSize(L"20GiB"), 21474836480ull);
    EXPECT_EQ(ParseSize(L"4Ki"), 4096ull);
    EXPECT_EQ(ParseSize(L"1PiB"), 1125899906842624ull);
    EXPECT_EQ(ParseSize(L"5H"), 5ull);   // H is no unit letter
    EXPECT_EQ(ParseSize(L"0x10"), 16ull);
    EXPECT_EQ(ParseSize(L"abc"), 0ull);
    EXPECT_EQ(ParseSize(std::wstring(128, L'1').c_str()), 0ull);
    EXPECT_EQ(ParseInteger(L"  -42x"), -42);
    EXPECT_EQ(ParseInteger(L"0XfF"), 255);
}

}  // namespace
