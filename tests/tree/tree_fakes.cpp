#include "tree_fakes.h"

#include <windows.h>

#include "copy_engine.h"
#include "run_state.h"
#include "test_support.h"

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
    return RealFileOps()->FindFirst(pattern, found);
}

int FindNext(void* search, FoundName* found) {
    if (fake.failNextAfter >= 0 && fake.nextCalls >= fake.failNextAfter) {
        SetLastError(fake.failNextError);
        return 0;
    }
    ++fake.nextCalls;
    return RealFileOps()->FindNext(search, found);
}

int CreateFolder(const wchar_t* path) {
    if (Contains(path, fake.failCreateContaining)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return RealFileOps()->CreateFolder(path);
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

struct FakeOps : qtxtest::SystemFileOps {
    void* FindFirst(const wchar_t* pattern, FoundName* found) override { return treetest::FindFirst(pattern, found); }
    int FindNext(void* search, FoundName* found) override { return treetest::FindNext(search, found); }
    int CreateFolder(const wchar_t* path) override { return treetest::CreateFolder(path); }
} fakeOps;

UseFake::UseFake() {
    fake = FakeState();
    fileOps = &fakeOps;
    walkCopy = FakeCopy;
}

UseFake::~UseFake() {
    fileOps = RealFileOps();
    walkCopy = CopyOneFile;
}

std::wstring Long(const std::wstring& path) { return L"\\\\?\\" + path; }

}  // namespace treetest
