// Every refused combination of paths and options: its message, its exit code,
// and nothing touched on disk.
#include <gtest/gtest.h>
#include <windows.h>

#include "e2e_files.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

std::wstring OtherDriveFolder() {
    // the Wine prefix's C: drive when the temporary folder is elsewhere, else Wine's Z:
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return (towupper(temp[0]) == L'C') ? L"Z:\\tmp" : L"C:\\windows\\temp";
}

class RunChecks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteBytes(dir / L"file.bin", PatternBytes(5000)));
        ASSERT_TRUE(MakeFolder(dir / L"src\\sub"));
        ASSERT_TRUE(WriteBytes(dir / L"src\\a.txt", "alpha"));
        ASSERT_TRUE(WriteBytes(dir / L"src\\sub\\b.txt", "beta"));
        ASSERT_TRUE(MakeFolder(dir / L"out"));
    }
    RunResult Run(const std::wstring& tail) { return RunQtx(tail, dir.path()); }
    TempDir dir;
};

// A drive letter that no volume answers to, for the volume checks.
std::wstring MissingDrive() {
    DWORD drives = GetLogicalDrives();
    for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter)
        if (!(drives & (1u << (letter - L'A')))) return std::wstring(1, letter) + L":";
    return L"";
}

TEST_F(RunChecks, RefusedCombinationsTouchNothing) {
    std::wstring drive = MissingDrive();
    ASSERT_FALSE(drive.empty());
    const struct {
        std::wstring tail;
        int exitCode;
        const char* line;   // in the output or the error output
    } cases[] = {
        {L"file.bin \\\\.\\NUL -v", 2, "verify against the NUL device nonsense -> abort\r\n"},
        // reading a file into the null device is no reason to delete it
        {L"file.bin \\\\.\\NUL -ds", 2, "delete source with the NUL device as target makes no sense -> abort\r\n"},
        {L"file.bin .", 2, "cannot copy to itself -> abort\r\n"},
        {L"FILE.BIN " + dir.path(), 2, "cannot copy to itself -> abort\r\n"},   // names compare without case
        {L"\\\\.\\pd1 out -s", 2, "invalid parameter -> abort\r\n"},
        {L"\\\\.\\PhysicalDrive0 out -mir", 2, "invalid parameter -> abort\r\n"},
        {L"file.bin \\\\.\\NUL -s", 2, "invalid parameter -> abort\r\n"},
        {L"file.bin " + OtherDriveFolder() + L" -h", 2, "copy to hardlinks works on the same volume only -> abort\r\n"},
        {L"src\\*.txt missing-folder", 3, "target must be a folder -> abort\r\n"},
        {L"src\\*.txt out -st:4096", 4, "startpos works with a single file or device only -> abort\r\n"},
        {L"file.bin out\\*.bin", 4, "Wildcard in the target are not supported - sorry\r\n"},
        {drive + L"\\file.bin out", 5, "source volume is invalid ("},
        {L"file.bin " + drive + L"\\out", 6, "target volume is invalid ("},
        {L"nothing.bin out", 10, "source file not found -> abort\r\n"},
        {L"nowhere\\*.txt out", 11, "source folder not found -> abort\r\n"},
        {L"nowhere\\ out", 11, "source folder not found -> abort\r\n"},   // a trailing backslash names a folder
        {L"src\\ src\\sub -s", 9, "target path is below source path (recursion) -> abort\r\n"},
        {L"SRC\\ src\\SUB", 9, "target path is below source path (recursion) -> abort\r\n"},
        // a mirror whose source lies inside the target would delete the source
        {L"src\\sub\\ SRC -mir", 9,
         "Source folder is a sub-folder of the target folder, -MIR makes no sense -> abort\r\n"},
    };
    for (const auto& c : cases) {
        RunResult r = Run(c.tail);
        EXPECT_EQ(r.exitCode, c.exitCode) << Narrow(c.tail);
        EXPECT_TRUE(Has(r.out + r.err, c.line)) << Narrow(c.tail) << "\n" << r.out << r.err;
    }
    EXPECT_EQ(ReadBytesOr(dir / L"file.bin"), PatternBytes(5000));
    EXPECT_FALSE(Exists(dir / L"missing-folder"));
    EXPECT_FALSE(Exists(dir / L"out\\file.bin"));
    EXPECT_EQ(ReadBytesOr(dir / L"src\\sub\\b.txt"), "beta");
}

TEST_F(RunChecks, AcceptedSpellingsCopy) {
    RunResult r = Run(L"file.bin \\\\.\\nul");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, " File copied")) << r.out;   // the word names the source
    r = Run(L"file.bin copy.bin -f");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadBytesOr(dir / L"copy.bin"), PatternBytes(5000));
    r = Run(L"file.bin out\\*");   // a trailing \* only names the folder
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadBytesOr(dir / L"out\\file.bin"), PatternBytes(5000));
    r = Run(L"src\\a.txt . -sp");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Warning: Target folder ends with a period, this causes problems!\r\n")) << r.out;
    EXPECT_EQ(ReadBytesOr(dir / L"a.txt"), "alpha");
}

