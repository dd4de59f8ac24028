// The system's side of compression: file-system controls on a handle and the
// overlay filter's service.
#include <windows.h>

#include "compression.h"
#include "file_ops.h"

namespace {

int Control(void* handle, uint32_t code, const void* input, uint32_t inputSize, void* output, uint32_t outputSize) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, const_cast<void*>(input), inputSize, output, outputSize, &returned,
                           nullptr) != 0;
}

}  // namespace

int SystemFileOps::GetCompression(void* handle, uint16_t* format) {
    return Control(handle, kFsctlGetCompression, nullptr, 0, format, sizeof *format);
}

int SystemFileOps::SetCompression(void* handle, uint16_t format) {
    return Control(handle, kFsctlSetCompression, &format, sizeof format, nullptr, 0);
}

int SystemFileOps::GetExternalBacking(void* handle, void* record, uint32_t size) {
    return Control(handle, kFsctlGetExternalBacking, nullptr, 0, record, size);
}

int SystemFileOps::SetExternalBacking(void* handle, const void* record, uint32_t size) {
    return Control(handle, kFsctlSetExternalBacking, record, size, nullptr, 0);
}

int ServiceState(const wchar_t* name, uint32_t* state) {
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
