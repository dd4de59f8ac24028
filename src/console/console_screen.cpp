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
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return length;
    wchar_t wide[80];
    for (int i = 0; i < length; ++i) wide[i] = static_cast<unsigned char>(text[i]);
    return RewriteCells(wide, length, column, info.dwCursorPosition.Y);
}

int PrintAtW(uint32_t position, const wchar_t* text) {
    int column = static_cast<int16_t>(position & 0xFFFF);
    int row = static_cast<int16_t>(position >> 16);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (column < 0 || row < 0 || !ScreenInfo(&info)) return 0;
    int length = static_cast<int>(wcslen(text));
    if (length >= 80) return 0;
    return RewriteCells(text, length, column, row);
}

void EndLine() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) {
        // redirected: a line left open is ended, so the last line has its break
        if (!StandardOutputIsConsole()) EndRedirectedLine(1);
        return;
    }
    if (info.dwCursorPosition.X >= 1) {
        Print("\n");
        return;
    }
    int width = info.dwSize.X;
    wchar_t row[1024];
    if (width > 1024) width = 1024;
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterW(Output(), row, width, COORD{0, info.dwCursorPosition.Y}, &read)) return;
    for (DWORD i = 0; i < read; ++i)
        if (row[i] != L' ') {
            Print("\n");
            return;
        }
}

void ClearLine() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (ScreenInfo(&info)) {
        int width = info.dwSize.X;
        if (width > 1024) width = 1024;
        wchar_t row[1024];
        DWORD read = 0;
        COORD start = {0, info.dwCursorPosition.Y};
        if (ReadConsoleOutputCharacterW(Output(), row, width, start, &read)) {
            int last = -1;
            for (DWORD i = 0; i < read; ++i)
                if (row[i] != L' ') last = static_cast<int>(i);
            if (last >= 0) {
                DWORD done;
                FillConsoleOutputCharacterW(Output(), L' ', last + 1, start, &done);
            }
        }
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

int IsCursorVisible() {
    CONSOLE_CURSOR_INFO info;
    if (!GetConsoleCursorInfo(Output(), &info)) return 1;
    return info.bVisible ? 1 : 0;
}

void SetCursorVisible(int visible) {
    if (!StandardOutputIsConsole()) return;
    CONSOLE_CURSOR_INFO info = {8, visible ? TRUE : FALSE};
    SetConsoleCursorInfo(Output(), &info);
}

int ScreenWidth() {
    if (!StandardOutputIsConsole()) return 9000;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return 9000;
    return info.dwSize.X;
}

int GetCursorPosition(int* column, int* row) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return 0;
    *column = info.dwCursorPosition.X;
    *row = info.dwCursorPosition.Y;
    return 1;
}

int CursorColumn() {
    int column = 0, row = 0;
    return GetCursorPosition(&column, &row) ? column : 0;
}

int CursorRow() {
    int column = 0, row = 0;
    return GetCursorPosition(&column, &row) ? row : 0;
}

void SetCursorColumn(int column) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!ScreenInfo(&info)) return;
    SetConsoleCursorPosition(Output(), COORD{static_cast<SHORT>(column), info.dwCursorPosition.Y});
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
    SMALL_RECT grow = {0, 0, static_cast<SHORT>(260 - width), 0};
    SetConsoleWindowInfo(Output(), FALSE, &grow);
}
