#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "paths.h"
#include "run_state.h"
#include "system_facts.h"
#include "test_support.h"

namespace {

using qtxtest::TempDir;

const wchar_t kVolume[] = L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}";   // 48 characters

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

std::wstring Edited(int (*edit)(wchar_t*, size_t), const std::wstring& text, size_t capacity = kPathCapacity) {
    Guarded buffer(text, capacity);
    edit(buffer.data(), capacity);
    return buffer.text();
}

// ---- forms and tests ----

TEST(PathForms, StartsAndEndsIgnoringCase) {
    EXPECT_TRUE(StartsWithI(L"C:\\Data\\x", L"c:\\DATA"));
    EXPECT_TRUE(StartsWithI(L"abc", L"ABC"));
    EXPECT_FALSE(StartsWithI(L"ab", L"abc"));      // prefix longer than the text
    EXPECT_FALSE(StartsWithI(L"abc", L""));        // empty prefix
    EXPECT_FALSE(StartsWithI(L"", L"a"));
    EXPECT_FALSE(StartsWithI(nullptr, L"a"));
    EXPECT_FALSE(StartsWithI(L"abc", L"abd"));
    EXPECT_TRUE(StartsWithI(L"\u00C4RGER\\x", L"\u00E4rger"));   // beyond ASCII, unit by unit
    EXPECT_TRUE(EndsWithI(L"C:\\work\\.", L"."));
    EXPECT_TRUE(EndsWithI(L"C:\\Work\\File.TXT", L"file.txt"));
    EXPECT_FALSE(EndsWithI(L"bc", L"abc"));
    EXPECT_FALSE(EndsWithI(L"abc", L""));
    EXPECT_FALSE(EndsWithI(L"", L"c"));
}

TEST(PathForms, LongPrefixIsExact) {
    EXPECT_TRUE(HasLongPrefix(L"\\\\?\\C:\\dir"));
    EXPECT_TRUE(HasLongPrefix(L"\\\\?\\"));
    EXPECT_FALSE(HasLongPrefix(L"\\\\.\\C:"));
    EXPECT_FALSE(HasLongPrefix(L"//?/C:/dir"));
    EXPECT_FALSE(HasLongPrefix(L"\\\\?"));
    EXPECT_FALSE(HasLongPrefix(L"C:\\dir"));
    EXPECT_EQ(std::wstring(SkipLongPrefix(L"\\\\?\\C:\\dir")), L"C:\\dir");
    EXPECT_EQ(std::wstring(SkipLongPrefix(L"C:\\dir")), L"C:\\dir");
    EXPECT_EQ(std::wstring(SkipLongPrefix(L"\\\\.\\C:")), L"\\\\.\\C:");
}

TEST(PathForms, NetworkPaths) {
    EXPECT_TRUE(IsUncPath(L"\\\\server\\share"));
    EXPECT_TRUE(IsUncPath(L"\\\\.\\PhysicalDrive0"));
    EXPECT_FALSE(IsUncPath(L"\\\\?\\C:\\dir"));   // the colon comes behind the first backslash
    EXPECT_FALSE(IsUncPath(L"\\\\.\\C:"));
    EXPECT_FALSE(IsUncPath(L"\\\\server"));       // no backslash behind the server
    EXPECT_FALSE(IsUncPath(L"C:\\dir"));
    EXPECT_FALSE(IsUncPath(L"\\dir\\x"));
}

TEST(PathForms, Devices) {
    EXPECT_TRUE(IsDevicePath(L"\\\\.\\PhysicalDrive0"));
    EXPECT_TRUE(IsDevicePath(L"\\\\.\\C:"));
    EXPECT_TRUE(IsDevicePath(kVolume));
    // with a trailing backslash a volume name is the volume's root folder
    EXPECT_FALSE(IsDevicePath((std::wstring(kVolume) + L"\\").c_str()));
    EXPECT_FALSE(IsDevicePath(L"\\\\?\\C:\\dir"));
    EXPECT_FALSE(IsDevicePath(L"\\\\server\\share"));
    EXPECT_FALSE(IsDevicePath(L"C:\\"));
}

TEST(PathForms, WildcardsAndStreams) {
    EXPECT_TRUE(HasWildcard(L"C:\\dir\\*.txt"));
    EXPECT_TRUE(HasWildcard(L"\\\\?\\C:\\dir\\a?c"));
    EXPECT_FALSE(HasWildcard(L"\\\\?\\C:\\dir"));   // the ? of the prefix does not count
    EXPECT_FALSE(HasWildcard(L"C:\\dir"));
    EXPECT_TRUE(HasStreamName(L"C:\\file.txt:stream"));
    EXPECT_TRUE(HasStreamName(L"\\\\?\\C:\\file.txt:stream"));
    EXPECT_TRUE(HasStreamName(L"abc:d"));
    EXPECT_FALSE(HasStreamName(L"ab:c"));           // a colon at position 2 is no stream
    EXPECT_FALSE(HasStreamName(L"C:\\file.txt"));
    EXPECT_FALSE(HasStreamName(L"\\\\?\\C:\\file.txt"));
    EXPECT_FALSE(HasStreamName(L"\\\\.\\C:"));       // a device
}

