// Reparse data through a handle, as the system gives and takes them.
#include <windows.h>

#include "file_ops.h"
#include "reparse_points.h"

int SystemFileOps::GetReparse(void* handle, uint8_t* buffer, size_t capacity, size_t* size) {
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(handle, kFsctlGetReparsePoint, nullptr, 0, buffer, static_cast<DWORD>(capacity),
                              &returned, nullptr);
    *size = ok ? returned : 0;
    return ok ? 1 : 0;
}

int SystemFileOps::SetReparse(void* handle, const uint8_t* data, size_t size) {
    DWORD returned = 0;
    return DeviceIoControl(handle, kFsctlSetReparsePoint, const_cast<uint8_t*>(data), static_cast<DWORD>(size),
                           nullptr, 0, &returned, nullptr)
               ? 1
               : 0;
}
