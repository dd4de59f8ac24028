// -f: flush the target volume's file cache.
#include <windows.h>
#include <shlobj.h>

#include "console.h"
#include "devices.h"
#include "options.h"
#include "run_state.h"
#include "system_facts.h"
#include "text_format.h"

int FlushTargetVolume() {
    if (!options.flushTarget || !IsUserAnAdmin()) return 0;
    wchar_t volume[kShortPathCapacity + 8];
    if (run.targetVolumeRoot[1] == L':')
        FormatTextW(volume, kShortPathCapacity + 8, L"\\\\?\\%s", run.targetVolumeRoot);
    else
        lstrcpynW(volume, run.targetVolumeRoot, kShortPathCapacity + 8);
    size_t length = wcslen(volume);
    if (length && volume[length - 1] == L'\\') volume[length - 1] = 0;
    DWORD start = GetTickCount();
    Print("flushing target volume...");
    // The handle is opened for this flush alone: kept open it would block the
    // exclusive open of a volume target.
    void* handle = deviceSystem->Open(volume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (!handle) {
        Print(" error %s\n", LastErrorName());
        return 0;
    }
    int flushed = deviceSystem->Flush(handle);
    DWORD error = GetLastError();
    deviceSystem->Close(handle);
    if (!flushed) {
        Print(" error %s\n", ErrorName(error));
        SetLastError(error);
        return 0;
    }
    Print(" ok (%u ms)\n", GetTickCount() - start);
    return 1;
}
