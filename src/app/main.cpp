// The entry: harden the library search path, then run.
#include <windows.h>

#include "console.h"
#include "run_driver.h"

int wmain() {
    using SetDefaultDirs = BOOL(WINAPI*)(DWORD);
    using SetDllDirectory = BOOL(WINAPI*)(LPCSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    auto setDefault = reinterpret_cast<SetDefaultDirs>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (!setDefault || !setDefault(0x800)) {
        auto setDirectory = reinterpret_cast<SetDllDirectory>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "SetDllDirectoryA")));
        if (setDirectory) setDirectory("");
    }
    int code = RunDriver();
    FlushOutput();
    ExitProcess(static_cast<UINT>(code));
}
