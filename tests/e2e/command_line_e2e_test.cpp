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

std::string Banner() { return "QTX 1.0.0 - copies files, folder trees, disks and volumes\r\n"; }

}  // namespace

TEST(CommandLineEndToEnd, NoArgumentsShowsUsageAndEndsWithOne) {
    RunResult r = RunQtx(L"");
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_EQ(r.out.rfind(Banner() + "Usage:\r\nQTX FileSpec1 FileSpec2 [-s]", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("-r:n  retry reading n times on CRC or IO error (default 10, 0 means abort on error)\r\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("      default is \"don't care\" - the file inherits the compression of the\r\n"),
              std::string::npos);
    // the three texts end with an empty line, and nothing follows
    EXPECT_EQ(r.out.substr(r.out.size() - 60),
              std::string("-nlo  no error log file opening in text editor at the end\r\n\r\n").substr(1));
    EXPECT_EQ(r.err, "");
}

TEST(CommandLineEndToEnd, ThirdPathIsAnInvalidParameter) {
    TempDir dir;
    RunResult r = RunQtx(L"a b c", dir.path());
    EXPECT_EQ(r.exitCode, 2);
    std::string expected = Banner() + "invalid parameter c\r\nParams:\r\n param[0]=" + Acp(L"\"" + QtxPath() + L"\"").substr(1);
    // the program's own name is shown as typed, without its quotes
    expected.pop_back();
    expected += "\r\n param[1]=a\r\n param[2]=b\r\n param[3]=c\r\n";
    EXPECT_EQ(r.out, expected);
    // a mistyped switch with both paths present is reported the same way
    r = RunQtx(L"a b -xpress2", dir.path());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid parameter -xpress2\r\n"), std::string::npos);
    r = RunQtx(L"a b /Q -zz", dir.path());
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid parameter -zz\r\n"), std::string::npos) << "a leading slash becomes a dash";
}

TEST(CommandLineEndToEnd, NonAsciiArgumentsReachTheRedirectedOutput) {
    std::wstring greek = L"\u03B1\u03B2\u03B3", cjk = L"\u4E2D\u6587";
    RunResult r = RunQtx(greek + L" " + cjk + L" \u0394\u03B5\u03BB\u03C4\u03B1");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid parameter " + Acp(L"\u0394\u03B5\u03BB\u03C4\u03B1") + "\r\n"), std::string::npos);
    EXPECT_NE(r.out.find(" param[1]=" + Acp(greek) + "\r\n param[2]=" + Acp(cjk) + "\r\n"), std::string::npos);
}

TEST(CommandLineEndToEnd, MalformedInputNeverCrashes) {
    // a lone quote swallows the rest of the line into one argument
    RunResult r = RunQtx(L"a b \"c d");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid parameter c d\r\n"), std::string::npos);
    // an empty argument fills no path
    r = RunQtx(L"\"\" \"\"");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid source path\r\n"), std::string::npos);
    r = RunQtx(L"only-source");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid target path\r\n"), std::string::npos);
    // an argument near the system's command-line limit is cut in the report, not overrun
    std::wstring huge(32000, L'x');
    r = RunQtx(L"a b " + huge);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("invalid parameter xxxx"), std::string::npos);
    // forty arguments: none is dropped silently, the run is refused before the options are read
    std::wstring many;
    for (int i = 1; i <= 40; ++i) many += L" -q";
    r = RunQtx(L"a b" + many + L" extra");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, Banner() + "too many parameters -> abort\r\n");
}

TEST(CommandLineEndToEnd, ScanNeedsMirrorBeforeIt) {
    RunResult r = RunQtx(L"a b -scan -mir");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, Banner() + "-scan is valid with -mir only -> abort\r\n");
}

TEST(CommandLineEndToEnd, ListingSwitchesEndWithZero) {
    EXPECT_EQ(RunQtx(L"-n -lv").exitCode, 0);
    EXPECT_EQ(RunQtx(L"-ld").exitCode, 0);
}
