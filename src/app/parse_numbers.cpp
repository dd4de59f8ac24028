// Numbers and sizes given with switches such as -st:20GiB and -r:5: a whole
// decimal number that fits, and a unit only where the switch takes one.
#include <cstdint>
#include <cwchar>

#include "command_line.h"

namespace {

// The digits at *text, advanced past them; 0 for no digit or a value above INT64_MAX.
int ReadDigits(const wchar_t** text, uint64_t* value) {
    const wchar_t* p = *text;
    uint64_t number = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        unsigned digit = *p - L'0';
        if (number > (static_cast<uint64_t>(INT64_MAX) - digit) / 10) return 0;
        number = number * 10 + digit;
    }
    if (p == *text) return 0;
    *text = p;
    *value = number;
    return 1;
}

}  // namespace

int ParseInteger(const wchar_t* text, int64_t* value) {
    uint64_t number;
    if (!ReadDigits(&text, &number) || *text) return 0;
    *value = static_cast<int64_t>(number);
    return 1;
}

int ParseSize(const wchar_t* text, int64_t* value) {
    uint64_t number;
    if (!ReadDigits(&text, &number)) return 0;
    static const wchar_t kUnits[] = L"KMGTP";
    wchar_t letter = *text >= L'a' && *text <= L'z' ? static_cast<wchar_t>(*text - 32) : *text;
    const wchar_t* unit = letter ? wcschr(kUnits, letter) : nullptr;
    if (unit) {
        ++text;
        uint64_t base = 1000;
        if (*text == L'i' || *text == L'I') base = 1024, ++text;
        for (const wchar_t* u = kUnits; u <= unit; ++u) {
            if (number > static_cast<uint64_t>(INT64_MAX) / base) return 0;
            number *= base;
        }
    }
    if (*text == L'b' || *text == L'B') ++text;
    if (*text) return 0;
    *value = static_cast<int64_t>(number);
    return 1;
}
