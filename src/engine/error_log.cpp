// Entries of the error log file, or of the redirected error stream.
#include "error_log.h"

#include <windows.h>

#include <cwchar>

#include "console.h"
#include "file_ops.h"
#include "heap_memory.h"
#include "options.h"
#include "paths.h"
#include "run_state.h"
#include "text_format.h"
#include "transfer_state.h"

namespace {

const char kVerifyHeader[] = "QTX error log: verification of the following files failed:\n";

// Room for a line with the whole path: a long path is not cut, since the
// log is where the operator looks for it.
int LineCapacity(const wchar_t* path) {
    size_t needed = wcslen(path) * 3 + 160;   // ANSI bytes per UTF-16 unit: at most 3, plus the text
    return needed > static_cast<size_t>(kLogLineCapacity) ? static_cast<int>(needed) : kLogLineCapacity;
}

bool ErrorStreamIsConsole() {
    if (console) return !console->errorRedirected;
    return GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_CHAR;
}

void WriteAll(void* handle, const char* text, int length) {
    uint32_t written = 0;
    if (length > 0) fileOps->Write(handle, text, static_cast<uint32_t>(length), &written);
}

// Opens the log for appending; null when it cannot.
void* OpenLogAtEnd(bool* wasEmpty) {
    void* log = fileOps->Open(run.logPath, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, 0);
    if (!IsValidHandle(log)) return nullptr;
    int64_t end = 0;
    fileOps->SetPointer(log, 0, FILE_END, &end);
    if (wasEmpty) *wasEmpty = end == 0;
    return log;
}

// A path as the operator typed it: without the long-path prefix, and a
// network path with its two leading backslashes back.
struct ShownPath {
    const char* lead;
    const wchar_t* rest;
};

ShownPath ShowPath(const wchar_t* path) {
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) return {"\\\\", path + 8};
    if (wcsncmp(path, L"\\\\?\\", 4) == 0) return {"", path + 4};
    return {"", path};
}

}  // namespace

int FormatReadErrorLine(char* out, int capacity, const wchar_t* sourcePath, int32_t failedSectors,
                        uint32_t errorCode) {
    ShownPath shown = ShowPath(sourcePath);
    if (failedSectors == 0)
        return FormatTextUtf8(out, capacity, "Error %s reading %s%S\n", ErrorName(errorCode), shown.lead, shown.rest);
    return FormatTextUtf8(out, capacity, "Error %s reading %s%S: %i sectors failed\n", ErrorName(errorCode), shown.lead,
                      shown.rest, failedSectors);
}

int FormatVerifyLine(char* out, int capacity, const wchar_t* targetPath) {
    ShownPath shown = ShowPath(targetPath);
    return FormatTextUtf8(out, capacity, "%s%S\r\n", shown.lead, shown.rest);
}

void LogReadError(const wchar_t* sourcePath, int32_t failedSectors, uint32_t errorCode) {
    if (!sourcePath) return;
    DWORD lastError = GetLastError();
    int capacity = LineCapacity(sourcePath);
    char* line = static_cast<char*>(AllocZero(capacity));
    int length = FormatReadErrorLine(line, capacity, sourcePath, failedSectors, errorCode);
    if (!ErrorStreamIsConsole()) {
        WriteRedirected(2, line, static_cast<size_t>(length));
        FreeMemory(line);
        SetLastError(lastError);
        return;
    }
    // a copy with unreadable sectors is named on the console too (a failed one
    // has its line already): the log may be off, and -q hides the file's line
    if (failedSectors) {
        char format[128];
        FormatText(format, sizeof format, "Error %s reading %%S: %i sectors failed\n", ErrorName(errorCode), failedSectors);
        PrintErrorName(format, SkipLongPrefix(sourcePath));
    }
    if (!options.noLog) {
        void* log = OpenLogAtEnd(nullptr);
        if (log) {
            WriteAll(log, line, length);
            fileOps->Close(log);
        }
    }
    FreeMemory(line);
    SetLastError(lastError);
}

void LogVerifyFailure(const wchar_t* targetPath) {
    if (!targetPath) return;
    DWORD lastError = GetLastError();
    int capacity = LineCapacity(targetPath);
    char* line = static_cast<char*>(AllocZero(capacity));
    if (!ErrorStreamIsConsole()) {
        ShownPath shown = ShowPath(targetPath);
        int length = FormatTextUtf8(line, capacity, "verification failed: %s%S\n", shown.lead, shown.rest);
        WriteRedirected(2, line, static_cast<size_t>(length));
    } else {
        PrintErrorName("verification failed: %S\n", SkipLongPrefix(targetPath));
    }
    if (ErrorStreamIsConsole() && !options.noLog) {
        int length = FormatVerifyLine(line, capacity, targetPath);
        bool wasEmpty = false;
        void* log = OpenLogAtEnd(&wasEmpty);
        if (log) {
            if (wasEmpty) WriteAll(log, kVerifyHeader, static_cast<int>(sizeof kVerifyHeader - 1));
            WriteAll(log, line, length);
            fileOps->Close(log);
        }
    }
    FreeMemory(line);
    SetLastError(lastError);
}
