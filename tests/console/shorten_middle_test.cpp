#include <gtest/gtest.h>

#include <string>

#include "console.h"

namespace {

std::wstring Shorten(std::wstring name, int room) {
    name.push_back(0);
    int length = ShortenMiddle(&name[0], room);
    std::wstring result(name.c_str());
    EXPECT_EQ(static_cast<int>(result.size()), length);
    return result;
}

TEST(ShortenMiddle, KeepsBothEndsWithinTheRoom) {
    std::wstring name = L"abcdefghijklmnopqrstuvwxyz0123";   // 30 characters
    EXPECT_EQ(Shorten(name, 20), L"abcdefgh...vwxyz0123");
    EXPECT_EQ(Shorten(name, 31), name) << "a shorter name stays";
    EXPECT_EQ(Shorten(name, 30).size(), 30u) << "a name of exactly the room is shortened to the same length";
    EXPECT_EQ(Shorten(Shorten(name, 20), 12), L"abcd...z0123");
    // rooms too small for the periods still stay within the room
    for (int room : {5, 1, 0, -7}) EXPECT_LE(static_cast<int>(Shorten(name, room).size()), room < 0 ? 0 : room);
    std::wstring longName(40000, L'x');
    EXPECT_EQ(Shorten(longName, 50000).size(), 32767u) << "the room is capped by the scratch buffer";
}

}  // namespace