TEST(PathForms, NamesAndLetters) {
    EXPECT_EQ(std::wstring(FileNamePart(L"C:\\dir\\file.txt")), L"file.txt");
    EXPECT_EQ(std::wstring(FileNamePart(L"C:\\dir\\")), L"");
    EXPECT_EQ(std::wstring(FileNamePart(L"file.txt")), L"file.txt");
    EXPECT_TRUE(IsAsciiLetter(L'a') && IsAsciiLetter(L'Z'));
    EXPECT_FALSE(IsAsciiLetter(L'@') || IsAsciiLetter(L'[') || IsAsciiLetter(L'\u00E4'));
}

TEST(PathForms, IsFolderOnRealFiles) {
    TempDir temp;
    ASSERT_TRUE(qtxtest::WriteBytes(temp / L"file.txt", "x"));
    EXPECT_TRUE(IsFolder(temp.path().c_str()));
    EXPECT_TRUE(IsFolder((L"\\\\?\\" + temp.path()).c_str()));
    EXPECT_FALSE(IsFolder((temp / L"file.txt").c_str()));
    EXPECT_FALSE(IsFolder((temp / L"missing").c_str()));
    EXPECT_FALSE(IsFolder(L""));
}

TEST(IsSameOrBelowFolder, WholeComponents) {
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\data", L"C:\\data"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\data\\sub\\x", L"C:\\data"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"C:\\data2", L"C:\\data"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"C:\\data2\\x", L"C:\\data\\"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"C:\\data", L"C:\\data\\sub"));   // above, not below
    EXPECT_FALSE(IsSameOrBelowFolder(L"D:\\data", L"C:\\data"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\x\\y", L"C:\\"));             // below a root
    EXPECT_TRUE(IsSameOrBelowFolder(L"\\\\server\\share\\dir", L"\\\\server\\share"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"\\\\server\\shares", L"\\\\server\\share"));
}

TEST(IsSameOrBelowFolder, CaseTrailingBackslashesAndPrefix) {
    EXPECT_TRUE(IsSameOrBelowFolder(L"c:\\DATA\\Sub", L"C:\\data"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\\u00C4rger\\x", L"c:\\\u00E4RGER"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\data\\", L"C:\\data"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\data", L"C:\\data\\"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\data\\sub\\", L"C:\\data\\\\"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"\\\\?\\C:\\data\\sub", L"C:\\data"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"C:\\data\\sub", L"\\\\?\\c:\\data\\"));
    EXPECT_TRUE(IsSameOrBelowFolder(L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\server\\share"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"C:\\data", L""));
    EXPECT_FALSE(IsSameOrBelowFolder(L"C:\\data", L"\\"));
    EXPECT_FALSE(IsSameOrBelowFolder(L"", L"C:\\data"));
    EXPECT_FALSE(IsSameOrBelowFolder(nullptr, L"C:\\data"));
}

// ---- edits ----

TEST(PathEdits, AppendAndStrip) {
    Guarded text(L"C:\\dir", 8);
    EXPECT_EQ(AppendCharIfMissing(text.data(), 8, L'\\'), 1);
    EXPECT_EQ(text.text(), L"C:\\dir\\");
    EXPECT_EQ(AppendCharIfMissing(text.data(), 8, L'\\'), 1);   // already there
    EXPECT_EQ(text.text(), L"C:\\dir\\");
    EXPECT_EQ(AppendCharIfMissing(text.data(), 8, L'*'), 0);    // would need 9
    EXPECT_EQ(text.text(), L"C:\\dir\\");
    EXPECT_TRUE(text.GuardsIntact());
    Guarded empty(L"", 2);
    EXPECT_EQ(AppendCharIfMissing(empty.data(), 2, L'\\'), 1);
    EXPECT_EQ(empty.text(), L"\\");
    // a buffer not terminated within its capacity is terminated and refused
    Guarded full(L"", 4);
    for (int i = 0; i < 4; ++i) full.data()[i] = L'a';
    EXPECT_EQ(AppendCharIfMissing(full.data(), 4, L'\\'), 0);
    EXPECT_EQ(full.text(), L"aaa");
    EXPECT_TRUE(full.GuardsIntact());

    wchar_t strip[16] = L"C:\\dir\\";
    StripTrailingChar(strip, L'\\');
    EXPECT_EQ(std::wstring(strip), L"C:\\dir");
    StripTrailingChar(strip, L'\\');
    EXPECT_EQ(std::wstring(strip), L"C:\\dir");
    wchar_t none[4] = L"";
    StripTrailingChar(none, L'\\');
    EXPECT_EQ(std::wstring(none), L"");
}

TEST(PathEdits, MakeWildcardSpec) {
    EXPECT_EQ(Edited(MakeWildcardSpec, L"C:\\dir"), L"C:\\dir\\*");
    EXPECT_EQ(Edited(MakeWildcardSpec, L"C:\\dir\\"), L"C:\\dir\\*");
    EXPECT_EQ(Edited(MakeWildcardSpec, L""), L"\\*");
    EXPECT_EQ(Edited(MakeWildcardSpec, L"\\"), L"\\*");
    EXPECT_EQ(Edited(MakeWildcardSpec, L"a"), L"a");
    EXPECT_EQ(Edited(MakeWildcardSpec, L"\\\\?\\C:\\"), L"\\\\?\\C:\\*");
    Guarded tight(L"C:\\dir", 9);   // needs 9: 8 characters and the terminator
    EXPECT_EQ(MakeWildcardSpec(tight.data(), 9), 1);
    EXPECT_EQ(tight.text(), L"C:\\dir\\*");
    Guarded small(L"C:\\dir", 8);
    EXPECT_EQ(MakeWildcardSpec(small.data(), 8), 0);
    EXPECT_EQ(small.text(), L"C:\\dir");
    EXPECT_TRUE(small.GuardsIntact());
}

TEST(PathEdits, AddLongPrefix) {
    EXPECT_EQ(Edited(AddLongPrefix, L"C:\\dir"), L"\\\\?\\C:\\dir");
    EXPECT_EQ(Edited(AddLongPrefix, L"\\\\?\\C:\\dir"), L"\\\\?\\C:\\dir");
    EXPECT_EQ(Edited(AddLongPrefix, L"\\\\server\\share\\dir"), L"\\\\server\\share\\dir");
    EXPECT_EQ(Edited(AddLongPrefix, L"\\\\.\\PhysicalDrive0"), L"\\\\.\\PhysicalDrive0");
    EXPECT_EQ(Edited(AddLongPrefix, L"\\\\.\\C:"), L"\\\\.\\C:");
    EXPECT_EQ(Edited(AddLongPrefix, kVolume), kVolume);
    std::wstring root = std::wstring(kVolume) + L"\\";   // already long: no second prefix
    EXPECT_EQ(Edited(AddLongPrefix, root), root);
    Guarded small(L"C:\\dir", 10);   // needs 11
    EXPECT_EQ(AddLongPrefix(small.data(), 10), 0);
    EXPECT_EQ(small.text(), L"C:\\dir");
    EXPECT_TRUE(small.GuardsIntact());
    Guarded exact(L"C:\\dir", 11);
    EXPECT_EQ(AddLongPrefix(exact.data(), 11), 1);
    EXPECT_EQ(exact.text(), L"\\\\?\\C:\\dir");
    EXPECT_TRUE(exact.GuardsIntact());
    // a path of the full capacity cannot take the prefix
    std::wstring longest = L"C:\\" + std::wstring(kPathCapacity - 4, L'a');
    Guarded big(longest, kPathCapacity);
    EXPECT_EQ(AddLongPrefix(big.data(), kPathCapacity), 0);
    EXPECT_TRUE(big.text() == longest);
    EXPECT_TRUE(big.GuardsIntact());
}

TEST(PathEdits, VolumeGuidToDevice) {
    wchar_t path[64];
    wcscpy(path, kVolume);
    EXPECT_EQ(VolumeGuidToDevice(path), 1);
    EXPECT_EQ(std::wstring(path), L"\\\\.\\Volume{12345678-1234-1234-1234-123456789abc}");
    EXPECT_EQ(VolumeGuidToDevice(path), 0);   // already the device form
    wcscpy(path, L"\\\\?\\volume{12345678-1234-1234-1234-123456789abc}");
    EXPECT_EQ(VolumeGuidToDevice(path), 1);   // the word Volume in any case
    wcscpy(path, kVolume);
    wcscat(path, L"\\");
    EXPECT_EQ(VolumeGuidToDevice(path), 0);   // the root folder stays
    EXPECT_EQ(path[2], L'?');
    wcscpy(path, L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc");   // 47 characters
    EXPECT_EQ(VolumeGuidToDevice(path), 0);
    wcscpy(path, L"\\\\?\\Volume{12345678_1234-1234-1234-123456789abc}");
    EXPECT_EQ(VolumeGuidToDevice(path), 0);
    wcscpy(path, L"\\\\?\\C:\\12345678-1234-1234-1234-123456789abc}xxxx");
    EXPECT_EQ(VolumeGuidToDevice(path), 0);
}

TEST(PathEdits, ExpandDeviceShortForm) {
    osVersion = OsVersion{10, 0, 19045, 0x1000};
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\pd0"), L"\\\\.\\PhysicalDrive0");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\PD12"), L"\\\\.\\PhysicalDrive12");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\pdx"), L"\\\\.\\pdx");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\pd"), L"\\\\.\\pd");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\hdv12"), L"\\\\.\\HarddiskVolume12");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\hdvx"), L"\\\\.\\hdvx");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\PhysicalDrive1"), L"\\\\.\\PhysicalDrive1");
    EXPECT_EQ(Edited(ExpandDeviceShortForm, L"\\\\.\\C:"), L"\\\\.\\C:");
    Guarded exact(L"\\\\.\\pd1", 19);   // \\.\PhysicalDrive1 is 18 characters
    EXPECT_EQ(ExpandDeviceShortForm(exact.data(), 19), 1);
    EXPECT_EQ(exact.text(), L"\\\\.\\PhysicalDrive1");
    EXPECT_TRUE(exact.GuardsIntact());
    Guarded small(L"\\\\.\\pd1", 18);
    EXPECT_EQ(ExpandDeviceShortForm(small.data(), 18), 0);
    EXPECT_EQ(small.text(), L"\\\\.\\pd1");
    EXPECT_TRUE(small.GuardsIntact());
    Guarded hdv(L"\\\\.\\hdv7", 19);   // \\.\HarddiskVolume7 is 19 characters
    EXPECT_EQ(ExpandDeviceShortForm(hdv.data(), 19), 0);
    EXPECT_EQ(hdv.text(), L"\\\\.\\hdv7");
    EXPECT_TRUE(hdv.GuardsIntact());
    osVersion = OsVersion{};
}

