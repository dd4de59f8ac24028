#include "tree_fakes.h"

#include <windows.h>

#include "run_state.h"

namespace treetest {

FakeState fake;

namespace {

bool Contains(const wchar_t* text, const std::wstring& part) {
    return !part.empty() && std::wstring(text).find(part) != std::wstring::npos;
}

void* FindFirst(const wchar_t* pattern, FoundName* found) {
    fake.searches.push_back(pattern);
    if (Contains(pattern, fake.failFirstContaining)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return realTreeFileSystem.findFirst(pattern, found);
}

int FindNext(void* search, FoundName* found) {
    if (fake.failNextAfter >= 0 && fake.nextCalls >= fake.failNextAfter) {
        SetLastError(fake.failNextError);
        return 0;
    }
    ++fake.nextCalls;
    return realTreeFileSystem.findNext(search, found);
}

int CreateFolder(const wchar_t* path) {
    if (Contains(path, fake.failCreateContaining)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return realTreeFileSystem.createFolder(path);
}

int FakeCopy(const wchar_t* source, uint32_t attributes, uint64_t time, const wchar_t* target, int64_t* links,
             int streamFlag, FolderListing* listing) {
    CopyCall call{source, target, listing != nullptr, FindListingEntry(listing, target) != nullptr};
    fake.copies.push_back(call);
    if (Contains(source, fake.abortCopyContaining)) {
        run.aborted = 1;
        return 0;
    }
    if (Contains(source, fake.failCopyContaining)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    if (std::wstring(target) == L"\\\\.\\NUL") return 1;
    return CopyFileW(source, target, FALSE) ? 1 : 0;
}

}  // namespace

const TreeFileSystem fakeFileSystem = {FindFirst,
                                       FindNext,
                                       realTreeFileSystem.findClose,
                                       CreateFolder,
                                       realTreeFileSystem.getAttributes,
                                       realTreeFileSystem.setAttributes,
                                       realTreeFileSystem.deleteFile,
                                       realTreeFileSystem.removeFolder,
                                       FakeCopy};

UseFake::UseFake() {
    fake = FakeState();
    treeFileSystem = &fakeFileSystem;
}

UseFake::~UseFake() { treeFileSystem = &realTreeFileSystem; }

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

}  // namespace treetest
