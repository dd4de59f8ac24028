// The real qtx.exe on refused and accepted command lines: exit codes, the line
// that says why, and a refused run that touches nothing, whatever the spelling.
#include <gtest/gtest.h>
#include <windows.h>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

// The same folder under Wine's Z: drive, which maps the whole Unix tree.
std::wstring UnixDriveAlias(const std::wstring& path) {
    typedef char*(__cdecl * UnixName)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name"));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    if (!name) return L"";
    std::wstring alias = L"Z:";
    for (const char* c = name; *c; ++c) alias += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
    HeapFree(GetProcessHeap(), 0, name);
    return alias;
}

void Build(const TempDir& dir) {
    Put(dir, L"file.bin", PatternBytes(5000));
    Put(dir, L"src\\a.txt", "alpha");
    Put(dir, L"src\\sub\\b.txt", "beta");
    Put(dir, L"out\\keep.txt", "keep");
    Put(dir, L"longfoldername\\sub\\keep.txt", "keep");
    MakeFolder(dir / L"src2");
}

TEST(RunChecksEndToEnd, RefusedLinesEndWithTheirCodeAndTouchNothing) {
    TempDir dir;
    Build(dir);
    wchar_t shortName[MAX_PATH];
    ASSERT_NE(GetShortPathNameW((dir / L"longfoldername").c_str(), shortName, MAX_PATH), 0u);
    std::wstring alias = shortName, unixAlias = UnixDriveAlias(dir.path()) + L"\\longfoldername";
    ASSERT_NE(alias, dir / L"longfoldername") << "no short name to test with";
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring otherDrive = (towupper(temp[0]) == L'C') ? L"Z:\\tmp" : L"C:\\windows\\temp";
    std::wstring missing;
    for (wchar_t letter = L'Q'; letter <= L'Y' && missing.empty(); ++letter)
        if (!(GetLogicalDrives() & (1u << (letter - L'A')))) missing = std::wstring(1, letter) + L":";
    std::wstring many, mirrorTail = L"src\\ out -mir";
    for (int i = 1; i <= 40; ++i) many += L" -q";
    for (int i = 0; i < 27; ++i) mirrorTail += L" -e:x" + std::to_wstring(i);
    const char* parent = "Source folder is a sub-folder of the target folder, -MIR makes no sense -> abort\r\n";
    const char* below = "target path is below source path (recursion) -> abort\r\n";
    const struct {
        std::wstring tail;
        int exitCode;
        std::string line;   // in the output or the error output
    } cases[] = {
        {L"", 1, "Usage:\r\nQTX FileSpec1 FileSpec2 [-s]"},
        {L"a b c", 2, "invalid parameter c\r\n"},
        {L"a b /Q -zz", 2, "invalid parameter -zz\r\n"},   // a leading slash becomes a dash
        {L"a b \"c d", 2, "invalid parameter c d\r\n"},     // a lone quote takes the rest of the line
        {L"\"\" \"\"", 2, "invalid source path\r\n"},
        {L"only-source", 2, "invalid target path\r\n"},
        {L"a b " + std::wstring(32000, L'x'), 2, "invalid parameter xxxx"},   // cut, not overrun
        {L"a b" + many + L" extra", 2, "too many parameters -> abort\r\n"},   // none dropped silently
        {mirrorTail + L" -e:keep.txt", 2, "too many parameters -> abort\r\n"},
        {L"a b -scan -mir", 2, "-scan is valid with -mir only -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -v", 2, "verify against the NUL device nonsense -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -ds", 2, "delete source with the NUL device as target makes no sense -> abort\r\n"},
        {L"file.bin .", 2, "cannot copy to itself -> abort\r\n"},
        {L"FILE.BIN " + dir.path(), 2, "cannot copy to itself -> abort\r\n"},
        {L"file.bin " + UnixDriveAlias(dir.path()), 2, "cannot copy to itself -> abort\r\n"},
        {L"\\\\.\\PhysicalDrive0 out -mir", 2, "invalid parameter -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -s", 2, "invalid parameter -> abort\r\n"},
        {L"file.bin " + otherDrive + L" -h", 2, "copy to hardlinks works on the same volume only -> abort\r\n"},
        {L"src\\*.txt missing-folder", 3, "target must be a folder -> abort\r\n"},
        {L"src\\*.txt out -st:4096", 4, "startpos works with a single file or device only -> abort\r\n"},
        {L"file.bin out\\*.bin", 4, "Wildcard in the target are not supported - sorry\r\n"},
        {missing + L"\\file.bin out", 5, "source volume is invalid ("},
        {L"file.bin " + missing + L"\\out", 6, "target volume is invalid ("},
        {L"nothing.bin out", 10, "source file not found -> abort\r\n"},
        {L"nowhere\\*.txt out", 11, "source folder not found -> abort\r\n"},
        {L"nowhere\\ out", 11, "source folder not found -> abort\r\n"},
        {L"src\\ src\\sub -s", 9, below},
        {L"SRC\\ src\\SUB", 9, below},
        {alias + L"\\ longfoldername\\sub", 9, below},
        {unixAlias + L"\\ longfoldername\\sub", 9, below},
        {L"src\\sub\\ SRC -mir", 9, parent},   // the mirror would delete its own source
        {L"longfoldername\\sub\\ " + alias + L" -mir", 9, parent},
        {L"longfoldername\\sub\\ " + unixAlias + L" -mir", 9, parent},
        {L"file.bin far.bin -st:8192", 13, "Error: StartPos (8192) > FileSize (5000) -> abort"},
    };
    TreeMap before = Tree(dir.path());
    for (const auto& c : cases) {
        RunResult r = RunQtx(c.tail, dir.path());
        EXPECT_EQ(r.exitCode, c.exitCode) << Narrow(c.tail.substr(0, 200));
        EXPECT_TRUE(Has(r.out + r.err, c.line)) << Narrow(c.tail.substr(0, 200)) << "\n" << r.out.substr(0, 400) << r.err;
    }
    EXPECT_TRUE(before == Tree(dir.path()));
    // 31 arguments are still fine
    EXPECT_EQ(RunQtx(mirrorTail, dir.path()).exitCode, 0);
    EXPECT_FALSE(Exists(dir / L"out\\keep.txt"));
}

