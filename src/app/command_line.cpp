// Splitting the command line into at most 31 arguments.
#include "command_line.h"

#include <cwchar>

#include "heap_memory.h"

int IsBlankChar(wchar_t c) {
    switch (c) {
        case 0x0020: case 0x0009: case 0x000C: case 0x000D: case 0x000A:
        case 0x00A0: case 0x2009: case 0x200A: case 0x205F: case 0x3000:
            return 1;
        default:
            return 0;
    }
}

wchar_t* SplitCommandLine(const wchar_t* commandLine, ArgumentVector* arguments) {
    size_t length = wcslen(commandLine);
    wchar_t* buffer = static_cast<wchar_t*>(AllocZero((length + 1) * sizeof(wchar_t)));
    arguments->buffer = buffer;
    for (wchar_t*& entry : arguments->entries) entry = nullptr;
    arguments->count = 0;
    arguments->tooMany = 0;
    arguments->entries[0] = buffer;
    if (length == 0) return buffer;
    const wchar_t* in = commandLine;
    wchar_t* out = buffer;
    bool quoted = false;
    arguments->count = 1;
    for (;;) {
        wchar_t c = *in;
        if (c == 0) {
            *out = 0;
            break;
        }
        ++in;
        if (c == L'"') {
            quoted = !quoted;
            continue;
        }
        if (IsBlankChar(c) && !quoted) {
            *out++ = 0;
            while (IsBlankChar(*in)) ++in;
            if (*in == 0) break;
            if (arguments->count == kMaxArguments) {
                arguments->entries[kMaxArguments] = nullptr;
                arguments->tooMany = 1;
                break;
            }
            arguments->entries[arguments->count++] = out;
            continue;
        }
        *out++ = c;
    }
    return buffer;
}
