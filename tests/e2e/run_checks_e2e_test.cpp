// The real qtx.exe on refused and accepted command lines: exit codes, the line
// that says why, and a refused run that touches nothing, whatever the spelling.
#include <gtest/gtest.h>
#include <windows.h>

#include <tuple>

#include "e2e_files.h"

using namespace qtxtest;

namespace {

std::string UnixName(const std::wstring& path) {
    typedef char*(__cdecl * UnixNameOf)(const wchar_t*);
    auto unixName =
        reinterpret_cast<UnixNameOf>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name"));
    char* name = unixName ? unixName(path.c_str()) : nullptr;
    std::string text = name ? name : "";
    if (name) HeapFree(GetProcessHeap(), 0, name);
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The same folder under Wine's Z: drive, which maps the whole Unix tree.
std::wstring UnixDriveAlias(const std::wstring& path) {
    std::string name = UnixName(path);
    std::wstring alias = L"Z:";
    for (char c : name) alias += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return name.empty() ? L"" : alias;
}

// Runs a Unix program (Wine starts it): Windows calls make no links here.
bool RunUnix(const std::string& program, const std::string& arguments) {
    std::wstring line(program.begin(), program.end()), image = L"Z:" + line;
    line += L" " + std::wstring(arguments.begin(), arguments.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(image.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    WaitForSingleObject(process.hProcess, 30000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return true;
}

// A Unix symbolic link, which Wine shows as a folder link (or, in the
// prefix's dosdevices, as a drive); removed however the test ends.
struct UnixLink {
    std::string link;
    UnixLink(const std::string& target, const std::string& at) : link(at) { RunUnix("/bin/ln", "-sfn " + target + " " + link); }
    ~UnixLink() { RunUnix("/bin/rm", "-f " + link); }
};

// A drive letter no one uses.
std::wstring FreeDrive() {
    for (wchar_t letter = L'P'; letter <= L'Y'; ++letter) {
        std::wstring root = std::wstring(1, letter) + L":\\";
        if (!(GetLogicalDrives() & (1u << (letter - L'A'))) && GetFileAttributesW(root.c_str()) == INVALID_FILE_ATTRIBUTES)
            return root.substr(0, 2);
    }
    return L"";
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
    std::wstring missing;
    for (wchar_t letter = L'Q'; letter <= L'Y' && missing.empty(); ++letter)
        if (!(GetLogicalDrives() & (1u << (letter - L'A')))) missing = std::wstring(1, letter) + L":";
    std::wstring many, mirrorTail = L"src\\ out -mir";
    for (int i = 1; i <= 40; ++i) many += L" -q";
    for (int i = 0; i < 27; ++i) mirrorTail += L" -e:x" + std::to_wstring(i);
    const char* parent = "Source folder is a sub-folder of the target folder, -MIR makes no sense -> abort\r\n";
    const char* below = "target path is below source path (recursion) -> abort\r\n";
    // links to a sub-folder of the other side, and a drive whose root lies in src
    std::string unixDir = UnixName(dir.path()), devices = UnixName(L"C:\\");
    devices.resize(devices.size() - 2);
    std::wstring drive = FreeDrive();
    ASSERT_FALSE(unixDir.empty() || drive.empty());
    UnixLink toTarget(unixDir + "/longfoldername/sub", unixDir + "/lnk");
    UnixLink toSource(unixDir + "/src/sub", unixDir + "/sublnk");
    UnixLink mapped(unixDir + "/src/sub", devices + static_cast<char>(towlower(drive[0])) + ":");
    const std::tuple<std::wstring, int, std::string> cases[] = {   // the line, its exit code, a line it shows
        {L"", 1, "Usage:\r\nQTX FileSpec1 FileSpec2 [-s]"},
        {L"a b \"c d", 2, "invalid parameter c d\r\n"},     // a lone quote takes the rest of the line
        {L"only-source", 2, "invalid target path\r\n"},
        {L"a b " + std::wstring(32000, L'x'), 2, "invalid parameter xxxx"},   // cut, not overrun
        {L"a b" + many + L" extra", 2, "too many parameters -> abort\r\n"},   // none dropped silently
        {mirrorTail + L" -e:keep.txt", 2, "too many parameters -> abort\r\n"},
        {L"file.bin out -fi:1x", 2, "invalid parameter -fi:1x\r\n"},   // a value is checked before the copy
        {L"src\\ out -mir -maxdel:5O", 2, "invalid parameter -maxdel:5O\r\n"},
        {L"a b -scan -mir", 2, "-scan is valid with -mir only -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -v", 2, "verify against the NUL device nonsense -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -ds", 2, "delete source with the NUL device as target makes no sense -> abort\r\n"},
        {L"file.bin .", 2, "cannot copy to itself -> abort\r\n"},
        {L"FILE.BIN " + dir.path(), 2, "cannot copy to itself -> abort\r\n"},
        {L"file.bin " + UnixDriveAlias(dir.path()), 2, "cannot copy to itself -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -s", 2, "invalid parameter -> abort\r\n"},
        {L"file.bin Z:\\tmp -h", 2, "copy to hardlinks works on the same volume only -> abort\r\n"},
        {L"src\\*.txt missing-folder", 3, "target must be a folder -> abort\r\n"},
        {L"src\\*.txt out -st:4096", 4, "startpos works with a single file or device only -> abort\r\n"},
        {L"file.bin out\\*.bin", 4, "Wildcard in the target are not supported - sorry\r\n"},
        {missing + L"\\file.bin out", 5, "source volume is invalid ("},
        {L"file.bin " + missing + L"\\out", 6, "target volume is invalid ("},
        {L"nothing.bin out", 10, "source file not found -> abort\r\n"},
        {L"nowhere\\*.txt out", 11, "source folder not found -> abort\r\n"},
        {L"src\\ src\\sub -s", 9, below},
        {L"SRC\\ src\\SUB", 9, below},
        {L"src " + unixAlias + L"\\..\\src\\sub -s", 9, below},   // refused before src\sub\src is made
        {alias + L"\\ longfoldername\\sub", 9, below},
        {unixAlias + L"\\ longfoldername\\sub", 9, below},
        {L"src\\sub\\ SRC -mir", 9, parent},   // the mirror would delete its own source
        {L"longfoldername\\sub\\ " + alias + L" -mir", 9, parent},
        {L"longfoldername\\sub\\ " + unixAlias + L" -mir", 9, parent},
        {L"lnk\\ longfoldername -mir", 9, parent},
        {L"lnk\\ longfoldername -mir -dry", 9, parent},
        {L"src sublnk -s", 9, below},
        {L"src\\ sublnk -s -dry", 9, below},
        {drive + L"\\ src -mir", 9, parent},
        {drive + L"\\ src -mir -dry", 9, parent},
        {L"src\\ " + drive + L"\\ -s", 9, below},
        {L"file.bin far.bin -st:8192", 13, "Error: StartPos (8192) > FileSize (5000) -> abort"},
        {L"-n -ld missing1 missing2", 0, "QTX 1.0.0"},   // listings end before any path is read
        {L"/LV", 0, "C:  \\\\.\\HarddiskVolume"},
    };
    TreeMap before = Tree(dir.path());
    for (const auto& [tail, code, line] : cases) {
        RunResult r = RunQtx(tail, dir.path());
        EXPECT_TRUE(r.exitCode == code && Has(r.out + r.err, line))
            << r.exitCode << " " << Narrow(tail.substr(0, 200)) << "\n" << r.out.substr(0, 400) << r.err;
    }
    EXPECT_TRUE(before == Tree(dir.path()));
    EXPECT_TRUE(RunQtx(mirrorTail, dir.path()).exitCode == 0 && !Exists(dir / L"out\\keep.txt")) << "31 arguments are fine";
}

// Runs that could do all they were asked end with 0, the others name what
// failed and end with 13; a copy into its own sub-folder is refused late.
TEST(RunChecksEndToEnd, AcceptedLinesCopyAndFailuresNeverEndWithZero) {
    TempDir dir;
    Build(dir);
    Put(dir, L"blocked\\sub", "a file");
    MakeFolder(dir / L"out\\file.bin\\in");
    Put(dir, L"greek\\\u03A9.txt", "omega");
    const std::tuple<std::wstring, int, const char*> cases[] = {
        {L"src\\sub\\b.txt out\\*", 0, ""},   // a trailing \* only names the folder
        {L"src\\sub\\b.txt . -sp", 0, ""},
        {L"src new\\backup", 0, ""},   // with missing parents
        {L"src2 out -s", 0, "1 folder created\r\n"},   // a folder made is something done
        {L"src\\ src2 -s", 0, ""},     // a sibling is no child of the source
        {L"src src\\sub", 9, ""},
        {L"src\\ blocked -s", 13, "a file stands where the folder goes -> skip folder "},
        {L"file.bin out -o", 13, "already exists as folder"},
        // Wine's volumes have no named streams, and it cannot read security or streams as backup streams
        {L"file.bin out\\x.bin:extra", 13, "target drive does not support streams -> abort"},
        {L"file.bin \\\\.\\" + dir / L"out", 13, "target drive does not support streams -> abort"},
        {L"src\\ out -s -sec", 13, "Error NOT_SUPPORTED copying security of "},
        {L"src\\ out -s -ads", 13, "Error NOT_SUPPORTED copying streams of "},
        {L"file.bin missing\\link.bin -h", 13, "creating hardlink "},
        {L"greek\\ out -s", 0, "\\greek\\\xCE\xA9.txt\r\n"},   // redirected output is UTF-8
    };
    for (const auto& [tail, code, line] : cases) {
        RunResult r = RunQtx(tail, dir.path());
        EXPECT_TRUE(r.exitCode == code && Has(r.out + r.err, line) && !Has(r.out, "CRC error"))
            << Narrow(tail) << "\n" << r.out << r.err;
    }
    for (const wchar_t* copy : {L"out\\b.txt", L"b.txt", L"new\\backup\\src\\sub\\b.txt", L"src2\\sub\\b.txt"})
        EXPECT_EQ(ReadBytesOr(dir / copy), "beta") << Narrow(copy);
    EXPECT_FALSE(Exists(dir / L"src\\sub\\src\\a.txt"));
    EXPECT_EQ(ReadBytesOr(dir / L"blocked\\sub"), "a file");
    EXPECT_EQ(ReadBytesOr(dir / L"out\\a.txt"), "alpha") << "the data is copied even when its security is not";
}

}  // namespace
