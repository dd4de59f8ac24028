// All output: standard output, standard error and in-place rewrites of the console screen.
#pragma once
#include <cstddef>
#include <cstdint>

struct ConsoleContext {
    void* errorHandle;
    void* outputHandle;
    void* inputHandle;
    int outputRedirected;
    int errorRedirected;
    uint32_t outputCodePage;
    uint32_t errorCodePage;
    uint16_t savedAttributes;
};

extern ConsoleContext* console;   // set by ConsoleInit
extern int16_t lastColumn;

int Print(const char* format, ...);
int PrintW(const wchar_t* format, ...);
int PrintLiteral(const char* text);   // like Print, for texts longer than a format allows
int PrintError(const char* format, ...);
int PrintName(const char* format, const wchar_t* name);
int PrintNameW(const wchar_t* format, const wchar_t* name);
// A failure line with one name (%S) of any length, to standard error, whatever -q says.
int PrintErrorName(const char* format, const wchar_t* name);
int PrintAt(int column, const char* format, ...);
int PrintAtW(uint32_t position, const wchar_t* text);
void EndLine();
void ClearLine();
void EraseBackTo(int column);
void SetTextColor(ConsoleContext* context, int colour);
int IsCursorVisible();
void SetCursorVisible(int visible);
int ScreenWidth();
int CursorColumn();
int GetCursorPosition(int* column, int* row);
void WidenConsole();
int IsOwnConsole();
int ShortenMiddle(wchar_t* name, int room);
wchar_t* AnsiToWide(const char* text);   // free with FreeMemory
int StandardOutputIsConsole();   // decided once for each output handle
void FlushOutput();               // writes what waits for its line end

// Where a console's cursor stands, followed from the text written to it.
struct ScreenCursor {
    int known;
    int column;
    int lineLength;   // cells of the current row that may hold text
    int width;
};
ScreenCursor* ConsoleCursor();   // null when standard output is not a console
// Moves the cursor over one character; nonzero when a line ended.
int AdvanceCursor(ScreenCursor* cursor, wchar_t c);
// Wide text to standard output; redirected, in the code page given.
int WriteWideOutput(const wchar_t* text, int length, unsigned codePage);
// Wide text to standard error.
int WriteWideError(const wchar_t* text, int length);

// Redirected streams get lines a script can read: every line ends in CR LF and
// no CR stands alone (a CR that would rewrite a line in place starts a new one).
struct LineEnds {
    int midLine;     // bytes of an unfinished line were written
    int pendingCr;   // a CR whose meaning the next byte decides
};
// Writes at most 2 * length + 2 bytes to out and returns their count.
size_t MendLineEnds(LineEnds* state, const char* text, size_t length, char* out);
// Writes bytes to redirected standard output (stream 1) or error (stream 2).
int WriteRedirected(int stream, const char* text, size_t length);
void EndRedirectedLine(int stream);   // a line break when a line is open

// Keyboard, questions and interruption.
void ConsoleInit(ConsoleContext* context);
void ConsoleShutdown();
wchar_t Prompt(const wchar_t* keys, wchar_t defaultKey);
int AskYesNo(wchar_t defaultKey);
int __stdcall ConsoleCtrlHandler(unsigned long eventType);
void AskStopIfPending();   // the question after a first Ctrl+C, on the main thread
void WaitForKeyAtEnd(ConsoleContext* context);
void ReleaseKeys(const wchar_t* virtualKeys);
int AnyKeyDown();
void WaitKeysReleased(uint32_t milliseconds);
