#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "paths.h"
#include "run_state.h"
#include "system_facts.h"
#include "memory_file_system.h"
#include "test_support.h"

namespace {

using qtxtest::Call;
using qtxtest::MemoryFileSystem;
using qtxtest::TempDir;

const std::wstring kVolume = L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}";   // 48 characters

// A buffer of the given capacity followed by guard characters that must survive.
struct Guarded {
    std::vector<wchar_t> storage;
    size_t capacity;
    Guarded(const std::wstring& text, size_t capacity) : storage(capacity + 8, L'#'), capacity(capacity) {
        size_t n = text.size() < capacity ? text.size() : capacity - 1;
        memcpy(storage.data(), text.data(), n * sizeof(wchar_t));
        storage[n] = 0;
    }
    wchar_t* data() { return storage.data(); }
    std::wstring text() const { return storage.data(); }
    bool GuardsIntact() const {
        for (size_t i = capacity; i < storage.size(); ++i)
            if (storage[i] != L'#') return false;
        return true;
    }
};

// Runs an in-place edit at the given capacity: its result, the text after it, and whether the guards held.
std::wstring Edited(int (*edit)(wchar_t*, size_t), const std::wstring& text, size_t capacity = kPathCapacity) {
    Guarded buffer(text, capacity);
    int ok = edit(buffer.data(), capacity);
    EXPECT_TRUE(buffer.GuardsIntact()) << qtxtest::Narrow(text) << " at " << capacity;
    return (ok ? L"" : L"<failed>") + buffer.text();
}

TEST(PathForms, Classification) {
    const struct {
        std::wstring path;
        int longPrefix, unc, device, wildcard, stream;
    } cases[] = {
        {L"\\\\?\\C:\\dir\\a?c", 1, 0, 0, 1, 0},   // the ? of the prefix is no wildcard
        {L"\\\\?\\C:\\dir", 1, 0, 0, 0, 0},
        {L"\\\\server\\share", 0, 1, 0, 0, 0},
        {L"\\\\server", 0, 0, 0, 0, 0},
        {L"\\\\.\\PhysicalDrive0", 0, 1, 1, 0, 0},
        {L"\\\\.\\C:", 0, 0, 1, 0, 0},
        {kVolume, 1, -1, 1, 0, 0},
        {kVolume + L"\\", 1, -1, 0, 0, 0},   // with a trailing backslash: the volume's root folder
        {L"C:\\dir\\*.txt", 0, 0, 0, 1, 0},
        {L"C:\\file.txt:stream", 0, 0, 0, 0, 1},
        {L"\\\\?\\C:\\file.txt:stream", 1, 0, 0, 0, 1},
        {L"ab:c", 0, 0, 0, 0, 0},   // a colon at position 2 is a drive
    };
    for (const auto& c : cases) {
        const wchar_t* p = c.path.c_str();
        EXPECT_EQ(c.longPrefix, HasLongPrefix(p)) << qtxtest::Narrow(c.path);
        if (c.unc >= 0) {
            EXPECT_EQ(c.unc, IsUncPath(p)) << qtxtest::Narrow(c.path);
        }
        EXPECT_EQ(c.device, IsDevicePath(p)) << qtxtest::Narrow(c.path);
        EXPECT_EQ(c.wildcard, HasWildcard(p)) << qtxtest::Narrow(c.path);
        EXPECT_EQ(c.stream, HasStreamName(p)) << qtxtest::Narrow(c.path);
    }
}

