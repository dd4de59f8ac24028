#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "heap_memory.h"

namespace {

int tooMany = 0;

std::vector<std::wstring> Split(const wchar_t* line) {
    ArgumentVector arguments;
    SplitCommandLine(line, &arguments);
    tooMany = arguments.tooMany;
    std::vector<std::wstring> result;
    for (int i = 0; i < arguments.count; ++i) result.push_back(arguments.entries[i]);
    if (arguments.count == kMaxArguments) {
        EXPECT_EQ(arguments.entries[kMaxArguments], nullptr);
    }
    FreeMemory(arguments.buffer);
    return result;
}

TEST(SplitCommandLine, QuotesAndBlanks) {
    EXPECT_EQ(Split(L""), std::vector<std::wstring>{});
    EXPECT_EQ(Split(L"qtx \"C:\\my dir\" D:\\x"), (std::vector<std::wstring>{L"qtx", L"C:\\my dir", L"D:\\x"}));
    EXPECT_EQ(Split(L"qtx a\"b c\"d"), (std::vector<std::wstring>{L"qtx", L"ab cd"}));
    EXPECT_EQ(Split(L"qtx a   "), (std::vector<std::wstring>{L"qtx", L"a"}));
    EXPECT_EQ(Split(L"qtx \"\" b"), (std::vector<std::wstring>{L"qtx", L"", L"b"}));
    // backslashes have no special meaning, also before a quote
    EXPECT_EQ(Split(L"qtx \"C:\\dir\\\" x"), (std::vector<std::wstring>{L"qtx", L"C:\\dir\\", L"x"}));
    // a lone quote runs to the end of the line
    EXPECT_EQ(Split(L"qtx \"a b"), (std::vector<std::wstring>{L"qtx", L"a b"}));
    // the no-break space and ideographic space separate; U+000B does not
    EXPECT_EQ(Split(L"qtx a\u00A0b\u3000c\u000Bd"), (std::vector<std::wstring>{L"qtx", L"a", L"b", L"c\u000Bd"}));
    EXPECT_EQ(Split(L"qtx \u03B1\u03B2 \u4E2D\u6587"), (std::vector<std::wstring>{L"qtx", L"\u03B1\u03B2", L"\u4E2D\u6587"}));
}

TEST(SplitCommandLine, KeepsThirtyOneArgumentsAndTellsOfMore) {
    std::wstring line = L"qtx";
    for (int i = 1; i < 40; ++i) line += L" a" + std::to_wstring(i);
    std::vector<std::wstring> parts = Split(line.c_str());
    ASSERT_EQ(parts.size(), 31u);
    EXPECT_EQ(parts[30], L"a30");
    EXPECT_EQ(tooMany, 1);
    // exactly 31, with blanks behind, are not too many
    line = L"qtx";
    for (int i = 1; i < 31; ++i) line += L" a" + std::to_wstring(i);
    EXPECT_EQ(Split((line + L"   ").c_str()).size(), 31u);
    EXPECT_EQ(tooMany, 0);
}

TEST(ParseSize, UnitsAndBases) {
    EXPECT_EQ(ParseSize(L"20GB"), 20000000000ull);
    EXPECT_EQ(ParseSize(L"20G"), 20000000000ull);
    EXPECT_EQ(ParseSize(L"20GiB"), 21474836480ull);
    EXPECT_EQ(ParseSize(L"512K"), 512000ull);
    EXPECT_EQ(ParseSize(L"4Ki"), 4096ull);
    EXPECT_EQ(ParseSize(L"16"), 16ull);
    EXPECT_EQ(ParseSize(L"2t"), 2000000000000ull);
    EXPECT_EQ(ParseSize(L"1PiB"), 1125899906842624ull);
    EXPECT_EQ(ParseSize(L"5H"), 5ull);   // H is no unit letter
    EXPECT_EQ(ParseSize(L"0x10"), 16ull);
    EXPECT_EQ(ParseSize(L"abc"), 0ull);
    EXPECT_EQ(ParseSize(std::wstring(128, L'1').c_str()), 0ull);
    EXPECT_EQ(ParseInteger(L"  -42x"), -42);
    EXPECT_EQ(ParseInteger(L"0XfF"), 255);
}

}  // namespace
