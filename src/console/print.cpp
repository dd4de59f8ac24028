// Print, PrintW and PrintError: formatted lines to standard output and error.
// Standard output is judged console or redirected once per handle; its text
// waits in a buffer until its line ends (or a flush point), so that a line
// costs one write, and on a console the cursor column is followed from the
// text itself instead of being read back from the screen.
#include <windows.h>

#include <cstdarg>
#include <cstring>

#include "console.h"
#include "text_format.h"

ConsoleContext* console;
int16_t lastColumn = 79;

namespace {

HANDLE OutputHandle() { return console ? console->outputHandle : GetStdHandle(STD_OUTPUT_HANDLE); }
HANDLE ErrorHandle() { return console ? console->errorHandle : GetStdHandle(STD_ERROR_HANDLE); }

bool IsConsoleHandle(HANDLE handle) {
    DWORD mode;
    return GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode);
}

constexpr size_t kPendingChars = 4096;
constexpr DWORD kConsoleBatchTicks = 50;

struct OutputState {
    HANDLE handle;
    int isConsole;
    ScreenCursor cursor;
    wchar_t text[kPendingChars];   // console: what waits for its line end
    size_t length;
    DWORD lastWrite;               // tick of the last write
};
OutputState out = {INVALID_HANDLE_VALUE, 0, {}, {}, 0, 0};

// The line state of redirected standard output and error, each kept for its handle.
struct RedirectedStream {
    HANDLE handle;
    LineEnds lines;
    char bytes[2 * kPendingChars + 2];   // mended bytes that wait for their line end
    size_t length;
};
RedirectedStream redirectedStreams[2];

int WriteBytes(HANDLE handle, const char* bytes, size_t length) {
    DWORD written = 0;
    if (length && !WriteFile(handle, bytes, static_cast<DWORD>(length), &written, nullptr)) return 0;
    return 1;
}

void FlushRedirected(RedirectedStream* state) {
    if (state->length) WriteBytes(state->handle, state->bytes, state->length);
    state->length = 0;
}

RedirectedStream* StreamOf(int stream, HANDLE handle) {
    RedirectedStream* state = &redirectedStreams[stream == 2 ? 1 : 0];
    if (state->handle != handle) {
        FlushRedirected(state);
        state->handle = handle;
        state->lines = {};
    } else if (state->lines.midLine) {
        // a file emptied since has no line open any more
        LARGE_INTEGER at = {};
        if (!state->length && SetFilePointerEx(handle, at, &at, FILE_CURRENT) && at.QuadPart == 0)
            state->lines = {};
    }
    return state;
}

void FlushConsole() {
    if (!out.length) return;
    DWORD written = 0;
    WriteConsoleW(out.handle, out.text, static_cast<DWORD>(out.length), &written, nullptr);
    out.length = 0;
    out.lastWrite = GetTickCount();
}

// Decides once for each handle whether standard output is a console.
OutputState* Output() {
    HANDLE handle = OutputHandle();
    if (out.handle != handle) {
        FlushConsole();
        out.handle = handle;
        out.isConsole = IsConsoleHandle(handle) ? 1 : 0;
        out.cursor = {};
    }
    return &out;
}

// The column the console's cursor stands in, read from the screen once.
ScreenCursor* Cursor() {
    OutputState* state = Output();
    if (!state->cursor.known) {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(state->handle, &info)) {
            state->cursor.width = info.dwSize.X > 0 ? info.dwSize.X : 80;
            state->cursor.column = info.dwCursorPosition.X;
            state->cursor.lineLength = info.dwCursorPosition.X;
        } else {
            state->cursor.width = 80;
        }
        state->cursor.known = 1;
    }
    return &state->cursor;
}

// Console text joins the waiting text. Finished lines are written together
// at most every few hundredths of a second: a console write costs as much as
// copying a small file, and nobody reads lines faster. Whoever waits for
// longer (a question, a block loop with progress, the end) flushes first.
void AppendConsole(const wchar_t* text, size_t length) {
    ScreenCursor* cursor = Cursor();
    bool lineEnded = false;
    for (size_t i = 0; i < length; ++i) {
        if (out.length == kPendingChars) FlushConsole();
        out.text[out.length++] = text[i];
        lineEnded = AdvanceCursor(cursor, text[i]) || lineEnded;
    }
    if (lineEnded && GetTickCount() - out.lastWrite >= kConsoleBatchTicks) FlushConsole();
}

}  // namespace

int AdvanceCursor(ScreenCursor* cursor, wchar_t c) {
    switch (c) {
        case L'\r': cursor->column = 0; return 0;
        case L'\n': cursor->column = cursor->lineLength = 0; return 1;
        case L'\b': if (cursor->column > 0) --cursor->column; return 0;
        case L'\a': return 0;
        default: break;
    }
    if (++cursor->column > cursor->lineLength) cursor->lineLength = cursor->column;
    // the console wraps at its last column onto a new, empty row
    if (cursor->column >= cursor->width) cursor->column = cursor->lineLength = 0;
    return 0;
}

int StandardOutputIsConsole() { return Output()->isConsole; }

ScreenCursor* ConsoleCursor() { return StandardOutputIsConsole() ? Cursor() : nullptr; }

void FlushOutput() {
    if (Output()->isConsole)
        FlushConsole();
    else
        FlushRedirected(StreamOf(1, out.handle));
}