TEST(PathForms, IsSameOrBelowFolderByWholeComponents) {
    const struct {
        const wchar_t *child, *folder;
        bool below;
    } cases[] = {
        {L"C:\\data", L"C:\\data", true},
        {L"C:\\data\\sub\\x", L"C:\\data", true},
        {L"C:\\data2", L"C:\\data", false},
        {L"C:\\data2\\x", L"C:\\data\\", false},
        {L"C:\\data", L"C:\\data\\sub", false},   // above, not below
        {L"D:\\data", L"C:\\data", false},
        {L"C:\\x\\y", L"C:\\", true},
        {L"\\\\server\\share\\dir", L"\\\\server\\share", true},
        {L"\\\\server\\shares", L"\\\\server\\share", false},
        {L"c:\\DATA\\Sub", L"C:\\data", true},
        {L"C:\\\u00C4rger\\x", L"c:\\\u00E4RGER", true},
        {L"C:\\data\\sub\\", L"C:\\data\\\\", true},
        {L"\\\\?\\C:\\data\\sub", L"C:\\data", true},
        {L"C:\\data\\sub", L"\\\\?\\c:\\data\\", true},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\", true},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\server\\share", false},
        {L"C:\\data", L"", false},
        {L"C:\\data", L"\\", false},
        {L"", L"C:\\data", false},
        {nullptr, L"C:\\data", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.below, IsSameOrBelowFolder(c.child, c.folder) != 0)
            << qtxtest::Narrow(c.child ? c.child : L"(null)") << " in " << qtxtest::Narrow(c.folder);
}