TEST(RunChecksEndToEnd, AcceptedSpellingsCopy) {
    TempDir dir;
    Build(dir);
    const struct {
        std::wstring tail;
        std::wstring copy;   // a file the run made
        std::string bytes;
    } cases[] = {
        {L"file.bin \\\\.\\nul", L"file.bin", PatternBytes(5000)},
        {L"file.bin copy.bin -f", L"copy.bin", PatternBytes(5000)},
        {L"file.bin out\\*", L"out\\file.bin", PatternBytes(5000)},   // a trailing \* only names the folder
        {L"src\\a.txt . -sp", L"a.txt", "alpha"},
        {L"src out", L"out\\src\\sub\\b.txt", "beta"},     // without a trailing backslash, the folder itself
        {L"src\\ out", L"out\\sub\\b.txt", "beta"},        // with it, the contents
        {L"src new\\backup", L"new\\backup\\src\\sub\\b.txt", "beta"},   // with missing parents
        {L"src\\ src2 -s", L"src2\\sub\\b.txt", "beta"},   // a sibling is no child of the source
    };
    for (const auto& c : cases) {
        RunResult r = RunQtx(c.tail, dir.path());
        EXPECT_EQ(r.exitCode, 0) << Narrow(c.tail) << r.out << r.err;
        EXPECT_EQ(ReadBytesOr(dir / c.copy), c.bytes) << Narrow(c.tail);
    }
    // a folder copied into its own sub-folder: the target folder is made first, then refused
    EXPECT_EQ(RunQtx(L"src src\\sub", dir.path()).exitCode, 9);
    EXPECT_FALSE(Exists(dir / L"src\\sub\\src\\a.txt"));
}

TEST(RunChecksEndToEnd, ListingsEndWithZeroBeforeAnyPathIsRead) {
    for (const auto& [line, device] : {std::pair{L"-n -ld missing1 missing2", "\\\\.\\PhysicalDrive"},
                                       std::pair{L"/LV", "\\\\.\\HarddiskVolume"}}) {
        RunResult r = RunQtx(line);
        EXPECT_EQ(0, r.exitCode) << r.out;
        EXPECT_EQ("", r.err);
        std::string rest = r.out.substr(r.out.find('\n') + 1);
        for (size_t start = 0, end; (end = rest.find('\n', start)) != std::string::npos; start = end + 1)
            EXPECT_TRUE(Has(rest.substr(start, end - start), device)) << rest;
    }
}

}  // namespace