TEST(SplitFolderAndName, MaskWithLongPrefix) {
    static wchar_t folder[kPathCapacity], name[kPathCapacity];
    EXPECT_EQ(SplitFolderAndName(L"\\\\?\\C:\\dir\\*.txt", folder, name), 1);
    EXPECT_EQ(std::wstring(folder), L"\\\\?\\C:\\dir\\");
    EXPECT_EQ(std::wstring(name), L"*.txt");
    // without prefix the folder gets one, a network folder does not
    EXPECT_EQ(SplitFolderAndName(L"C:\\qtx_no_such_folder_7\\file.txt", folder, name), 1);
    EXPECT_EQ(std::wstring(folder), L"\\\\?\\C:\\qtx_no_such_folder_7\\");
    EXPECT_EQ(std::wstring(name), L"file.txt");
    EXPECT_EQ(SplitFolderAndName(L"\\\\server\\share\\*", folder, name), 1);
    EXPECT_EQ(std::wstring(folder), L"\\\\server\\share\\");
    EXPECT_EQ(std::wstring(name), L"*");
}

TEST(SplitFolderAndName, DevicesFoldersAndFailures) {
    static wchar_t folder[kPathCapacity], name[kPathCapacity];
    EXPECT_EQ(SplitFolderAndName(L"\\\\.\\PhysicalDrive0", folder, name), 1);
    EXPECT_EQ(std::wstring(folder), L"\\\\.\\PhysicalDrive0");
    EXPECT_EQ(std::wstring(name), L"");
    EXPECT_EQ(SplitFolderAndName(kVolume, folder, name), 1);
    EXPECT_EQ(std::wstring(folder), kVolume);

    TempDir temp;
    ASSERT_TRUE(qtxtest::WriteBytes(temp / L"file.txt", "x"));
    EXPECT_EQ(SplitFolderAndName(temp.path().c_str(), folder, name), 1);   // an existing folder
    EXPECT_EQ(std::wstring(folder), temp.path() + L"\\");
    EXPECT_EQ(std::wstring(name), L"");
    EXPECT_EQ(SplitFolderAndName((temp.path() + L"\\").c_str(), folder, name), 1);
    EXPECT_EQ(std::wstring(folder), temp.path() + L"\\");
    EXPECT_EQ(SplitFolderAndName((temp / L"file.txt").c_str(), folder, name), 1);   // an existing file
    EXPECT_EQ(std::wstring(folder), L"\\\\?\\" + temp.path() + L"\\");
    EXPECT_EQ(std::wstring(name), L"file.txt");

    wcscpy(folder, L"stale");
    wcscpy(name, L"stale");
    EXPECT_EQ(SplitFolderAndName(L"file.txt", folder, name), 0);   // no backslash
    EXPECT_EQ(std::wstring(folder), L"");
    EXPECT_EQ(std::wstring(name), L"");
    // the prefix would make the folder one character too long
    std::wstring longest = L"C:\\" + std::wstring(kPathCapacity - 6, L'a') + L"\\b";
    ASSERT_EQ(longest.size(), static_cast<size_t>(kPathCapacity - 1));
    EXPECT_EQ(SplitFolderAndName(longest.c_str(), folder, name), 0);
    EXPECT_EQ(std::wstring(folder), L"");
    EXPECT_EQ(SplitFolderAndName((L"\\\\?\\" + longest.substr(4)).c_str(), folder, name), 1);
    EXPECT_EQ(std::wstring(name), L"b");
}

