// Path facts the guards and the mirror rely on: what lies below a folder,
// what a substituted or network drive stands for, where a target maps back
// to, bounded edits, and existence and volumes asked of the volume in memory.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "memory_file_system.h"
#include "paths.h"
#include "run_state.h"
#include "test_support.h"

namespace {

using qtxtest::Call;
using qtxtest::MemoryFileSystem;

// A buffer of the given capacity followed by guard characters that must survive.
struct Guarded {
    std::vector<wchar_t> storage;
    explicit Guarded(size_t capacity) : storage(capacity + 8, L'#') { storage[0] = 0; }
    wchar_t* data() { return storage.data(); }
    std::wstring text() const { return storage.data(); }
    bool GuardsIntact() const { return std::wstring(storage.end() - 8, storage.end()) == L"########"; }
};

TEST(PathForms, SameOrBelowFolderSeesThroughPrefixesAndCase) {
    const struct {
        const wchar_t *child, *folder;
        bool below;
    } cases[] = {
        {L"C:\\data\\sub\\x", L"C:\\data", true},     {L"C:\\data2", L"C:\\data", false},
        {L"C:\\data", L"C:\\data\\sub", false},      {L"c:\\DATA\\Sub", L"C:\\data", true},
        {L"C:\\\u00C4rger\\x", L"c:\\\u00E4RGER", true}, {L"C:\\data\\sub\\", L"C:\\data\\\\", true},
        {L"\\\\?\\C:\\data\\sub", L"C:\\data", true}, {L"C:\\data\\sub", L"\\\\?\\c:\\data\\", true},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\", true},
        {L"\\\\server\\shares", L"\\\\server\\share", false}, {L"C:\\data", L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.below, IsSameOrBelowFolder(c.child, c.folder) != 0)
            << qtxtest::Narrow(c.child) << " in " << qtxtest::Narrow(c.folder);
}

TEST(PathForms, DrivesResolveToTheirRealLocationWithinCapacity) {
    const wchar_t* lanman = L"\\Device\\LanmanRedirector\\;Z:0000000000001234\\server\\share";
    const struct {
        const wchar_t *path, *answer, *resolved;
    } cases[] = {
        {L"\\\\?\\S:\\dir\\", L"\\??\\C:\\data", L"C:\\data\\dir\\"},
        {L"S:\\dir", L"\\??\\C:\\", L"C:\\dir"},
        {L"S:\\dir", L"\\??\\UNC\\server\\share", L"\\\\server\\share\\dir"},
        {L"Z:\\dir\\f", lanman, L"\\\\server\\share\\dir\\f"},
        {L"\\\\?\\C:\\dir", L"\\Device\\HarddiskVolume1", L"C:\\dir"},
    };
    wchar_t out[kShortPathCapacity];
    for (const auto& c : cases) {
        EXPECT_EQ(1, ResolveDrivePathFromDosDevice(c.path, c.answer, out, kShortPathCapacity));
        EXPECT_STREQ(c.resolved, out);
    }
    Guarded exact(12), tight(11);   // C:\data\dir
    EXPECT_EQ(1, ResolveDrivePathFromDosDevice(L"S:\\dir", L"\\??\\C:\\data", exact.data(), 12));
    EXPECT_EQ(0, ResolveDrivePathFromDosDevice(L"S:\\dir", L"\\??\\C:\\data", tight.data(), 11));
    EXPECT_TRUE(exact.GuardsIntact() && tight.GuardsIntact() && tight.text().empty());
}

TEST(PathForms, TargetMapsBackToItsSourceWithinCapacity) {
    ResetRunState();
    wcscpy(run.sourceRoot, L"\\\\?\\C:\\data\\");
    run.sourceRootLength = static_cast<int>(wcslen(run.sourceRoot));
    wcscpy(run.targetRoot, L"\\\\?\\D:\\backup\\data\\");
    run.targetRootLength = static_cast<int>(wcslen(run.targetRoot));
    Guarded exact(21), tight(20);   // \\?\C:\data\sub\file
    EXPECT_EQ(1, TargetToSource(L"\\\\?\\d:\\BACKUP\\data\\sub\\file", exact.data(), 21));
    EXPECT_EQ(L"\\\\?\\C:\\data\\sub\\file", exact.text());
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\D:\\backup\\data\\sub\\file", tight.data(), 20));
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\D:\\backup\\database\\f", exact.data(), 21));
    EXPECT_TRUE(exact.GuardsIntact() && tight.GuardsIntact() && tight.text().empty());
    run.sourceRootLength = kPathCapacity + 5;   // inconsistent lengths are refused, not followed
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\D:\\backup\\data\\f", exact.data(), 21));
    ResetRunState();
    Guarded prefixed(11), short10(10);   // \\?\C:\dir
    wcscpy(prefixed.data(), L"C:\\dir"), wcscpy(short10.data(), L"C:\\dir");
    EXPECT_TRUE(AddLongPrefix(prefixed.data(), 11) && prefixed.text() == L"\\\\?\\C:\\dir");
    EXPECT_TRUE(!AddLongPrefix(short10.data(), 10) && short10.text() == L"C:\\dir");
    EXPECT_TRUE(prefixed.GuardsIntact() && short10.GuardsIntact());
    // a rename through a handle names its target in the kernel's form; any other form is refused
    Guarded kernel(40), kernel10(10);
    const wchar_t* forms[][2] = {{L"\\\\?\\C:\\d\\f", L"\\??\\C:\\d\\f"}, {L"C:\\d\\f", L"\\??\\C:\\d\\f"},
                                 {L"\\\\?\\UNC\\s\\h\\f", L"\\??\\UNC\\s\\h\\f"}, {L"\\\\s\\h\\f", L"\\??\\UNC\\s\\h\\f"},
                                 {L"\\\\.\\PhysicalDrive0", L""}, {L"\\\\?\\Volume{x}", L""}, {L"d\\f", L""}};
    for (auto& form : forms)
        EXPECT_TRUE(KernelPathOf(form[0], kernel.data(), 40) == (form[1][0] != 0) &&
                    (!form[1][0] || kernel.text() == form[1]))
            << SkipLongPrefix(form[0]);
    EXPECT_FALSE(KernelPathOf(L"\\\\?\\C:\\d\\f", kernel10.data(), 10));   // \??\C:\d\f and its zero need 11
    EXPECT_TRUE(kernel.GuardsIntact() && kernel10.GuardsIntact());
}

// Drive C: of the volume in memory; Z: a network drive and C:\MNT\VOL a
// mount folder that is no root of its own.
struct Drives : MemoryFileSystem {
    bool fat = false;   // no named streams
    uint32_t DriveType(const wchar_t* root) override {
        return root[0] == L'Z' ? DRIVE_REMOTE : MemoryFileSystem::DriveType(root);
    }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        if (!wcsstr(path, L"C:\\MNT\\VOL")) return MemoryFileSystem::VolumePathName(path, out, capacity);
        return wcscpy(out, L"C:\\MNT\\VOL\\"), 1;
    }
    int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* name, uint32_t capacity) override {
        if (wcslen(root) > 3) return SetLastError(ERROR_DIR_NOT_ROOT), 0;
        int ok = MemoryFileSystem::VolumeFlags(root, flags, name, capacity);
        if (fat) *flags &= ~FILE_NAMED_STREAMS;
        return ok;
    }
};

