// Print, PrintW and PrintError: formatted lines to standard output and error.
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

}  // namespace

int StandardOutputIsConsole() {
    static int cached = -1;
    if (cached < 0) cached = IsConsoleHandle(OutputHandle()) ? 1 : 0;
    return cached;
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

namespace {

// The line state of standard output and error, each kept for its handle.
struct RedirectedStream {
    HANDLE handle;
    LineEnds lines;
};
RedirectedStream redirectedStreams[2];

LineEnds* LinesOf(int stream, HANDLE handle) {
    RedirectedStream* state = &redirectedStreams[stream == 2 ? 1 : 0];
    // another stream, or a file still empty, has no line open yet
    LARGE_INTEGER at = {};
    if (state->handle != handle || (SetFilePointerEx(handle, at, &at, FILE_CURRENT) && at.QuadPart == 0))
        *state = RedirectedStream{handle, {}};
    return &state->lines;
}

}  // namespace

int WriteRedirected(int stream, const char* text, size_t length) {
    HANDLE handle = stream == 2 ? ErrorHandle() : OutputHandle();
    LineEnds* state = LinesOf(stream, handle);
    const size_t kChunk = 2048;
    char mended[2 * kChunk + 2];
    DWORD total = 0;
    for (size_t done = 0; done < length; done += kChunk) {
        size_t part = length - done < kChunk ? length - done : kChunk;
        DWORD n = static_cast<DWORD>(MendLineEnds(state, text + done, part, mended));
        DWORD written = 0;
        if (n && !WriteFile(handle, mended, n, &written, nullptr)) return -1;
        total += written;
    }
    return static_cast<int>(total);
}

void EndRedirectedLine(int stream) {
    if (LinesOf(stream, stream == 2 ? ErrorHandle() : OutputHandle())->midLine) WriteRedirected(stream, "\n", 1);
}

namespace {

// Every LF becomes CR LF unless a CR already stands before it.
int WriteWithCrLf(const char* text, size_t length) {
    if (!StandardOutputIsConsole()) return WriteRedirected(1, text, length);
    char converted[2 * kFormatLimit + 2];
    DWORD total = 0;
    size_t i = 0;
    while (i < length) {
        int n = 0;
        for (; i < length && n < 2 * kFormatLimit; ++i) {
            if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) converted[n++] = '\r';
            converted[n++] = text[i];
        }
        DWORD written = 0;
        if (!WriteFile(OutputHandle(), converted, n, &written, nullptr)) return -1;
        total += written;
    }
    return static_cast<int>(total);
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
    static int isConsole = -1;
    static HANDLE output;
    if (isConsole < 0) {
        output = OutputHandle();
        isConsole = StandardOutputIsConsole();
    }
    DWORD written = 0;
    if (isConsole) {
        if (!WriteConsoleW(output, text, length, &written, nullptr)) return -1;
        return static_cast<int>(written);
    }
    char bytes[3 * kFormatLimit + 1];   // UTF-8 takes up to three bytes a character
    int n = length ? WideCharToMultiByte(console ? console->outputCodePage : GetOEMCP(), 0, text, length, bytes,
                                         sizeof bytes, nullptr, nullptr)
                   : 0;
    if (n <= 0) return -1;
    return WriteRedirected(1, bytes, static_cast<size_t>(n));
}

int PrintError(const char* format, ...) {
    char text[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    int length = FormatTextV(text, sizeof text, format, args);
    va_end(args);
    HANDLE error = ErrorHandle();
    DWORD written = 0;
    if (WriteConsoleA(error, text, length, &written, nullptr)) return static_cast<int>(written);
    // not a console: write the same bytes to the file or pipe
    return WriteRedirected(2, text, static_cast<size_t>(length));
}
