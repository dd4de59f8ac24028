// Set-up of the process and reading of the command line.
#include "run_driver.h"

#include <windows.h>

#include "command_line.h"
#include "compression.h"
#include "console.h"
#include "heap_memory.h"
#include "options.h"
#include "run_state.h"
#include "system_facts.h"
#include "text_format.h"

namespace {

ConsoleContext consoleContext;
ArgumentVector arguments;

int EndEarly(int code) {
    WaitForKeyAtEnd(&consoleContext);
    return code;
}

}  // namespace

int RunDriver() {
    ResetRunState();
    ConsoleInit(&consoleContext);
    if (IsOwnConsole()) WidenConsole();
    run.mainThreadId = GetCurrentThreadId();
    lastColumn = static_cast<int16_t>(ScreenWidth() - 1);
    GetModuleFileNameW(nullptr, run.programPath, kShortPathCapacity);
    OwnFileVersion(run.programPath, &programVersion);
    ReadOsVersion(&osVersion);

    SplitCommandLine(GetCommandLineW(), &arguments);
    PrintBanner(programVersion.text);
    if (arguments.count < 2) {
        PrintUsage();
        return EndEarly(kExitUsage);
    }
    // a dropped exclusion mask would let -mir delete what it was told to keep
    if (arguments.tooMany) {
        Print("too many parameters -> abort\n");
        return EndEarly(kExitInvalid);
    }

    wchar_t tempFolder[kShortPathCapacity + 1];
    DWORD tempLength = GetTempPathW(kShortPathCapacity, tempFolder);
    if (tempLength == 0 || tempLength >= kShortPathCapacity) tempFolder[0] = 0;
    FormatTextW(run.logPath, sizeof run.logPath / sizeof(wchar_t), L"%sqtx%u_error_log.txt", tempFolder,
                GetCurrentProcessId());

    int code = ReadOptions(&arguments, run.sourcePath, run.targetPath);
    if (code >= 0) return EndEarly(code);

    WofServiceCheck();
    EnablePrivileges();
    code = RunChecks();
    if (code >= 0) return EndEarly(code);
    return DispatchRun();
}