TEST(TargetToSource, MapsBehindTheRoots) {
    ResetRunState();
    wcscpy(run.sourceRoot, L"\\\\?\\C:\\data\\");
    run.sourceRootLength = static_cast<int>(wcslen(run.sourceRoot));
    wcscpy(run.targetRoot, L"\\\\?\\D:\\backup\\data\\");
    run.targetRootLength = static_cast<int>(wcslen(run.targetRoot));
    static wchar_t out[kPathCapacity];
    EXPECT_EQ(TargetToSource(L"\\\\?\\D:\\backup\\data\\sub\\file.txt", out, kPathCapacity), 1);
    EXPECT_EQ(std::wstring(out), L"\\\\?\\C:\\data\\sub\\file.txt");
    EXPECT_EQ(TargetToSource(L"\\\\?\\d:\\BACKUP\\data\\f", out, kPathCapacity), 1);
    EXPECT_EQ(std::wstring(out), L"\\\\?\\C:\\data\\f");
    // a path outside the target root has no source
    EXPECT_EQ(TargetToSource(L"\\\\?\\E:\\other\\file.txt", out, kPathCapacity), 0);
    EXPECT_EQ(std::wstring(out), L"");
    EXPECT_EQ(TargetToSource(L"\\\\?\\D:\\", out, kPathCapacity), 0);
    // bounded output: 12 + 8 characters need 21
    Guarded small(L"", 20);
    EXPECT_EQ(TargetToSource(L"\\\\?\\D:\\backup\\data\\sub\\file", small.data(), 20), 0);
    EXPECT_EQ(small.text(), L"");
    EXPECT_TRUE(small.GuardsIntact());
    Guarded exact(L"", 21);
    EXPECT_EQ(TargetToSource(L"\\\\?\\D:\\backup\\data\\sub\\file", exact.data(), 21), 1);
    EXPECT_EQ(exact.text(), L"\\\\?\\C:\\data\\sub\\file");
    // inconsistent lengths are refused, not followed
    run.sourceRootLength = kPathCapacity + 5;
    EXPECT_EQ(TargetToSource(L"\\\\?\\D:\\backup\\data\\f", out, kPathCapacity), 0);
    run.sourceRootLength = -1;
    EXPECT_EQ(TargetToSource(L"\\\\?\\D:\\backup\\data\\f", out, kPathCapacity), 0);
    ResetRunState();
}

