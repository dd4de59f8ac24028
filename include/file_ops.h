// The file operations of the copy engine. The real implementation calls the
// system; tests put a double in their place to count and fail operations.
// Every operation returns nonzero for success and 0 for failure with the
// system error as the thread's last error (Open returns INVALID_HANDLE_VALUE).
#pragma once
#include <cstdint>

class FileOps {
public:
    virtual ~FileOps() = default;
    virtual void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t disposition,
                       uint32_t flags) = 0;
    virtual int Read(void* handle, void* buffer, uint32_t length, uint32_t* done) = 0;
    virtual int Write(void* handle, const void* buffer, uint32_t length, uint32_t* done) = 0;
    // method: 0 begin, 1 current, 2 end
    virtual int SetPointer(void* handle, int64_t distance, uint32_t method, int64_t* position) = 0;
    virtual int SetEnd(void* handle) = 0;
    virtual int GetSize(void* handle, int64_t* size) = 0;
    virtual int Flush(void* handle) = 0;
    virtual int Close(void* handle) = 0;
    virtual int Delete(const wchar_t* path) = 0;
    // FSCTL_SET_ZERO_DATA over [from, to)
    virtual int ZeroRange(void* handle, int64_t from, int64_t to) = 0;
    // CreateHardLinkW: newPath becomes one more name of existingPath's file
    virtual int Link(const wchar_t* newPath, const wchar_t* existingPath);
};

FileOps* RealFileOps();
// The operations in use; only test code swaps this pointer.
extern FileOps* fileOps;

// Current position of a handle through fileOps; -1 on failure.
int64_t CurrentPosition(void* handle);
// Closes a handle through fileOps when it is open and clears the variable.
void CloseHandleOf(void** handle);
