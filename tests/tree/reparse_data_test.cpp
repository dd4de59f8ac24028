// Reparse data buffers laid out byte by byte as the file system returns them.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "reparse_points.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes* b, uint16_t v) {
    b->push_back(v & 0xFF);
    b->push_back(v >> 8);
}
void Put32(Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b->push_back((v >> (8 * i)) & 0xFF);
}
void PutText(Bytes* b, const std::wstring& text, bool terminator) {
    for (wchar_t c : text) Put16(b, static_cast<uint16_t>(c));
    if (terminator) Put16(b, 0);
}
uint16_t Bytes16(const std::wstring& text) { return static_cast<uint16_t>(text.size() * 2); }

// A junction as the system stores it: substitute name, terminator, print name, terminator.
Bytes Junction(const std::wstring& substitute, const std::wstring& print) {
    Bytes b;
    Put32(&b, 0xA0000003);
    Put16(&b, static_cast<uint16_t>(8 + substitute.size() * 2 + 2 + print.size() * 2 + 2));
    Put16(&b, 0);
    Put16(&b, 0);
    Put16(&b, Bytes16(substitute));
    Put16(&b, Bytes16(substitute) + 2);
    Put16(&b, Bytes16(print));
    PutText(&b, substitute, true);
    PutText(&b, print, true);
    return b;
}

// A symbolic link as mklink makes it: print name first, then substitute name.
Bytes Symlink(const std::wstring& substitute, const std::wstring& print, uint32_t flags) {
    Bytes b;
    Put32(&b, 0xA000000C);
    Put16(&b, static_cast<uint16_t>(12 + substitute.size() * 2 + print.size() * 2));
    Put16(&b, 0);
    Put16(&b, Bytes16(print));
    Put16(&b, Bytes16(substitute));
    Put16(&b, 0);
    Put16(&b, Bytes16(print));
    Put32(&b, flags);
    PutText(&b, print, false);
    PutText(&b, substitute, false);
    return b;
}

// The bytes placed so that they end exactly at an inaccessible page: a read
// past the end faults.
class Guarded {
public:
    explicit Guarded(const Bytes& bytes) {
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 3 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + 2 * 4096, 4096, PAGE_NOACCESS, &old);
        data_ = base_ + 2 * 4096 - bytes.size();
        if (!bytes.empty()) memcpy(data_, bytes.data(), bytes.size());
    }
    ~Guarded() { VirtualFree(base_, 0, MEM_RELEASE); }
    const uint8_t* data() const { return data_; }

private:
    uint8_t* base_;
    uint8_t* data_;
};

std::unique_ptr<ReparseNames> Parse(const Bytes& bytes, int* ok) {
    auto names = std::make_unique<ReparseNames>();
    Guarded guarded(bytes);
    *ok = ParseReparseData(guarded.data(), bytes.size(), names.get());
    return names;
}

std::wstring Sub(const ReparseNames& n) { return std::wstring(n.substitute, n.substituteLength); }
std::wstring Prn(const ReparseNames& n) { return std::wstring(n.print, n.printLength); }

