// The Windows side of compression: file-system controls, sizes and the
// service manager.
#include <windows.h>
#include <winioctl.h>

#include "compression.h"
#include "devices.h"

namespace {

using GetInfoByHandle = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// Looked up once: the main thread is the only caller.
GetInfoByHandle InfoByHandleFunction() {
    static bool looked = false;
    static GetInfoByHandle function = nullptr;
    if (!looked) {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        if (kernel)
            function = reinterpret_cast<GetInfoByHandle>(
                reinterpret_cast<void*>(GetProcAddress(kernel, "GetFileInformationByHandleEx")));
        looked = true;
    }
    return function;
}

int Control(void* handle, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(input), inputSize, output, outputSize, &returned,
                           nullptr) != 0;
}

struct WindowsCompressionSystem : CompressionSystem {
    void* Open(const wchar_t* path, uint32_t access, uint32_t share, uint32_t flags) override {
        HANDLE handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
    }
    void Close(void* handle) override {
        if (handle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }
    int GetCompression(void* handle, uint16_t* format) override {
        return Control(handle, kFsctlGetCompression, nullptr, 0, format, sizeof *format);
    }
    int SetCompression(void* handle, uint16_t format) override {
        return Control(handle, kFsctlSetCompression, &format, sizeof format, nullptr, 0);
    }
    int SetExternalBacking(void* handle, const void* record, uint32_t size) override {
        return Control(handle, kFsctlSetExternalBacking, record, size, nullptr, 0);
    }
    int GetExternalBacking(void* handle, void* record, uint32_t size) override {
        return Control(handle, kFsctlGetExternalBacking, nullptr, 0, record, size);
    }
    int StandardInfo(void* handle, int64_t* size, int64_t* sizeOnDisk) override {
        GetInfoByHandle function = InfoByHandleFunction();
        if (!function) return -1;
        FILE_STANDARD_INFO info;
        if (!function(handle, FileStandardInfo, &info, sizeof info)) return 0;
        *size = info.EndOfFile.QuadPart;
        *sizeOnDisk = info.AllocationSize.QuadPart;
        return 1;
    }
    int64_t Length(void* handle, int isDevice) override {
        if (isDevice) {
            GET_LENGTH_INFORMATION length;
            if (Control(handle, kDiskGetLengthInfo, nullptr, 0, &length, sizeof length))
                return length.Length.QuadPart;
            if (GetLastError() != ERROR_NOT_SUPPORTED) return kSizeNotMeasurable;
            DISK_GEOMETRY geometry;
            if (Control(handle, kDiskGetDriveGeometry, nullptr, 0, &geometry, sizeof geometry) &&
                geometry.MediaType >= 1 && geometry.MediaType <= 10)
                return geometry.Cylinders.QuadPart * geometry.TracksPerCylinder * geometry.SectorsPerTrack *
                       geometry.BytesPerSector;
            return kSizeNotMeasurable;
        }
        SetLastError(NO_ERROR);
        DWORD high = 0;
        DWORD low = GetFileSize(handle, &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return kSizeNotMeasurable;
        return (static_cast<int64_t>(high) << 32) | low;
    }
    int64_t CompressedFileSize(const wchar_t* path) override {
        SetLastError(NO_ERROR);
        DWORD high = 0;
        DWORD low = GetCompressedFileSizeW(path, &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return 0;
        return (static_cast<int64_t>(high) << 32) | low;
    }
    int SetPointer(void* handle, int64_t position) override {
        LARGE_INTEGER distance;
        distance.QuadPart = position;
        return SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN) != 0;
    }
    int SetEndOfFile(void* handle) override { return ::SetEndOfFile(handle) != 0; }
    int ServiceState(const wchar_t* name, uint32_t* state) override {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
        if (!manager) return 0;
        int result = 0;
        SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
        if (service) {
            SERVICE_STATUS status;
            if (QueryServiceStatus(service, &status)) {
                *state = status.dwCurrentState;
                result = 1;
            }
            CloseServiceHandle(service);
        }
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        SetLastError(error);
        return result;
    }
};

WindowsCompressionSystem windowsCompressionSystem;

}  // namespace

CompressionSystem* compressionSystem = &windowsCompressionSystem;
