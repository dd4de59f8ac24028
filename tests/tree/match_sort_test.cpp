#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "folder_listing.h"
#include "heap_memory.h"
#include "options.h"
#include "run_state.h"

namespace {

TEST(MatchMask, WildcardsCaseAndEdges) {
    EXPECT_TRUE(MatchMask(L"", L"*"));
    EXPECT_FALSE(MatchMask(L"", L"a*"));
    EXPECT_FALSE(MatchMask(L"abc", L""));
    EXPECT_TRUE(MatchMask(L"abc", L"A?C"));
    EXPECT_TRUE(MatchMask(L".txt", L"*.txt"));
    EXPECT_TRUE(MatchMask(L"Report.TXT", L"*.txt"));
    EXPECT_FALSE(MatchMask(L"xy", L"*x"));
    EXPECT_FALSE(MatchMask(L"report.txt.bak", L"*.txt"));
    EXPECT_TRUE(MatchMask(L"aXbXc", L"a*b*c"));
    EXPECT_TRUE(MatchMask(L"abcabd", L"*abd"));   // retries after a partial match
    EXPECT_TRUE(MatchMask(L"abc", L"abc**"));
    EXPECT_FALSE(MatchMask(L"ab", L"abc"));
    EXPECT_FALSE(MatchMask(L"abc", L"ab"));
    // the end of the mask is not a blank in disguise (0x20 apart from 0)
    EXPECT_FALSE(MatchMask(L"ab ", L"ab"));
    EXPECT_FALSE(MatchMask(L"a b", L"a"));
    EXPECT_TRUE(MatchMask(L"[x", L"{x"));   // bit 0x20 only, as documented
}

TEST(MatchMask, ExcludeListInOrder) {
    Options saved = options;
    options.excludeMasks[0] = const_cast<wchar_t*>(L"*.tmp");
    options.excludeMasks[1] = const_cast<wchar_t*>(L"cache");
    options.excludeMasks[2] = nullptr;
    EXPECT_TRUE(IsExcluded(L"x.TMP"));
    EXPECT_TRUE(IsExcluded(L"Cache"));
    EXPECT_FALSE(IsExcluded(L"caches"));
    EXPECT_FALSE(IsExcluded(L"tmp"));
    options = saved;
}

int CompareInts(const void* a, const void* b) {
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return x < y ? -1 : x > y;
}

int64_t SizeOf(const void* element) { return (*static_cast<ListingEntry* const*>(element))->size; }
int CompareBySize(const void* a, const void* b) {
    int64_t x = SizeOf(a), y = SizeOf(b);
    return x < y ? -1 : x > y;
}

TEST(SortTable, SortsSmallLargeAndEqualKeys) {
    for (int n : {0, 1, 2, 31, 32, 33, 1000, 20000}) {
        std::vector<int> values(n);
        uint32_t seed = 7;
        for (int& v : values) v = static_cast<int>((seed = seed * 69069u + 1u) >> 20) % 50;
        std::vector<int> expected = values;
        std::sort(expected.begin(), expected.end());
        SortTable(values.data(), n, sizeof(int), CompareInts);
        EXPECT_EQ(expected, values) << n;
    }
    // ten thousand pointers to entries of one size (empty files): must not
    // exhaust the stack, and every element must survive
    const int count = 10000;
    std::vector<ListingEntry> entries(count);
    std::vector<ListingEntry*> table(count);
    for (int i = 0; i < count; ++i) {
        entries[i] = ListingEntry{};
        entries[i].size = i == 5000 ? -1 : 0;
        table[i] = &entries[i];
    }
    SortTable(table.data(), count, sizeof(ListingEntry*), CompareBySize);
    EXPECT_EQ(&entries[5000], table[0]);
    std::vector<ListingEntry*> sorted = table;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    for (int i = 1; i < count; ++i) EXPECT_EQ(0, table[i]->size);
    // already sorted and reversed input
    std::vector<int> ramp(5000);
    for (int i = 0; i < 5000; ++i) ramp[i] = 5000 - i;
    SortTable(ramp.data(), 5000, sizeof(int), CompareInts);
    EXPECT_TRUE(std::is_sorted(ramp.begin(), ramp.end()));
}

}  // namespace
