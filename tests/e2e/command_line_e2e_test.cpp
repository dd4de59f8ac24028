// The real qtx.exe on bad and odd command lines: output bytes and exit codes.
#include <gtest/gtest.h>
#include <windows.h>

#include "test_support.h"

using namespace qtxtest;

namespace {

std::string Acp(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

const std::string kBanner = "QTX 1.0.0 - copies files, folder trees, disks and volumes\r\n";

TEST(CommandLineEndToEnd, NoArgumentsShowsUsageAndEndsWithOne) {
    RunResult r = RunQtx(L"");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.rfind(kBanner + "Usage:\r\nQTX FileSpec1 FileSpec2 [-s]", 0), 0u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 4), "\r\n\r\n") << "the text ends with an empty line";
    EXPECT_EQ(r.err, "");
}

TEST(CommandLineEndToEnd, BadLinesAreRefusedWithTwo) {
    TempDir dir;
    RunResult r = RunQtx(L"a b c", dir.path());
    EXPECT_EQ(r.exitCode, 2);
    // the program's own name is shown as typed, without its quotes
    EXPECT_EQ(r.out, kBanner + "invalid parameter c\r\nParams:\r\n param[0]=" + Acp(QtxPath()) +
                         "\r\n param[1]=a\r\n param[2]=b\r\n param[3]=c\r\n");
    std::wstring many;
    for (int i = 1; i <= 40; ++i) many += L" -q";
    const struct {
        std::wstring line;
        std::string shown;
    } cases[] = {
        {L"a b -xpress2", "invalid parameter -xpress2\r\n"},
        {L"a b /Q -zz", "invalid parameter -zz\r\n"},   // a leading slash becomes a dash
        {L"\u03B1\u03B2\u03B3 \u4E2D\u6587 \u0394\u03B5",
         "invalid parameter " + Acp(L"\u0394\u03B5") + "\r\nParams:\r\n param[0]=" + Acp(QtxPath()) + "\r\n param[1]=" +
             Acp(L"\u03B1\u03B2\u03B3") + "\r\n param[2]=" + Acp(L"\u4E2D\u6587") + "\r\n"},
        {L"a b \"c d", "invalid parameter c d\r\n"},   // a lone quote takes the rest of the line
        {L"\"\" \"\"", "invalid source path\r\n"},      // an empty argument fills no path
        {L"only-source", "invalid target path\r\n"},
        // near the system's command-line limit the report is cut, not overrun
        {L"a b " + std::wstring(32000, L'x'), "invalid parameter xxxx"},
        // none of forty arguments is dropped silently: refused before the options are read
        {L"a b" + many + L" extra", "too many parameters -> abort\r\n"},
        {L"a b -scan -mir", "-scan is valid with -mir only -> abort\r\n"},
    };
    for (const auto& c : cases) {
        r = RunQtx(c.line, dir.path());
        EXPECT_EQ(r.exitCode, 2) << c.shown;
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out.substr(0, 400);
    }
}

}  // namespace