TEST_F(RunChecks, RecursionGuards) {
    // a folder copied into its own sub-folder: the target folder is made first, then refused
    RunResult r = Run(L"src src\\sub");
    EXPECT_EQ(r.exitCode, 9) << r.out;
    EXPECT_TRUE(Exists(dir / L"src\\sub\\src"));
    EXPECT_FALSE(Exists(dir / L"src\\sub\\src\\a.txt"));
    // a sibling whose name merely begins like the source is no child of it
    ASSERT_TRUE(MakeFolder(dir / L"src2"));
    r = Run(L"src\\ src2 -s");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadBytesOr(dir / L"src2\\sub\\b.txt"), "beta");
}

// The same folder under Wine's Z: drive, which maps the whole Unix tree.
std::wstring UnixDriveAlias(const std::wstring& path) {
    typedef char* (__cdecl * UnixName)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name"));
    if (!unixName) return L"";
    char* name = unixName(path.c_str());
    if (!name) return L"";
    std::wstring alias = L"Z:";
    for (const char* c = name; *c; ++c) alias += (*c == '/') ? L'\\' : static_cast<wchar_t>(*c);
    HeapFree(GetProcessHeap(), 0, name);
    return alias;
}

TEST_F(RunChecks, GuardsSeeThroughAliases) {
    ASSERT_TRUE(MakeFolder(dir / L"longfoldername\\sub"));
    ASSERT_TRUE(WriteBytes(dir / L"longfoldername\\sub\\keep.txt", "keep"));
    wchar_t shortName[MAX_PATH];
    ASSERT_NE(GetShortPathNameW((dir / L"longfoldername").c_str(), shortName, MAX_PATH), 0u);
    std::wstring alias = shortName;
    ASSERT_NE(alias, dir / L"longfoldername") << "no short name to test with";
    std::wstring unixAlias = UnixDriveAlias(dir.path());
    ASSERT_FALSE(unixAlias.empty());
    // a mirror into the source's parent, spelled otherwise, would delete the source
    for (const std::wstring& target : {alias, unixAlias + L"\\longfoldername"}) {
        RunResult r = Run(L"longfoldername\\sub\\ " + target + L" -mir");
        EXPECT_EQ(r.exitCode, 9) << Narrow(target) << r.out;
        EXPECT_TRUE(Has(r.out, "Source folder is a sub-folder of the target folder, -MIR makes no sense -> abort\r\n"));
        ASSERT_EQ(ReadBytesOr(dir / L"longfoldername\\sub\\keep.txt"), "keep");
    }
    // a copy into a sub-folder of its own source, spelled otherwise
    for (const std::wstring& source : {alias, unixAlias + L"\\longfoldername"}) {
        RunResult r = Run(source + L"\\ longfoldername\\sub");
        EXPECT_EQ(r.exitCode, 9) << Narrow(source) << r.out;
        EXPECT_TRUE(Has(r.out, "target path is below source path (recursion) -> abort\r\n")) << r.out;
        EXPECT_FALSE(Exists(dir / L"longfoldername\\sub\\sub"));
    }
    RunResult r = Run(L"file.bin " + unixAlias);
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_TRUE(Has(r.out, "cannot copy to itself -> abort\r\n")) << r.out;
    EXPECT_EQ(ReadBytesOr(dir / L"file.bin"), PatternBytes(5000));
}

TEST_F(RunChecks, TooManyParametersTouchNothing) {
    // the last of 32 arguments keeps a target file from the mirror's clean-up
    ASSERT_TRUE(WriteBytes(dir / L"out\\keep.txt", "keep"));
    std::wstring tail = L"src\\ out -mir";
    for (int i = 0; i < 27; ++i) tail += L" -e:x" + std::to_wstring(i);
    RunResult r = Run(tail + L" -e:keep.txt");
    EXPECT_EQ(r.exitCode, 2) << r.out;
    EXPECT_EQ(ReadBytesOr(dir / L"out\\keep.txt"), "keep");
    EXPECT_FALSE(Exists(dir / L"out\\a.txt"));
    // 31 arguments are still fine
    r = Run(tail);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
}

TEST_F(RunChecks, FolderSourceSpellings) {
    // without a trailing backslash the folder itself is copied
    RunResult r = Run(L"src out");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "copy "));
    EXPECT_EQ(ReadBytesOr(dir / L"out\\src\\sub\\b.txt"), "beta");
    // with it, the contents
    ASSERT_TRUE(MakeFolder(dir / L"flat"));
    r = Run(L"src\\ flat");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadBytesOr(dir / L"flat\\a.txt"), "alpha");
    EXPECT_EQ(ReadBytesOr(dir / L"flat\\sub\\b.txt"), "beta");
    EXPECT_TRUE(Has(r.out, "Files are located on the same physical drive -> sequential operation\r\n")) << r.out;
    // a target folder that does not exist yet is made with its parents
    r = Run(L"src new\\backup");
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(ReadBytesOr(dir / L"new\\backup\\src\\sub\\b.txt"), "beta");
}

}  // namespace