size_t MendLineEnds(LineEnds* state, const char* text, size_t length, char* out) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\r') {
            state->pendingCr = 1;
            continue;
        }
        if (c == '\n') {
            out[n++] = '\r';
            out[n++] = '\n';
            state->midLine = state->pendingCr = 0;
            continue;
        }
        if (state->pendingCr && state->midLine) {
            out[n++] = '\r';
            out[n++] = '\n';
        }
        state->pendingCr = 0;
        out[n++] = c;
        state->midLine = 1;
    }
    return n;
}

int WriteRedirected(int stream, const char* text, size_t length) {
    HANDLE handle = stream == 2 ? ErrorHandle() : OutputHandle();
    // standard error is written as it comes, after what output holds back
    if (stream == 2) FlushOutput();
    RedirectedStream* state = StreamOf(stream, handle);
    const size_t kChunk = kPendingChars;
    size_t total = 0;
    for (size_t done = 0; done < length; done += kChunk) {
        size_t part = length - done < kChunk ? length - done : kChunk;
        if (state->length + 2 * part + 2 > sizeof state->bytes) FlushRedirected(state);
        size_t n = MendLineEnds(&state->lines, text + done, part, state->bytes + state->length);
        state->length += n;
        total += n;
    }
    if (stream == 2 || !state->lines.midLine) FlushRedirected(state);
    return static_cast<int>(total);
}

void EndRedirectedLine(int stream) {
    HANDLE handle = stream == 2 ? ErrorHandle() : OutputHandle();
    if (StreamOf(stream, handle)->lines.midLine) WriteRedirected(stream, "\n", 1);
    FlushRedirected(StreamOf(stream, handle));
}

int WriteWideOutput(const wchar_t* text, int length, unsigned codePage) {
    if (length <= 0) return 0;
    if (StandardOutputIsConsole()) {
        AppendConsole(text, static_cast<size_t>(length));
        return length;
    }
    char small[4096];
    int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return -1;
    char* buffer = bytes <= static_cast<int>(sizeof small) ? small : static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (!buffer) return -1;
    WideCharToMultiByte(codePage, 0, text, length, buffer, bytes, nullptr, nullptr);
    int result = WriteRedirected(1, buffer, static_cast<size_t>(bytes));
    if (buffer != small) HeapFree(GetProcessHeap(), 0, buffer);
    return result;
}

namespace {

// On a console every LF becomes CR LF unless a CR already stands before it.
int WriteWithCrLf(const char* text, size_t length) {
    if (!StandardOutputIsConsole()) return WriteRedirected(1, text, length);
    UINT codePage = console ? console->outputCodePage : GetConsoleOutputCP();
    wchar_t converted[2 * kFormatLimit + 2];
    size_t i = 0;
    while (i < length) {
        char part[kFormatLimit + 1];
        int n = 0;
        for (; i < length && n < kFormatLimit - 1; ++i) {
            if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) part[n++] = '\r';
            part[n++] = text[i];
        }
        int chars = MultiByteToWideChar(codePage, 0, part, n, converted, 2 * kFormatLimit + 2);
        if (chars <= 0) return -1;
        AppendConsole(converted, static_cast<size_t>(chars));
    }
    return static_cast<int>(length);
}

}  // namespace

int Print(const char* format, ...) {
    char text[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    int length = FormatTextV(text, sizeof text, format, args);
    va_end(args);
    return WriteWithCrLf(text, length);
}

int PrintLiteral(const char* text) { return WriteWithCrLf(text, strlen(text)); }

int PrintW(const wchar_t* format, ...) {
    wchar_t text[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    int length = FormatTextVW(text, kFormatLimit + 1, format, args);
    va_end(args);
    return WriteWideOutput(text, length, console ? console->outputCodePage : GetOEMCP());
}

namespace {

// Whether standard error is a console, decided once for each handle.
bool ErrorIsConsole() {
    static HANDLE decided = INVALID_HANDLE_VALUE;
    static bool isConsole;
    HANDLE error = ErrorHandle();
    if (error != decided) {
        decided = error;
        isConsole = IsConsoleHandle(error);
    }
    return isConsole;
}

// Standard error shares the screen with standard output: the cursor moves on
// with the error's text.
void FollowErrorOnScreen(const wchar_t* text, int length) {
    if (ScreenCursor* cursor = ConsoleCursor())
        for (int i = 0; i < length; ++i) AdvanceCursor(cursor, text[i]);
}

}  // namespace

int WriteWideError(const wchar_t* text, int length) {
    if (length <= 0) return 0;
    if (!ErrorIsConsole()) {
        UINT codePage = console ? console->errorCodePage : GetACP();
        int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return -1;
        char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, bytes));
        if (!buffer) return -1;
        WideCharToMultiByte(codePage, 0, text, length, buffer, bytes, nullptr, nullptr);
        int result = WriteRedirected(2, buffer, static_cast<size_t>(bytes));
        HeapFree(GetProcessHeap(), 0, buffer);
        return result;
    }
    FlushOutput();
    DWORD written = 0;
    if (!WriteConsoleW(ErrorHandle(), text, static_cast<DWORD>(length), &written, nullptr)) return -1;
    FollowErrorOnScreen(text, length);
    return static_cast<int>(written);
}

int PrintError(const char* format, ...) {
    char text[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    int length = FormatTextV(text, sizeof text, format, args);
    va_end(args);
    if (!ErrorIsConsole()) return WriteRedirected(2, text, static_cast<size_t>(length));
    FlushOutput();
    DWORD written = 0;
    if (!WriteConsoleA(ErrorHandle(), text, length, &written, nullptr)) return -1;
    for (int i = 0; i < length; ++i) {
        wchar_t c = static_cast<unsigned char>(text[i]);
        FollowErrorOnScreen(&c, 1);
    }
    return static_cast<int>(written);
}
