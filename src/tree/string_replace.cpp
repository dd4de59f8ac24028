// String helpers of the tree operations.
#include <windows.h>

#include <cstdarg>

#include "folder_listing.h"
#include "heap_memory.h"
#include "run_state.h"

wchar_t* JoinStrings(const wchar_t* first, ...) {
    size_t total = 0;
    va_list args;
    va_start(args, first);
    for (const wchar_t* part = first; part && *part; part = va_arg(args, const wchar_t*)) total += lstrlenW(part);
    va_end(args);
    wchar_t* result = static_cast<wchar_t*>(AllocZero((total + 1) * sizeof(wchar_t)));
    wchar_t* out = result;
    va_start(args, first);
    for (const wchar_t* part = first; part && *part; part = va_arg(args, const wchar_t*)) {
        size_t length = lstrlenW(part);
        memcpy(out, part, length * sizeof(wchar_t));
        out += length;
    }
    va_end(args);
    *out = 0;
    return result;
}

int ReplaceAllNoCase(wchar_t* text, const wchar_t* search, const wchar_t* replacement) {
    if (!text || !search || !replacement || !*search) return 0;
    size_t textLength = lstrlenW(text);
    size_t searchLength = lstrlenW(search);
    size_t replacementLength = lstrlenW(replacement);
    if (textLength >= static_cast<size_t>(kPathCapacity)) return 0;
    // a null search or text would make StrStr loop; both checked above
    wchar_t* upperText = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    wchar_t* upperSearch = static_cast<wchar_t*>(AllocZero((searchLength + 1) * sizeof(wchar_t)));
    wchar_t* output = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    memcpy(upperText, text, textLength * sizeof(wchar_t));
    memcpy(upperSearch, search, searchLength * sizeof(wchar_t));
    CharUpperBuffW(upperText, static_cast<DWORD>(textLength));
    CharUpperBuffW(upperSearch, static_cast<DWORD>(searchLength));

    int replaced = 0;
    size_t in = 0, out = 0;
    bool fits = true;
    while (in + searchLength <= textLength) {
        const wchar_t* found = wcsstr(upperText + in, upperSearch);
        if (!found) break;
        size_t at = static_cast<size_t>(found - upperText);
        size_t keep = at - in;
        // the result must still fit after this replacement
        if (out + keep + replacementLength + (textLength - at - searchLength) >= static_cast<size_t>(kPathCapacity)) {
            fits = false;
            break;
        }
        memcpy(output + out, text + in, keep * sizeof(wchar_t));
        out += keep;
        memcpy(output + out, replacement, replacementLength * sizeof(wchar_t));
        out += replacementLength;
        in = at + searchLength;
        ++replaced;
    }
    if (fits) {
        size_t rest = textLength - in;
        if (out + rest >= static_cast<size_t>(kPathCapacity)) {
            fits = false;
        } else {
            memcpy(output + out, text + in, rest * sizeof(wchar_t));
            out += rest;
            output[out] = 0;
        }
    }
    if (fits && replaced) memcpy(text, output, (out + 1) * sizeof(wchar_t));
    FreeMemory(upperText);
    FreeMemory(upperSearch);
    FreeMemory(output);
    return fits ? replaced : 0;
}
