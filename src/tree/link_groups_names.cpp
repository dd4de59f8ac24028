// Identity queries on paths.
#include <windows.h>

#include "file_ops.h"
#include "link_groups.h"
#include "transfer_state.h"

uint32_t LinkInfo(const wchar_t* path, FileIdentity* identity) {
    FileIdentity found = {};
    uint32_t links = 0;
    void* handle = path ? fileOps->Open(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        OPEN_EXISTING, 0)
                        : nullptr;
    if (IsValidHandle(handle)) {
        FileInfo info;
        if (fileOps->GetInfo(handle, &info, kInfoIdentity)) {
            found = {info.volumeSerial, info.fileIndex, info.fileIdHigh};
            links = info.links;
        }
        DWORD error = GetLastError();
        fileOps->Close(handle);
        SetLastError(error);
    }
    if (identity) *identity = found;
    return links;
}

int FileIndexOf(const wchar_t* path, FileIdentity* identity) { return LinkInfo(path, identity) > 0; }

int SameFile(const wchar_t* a, const wchar_t* b) {
    FileIdentity first, second;
    return LinkInfo(a, &first) > 0 && LinkInfo(b, &second) > 0 && SameIdentity(first, second);
}
