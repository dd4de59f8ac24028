// Target folders on the real file system: creation with parents, parent
// paths, folder times.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "heap_memory.h"
#include "options.h"
#include "target_folders.h"
#include "test_support.h"

using namespace qtxtest;

namespace {

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

bool IsFolderPath(const std::wstring& path) {
    uint32_t attributes = Attributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring Parent(const std::wstring& path) {
    wchar_t* parent = ParentFolder(path.c_str());
    std::wstring result(parent);
    FreeMemory(parent);
    return result;
}

TEST(TargetFolders, CreateFolderPathMakesEveryMissingParent) {
    TempDir dir;
    Options saved = options;
    options.mirror = 0;
    std::wstring deep = Long(dir / L"a\\b\\c\\");
    ASSERT_TRUE(CreateFolderPath(deep.c_str(), nullptr));
    EXPECT_TRUE(IsFolderPath(dir / L"a\\b\\c"));
    // all there already: nothing to do, success
    EXPECT_TRUE(CreateFolderPath(Long(dir / L"a\\b").c_str(), nullptr));

    // a file in the middle: reported and kept, unless mirroring
    WriteBytes(dir / L"x", "file");
    EXPECT_FALSE(CreateFolderPath(Long(dir / L"x\\y").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadBytesOr(dir / L"x"), "file");
    options.mirror = 1;
    EXPECT_TRUE(CreateFolderPath(Long(dir / L"x\\y").c_str(), nullptr));
    EXPECT_TRUE(IsFolderPath(dir / L"x\\y"));
    options = saved;

    // a drive that is not there
    DWORD drives = GetLogicalDrives();
    wchar_t letter = 0;
    for (int i = 25; i >= 3 && !letter; --i)
        if (!(drives & (1u << i))) letter = static_cast<wchar_t>(L'A' + i);
    ASSERT_NE(letter, 0);
    std::wstring missing = L"\\\\?\\" + std::wstring(1, letter) + L":\\q\\r";
    EXPECT_FALSE(CreateFolderPath(missing.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DRIVE));
}

TEST(TargetFolders, ParentFolderKeepsTheRootBackslash) {
    EXPECT_EQ(Parent(L"\\\\?\\C:\\a"), L"\\\\?\\C:\\");
    EXPECT_EQ(Parent(L"\\\\?\\C:\\a\\b"), L"\\\\?\\C:\\a");
    EXPECT_EQ(Parent(L"C:\\a"), L"C:\\");
    EXPECT_EQ(Parent(L"name"), L"name");
    EXPECT_EQ(Parent(L"\\\\srv\\share\\a"), L"\\\\srv\\share");
}

TEST(TargetFolders, FolderTimesAreCopied) {
    TempDir dir;
    MakeFolder(dir / L"s");
    MakeFolder(dir / L"t");
    SetLastWriteTime(dir / L"s", 0x01D0000012345670ull);
    ASSERT_TRUE(CopyFolderTimes(Long(dir / L"s\\").c_str(), Long(dir / L"t").c_str()));
    EXPECT_EQ(LastWriteTime(dir / L"t"), 0x01D0000012345670ull);
    EXPECT_TRUE(CopyFolderTimes(Long(dir / L"s").c_str(), Long(dir / L"t\\").c_str()));   // equal already
    EXPECT_FALSE(CopyFolderTimes(Long(dir / L"none").c_str(), Long(dir / L"t").c_str()));
}

}  // namespace