TEST(ReparseData, ReadsJunctionAbsoluteAndRelativeSymlinks) {
    int ok = 0;
    auto junction = Parse(Junction(L"\\??\\C:\\src\\data", L"C:\\src\\data"), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(junction->tag, kTagMountPoint);
    EXPECT_EQ(Sub(*junction), L"\\??\\C:\\src\\data");
    EXPECT_EQ(Prn(*junction), L"C:\\src\\data");
    EXPECT_EQ(std::string(ReparseLabel(junction->tag)), "mount point");

    auto absolute = Parse(Symlink(L"\\??\\C:\\other\\f.txt", L"C:\\other\\f.txt", 0), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(absolute->tag, kTagSymbolicLink);
    EXPECT_EQ(absolute->flags, 0u);
    EXPECT_EQ(Sub(*absolute), L"\\??\\C:\\other\\f.txt");
    EXPECT_EQ(Prn(*absolute), L"C:\\other\\f.txt");
    EXPECT_EQ(std::string(ReparseLabel(absolute->tag)), "symlink");

    auto relative = Parse(Symlink(L"..\\data\\x", L"..\\data\\x", kSymbolicLinkRelative), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(relative->flags, kSymbolicLinkRelative);
    EXPECT_EQ(Sub(*relative), L"..\\data\\x");
    EXPECT_EQ(std::string(ReparseLabel(0x80000017)), "reparse point");
}

TEST(ReparseData, RefusesTruncatedAndMalformedBuffersWithoutReadingPastThem) {
    const Bytes good[] = {Junction(L"\\??\\C:\\a", L"C:\\a"), Symlink(L"\\??\\C:\\b", L"C:\\b", 0)};
    for (const Bytes& full : good) {
        for (size_t size = 0; size < full.size(); ++size) {
            Bytes cut(full.begin(), full.begin() + size);
            int ok = 1;
            Parse(cut, &ok);
            EXPECT_FALSE(ok) << "accepted " << size << " of " << full.size() << " bytes";
        }
    }
    int ok = 0;
    // data length claims one byte more than the buffer holds
    Bytes longer = Junction(L"\\??\\C:\\a", L"C:\\a");
    longer[4] += 1;
    Parse(longer, &ok);
    EXPECT_FALSE(ok);
    // substitute name reaching one byte past the path buffer
    Bytes outside = Junction(L"\\??\\C:\\a", L"");
    outside[10] = static_cast<uint8_t>(outside.size() - 16 + 2);
    Parse(outside, &ok);
    EXPECT_FALSE(ok);
    // print name offset beyond the path buffer, huge length
    Bytes beyond = Symlink(L"\\??\\C:\\b", L"C:\\b", 0);
    beyond[12] = 0xF0;
    beyond[14] = 0xFF;
    beyond[15] = 0xFF;
    Parse(beyond, &ok);
    EXPECT_FALSE(ok);
    // odd length, empty substitute name, unknown tag
    Bytes odd = Junction(L"\\??\\C:\\a", L"C:\\a");
    odd[10] -= 1;
    Parse(odd, &ok);
    EXPECT_FALSE(ok);
    Parse(Junction(L"", L"C:\\a"), &ok);
    EXPECT_FALSE(ok);
    Bytes other = Junction(L"\\??\\C:\\a", L"C:\\a");
    other[0] = 0x17;
    other[3] = 0x80;
    Parse(other, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_A_REPARSE_POINT));
}

TEST(ReparseData, BuildsExactLayoutsAndRoundTrips) {
    auto names = std::make_unique<ReparseNames>();
    names->tag = kTagMountPoint;
    wcscpy(names->substitute, L"\\??\\D:\\t");
    names->substituteLength = 8;
    wcscpy(names->print, L"D:\\t");
    names->printLength = 4;
    std::vector<uint8_t> out(kMaxReparseDataSize);
    size_t size = BuildReparseData(*names, out.data(), out.size());
    Bytes expected;
    Put32(&expected, 0xA0000003);
    Put16(&expected, 8 + 16 + 8);
    Put16(&expected, 0);
    Put16(&expected, 0);
    Put16(&expected, 16);
    Put16(&expected, 16);
    Put16(&expected, 8);
    PutText(&expected, L"\\??\\D:\\t", false);
    PutText(&expected, L"D:\\t", false);
    ASSERT_EQ(size, expected.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + size), expected);

    names->tag = kTagSymbolicLink;
    names->flags = kSymbolicLinkRelative;
    size = BuildReparseData(*names, out.data(), out.size());
    expected.clear();
    Put32(&expected, 0xA000000C);
    Put16(&expected, 12 + 16 + 8);
    Put16(&expected, 0);
    Put16(&expected, 8);    // substitute behind the print name
    Put16(&expected, 16);
    Put16(&expected, 0);
    Put16(&expected, 8);
    Put32(&expected, 1);
    PutText(&expected, L"D:\\t", false);
    PutText(&expected, L"\\??\\D:\\t", false);
    ASSERT_EQ(size, expected.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + size), expected);

    int ok = 0;
    auto back = Parse(Bytes(out.begin(), out.begin() + size), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Sub(*back), L"\\??\\D:\\t");
    EXPECT_EQ(back->flags, kSymbolicLinkRelative);

    // exactly the capacity works, one byte less fails cleanly
    EXPECT_EQ(BuildReparseData(*names, out.data(), expected.size()), expected.size());
    EXPECT_EQ(BuildReparseData(*names, out.data(), expected.size() - 1), 0u);
    // names that together exceed the largest reparse data
    std::wstring longName(kMaxReparseNameChars / 2 + 10, L'x');
    wcscpy(names->substitute, longName.c_str());
    names->substituteLength = longName.size();
    wcscpy(names->print, longName.c_str());
    names->printLength = longName.size();
    EXPECT_EQ(BuildReparseData(*names, out.data(), out.size()), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(ReparseData, DecidesTreeMembershipOnWholeComponents) {
    const wchar_t* root = L"\\\\?\\C:\\src\\";
    EXPECT_NE(FolderPrefixLength(L"\\\\?\\C:\\src", root), 0u);          // the root itself
    EXPECT_NE(FolderPrefixLength(L"\\\\?\\c:\\SRC\\data", root), 0u);    // case ignored
    EXPECT_NE(FolderPrefixLength(L"C:\\src\\data", L"\\\\?\\C:\\src"), 0u);
    EXPECT_EQ(FolderPrefixLength(L"\\\\?\\C:\\src2\\data", root), 0u);   // a sibling is not inside
    EXPECT_EQ(FolderPrefixLength(L"\\\\?\\C:\\sr", root), 0u);
    EXPECT_EQ(FolderPrefixLength(L"..\\src", root), 0u);
    EXPECT_EQ(FolderPrefixLength(L"\\\\?\\UNC\\srv\\share\\x", L"\\\\srv\\share"), 17u);
    EXPECT_EQ(FolderPrefixLength(L"\\\\?\\C:\\x", L""), 0u);

    wchar_t out[64];
    ASSERT_TRUE(RebasePath(L"\\\\?\\C:\\Src\\data\\x", root, L"D:\\bak\\src\\", out, 64));
    EXPECT_STREQ(out, L"D:\\bak\\src\\data\\x");
    ASSERT_TRUE(RebasePath(L"C:\\src", root, L"D:\\bak", out, 64));
    EXPECT_STREQ(out, L"D:\\bak");
    EXPECT_FALSE(RebasePath(L"C:\\src\\data", root, L"D:\\bak", out, 11));   // needs 12 with terminator
    EXPECT_TRUE(RebasePath(L"C:\\src\\data", root, L"D:\\bak", out, 12));
}

TEST(ReparseData, ResolvesRelativeLinksWithoutClimbingAboveTheRoot) {
    wchar_t out[128];
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\?\\C:\\src\\sub\\link", L"..\\data\\.\\x", out, 128));
    EXPECT_STREQ(out, L"\\\\?\\C:\\src\\data\\x");
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\?\\C:\\src\\link", L"..\\..\\..\\..\\w", out, 128));
    EXPECT_STREQ(out, L"\\\\?\\C:\\w");
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\?\\C:\\src\\link", L"..", out, 128));
    EXPECT_STREQ(out, L"\\\\?\\C:\\");
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\srv\\share\\a\\link", L"..\\..\\b", out, 128));
    EXPECT_STREQ(out, L"\\\\srv\\share\\b");
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\?\\C:\\src\\sub\\link", L"\\top", out, 128));
    EXPECT_STREQ(out, L"\\\\?\\C:\\top");
    EXPECT_FALSE(ResolveRelativeLink(L"\\\\?\\C:\\src\\sub\\link", L"longer", out, 20));
}

TEST(ReparseData, RepointsBothNamesIntoTheTargetTree) {
    auto in = std::make_unique<ReparseNames>();
    auto out = std::make_unique<ReparseNames>();
    in->tag = kTagMountPoint;
    wcscpy(in->substitute, L"\\\\?\\C:\\src\\data");
    in->substituteLength = wcslen(in->substitute);
    wcscpy(in->print, L"C:\\SRC\\data");
    in->printLength = wcslen(in->print);
    ASSERT_TRUE(RepointNames(*in, L"\\\\?\\C:\\src\\", L"\\\\?\\E:\\backup\\src\\", out.get()));
    EXPECT_EQ(Sub(*out), L"\\??\\E:\\backup\\src\\data");
    EXPECT_EQ(Prn(*out), L"E:\\backup\\src\\data");
    // the source root itself
    wcscpy(in->substitute, L"\\\\?\\C:\\src");
    in->substituteLength = wcslen(in->substitute);
    in->printLength = 0;
    in->print[0] = 0;
    ASSERT_TRUE(RepointNames(*in, L"\\\\?\\C:\\src\\", L"\\\\?\\E:\\b\\", out.get()));
    EXPECT_EQ(Sub(*out), L"\\??\\E:\\b");
    EXPECT_EQ(out->printLength, 0u);
    // to a network share
    wcscpy(in->substitute, L"\\\\?\\C:\\src\\d");
    in->substituteLength = wcslen(in->substitute);
    wcscpy(in->print, L"C:\\src\\d");
    in->printLength = wcslen(in->print);
    ASSERT_TRUE(RepointNames(*in, L"\\\\?\\C:\\src", L"\\\\?\\UNC\\srv\\sh\\b", out.get()));
    EXPECT_EQ(Sub(*out), L"\\??\\UNC\\srv\\sh\\b\\d");
    EXPECT_EQ(Prn(*out), L"\\\\srv\\sh\\b\\d");
    // a target root so long that the name no longer fits
    std::wstring deep = L"\\\\?\\E:\\" + std::wstring(kMaxReparseNameChars, L'y');
    EXPECT_FALSE(RepointNames(*in, L"\\\\?\\C:\\src", deep.c_str(), out.get()));
}

}  // namespace