TEST(PathEdits, ExactCapacities) {
    // AppendCharIfMissing: "C:\dir\" needs 8
    Guarded text(L"C:\\dir", 8);
    EXPECT_EQ(1, AppendCharIfMissing(text.data(), 8, L'\\'));
    EXPECT_EQ(1, AppendCharIfMissing(text.data(), 8, L'\\'));   // already there
    EXPECT_EQ(0, AppendCharIfMissing(text.data(), 8, L'*'));
    EXPECT_EQ(L"C:\\dir\\", text.text());
    EXPECT_TRUE(text.GuardsIntact());
    // a buffer not terminated within its capacity is terminated and refused
    Guarded full(L"", 4);
    for (int i = 0; i < 4; ++i) full.data()[i] = L'a';
    EXPECT_EQ(0, AppendCharIfMissing(full.data(), 4, L'\\'));
    EXPECT_EQ(L"aaa", full.text());
    EXPECT_TRUE(full.GuardsIntact());

    EXPECT_EQ(L"C:\\dir\\*", Edited(MakeWildcardSpec, L"C:\\dir\\"));
    EXPECT_EQ(L"C:\\dir\\*", Edited(MakeWildcardSpec, L"C:\\dir", 9));
    EXPECT_EQ(L"<failed>C:\\dir", Edited(MakeWildcardSpec, L"C:\\dir", 8));

    EXPECT_EQ(L"\\\\?\\C:\\dir", Edited(AddLongPrefix, L"C:\\dir", 11));
    EXPECT_EQ(L"<failed>C:\\dir", Edited(AddLongPrefix, L"C:\\dir", 10));
    for (const std::wstring& same : {std::wstring(L"\\\\?\\C:\\dir"), std::wstring(L"\\\\server\\share\\dir"),
                                     std::wstring(L"\\\\.\\PhysicalDrive0"), kVolume, kVolume + L"\\"})
        EXPECT_EQ(same, Edited(AddLongPrefix, same));
    std::wstring longest = L"C:\\" + std::wstring(kPathCapacity - 4, L'a');
    EXPECT_TRUE(L"<failed>" + longest == Edited(AddLongPrefix, longest));

    osVersion = OsVersion{10, 0, 19045, 0x1000};
    EXPECT_EQ(L"\\\\.\\PhysicalDrive12", Edited(ExpandDeviceShortForm, L"\\\\.\\PD12"));
    EXPECT_EQ(L"\\\\.\\HarddiskVolume12", Edited(ExpandDeviceShortForm, L"\\\\.\\hdv12"));
    EXPECT_EQ(L"\\\\.\\pdx", Edited(ExpandDeviceShortForm, L"\\\\.\\pdx"));
    EXPECT_EQ(L"\\\\.\\PhysicalDrive1", Edited(ExpandDeviceShortForm, L"\\\\.\\pd1", 19));   // 18 characters
    EXPECT_EQ(L"<failed>\\\\.\\pd1", Edited(ExpandDeviceShortForm, L"\\\\.\\pd1", 18));
    EXPECT_EQ(L"<failed>\\\\.\\hdv7", Edited(ExpandDeviceShortForm, L"\\\\.\\hdv7", 19));   // 19 characters
    osVersion = OsVersion{};

    wchar_t path[64];
    wcscpy(path, kVolume.c_str());
    EXPECT_EQ(1, VolumeGuidToDevice(path));
    EXPECT_STREQ(L"\\\\.\\Volume{12345678-1234-1234-1234-123456789abc}", path);
    wcscpy(path, (kVolume + L"\\").c_str());
    EXPECT_EQ(0, VolumeGuidToDevice(path));   // the root folder stays
    wcscpy(path, L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc");   // 47 characters
    EXPECT_EQ(0, VolumeGuidToDevice(path));
}

TEST(PathEdits, SplitFolderAndName) {
    static wchar_t folder[kPathCapacity], name[kPathCapacity];
    EXPECT_EQ(1, SplitFolderAndName(L"\\\\?\\C:\\dir\\*.txt", folder, name));
    EXPECT_STREQ(L"\\\\?\\C:\\dir\\", folder);
    EXPECT_STREQ(L"*.txt", name);
    // without prefix the folder gets one, a network folder does not
    EXPECT_EQ(1, SplitFolderAndName(L"C:\\qtx_no_such_folder_7\\file.txt", folder, name));
    EXPECT_STREQ(L"\\\\?\\C:\\qtx_no_such_folder_7\\", folder);
    EXPECT_EQ(1, SplitFolderAndName(L"\\\\server\\share\\*", folder, name));
    EXPECT_STREQ(L"\\\\server\\share\\", folder);
    EXPECT_EQ(1, SplitFolderAndName(L"\\\\.\\PhysicalDrive0", folder, name));
    EXPECT_STREQ(L"\\\\.\\PhysicalDrive0", folder);
    EXPECT_STREQ(L"", name);

    TempDir temp;
    ASSERT_TRUE(qtxtest::WriteBytes(temp / L"file.txt", "x"));
    EXPECT_EQ(1, SplitFolderAndName(temp.path().c_str(), folder, name));   // an existing folder
    EXPECT_EQ(temp.path() + L"\\", folder);
    EXPECT_STREQ(L"", name);
    EXPECT_EQ(1, SplitFolderAndName((temp / L"file.txt").c_str(), folder, name));   // an existing file
    EXPECT_EQ(L"\\\\?\\" + temp.path() + L"\\", folder);
    EXPECT_STREQ(L"file.txt", name);

    wcscpy(name, L"stale");
    EXPECT_EQ(0, SplitFolderAndName(L"file.txt", folder, name));   // no backslash
    EXPECT_STREQ(L"", name);
    // the prefixed folder must leave room for the terminator
    const std::wstring tooLong = L"C:\\" + std::wstring(kPathCapacity - 8, L'a') + L"\\b";
    EXPECT_EQ(0, SplitFolderAndName(tooLong.c_str(), folder, name));
    EXPECT_STREQ(L"", folder);
    const std::wstring longest = L"C:\\" + std::wstring(kPathCapacity - 9, L'a') + L"\\b";
    EXPECT_EQ(1, SplitFolderAndName(longest.c_str(), folder, name));
    EXPECT_EQ(static_cast<size_t>(kPathCapacity - 1), wcslen(folder));
    EXPECT_STREQ(L"b", name);
}

TEST(PathEdits, TargetToSourceMapsBehindTheRoots) {
    ResetRunState();
    wcscpy(run.sourceRoot, L"\\\\?\\C:\\data\\");
    run.sourceRootLength = static_cast<int>(wcslen(run.sourceRoot));
    wcscpy(run.targetRoot, L"\\\\?\\D:\\backup\\data\\");
    run.targetRootLength = static_cast<int>(wcslen(run.targetRoot));
    static wchar_t out[kPathCapacity];
    EXPECT_EQ(1, TargetToSource(L"\\\\?\\d:\\BACKUP\\data\\f", out, kPathCapacity));
    EXPECT_STREQ(L"\\\\?\\C:\\data\\f", out);
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\E:\\other\\file.txt", out, kPathCapacity));
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\D:\\", out, kPathCapacity));
    // 12 + 8 characters need 21
    Guarded small(L"", 20);
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\D:\\backup\\data\\sub\\file", small.data(), 20));
    EXPECT_EQ(L"", small.text());
    EXPECT_TRUE(small.GuardsIntact());
    Guarded exact(L"", 21);
    EXPECT_EQ(1, TargetToSource(L"\\\\?\\D:\\backup\\data\\sub\\file", exact.data(), 21));
    EXPECT_EQ(L"\\\\?\\C:\\data\\sub\\file", exact.text());
    // inconsistent lengths are refused, not followed
    run.sourceRootLength = kPathCapacity + 5;
    EXPECT_EQ(0, TargetToSource(L"\\\\?\\D:\\backup\\data\\f", out, kPathCapacity));
    ResetRunState();
}

// ---- drives and volumes, on recorded answers ----

std::wstring Resolved(const wchar_t* path, const wchar_t* answer, size_t capacity = kPathCapacity) {
    std::vector<wchar_t> out(capacity + 1, L'#');
    int ok = ResolveDrivePathFromDosDevice(path, answer, out.data(), capacity);
    EXPECT_EQ(L'#', out[capacity]);
    return ok ? std::wstring(out.data()) : L"<failed:" + std::wstring(out.data()) + L">";
}

TEST(ResolveDrivePath, SubstitutedAndNetworkDrives) {
    const wchar_t* lanman = L"\\Device\\LanmanRedirector\\;Z:0000000000001234\\server\\share";
    const struct {
        const wchar_t *path, *answer, *resolved;
    } cases[] = {
        {L"S:\\dir\\file.txt", L"\\??\\C:\\data", L"C:\\data\\dir\\file.txt"},
        {L"\\\\?\\S:\\dir\\", L"\\??\\C:\\data", L"C:\\data\\dir\\"},
        {L"s:", L"\\??\\C:\\data", L"C:\\data"},
        {L"S:\\dir", L"\\??\\C:\\", L"C:\\dir"},
        {L"S:\\dir", L"\\??\\UNC\\server\\share", L"\\\\server\\share\\dir"},
        {L"Z:\\dir\\file.txt", lanman, L"\\\\server\\share\\dir\\file.txt"},
        {L"\\\\?\\Z:\\", lanman, L"\\\\server\\share\\"},
        {L"N:\\x", L"\\Device\\NetWareRedirector\\N:\\server\\vol", L"\\\\server\\vol\\x"},
        {L"V:\\x", L"\\Device\\VBoxMiniRdr\\;V:\\vboxsvr\\shared", L"\\\\vboxsvr\\shared\\x"},
        {L"Z:\\x", L"\\Device\\LanmanRedirector\\;Z:0000000000001234", L"Z:\\x"},   // no server and share
        {L"\\\\?\\C:\\dir", L"\\Device\\HarddiskVolume1", L"C:\\dir"},
        {L"\\\\server\\share\\dir", L"\\??\\C:\\data", L"\\\\server\\share\\dir"},   // no drive
    };
    for (const auto& c : cases) EXPECT_EQ(c.resolved, Resolved(c.path, c.answer)) << qtxtest::Narrow(c.path);

    // C:\data + \dir = 11 characters
    EXPECT_EQ(L"C:\\data\\dir", Resolved(L"S:\\dir", L"\\??\\C:\\data", 12));
    EXPECT_EQ(L"<failed:>", Resolved(L"S:\\dir", L"\\??\\C:\\data", 11));
    EXPECT_EQ(L"<failed:>", Resolved(L"\\\\?\\C:\\dir", nullptr, 6));
    // the answer's 260 characters do not limit a long path; \\?\S: (6) becomes C:\data (7)
    std::wstring rest = L"\\" + std::wstring(kPathCapacity - 12, L'a');
    EXPECT_TRUE(Resolved((L"\\\\?\\S:" + rest).c_str(), L"\\??\\C:\\data") == L"C:\\data" + rest);
    std::wstring longest = L"\\\\?\\S:" + rest + L"bcde";
    ASSERT_EQ(static_cast<size_t>(kPathCapacity - 1), longest.size());
    EXPECT_EQ(L"<failed:>", Resolved(longest.c_str(), L"\\??\\C:\\data"));
}

// Drive C: of the volume in memory; Z: a network drive and C:\MNT\VOL a
// mount folder that is no root of its own.
struct Drives : MemoryFileSystem {
    uint32_t DriveType(const wchar_t* root) override {
        return root[0] == L'Z' ? DRIVE_REMOTE : MemoryFileSystem::DriveType(root);
    }
    int VolumePathName(const wchar_t* path, wchar_t* out, uint32_t capacity) override {
        if (!wcsstr(path, L"C:\\MNT\\VOL")) return MemoryFileSystem::VolumePathName(path, out, capacity);
        wcscpy(out, L"C:\\MNT\\VOL\\");
        return 1;
    }
    int VolumeFlags(const wchar_t* root, uint32_t* flags, wchar_t* name, uint32_t capacity) override {
        if (wcslen(root) <= 3) return MemoryFileSystem::VolumeFlags(root, flags, name, capacity);
        SetLastError(ERROR_DIR_NOT_ROOT);
        return 0;
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
    void Fail(Call call, const std::wstring& path, uint32_t error, bool persistent = false) {
        qtxtest::Fault fault;
        fault.call = call;
        fault.path = path;
        fault.error = error;
        fault.persistent = persistent;
        fs.faults.push_back(fault);
    }
};

TEST_F(Volumes, PathExists) {
    EXPECT_EQ(1, PathExists(L"\"C:\\DIR\\a b.txt\""));   // quotes go first
    EXPECT_EQ(1, PathExists(L"\\\\?\\C:\\DIR\\A B.TXT:s"));
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\A B.TXT:T"));
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\missing"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    // a file that exists but cannot be read, and one whose odd error needs an open
    Fail(Call::GetAttributes, L"C:\\DIR\\PAGEFILE", ERROR_ACCESS_DENIED);
    EXPECT_EQ(1, PathExists(L"C:\\DIR\\pagefile"));
    Fail(Call::GetAttributes, L"C:\\DIR\\", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(1, PathExists(L"C:\\DIR\\A B.TXT"));
    Fail(Call::GetAttributes, L"C:\\DIR\\ODD", ERROR_INVALID_PARAMETER);
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\odd"));
    // a volume that cannot tell whether it has named streams: no stream is looked for
    fs.faults.clear();
    Fail(Call::Volume, L"C:", ERROR_NOT_READY);
    EXPECT_EQ(0, PathExists(L"C:\\DIR\\A B.TXT:S"));
    EXPECT_EQ(1, PathExists(L"C:\\DIR\\A B.TXT"));
}

TEST_F(Volumes, VolumeRootAndSameVolume) {
    wchar_t out[kShortPathCapacity];
    EXPECT_EQ(1, GetVolumeRoot(L"C:\\DIR\\A B.TXT", out, kShortPathCapacity));
    EXPECT_STREQ(L"C:\\", out);
    EXPECT_EQ(1, GetVolumeRoot(L"C:\\MNT\\VOL\\X", out, kShortPathCapacity));   // climbs out of the mount
    EXPECT_STREQ(L"C:\\", out);
    EXPECT_EQ(0, GetVolumeRoot(L"Q:\\DIR", out, kShortPathCapacity));
    EXPECT_STREQ(L"", out);
    fs.AddFolder(L"Z:\\");
    EXPECT_EQ(1, GetVolumeRoot(L"Z:\\DIR", out, kShortPathCapacity));   // a network drive is its own root
    EXPECT_STREQ(L"Z:\\", out);
    Guarded tiny(L"", 3);
    EXPECT_EQ(0, GetVolumeRoot(L"C:\\DIR", tiny.data(), 3));
    EXPECT_TRUE(tiny.GuardsIntact() && tiny.text().empty());
    // without a volume path the drive folder serves
    Fail(Call::Volume, L"C:\\DIR", ERROR_NOT_READY, true);
    EXPECT_EQ(1, GetVolumeRoot(L"C:\\DIR", out, kShortPathCapacity));
    EXPECT_STREQ(L"C:\\", out);

    // the same drive letter without asking; otherwise the volume paths compare
    EXPECT_EQ(1, SameVolume(L"c:\\a", L"C:\\b"));
    fs.faults.clear();
    EXPECT_EQ(1, SameVolume(L"\\\\?\\C:\\DIR", L"C:\\MNT"));
    EXPECT_EQ(0, SameVolume(L"\\\\?\\C:\\MNT\\VOL\\X", L"C:\\DIR"));
    EXPECT_EQ(0, SameVolume(L"C:\\DIR", L"\\\\server\\share\\a"));
}

}  // namespace
