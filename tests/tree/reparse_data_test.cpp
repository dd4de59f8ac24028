// Reparse data: every cut of a valid buffer is refused without a read past
// its end, and the path rules of links in the tree.
#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>

#include "reparse_points.h"

TEST(ReparseData, RoundTripsAndRefusesEveryCutWithoutReadingPastIt) {
    auto names = std::make_unique<ReparseNames>();
    auto back = std::make_unique<ReparseNames>();
    uint8_t* page = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(page + 4096, 4096, PAGE_NOACCESS, &old);   // a read past the data faults
    for (uint32_t tag : {kTagMountPoint, kTagSymbolicLink}) {
        *names = ReparseNames();
        names->tag = tag;
        wcscpy(names->substitute, L"\\??\\C:\\a");
        names->substituteLength = 8;
        wcscpy(names->print, L"C:\\a");
        names->printLength = 4;
        uint8_t built[256];
        size_t size = BuildReparseData(*names, built, sizeof built);
        ASSERT_GT(size, 8u);
        for (size_t cut = 0; cut <= size; ++cut) {
            memcpy(page + 4096 - cut, built, cut);
            int ok = ParseReparseData(page + 4096 - cut, cut, back.get());
            EXPECT_EQ(cut == size, ok != 0) << cut << " of " << size;
        }
        EXPECT_EQ(std::wstring(back->substitute, back->substituteLength), L"\\??\\C:\\a");
        EXPECT_EQ(std::wstring(back->print, back->printLength), L"C:\\a");
    }
    VirtualFree(page, 0, MEM_RELEASE);
}

TEST(ReparseData, RelativeLinksAndRepointing) {
    wchar_t out[128];
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\?\\C:\\src\\sub\\link", L"..\\data\\.\\x", out, 128));
    EXPECT_STREQ(out, L"\\\\?\\C:\\src\\data\\x");
    ASSERT_TRUE(ResolveRelativeLink(L"\\\\?\\C:\\src\\link", L"..\\..\\..\\w", out, 128));
    EXPECT_STREQ(out, L"\\\\?\\C:\\w");   // never above the root
    auto in = std::make_unique<ReparseNames>();
    auto moved = std::make_unique<ReparseNames>();
    wcscpy(in->substitute, L"\\\\?\\C:\\src\\d");
    in->substituteLength = wcslen(in->substitute);
    ASSERT_TRUE(RepointNames(*in, L"\\\\?\\C:\\src", L"\\\\?\\UNC\\srv\\sh\\b", moved.get()));
    EXPECT_EQ(std::wstring(moved->substitute, moved->substituteLength), L"\\??\\UNC\\srv\\sh\\b\\d");
}
