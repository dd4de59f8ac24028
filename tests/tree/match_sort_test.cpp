// Which names a mask takes, and the one sort the listings and the scan rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "folder_listing.h"
#include "options.h"

namespace {

TEST(MatchMask, NamesTakenAndLeft) {
    struct Case {
        const wchar_t *name, *mask;
        int match;
    } cases[] = {{L"Report.TXT", L"*.txt", 1}, {L".txt", L"*.txt", 1},         {L"report.txt.bak", L"*.txt", 0},
                 {L"abc", L"A?C", 1},          {L"ab", L"a?c", 0},             {L"abcabd", L"*abd", 1},
                 {L"aXbXc", L"a*b*c", 1},      {L"xy", L"*x", 0},              {L"abc", L"ab", 0},
                 {L"ab ", L"ab", 0},           {L"a b", L"a", 0},              {L"abc", L"abc**", 1}};
    for (const Case& c : cases) EXPECT_EQ(c.match, MatchMask(c.name, c.mask)) << c.name << " " << c.mask;
    Options saved = options;
    options.excludeMasks[0] = const_cast<wchar_t*>(L"*.tmp");
    options.excludeMasks[1] = const_cast<wchar_t*>(L"cache");
    EXPECT_TRUE(IsExcluded(L"x.TMP") && IsExcluded(L"Cache"));
    EXPECT_FALSE(IsExcluded(L"caches") || IsExcluded(L"tmp"));
    options = saved;
}

int CompareInts(const void* a, const void* b) {
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return x < y ? -1 : x > y;
}

TEST(SortTable, SortsEveryLengthAndManyEqualKeys) {
    for (int n : {0, 2, 31, 33, 1000, 20000}) {
        std::vector<int> values(n);
        uint32_t seed = 7;
        for (int& v : values) v = static_cast<int>((seed = seed * 69069u + 1u) >> 20) % (n < 1000 ? 1000 : 3);
        std::vector<int> expected = values;
        std::sort(expected.begin(), expected.end());
        SortTable(values.data(), n, sizeof(int), CompareInts);
        EXPECT_EQ(expected, values) << n;
    }
    std::vector<int> ramp(5000);   // reversed input
    for (int i = 0; i < 5000; ++i) ramp[i] = 5000 - i;
    SortTable(ramp.data(), 5000, sizeof(int), CompareInts);
    EXPECT_TRUE(std::is_sorted(ramp.begin(), ramp.end()));
}

}  // namespace
