#include <gtest/gtest.h>

#include <string>

#include "console.h"

namespace {

// Feeds the texts one write after another, as the printing calls do.
std::string Mend(std::initializer_list<const char*> writes) {
    LineEnds state = {};
    std::string all;
    for (const char* text : writes) {
        std::string in(text);
        std::string out(2 * in.size() + 2, '\0');
        out.resize(MendLineEnds(&state, in.data(), in.size(), &out[0]));
        all += out;
    }
    return all;
}

TEST(LineEnds, RedirectedTextHasCrLfLinesAndNoLoneCr) {
    // the CR of every block of a copy vanishes at the start of a line
    EXPECT_EQ(Mend({"copy a to b\n", "\r", "\r", "\r", " File copied\n"}), "copy a to b\r\n File copied\r\n");
    // a line rewritten in place goes on a line of its own
    EXPECT_EQ(Mend({"name", "\rname already exists -> skip\n"}), "name\r\nname already exists -> skip\r\n");
    // CR LF split over two writes stays one line end, LF alone gains its CR
    EXPECT_EQ(Mend({"done\r", "\n", "a\nb\r\n"}), "done\r\na\r\nb\r\n");
}

}  // namespace
