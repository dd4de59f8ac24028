// Per-file lines with one name, shortened in the middle for the one-line mode.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "heap_memory.h"
#include "options.h"
#include "text_format.h"

namespace {

wchar_t shortenScratch[32768];

int WriteWide(const wchar_t* text, int length, bool splitLong, bool reportFailure, int stream = 1) {
    HANDLE output = stream == 2 ? (console ? console->errorHandle : GetStdHandle(STD_ERROR_HANDLE))
                                : (console ? console->outputHandle : GetStdHandle(STD_OUTPUT_HANDLE));
    DWORD written = 0;
    DWORD mode;
    if (stream == 2 ? !GetConsoleMode(output, &mode) : !StandardOutputIsConsole()) {
        UINT codePage = !console ? GetACP() : stream == 2 ? console->errorCodePage : console->outputCodePage;
        if (length == 0) return 0;
        int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) return -1;
        char* buffer = static_cast<char*>(AllocZero(bytes));
        WideCharToMultiByte(codePage, 0, text, length, buffer, bytes, nullptr, nullptr);
        int result = WriteRedirected(stream, buffer, static_cast<size_t>(bytes));
        FreeMemory(buffer);
        return result;
    }
    if (splitLong && length > 25000) {
        if (!WriteConsoleW(output, text, 25000, &written, nullptr)) return 0;
        DWORD more = 0;
        WriteConsoleW(output, text + 25000, length - 25000, &more, nullptr);
        return static_cast<int>(written + more);
    }
    if (!WriteConsoleW(output, text, length, &written, nullptr)) {
        if (reportFailure) Print("\nWriteConsoleW error %u on textlen=%i\n", GetLastError(), length);
        return 0;
    }
    return static_cast<int>(written);
}

// Builds prefix + name + rest around the one placeholder and writes it.
int WriteAround(const wchar_t* format, const wchar_t* placeholder, const wchar_t* name, bool isName, int stream = 1) {
    const wchar_t* mark = wcsstr(format, placeholder);
    if (!mark) return -1;
    size_t prefix = mark - format;
    size_t nameLength = wcslen(name);
    size_t rest = wcslen(mark + 2);
    size_t total = prefix + nameLength + rest;
    wchar_t* text = static_cast<wchar_t*>(AllocZero((total + 1) * sizeof(wchar_t)));
    wmemcpy(text, format, prefix);
    wmemcpy(text + prefix, name, nameLength);
    wmemcpy(text + prefix + nameLength, mark + 2, rest);
    int result = WriteWide(text, static_cast<int>(total), isName, isName, stream);
    FreeMemory(text);
    return result;
}

}  // namespace

int ShortenMiddle(wchar_t* name, int room) {
    if (room > 32767) room = 32767;
    int length = static_cast<int>(wcslen(name));
    if (length < room) return length;
    if (room < 6) {
        // too little room for the ellipsis: keep the start only
        if (room < 0) room = 0;
        name[room] = 0;
        return room;
    }
    int half = room / 2;
    int head = half - 2;
    int tail = room - half - 1;
    wmemcpy(shortenScratch, name, head);
    wmemcpy(shortenScratch + head, L"...", 3);
    wmemcpy(shortenScratch + head + 3, name + length - tail, tail);
    shortenScratch[room] = 0;
    wmemcpy(name, shortenScratch, room + 1);
    return room;
}

wchar_t* AnsiToWide(const char* text) {
    int chars = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (chars <= 0) return static_cast<wchar_t*>(AllocZero(sizeof(wchar_t)));
    wchar_t* wide = static_cast<wchar_t*>(AllocZero(chars * sizeof(wchar_t)));
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, chars);
    return wide;
}

int PrintName(const char* format, const wchar_t* name) {
    int formatLength = static_cast<int>(strlen(format));
    int nameLength = static_cast<int>(wcslen(name));
    wchar_t* shortened = nullptr;
    if (options.oneLine && CursorColumn() + formatLength + nameLength > lastColumn) {
        shortened = static_cast<wchar_t*>(AllocZero((nameLength + 1) * sizeof(wchar_t)));
        wmemcpy(shortened, name, nameLength);
        ShortenMiddle(shortened, lastColumn - CursorColumn() - formatLength + 1);
        name = shortened;
    }
    wchar_t* wideFormat = AnsiToWide(format);
    int result = WriteAround(wideFormat, L"%S", name, true);
    FreeMemory(wideFormat);
    if (shortened) FreeMemory(shortened);
    return result;
}

int PrintNameW(const wchar_t* format, const wchar_t* name) { return WriteAround(format, L"%s", name, false); }

int PrintErrorName(const char* format, const wchar_t* name) {
    wchar_t* wideFormat = AnsiToWide(format);
    int result = WriteAround(wideFormat, L"%S", name, false, 2);
    FreeMemory(wideFormat);
    return result;
}
