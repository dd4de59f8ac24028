// A whole run of the program in this process, on a volume in memory and
// without a console.
#pragma once
#include <string>

#include "captured_output.h"
#include "memory_file_system.h"

namespace qtxtest {

struct InProcessRun {
    int code;
    std::string out;   // standard output, then standard error
};

// Runs "qtx.exe <arguments> -nl -n" on fs; output starts empty each run.
// Retries after read errors do not pause.
InProcessRun RunInProcess(MemoryFileSystem& fs, CapturedOutput& output, const std::wstring& arguments);

}  // namespace qtxtest
