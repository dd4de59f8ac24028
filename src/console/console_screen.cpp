// In-place rewrites of the console screen: status texts, line ends, colours,
// the cursor and the window size. On redirected output they write nothing.
#include <windows.h>

#include <cstdarg>

#include "console.h"
#include "text_format.h"

namespace {

HANDLE Output() { return console ? console->outputHandle : GetStdHandle(STD_OUTPUT_HANDLE); }

bool ScreenInfo(CONSOLE_SCREEN_BUFFER_INFO* info) {
    return GetConsoleScreenBufferInfo(Output(), info) != 0;
}

// Writes the changed cells of a text over the cells at (column, row).
int RewriteCells(const wchar_t* text, int length, int column, int row) {
    if (length <= 0) return length;
    CHAR_INFO cells[80];
    COORD size = {static_cast<SHORT>(length), 1};
    SMALL_RECT region = {static_cast<SHORT>(column), static_cast<SHORT>(row),
                         static_cast<SHORT>(column + length - 1), static_cast<SHORT>(row)};
    if (!ReadConsoleOutputW(Output(), cells, size, COORD{0, 0}, &region)) return length;
    WORD attributes = cells[0].Attributes;
    int runStart = -1, runEnd = -1;
    auto flush = [&]() {
        if (runStart < 0) return;
        SMALL_RECT target = {static_cast<SHORT>(column + runStart), static_cast<SHORT>(row),
                             static_cast<SHORT>(column + runEnd), static_cast<SHORT>(row)};
        WriteConsoleOutputW(Output(), cells, COORD{static_cast<SHORT>(length), 1},
                            COORD{static_cast<SHORT>(runStart), 0}, &target);
        runStart = runEnd = -1;
    };
    int available = region.Right - region.Left + 1;
    for (int i = 0; i < length && i < available; ++i) {
        if (cells[i].Char.UnicodeChar != text[i]) {
            cells[i].Char.UnicodeChar = text[i];
            cells[i].Attributes = attributes;
            if (runStart < 0) runStart = i;
            runEnd = i;
        } else if (text[i] != L' ' && runStart >= 0) {
            flush();
        }
    }
    flush();
    return length;
}

}  // namespace

int PrintAt(int column, const char* format, ...) {
    for (const char* p = format; *p; ++p)
        if (*p == '\n' || *p == '\r') return 0;
    if (column < 0) column = CursorColumn();
    char text[kFormatLimit + 1];
    va_list args;
    va_start(args, format);
    int length = FormatTextV(text, sizeof text, format, args);
    va_end(args);
    if (length >= 80) return length;
    ScreenCursor* cursor = ConsoleCursor();
    if (!cursor) return length;
    FlushOutput();
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return length;
    wchar_t wide[80];
    for (int i = 0; i < length; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    // the cells written stay on the row until it is cleared
    if (column + length > cursor->lineLength) cursor->lineLength = column + length;
    return RewriteCells(wide, length, column, info.dwCursorPosition.Y);
}

int PrintAtW(uint32_t position, const wchar_t* text) {
    int column = static_cast<int16_t>(position & 0xFFFF);
    int row = static_cast<int16_t>(position >> 16);
    if (column < 0 || row < 0 || !ConsoleCursor()) return 0;
    int length = static_cast<int>(wcslen(text));
    if (length >= 80) return 0;
    FlushOutput();
    return RewriteCells(text, length, column, row);
}

void EndLine() {
    ScreenCursor* cursor = ConsoleCursor();
    if (!cursor) {
        // redirected: a line left open is ended, so the last line has its break
        EndRedirectedLine(1);
        return;
    }
    if (cursor->column >= 1 || cursor->lineLength > 0) Print("\n");
}

void ClearLine() {
    ScreenCursor* cursor = ConsoleCursor();
    if (cursor && cursor->lineLength > 0) {
        if (cursor->lineLength < cursor->width) {
            // blanks written over the row cost nothing beyond the line's own write
            wchar_t blanks[1026];
            int n = 0;
            blanks[n++] = L'\r';
            for (int i = 0; i < cursor->lineLength && n < 1025; ++i) blanks[n++] = L' ';
            WriteWideOutput(blanks, n, 0);
        } else {
            FlushOutput();
            CONSOLE_SCREEN_BUFFER_INFO info;
            DWORD done;
            if (ScreenInfo(&info))
                FillConsoleOutputCharacterW(Output(), L' ', cursor->lineLength, COORD{0, info.dwCursorPosition.Y}, &done);
        }
        cursor->lineLength = 0;
    }
    Print("\r");
}

void EraseBackTo(int column) {
    while (CursorColumn() > column) {
        int before = CursorColumn();
        Print("\b \b");
        if (CursorColumn() >= before) break;   // the console did not move back
    }
}

void SetTextColor(ConsoleContext* context, int colour) {
    if (!context || context->savedAttributes == 0) return;
    WORD attributes = context->savedAttributes;
    if (colour == 0) {
        SetConsoleTextAttribute(context->outputHandle, attributes);
        return;
    }
    if (attributes & 0x80) colour &= ~8;
    attributes = static_cast<WORD>((attributes & ~0x0F) | (colour & 0x0F));
    SetConsoleTextAttribute(context->outputHandle, attributes);
}

namespace {
int cursorShown = -1;   // as last set; -1 before the first change
HANDLE cursorShownOn;
}  // namespace

int IsCursorVisible() {
    if (cursorShown >= 0 && cursorShownOn == Output()) return cursorShown;
    CONSOLE_CURSOR_INFO info;
    if (!GetConsoleCursorInfo(Output(), &info)) return 1;
    return info.bVisible ? 1 : 0;
}

void SetCursorVisible(int visible) {
    if (!StandardOutputIsConsole()) return;
    visible = visible ? 1 : 0;
    if (cursorShown == visible && cursorShownOn == Output()) return;
    FlushOutput();
    CONSOLE_CURSOR_INFO info = {8, visible ? TRUE : FALSE};
    if (!SetConsoleCursorInfo(Output(), &info)) return;
    cursorShown = visible;
    cursorShownOn = Output();
}

int ScreenWidth() {
    ScreenCursor* cursor = ConsoleCursor();
    return cursor ? cursor->width : 9000;
}

int GetCursorPosition(int* column, int* row) {
    if (!ConsoleCursor()) return 0;
    FlushOutput();
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return 0;
    *column = info.dwCursorPosition.X;
    *row = info.dwCursorPosition.Y;
    return 1;
}

int CursorColumn() {
    ScreenCursor* cursor = ConsoleCursor();
    return cursor ? cursor->column : 0;
}

int IsOwnConsole() {
    HWND window = GetConsoleWindow();
    if (!window) return 0;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId == GetCurrentProcessId();
}

void WidenConsole() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return;
    int width = info.dwSize.X;
    if (width > 80 && !(IsOwnConsole() && width < 260)) return;
    if (width >= 260) return;
    if (!SetConsoleScreenBufferSize(Output(), COORD{260, info.dwSize.Y})) return;
    if (ScreenCursor* cursor = ConsoleCursor()) cursor->width = 260;
    SMALL_RECT grow = {0, 0, static_cast<SHORT>(260 - width), 0};
    SetConsoleWindowInfo(Output(), FALSE, &grow);
}
