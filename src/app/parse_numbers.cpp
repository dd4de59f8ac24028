// Numbers and sizes given with switches such as -st:20GiB and -r:5.
#include <cwchar>

#include "command_line.h"

int64_t ParseInteger(const wchar_t* text) {
    bool hex = text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const wchar_t* p = text;
    if (hex) {
        p += 2;
    } else {
        while (*p == L' ' || *p == L'\t') ++p;
    }
    bool negative = false;
    if (!hex && (*p == L'-' || *p == L'+')) negative = *p++ == L'-';
    uint64_t value = 0;   // wraps like the system parser, never traps
    for (;; ++p) {
        unsigned digit;
        if (*p >= L'0' && *p <= L'9') digit = *p - L'0';
        else if (hex && *p >= L'a' && *p <= L'f') digit = *p - L'a' + 10;
        else if (hex && *p >= L'A' && *p <= L'F') digit = *p - L'A' + 10;
        else break;
        value = value * (hex ? 16 : 10) + digit;
    }
    return static_cast<int64_t>(negative ? 0 - value : value);
}

uint64_t ParseSize(const wchar_t* text) {
    size_t length = wcslen(text);
    if (length > 127) return 0;
    wchar_t copy[128];
    wmemcpy(copy, text, length + 1);
    uint64_t number = static_cast<uint64_t>(ParseInteger(copy));
    for (size_t i = 0; i < length; ++i)
        if (copy[i] >= L'a' && copy[i] <= L'z') copy[i] = static_cast<wchar_t>(copy[i] - 32);
    const wchar_t* unit = nullptr;
    for (size_t i = 0; i < length; ++i)
        if (copy[i] >= L'G' && copy[i] <= L'T') {
            unit = copy + i;
            break;
        }
    if (!unit) return number;
    static const wchar_t kUnits[] = L"KMGTP";
    const wchar_t* found = wcschr(kUnits, *unit);
    if (!found) return number;
    int index = static_cast<int>(found - kUnits);
    uint64_t base = unit[1] == L'I' ? 1024 : 1000;
    for (int i = 0; i <= index; ++i) number *= base;
    return number;
}
