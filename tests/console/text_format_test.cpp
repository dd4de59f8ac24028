// Text within bounds: a name is never a format, a text never overruns its
// buffer, and redirected lines end in CR LF.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console.h"
#include "text_format.h"

namespace {

TEST(FormatText, WindowsConventionsWithinCapacity) {
    char out[kFormatLimit + 1];
    FormatText(out, sizeof out, "%S|%I64u|%I64i", L"100%s%n", 18446744073709551615ull, -5ll);
    EXPECT_STREQ(out, "100%s%n|18446744073709551615|-5");
    char small[8] = "xxxxxxx";
    EXPECT_TRUE(FormatText(small, 5, "%s", "abcdefghij") == 4 && std::string(small) == "abcd" && small[5] == 'x');
    EXPECT_EQ(FormatText(out, sizeof out, "name %S end", std::wstring(40000, L'n').c_str()), kFormatLimit);
    std::wstring name = L"abcdefghijklmnopqrstuvwxyz0123", longName(40000, L'x');
    for (int room : {20, 5, 1, 0, -7}) EXPECT_LE(ShortenMiddle(&name[0], room), room < 0 ? 0 : room) << room;
    EXPECT_EQ(ShortenMiddle(&longName[0], 50000), 32767) << "the room is capped by the scratch buffer";
    EXPECT_EQ(std::string(ErrorName(17)) + ErrorName(1142) + ErrorName(66), "NOT_SAME_DEVICETOO_MANY_LINKSBAD_DEV_TYPE");
}

// A line rewritten in place goes on a line of its own; CR LF split over two writes stays one.
TEST(LineEnds, RedirectedTextHasCrLfLinesAndNoLoneCr) {
    LineEnds state = {};
    std::string all, out(64, '\0');
    for (const char* text : {"name", "\rname exists\r", "\n", "a\nb"})
        all.append(&out[0], MendLineEnds(&state, text, strlen(text), &out[0]));
    EXPECT_EQ(all, "name\r\nname exists\r\na\r\nb");
}

}  // namespace

// A console's cursor is followed from the text alone: a CR returns, an LF ends
// the row, a backspace steps back, and the last column wraps onto a new row.
TEST(ScreenCursor, FollowsTheTextWrittenToTheConsole) {
    ScreenCursor cursor = {1, 0, 0, 10};
    auto write = [&](const wchar_t* text) {
        int ended = 0;
        for (; *text; ++text) ended |= AdvanceCursor(&cursor, *text);
        return ended;
    };
    EXPECT_EQ(0, write(L"abcdef\r"));
    EXPECT_TRUE(cursor.column == 0 && cursor.lineLength == 6);   // the text stays until the row is cleared
    write(L"xy\b");
    EXPECT_TRUE(cursor.column == 1 && cursor.lineLength == 6);
    EXPECT_EQ(1, write(L"\n"));
    EXPECT_TRUE(cursor.column == 0 && cursor.lineLength == 0);
    write(L"0123456789ab");
    EXPECT_TRUE(cursor.column == 2 && cursor.lineLength == 2);
}