// ---- drives and volumes, on recorded answers ----

std::wstring Resolved(const wchar_t* path, const wchar_t* answer, size_t capacity = kPathCapacity) {
    std::vector<wchar_t> out(capacity + 1, L'#');
    int ok = ResolveDrivePathFromDosDevice(path, answer, out.data(), capacity);
    EXPECT_EQ(out[capacity], L'#');
    return ok ? std::wstring(out.data()) : L"<failed:" + std::wstring(out.data()) + L">";
}

TEST(ResolveDrivePath, SubstitutedDrive) {
    EXPECT_EQ(Resolved(L"S:\\dir\\file.txt", L"\\??\\C:\\data"), L"C:\\data\\dir\\file.txt");
    EXPECT_EQ(Resolved(L"\\\\?\\S:\\dir\\", L"\\??\\C:\\data"), L"C:\\data\\dir\\");
    EXPECT_EQ(Resolved(L"S:\\", L"\\??\\C:\\data"), L"C:\\data\\");
    EXPECT_EQ(Resolved(L"s:", L"\\??\\C:\\data"), L"C:\\data");
    // a drive substituted for a root or for a network folder
    EXPECT_EQ(Resolved(L"S:\\dir", L"\\??\\C:\\"), L"C:\\dir");
    EXPECT_EQ(Resolved(L"S:\\dir", L"\\??\\UNC\\server\\share"), L"\\\\server\\share\\dir");
}

TEST(ResolveDrivePath, NetworkDrive) {
    EXPECT_EQ(Resolved(L"Z:\\dir\\file.txt", L"\\Device\\LanmanRedirector\\;Z:0000000000001234\\server\\share"),
              L"\\\\server\\share\\dir\\file.txt");
    EXPECT_EQ(Resolved(L"\\\\?\\Z:\\", L"\\Device\\LanmanRedirector\\;Z:0000000000001234\\server\\share"),
              L"\\\\server\\share\\");
    EXPECT_EQ(Resolved(L"N:\\x", L"\\Device\\NetWareRedirector\\N:\\server\\vol"), L"\\\\server\\vol\\x");
    EXPECT_EQ(Resolved(L"V:\\x", L"\\Device\\VBoxMiniRdr\\;V:\\vboxsvr\\shared"), L"\\\\vboxsvr\\shared\\x");
    EXPECT_EQ(Resolved(L"Z:\\x", L"\\device\\lanmanredirector\\;Z:0000000000001234\\server\\share"),
              L"\\\\server\\share\\x");
    // a redirector answer without server and share leaves the path
    EXPECT_EQ(Resolved(L"Z:\\x", L"\\Device\\LanmanRedirector\\;Z:0000000000001234"), L"Z:\\x");
}

TEST(ResolveDrivePath, OtherAnswersLeaveThePath) {
    EXPECT_EQ(Resolved(L"\\\\?\\C:\\dir", L"\\Device\\HarddiskVolume1"), L"C:\\dir");
    EXPECT_EQ(Resolved(L"C:\\dir", nullptr), L"C:\\dir");
    EXPECT_EQ(Resolved(L"\\\\server\\share\\dir", L"\\??\\C:\\data"), L"\\\\server\\share\\dir");   // no drive
    EXPECT_EQ(Resolved(L"\\\\?\\UNC\\server\\share", nullptr), L"UNC\\server\\share");
}

