// The identity relation of the guards, with a link that only its id reveals.
#include <gtest/gtest.h>

#include <cwchar>

#include "folder_identity.h"

namespace {

// C:\data\link is a folder link to C:\src; every other folder is itself.
int LinkedIds(const wchar_t* path, FolderId* id) {
    const wchar_t* known[] = {L"C:\\", L"C:\\src", L"C:\\data", L"C:\\src\\sub", L"C:\\data\\link"};
    for (uint64_t i = 0; i < 5; ++i)
        if (_wcsicmp(path, known[i]) == 0) {
            *id = FolderId{7, i == 4 ? 1 : i};
            return 1;
        }
    return 0;
}

TEST(IsWithinFolderById, SeesThroughALinkInEitherPath) {
    EXPECT_TRUE(IsWithinFolderById(L"C:\\data\\link\\new\\deeper", L"C:\\src", LinkedIds));
    EXPECT_TRUE(IsWithinFolderById(L"C:\\src\\sub\\", L"C:\\data\\link\\", LinkedIds));
    EXPECT_TRUE(IsWithinFolderById(L"C:\\data\\link", L"C:\\src", LinkedIds));
    EXPECT_FALSE(IsWithinFolderById(L"C:\\data\\other", L"C:\\src", LinkedIds));
    EXPECT_FALSE(IsWithinFolderById(L"C:\\src", L"C:\\src\\sub", LinkedIds)) << "a parent is not within its child";
    EXPECT_FALSE(IsWithinFolderById(L"C:\\src", L"C:\\missing", LinkedIds));
    EXPECT_TRUE(IsWithinFolderById(L"C:\\data", L"C:\\", LinkedIds)) << "the root is read as C:\\, not C:";
}

}  // namespace
