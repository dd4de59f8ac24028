// Per-file lines with one name, shortened in the middle for the one-line mode.
#include <windows.h>

#include <cwchar>

#include "console.h"
#include "heap_memory.h"
#include "options.h"
#include "text_format.h"

namespace {

wchar_t shortenScratch[32768];

int WriteWide(const wchar_t* text, int length, int stream) {
    if (stream == 2) return WriteWideError(text, length);
    return WriteWideOutput(text, length, console ? console->outputCodePage : GetACP());
}

// Builds prefix + name + rest around the one placeholder and writes it.
int WriteAround(const wchar_t* format, const wchar_t* placeholder, const wchar_t* name, int stream = 1) {
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
    int result = WriteWide(text, static_cast<int>(total), stream);
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
    int result = WriteAround(wideFormat, L"%S", name);
    FreeMemory(wideFormat);
    if (shortened) FreeMemory(shortened);
    return result;
}

int PrintNameW(const wchar_t* format, const wchar_t* name) { return WriteAround(format, L"%s", name); }

int PrintErrorName(const char* format, const wchar_t* name) {
    wchar_t* wideFormat = AnsiToWide(format);
    int result = WriteAround(wideFormat, L"%S", name, 2);
    FreeMemory(wideFormat);
    return result;
}