class Volumes : public ::testing::Test {
protected:
    Drives fs;
    void SetUp() override {
        fs.AddFile(L"C:\\DIR\\A B.TXT", "a");
        fs.File(L"C:\\DIR\\A B.TXT")->streams[L":S"] = "s";
        fs.AddFolder(L"C:\\MNT\\VOL\\X");
        fs.Install();
    }
};

TEST_F(Volumes, PathExists) {
    EXPECT_EQ(1, PathExists(L"\"C:\\DIR\\a b.txt\""));   // quotes go first
    EXPECT_EQ(1, PathExists(L"\\\\?\\C:\\DIR\\A B.TXT:s"));
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\A B.TXT:T"));
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\missing"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    // a file that exists but cannot be read, and one whose odd error needs an open
    fs.AddFault(Call::GetAttributes, L"C:\\DIR\\PAGEFILE", ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, PathExists(L"C:\\DIR\\pagefile"));
    fs.AddFault(Call::GetAttributes, L"C:\\DIR\\", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(1, PathExists(L"C:\\DIR\\A B.TXT"));
    // a volume without named streams: no stream is looked for
    fs.fat = true;
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\A B.TXT:S"));
    EXPECT_EQ(1, PathExists(L"C:\\DIR\\A B.TXT"));
}

TEST_F(Volumes, VolumeRootAndSameVolume) {
    // the root found, "-" when none is (and nothing is left in the buffer)
    auto root = [](const wchar_t* path) {
        wchar_t out[kShortPathCapacity];
        return GetVolumeRoot(path, out, kShortPathCapacity) ? std::wstring(out) : out[0] ? L"?" : L"-";
    };
    fs.AddFolder(L"Z:\\");
    // out of a mount to its volume's root; a network drive is its own root
    for (auto [path, expected] : {std::pair{L"C:\\DIR\\A B.TXT", L"C:\\"}, {L"C:\\MNT\\VOL\\X", L"C:\\"},
                                  {L"Q:\\DIR", L"-"}, {L"Z:\\DIR", L"Z:\\"}})
        EXPECT_EQ(expected, root(path)) << qtxtest::Narrow(path);
    Guarded tiny(3);
    EXPECT_TRUE(!GetVolumeRoot(L"C:\\DIR", tiny.data(), 3) && tiny.GuardsIntact() && tiny.text().empty());
    fs.AddFault(Call::Volume, L"C:\\DIR", ERROR_NOT_READY, true);
    EXPECT_EQ(L"C:\\", root(L"C:\\DIR")) << "without a volume path the drive folder serves";

    // the same drive letter without asking; otherwise the volume paths compare
    EXPECT_EQ(1, SameVolume(L"c:\\a", L"C:\\b"));
    fs.faults.clear();
    EXPECT_EQ(1, SameVolume(L"\\\\?\\C:\\DIR", L"C:\\MNT"));
    EXPECT_EQ(0, SameVolume(L"\\\\?\\C:\\MNT\\VOL\\X", L"C:\\DIR"));
}

}  // namespace
