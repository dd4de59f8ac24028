// The process-wide records.
#include <windows.h>

#include <cstring>

#include "console.h"
#include "copy_engine.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"

Options options;
RunState run;

void ResetRunState() {
    memset(&run, 0, sizeof run);
    run.sourceCluster = run.targetCluster = run.largestCluster = 4096;
    run.maxTargetFileSize = 0x1FFFFFFFE00000LL;
    ForgetTargetRoom();
}

void CountFailure() { __atomic_add_fetch(&run.failedCopies, 1, __ATOMIC_SEQ_CST); }

const char* FailureFormat(uint32_t error, const char* doing) {
    thread_local char format[200];
    FormatText(format, sizeof format, "Error %s %s '%%S'\n", ErrorName(error), doing);
    return format;
}

void ReportFailure(uint32_t error, const char* doing, const wchar_t* path) {
    // a folder is named without the backslash the walk appends to it
    thread_local wchar_t shown[kPathCapacity];
    lstrcpynW(shown, SkipLongPrefix(path), kPathCapacity);
    size_t length = wcslen(shown);
    if (length > 3 && shown[length - 1] == L'\\') shown[length - 1] = 0;
    PrintErrorName(FailureFormat(error, doing), shown);
    CountFailure();
}
