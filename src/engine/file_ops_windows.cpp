// The file operations through the system.
#include <windows.h>
#include <winioctl.h>

#include "file_ops.h"
#include "transfer_state.h"

namespace {

class WindowsFileOps : public FileOps {
public:
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition,
               uint32_t flags) override {
        return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
    }
    int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) override {
        DWORD n = 0;
        BOOL ok = ReadFile(handle, buffer, length, &n, nullptr);
        *done = n;
        return ok ? 1 : 0;
    }
    int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) override {
        DWORD n = 0;
        BOOL ok = WriteFile(handle, buffer, length, &n, nullptr);
        *done = n;
        if (ok && n != length) {
            // a short write without an error means the medium is full
            SetLastError(ERROR_DISK_FULL);
            return 0;
        }
        return ok ? 1 : 0;
    }
    int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) override {
        LARGE_INTEGER move, now;
        move.QuadPart = distance;
        if (!SetFilePointerEx(handle, move, &now, method)) return 0;
        if (position) *position = now.QuadPart;
        return 1;
    }
    int SetEnd(void* handle) override { return SetEndOfFile(handle) ? 1 : 0; }
    int GetSize(void* handle, int64_t* size) override {
        LARGE_INTEGER value;
        if (!GetFileSizeEx(handle, &value)) return 0;
        *size = value.QuadPart;
        return 1;
    }
    int Flush(void* handle) override { return FlushFileBuffers(handle) ? 1 : 0; }
    int Close(void* handle) override { return CloseHandle(handle) ? 1 : 0; }
    int Delete(const wchar_t* path) override { return DeleteFileW(path) ? 1 : 0; }
    int ZeroRange(void* handle, int64_t from, int64_t to) override {
        FILE_ZERO_DATA_INFORMATION range;
        range.FileOffset.QuadPart = from;
        range.BeyondFinalZero.QuadPart = to;
        DWORD returned = 0;
        return DeviceIoControl(handle, FSCTL_SET_ZERO_DATA, &range, sizeof range, nullptr, 0, &returned, nullptr)
                   ? 1
                   : 0;
    }
};

WindowsFileOps windowsFileOps;

}  // namespace

int FileOps::Link(const wchar_t* newPath, const wchar_t* existingPath) {
    return CreateHardLinkW(newPath, existingPath, nullptr) ? 1 : 0;
}

FileOps* RealFileOps() { return &windowsFileOps; }
FileOps* fileOps = &windowsFileOps;

int64_t CurrentPosition(void* handle) {
    int64_t position = 0;
    if (!fileOps->SetPointer(handle, 0, FILE_CURRENT, &position)) return -1;
    return position;
}

void CloseHandleOf(void** handle) {
    if (IsValidHandle(*handle)) {
        DWORD error = GetLastError();
        fileOps->Close(*handle);
        SetLastError(error);
    }
    *handle = nullptr;
}
