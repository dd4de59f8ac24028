// Console set-up and the handler of Ctrl+C, Ctrl+Break, close, log-off and shutdown.
#include <windows.h>

#include "console.h"
#include "run_state.h"
#include "text_format.h"

namespace {
CRITICAL_SECTION consoleLock;
bool lockCreated;
// a first Ctrl+C on a console asks before it stops; the main thread asks
// where it can pause, since the handler runs on a thread of its own
volatile LONG stopQuestionPending;
}  // namespace

void AskStopIfPending() {
    if (!stopQuestionPending) return;
    // a second Ctrl+C or a Ctrl+Break before the question stopped the run already
    if (run.breakRequested || run.stopRequested) {
        stopQuestionPending = 0;
        return;
    }
    EndLine();
    PrintError("Ctrl+C pressed - stop copying? (Y/N)");
    int stop = AskYesNo(L'Y');
    Print("\n");
    if (stop) {
        run.userInterrupted = 1;
        run.breakRequested = 1;
    }
    stopQuestionPending = 0;
}

void ConsoleInit(ConsoleContext* context) {
    InitializeCriticalSection(&consoleLock);
    lockCreated = true;
    SetConsoleCtrlHandler(reinterpret_cast<PHANDLER_ROUTINE>(ConsoleCtrlHandler), TRUE);
    context->errorHandle = GetStdHandle(STD_ERROR_HANDLE);
    context->outputHandle = GetStdHandle(STD_OUTPUT_HANDLE);
    context->inputHandle = GetStdHandle(STD_INPUT_HANDLE);
    context->outputRedirected = GetFileType(context->outputHandle) != FILE_TYPE_CHAR;
    context->errorRedirected = GetFileType(context->errorHandle) != FILE_TYPE_CHAR;
    // a file or pipe gets UTF-8: every name arrives exactly, whatever the system's code page
    context->outputCodePage = context->outputRedirected ? CP_UTF8 : GetConsoleOutputCP();
    context->errorCodePage = context->outputCodePage;
    narrowTextCodePage = context->outputRedirected ? CP_UTF8 : GetConsoleOutputCP();
    SetConsoleMode(context->inputHandle, 7);
    CONSOLE_SCREEN_BUFFER_INFO info;
    context->savedAttributes = GetConsoleScreenBufferInfo(context->outputHandle, &info) ? info.wAttributes : 0;
    DWORD mode = 0;
    if (GetConsoleMode(context->inputHandle, &mode))
        SetConsoleMode(context->inputHandle, (mode & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) | ENABLE_WINDOW_INPUT);
    console = context;
}

void ConsoleShutdown() {
    if (lockCreated) {
        SetConsoleCtrlHandler(reinterpret_cast<PHANDLER_ROUTINE>(ConsoleCtrlHandler), FALSE);
        DeleteCriticalSection(&consoleLock);
        lockCreated = false;
    }
}

int __stdcall ConsoleCtrlHandler(unsigned long eventType) {
    EnterCriticalSection(&consoleLock);
    if (run.stopRequested) {
        LeaveCriticalSection(&consoleLock);
        return TRUE;
    }
    HANDLE mainThread = nullptr;
    if (GetCurrentThreadId() != run.mainThreadId) {
        mainThread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, run.mainThreadId);
        if (mainThread) {
            FlushFileBuffers(console ? console->outputHandle : GetStdHandle(STD_OUTPUT_HANDLE));
            SuspendThread(mainThread);
            InterlockedIncrement(reinterpret_cast<volatile LONG*>(&run.breakRequested));
        }
    }
    ReleaseKeys(L"\x43");
    bool askFirst = false;
    EndLine();
    switch (eventType) {
        case CTRL_C_EVENT:
            if (run.breakRequested >= 2 || run.promptActive) {
                run.promptInterrupted = 1;
            } else if (!stopQuestionPending && StandardOutputIsConsole()) {
                stopQuestionPending = 1;
                askFirst = true;
            } else {
                Print("Ctrl+C pressed -> abort\n");
            }
            break;
        case CTRL_BREAK_EVENT: Print("Ctrl+Break pressed -> abort\n"); break;
        case CTRL_CLOSE_EVENT: Print("Close Button pressed -> abort\n"); break;
        case CTRL_LOGOFF_EVENT: Print("User LogOff -> abort\n"); break;
        case CTRL_SHUTDOWN_EVENT: Print("System Shutdown -> abort\n"); break;
        default: break;
    }
    if (eventType != CTRL_C_EVENT) run.stopRequested = 1;
    if (askFirst) {
        // the run goes on until the question is answered
        run.breakRequested = 0;
    } else {
        run.breakRequested = 1;
        run.userInterrupted = 1;
    }
    run.lastCtrlEvent = static_cast<int32_t>(eventType);
    LeaveCriticalSection(&consoleLock);
    if (mainThread) {
        ResumeThread(mainThread);
        CloseHandle(mainThread);
    }
    return TRUE;
}