TEST(ResolveDrivePath, BoundedOutput) {
    // C:\data + \dir = 11 characters
    EXPECT_EQ(Resolved(L"S:\\dir", L"\\??\\C:\\data", 12), L"C:\\data\\dir");
    EXPECT_EQ(Resolved(L"S:\\dir", L"\\??\\C:\\data", 11), L"<failed:>");
    EXPECT_EQ(Resolved(L"\\\\?\\C:\\dir", nullptr, 7), L"C:\\dir");
    EXPECT_EQ(Resolved(L"\\\\?\\C:\\dir", nullptr, 6), L"<failed:>");
    // a long path on a substituted drive: the answer of 260 characters does not limit it;
    // \\?\\S: (6 characters) becomes C:\\data (7), so the longest input overflows by one
    std::wstring rest = L"\\" + std::wstring(kPathCapacity - 12, L'a');
    std::wstring resolved = Resolved((L"\\\\?\\S:" + rest).c_str(), L"\\??\\C:\\data");
    EXPECT_TRUE(resolved == L"C:\\data" + rest) << resolved.size();
    std::wstring longest = L"\\\\?\\S:" + rest + L"bcde";
    ASSERT_EQ(longest.size(), static_cast<size_t>(kPathCapacity - 1));
    EXPECT_EQ(Resolved(longest.c_str(), L"\\??\\C:\\data"), L"<failed:>");
}

TEST(ResolveDrivePath, RealSubstitutedDrive) {
    TempDir temp;
    ASSERT_TRUE(qtxtest::MakeFolder(temp / L"sub"));
    DWORD used = GetLogicalDrives();
    wchar_t letter = 0;
    for (wchar_t c = L'R'; c <= L'Y' && !letter; ++c)
        if (!(used & (1u << (c - L'A')))) letter = c;
    if (!letter) GTEST_SKIP() << "no free drive letter";
    const wchar_t drive[3] = {letter, L':', 0};
    if (!DefineDosDeviceW(DDD_NO_BROADCAST_SYSTEM, drive, temp.path().c_str())) GTEST_SKIP() << "cannot substitute";
    static wchar_t out[kPathCapacity];
    std::wstring onDrive = std::wstring(drive) + L"\\sub\\file.txt";
    int ok = ResolveDrivePath((L"\\\\?\\" + onDrive).c_str(), out, kPathCapacity);
    DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM, drive,
                     temp.path().c_str());
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(std::wstring(out), temp.path() + L"\\sub\\file.txt");
}

// A file system made of recorded answers; each call is logged.
struct Recorded {
    std::map<std::wstring, uint32_t> attributes;        // missing: error 2
    std::map<std::wstring, uint32_t> attributeErrors;   // error for a missing entry
    std::map<std::wstring, uint32_t> driveTypes;
    std::map<std::wstring, std::wstring> volumePaths;   // missing: error 3
    std::map<std::wstring, uint32_t> volumeFlags;       // missing: error 144
    std::map<std::wstring, int> openable;
    std::vector<std::wstring> calls;
};
Recorded recorded;

