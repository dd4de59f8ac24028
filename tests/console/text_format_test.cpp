// Formatting within bounds: a name is never a format, a text never overruns its buffer.
#include <gtest/gtest.h>

#include <string>

#include "console.h"
#include "text_format.h"

namespace {

TEST(FormatText, WindowsConventionsWithinCapacity) {
    char out[kFormatLimit + 1];
    FormatText(out, sizeof out, "%S|%I64u|%I64i", L"100%s%n", 18446744073709551615ull, -5ll);
    EXPECT_STREQ(out, "100%s%n|18446744073709551615|-5");
    char small[8] = "xxxxxxx";
    EXPECT_EQ(FormatText(small, 5, "%s", "abcdefghij"), 4);
    EXPECT_TRUE(std::string(small) == "abcd" && small[5] == 'x') << small;
    EXPECT_EQ(FormatText(out, sizeof out, "name %S end", std::wstring(40000, L'n').c_str()), kFormatLimit);
    // two sizes go into one line: the earlier result must survive the later call
    const char* first = FormatSize(1, 1);
    EXPECT_STREQ(FormatSize((1ull << 30) - 1, 1), "1024 MB");
    EXPECT_STREQ(first, "1 Bytes");
    EXPECT_STREQ(FormatSizeMB(1ull << 40, 1), "1048576 MB");
}

TEST(ShortenMiddle, StaysWithinTheRoom) {
    std::wstring name = L"abcdefghijklmnopqrstuvwxyz0123";   // 30 characters
    for (int room : {20, 5, 1, 0, -7}) EXPECT_LE(ShortenMiddle(&name[0], room), room < 0 ? 0 : room) << room;
    std::wstring longName(40000, L'x');
    EXPECT_EQ(ShortenMiddle(&longName[0], 50000), 32767) << "the room is capped by the scratch buffer";
}

}  // namespace
