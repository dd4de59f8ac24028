#include "run_in_process.h"

#include "command_line.h"
#include "heap_memory.h"
#include "options.h"
#include "read_recovery.h"
#include "run_driver.h"
#include "run_state.h"
#include "transfer_state.h"

namespace qtxtest {

InProcessRun RunInProcess(MemoryFileSystem& fs, CapturedOutput& output, const std::wstring& arguments) {
    fs.Install();
    output.Clear();
    ResetRunState();
    options = Options();
    run.mainThreadId = GetCurrentThreadId();
    engineConsoleCheck = [] { return 0; };
    recoveryPause = [](uint32_t) {};
    ArgumentVector vector;
    SplitCommandLine((L"qtx.exe " + arguments + L" -nl -n").c_str(), &vector);
    int code = ReadOptions(&vector, run.sourcePath, run.targetPath);
    if (code < 0) code = RunChecks();
    if (code < 0) code = DispatchRun();
    FreeMemory(vector.buffer);
    return {code, output.text() + output.errors()};
}

}  // namespace qtxtest