const PathSystem recordedPaths = {
    [](const wchar_t* path) -> uint32_t {
        recorded.calls.push_back(L"attributes " + std::wstring(path));
        auto found = recorded.attributes.find(path);
        if (found != recorded.attributes.end()) return found->second;
        auto error = recorded.attributeErrors.find(path);
        SetLastError(error != recorded.attributeErrors.end() ? error->second : ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    },
    [](const wchar_t* root) -> uint32_t {
        recorded.calls.push_back(L"type " + std::wstring(root));
        auto found = recorded.driveTypes.find(root);
        return found != recorded.driveTypes.end() ? found->second : DRIVE_FIXED;
    },
    [](const wchar_t* path, wchar_t* out, uint32_t capacity) -> int {
        recorded.calls.push_back(L"volume path " + std::wstring(path));
        auto found = recorded.volumePaths.find(path);
        if (found == recorded.volumePaths.end()) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        if (found->second.size() >= capacity) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        wcscpy(out, found->second.c_str());
        return 1;
    },
    [](const wchar_t* root, uint32_t* flags) -> int {
        recorded.calls.push_back(L"volume flags " + std::wstring(root));
        auto found = recorded.volumeFlags.find(root);
        if (found == recorded.volumeFlags.end()) {
            SetLastError(ERROR_DIR_NOT_ROOT);
            return 0;
        }
        *flags = found->second;
        return 1;
    },
    [](const wchar_t* path) -> int {
        recorded.calls.push_back(L"open " + std::wstring(path));
        auto found = recorded.openable.find(path);
        if (found != recorded.openable.end() && found->second) return 1;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    },
};

class RecordedSystem : public ::testing::Test {
protected:
    void SetUp() override { recorded = Recorded{}; }
    std::vector<std::wstring> Calls() const { return recorded.calls; }
};

using PathExistsRecorded = RecordedSystem;

TEST_F(PathExistsRecorded, StreamsOnlyOnVolumesWithNamedStreams) {
    // FAT: the stream is not looked for, even though an answer is recorded; quotes go first
    recorded.volumePaths[L"C:\\file.txt:stream"] = L"C:\\";
    recorded.volumeFlags[L"C:\\"] = 0x0006;   // case preserved, Unicode names
    recorded.attributes[L"C:\\file.txt:stream"] = FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(PathExistsWith(L"\"C:\\file.txt:stream\"", recordedPaths), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // NTFS, with named streams 0x40000
    recorded.volumePaths[L"\\\\?\\C:\\file.txt:stream"] = L"\\\\?\\C:\\";
    recorded.volumeFlags[L"\\\\?\\C:\\"] = 0x000700FF;
    recorded.attributes[L"\\\\?\\C:\\file.txt:stream"] = FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(PathExistsWith(L"\\\\?\\C:\\file.txt:stream", recordedPaths), 1);
    // the colon of the drive is no stream, also behind the long prefix
    recorded.attributes[L"\\\\?\\C:\\file.txt"] = FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(PathExistsWith(L"\\\\?\\C:\\file.txt", recordedPaths), 1);
}

TEST_F(PathExistsRecorded, AttributesAndTheirErrors) {
    recorded.attributes[L"C:\\dir\\a b.txt"] = FILE_ATTRIBUTE_ARCHIVE;
    EXPECT_EQ(PathExistsWith(L"\"C:\\dir\\a b.txt\"", recordedPaths), 1);   // quotes removed
    recorded.attributeErrors[L"C:\\pagefile.sys"] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(PathExistsWith(L"C:\\pagefile.sys", recordedPaths), 1);
    EXPECT_EQ(PathExistsWith(L"C:\\missing.txt", recordedPaths), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // an odd error: the file is opened instead
    recorded.attributeErrors[L"C:\\odd"] = ERROR_INVALID_PARAMETER;
    recorded.openable[L"C:\\odd"] = 1;
    EXPECT_EQ(PathExistsWith(L"C:\\odd", recordedPaths), 1);
    recorded.attributeErrors[L"C:\\odder"] = ERROR_INVALID_PARAMETER;
    EXPECT_EQ(PathExistsWith(L"C:\\odder", recordedPaths), 0);
    // devices are opened
    recorded.openable[L"\\\\.\\PhysicalDrive0"] = 1;
    EXPECT_EQ(PathExistsWith(L"\\\\.\\PhysicalDrive0", recordedPaths), 1);
    EXPECT_EQ(PathExistsWith(L"\\\\.\\PhysicalDrive9", recordedPaths), 0);
}

using GetVolumeRootRecorded = RecordedSystem;

TEST_F(GetVolumeRootRecorded, DriveRoots) {
    wchar_t out[kShortPathCapacity];
    recorded.attributes[L"C:\\"] = FILE_ATTRIBUTE_DIRECTORY;
    recorded.volumePaths[L"C:\\dir\\file"] = L"C:\\";
    recorded.volumeFlags[L"C:\\"] = 0x000700FF;
    EXPECT_EQ(GetVolumeRootWith(L"C:\\dir\\file", out, kShortPathCapacity, recordedPaths), 1);
    EXPECT_EQ(std::wstring(out), L"C:\\");
    // a network drive is its own root
    recorded.calls.clear();
    recorded.attributes[L"Z:\\"] = FILE_ATTRIBUTE_DIRECTORY;
    recorded.driveTypes[L"Z:\\"] = DRIVE_REMOTE;
    EXPECT_EQ(GetVolumeRootWith(L"Z:\\dir", out, kShortPathCapacity, recordedPaths), 1);
    EXPECT_EQ(std::wstring(out), L"Z:\\");
    EXPECT_EQ(Calls(), (std::vector<std::wstring>{L"attributes Z:\\", L"type Z:\\"}));
    // a drive whose root cannot be read has no root
    EXPECT_EQ(GetVolumeRootWith(L"Q:\\dir", out, kShortPathCapacity, recordedPaths), 0);
    EXPECT_EQ(std::wstring(out), L"");
}

TEST_F(GetVolumeRootRecorded, ClimbsFromFoldersThatAreNoRoot) {
    wchar_t out[kShortPathCapacity];
    recorded.volumePaths[L"\\\\server\\share\\mnt\\vol\\dir"] = L"\\\\server\\share\\mnt\\vol\\";
    recorded.volumeFlags[L"\\\\server\\share\\"] = 0x000700FF;   // the others answer error 144
    EXPECT_EQ(GetVolumeRootWith(L"\\\\server\\share\\mnt\\vol\\dir", out, kShortPathCapacity, recordedPaths), 1);
    EXPECT_EQ(std::wstring(out), L"\\\\server\\share\\");
    // no root anywhere up: the last check's outcome
    recorded.volumeFlags.clear();
    EXPECT_EQ(GetVolumeRootWith(L"\\\\server\\share\\mnt\\vol\\dir", out, kShortPathCapacity, recordedPaths), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_ROOT));
    EXPECT_EQ(std::wstring(out), L"");
}

TEST_F(GetVolumeRootRecorded, FallsBackToTheDriveFolder) {
    wchar_t out[kShortPathCapacity];
    recorded.attributes[L"D:\\"] = FILE_ATTRIBUTE_DIRECTORY;
    EXPECT_EQ(GetVolumeRootWith(L"D:\\dir", out, kShortPathCapacity, recordedPaths), 1);
    EXPECT_EQ(std::wstring(out), L"D:\\");
    recorded.attributes[L"E:\\"] = FILE_ATTRIBUTE_ARCHIVE;   // readable but no folder
    EXPECT_EQ(GetVolumeRootWith(L"E:\\dir", out, kShortPathCapacity, recordedPaths), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetVolumeRootWith(L"\\\\server\\share\\x", out, kShortPathCapacity, recordedPaths), 0);
}

TEST_F(GetVolumeRootRecorded, BoundedOutput) {
    recorded.attributes[L"Z:\\"] = FILE_ATTRIBUTE_DIRECTORY;
    recorded.driveTypes[L"Z:\\"] = DRIVE_REMOTE;
    Guarded small(L"", 3);
    EXPECT_EQ(GetVolumeRootWith(L"Z:\\dir", small.data(), 3, recordedPaths), 0);
    EXPECT_EQ(small.text(), L"");
    EXPECT_TRUE(small.GuardsIntact());
    recorded.volumePaths[L"\\\\server\\share\\x"] = L"\\\\server\\share\\";
    recorded.volumeFlags[L"\\\\server\\share\\"] = 0;
    Guarded tight(L"", 16);   // \\server\share\ needs 16
    EXPECT_EQ(GetVolumeRootWith(L"\\\\server\\share\\x", tight.data(), 16, recordedPaths), 1);
    EXPECT_EQ(tight.text(), L"\\\\server\\share\\");
    Guarded short15(L"", 15);
    EXPECT_EQ(GetVolumeRootWith(L"\\\\server\\share\\x", short15.data(), 15, recordedPaths), 0);
    EXPECT_EQ(short15.text(), L"");
    EXPECT_TRUE(short15.GuardsIntact());
}

using SameVolumeRecorded = RecordedSystem;

TEST_F(SameVolumeRecorded, DriveLettersWithoutAskingVolumePathsExactly) {
    EXPECT_EQ(SameVolumeWith(L"c:\\a", L"C:\\b", recordedPaths), 1);
    EXPECT_TRUE(Calls().empty());
    // otherwise the volume paths are compared exactly
    recorded.volumePaths[L"C:\\a"] = L"C:\\";
    recorded.volumePaths[L"D:\\b"] = L"D:\\";
    recorded.volumePaths[L"C:\\mnt\\x"] = L"C:\\mnt\\";
    recorded.volumePaths[L"\\\\server\\share\\a"] = L"\\\\server\\share\\";
    recorded.volumePaths[L"\\\\server\\share\\b"] = L"\\\\server\\share\\";
    recorded.volumePaths[L"\\\\SERVER\\share\\c"] = L"\\\\SERVER\\share\\";
    EXPECT_EQ(SameVolumeWith(L"C:\\a", L"D:\\b", recordedPaths), 0);
    EXPECT_EQ(SameVolumeWith(L"\\\\server\\share\\a", L"\\\\server\\share\\b", recordedPaths), 1);
    EXPECT_EQ(SameVolumeWith(L"\\\\server\\share\\a", L"\\\\SERVER\\share\\c", recordedPaths), 0);
    EXPECT_EQ(SameVolumeWith(L"C:\\a", L"\\\\server\\share\\a", recordedPaths), 0);
    EXPECT_EQ(SameVolumeWith(L"C:\\a", L"\\\\server\\missing\\a", recordedPaths), 0);
}

// ---- existence and volumes on real files ----

TEST(PathVolumesReal, PathExists) {
    TempDir temp;
    ASSERT_TRUE(qtxtest::WriteBytes(temp / L"file.txt", "x"));
    EXPECT_TRUE(PathExists((temp / L"file.txt").c_str()));
    EXPECT_TRUE(PathExists((L"\\\\?\\" + (temp / L"file.txt")).c_str()));
    EXPECT_TRUE(PathExists((L"\"" + (temp / L"file.txt") + L"\"").c_str()));
    EXPECT_TRUE(PathExists(temp.path().c_str()));
    EXPECT_FALSE(PathExists((temp / L"missing.txt").c_str()));
    EXPECT_FALSE(PathExists(L""));
    EXPECT_TRUE(PathExists(L"\\\\.\\NUL"));
    // a stream is only looked for on a volume with named streams
    DWORD flags = 0;
    wchar_t root[kShortPathCapacity];
    if (GetVolumePathNameW(temp.path().c_str(), root, kShortPathCapacity) &&
        GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        !(flags & FILE_NAMED_STREAMS)) {
        EXPECT_FALSE(PathExists((temp / L"file.txt:stream").c_str()));
    }
}

TEST(PathVolumesReal, VolumeRootAndSameVolume) {
    TempDir temp;
    wchar_t root[kShortPathCapacity];
    ASSERT_EQ(GetVolumeRoot(temp.path().c_str(), root, kShortPathCapacity), 1);
    EXPECT_EQ(std::wstring(root), temp.path().substr(0, 3));
    EXPECT_EQ(SameVolume(temp.path().c_str(), (temp / L"x").c_str()), 1);
    EXPECT_EQ(SameVolume((L"\\\\?\\" + temp.path()).c_str(), (L"\\\\?\\" + (temp / L"x")).c_str()), 1);
}

}  // namespace
