// wsprintf-compatible formatting into bounded buffers: the same format
// strings work as on Windows, but nothing is ever written past capacity.
#include "text_format.h"

#include <windows.h>

#include <cstring>

namespace {

template <typename Char>
struct Sink {
    Char* out;
    size_t capacity;
    size_t length = 0;
    void Put(Char c) {
        if (length + 1 < capacity) out[length] = c;
        ++length;
    }
    int Finish() {
        if (capacity == 0) return 0;
        size_t end = length < capacity ? length : capacity - 1;
        out[end] = 0;
        return static_cast<int>(end);
    }
};

struct Spec {
    bool left = false;
    bool zero = false;
    bool alternate = false;
    int width = 0;
    int precision = -1;
    bool wide64 = false;
    bool shortSize = false;   // 'h': narrow string or char
    bool longSize = false;    // 'l' or 'w': wide string or char
};

template <typename Char>
void PutPadded(Sink<Char>& sink, const Char* text, size_t length, const Spec& spec, Char pad) {
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (!spec.left)
        for (size_t i = length; i < width; ++i) sink.Put(pad);
    for (size_t i = 0; i < length; ++i) sink.Put(text[i]);
    if (spec.left)
        for (size_t i = length; i < width; ++i) sink.Put(static_cast<Char>(' '));
}

template <typename Char>
void PutNumber(Sink<Char>& sink, uint64_t magnitude, bool negative, unsigned base, bool upper,
               const Spec& spec) {
    Char digits[72];
    int count = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[count++] = static_cast<Char>(set[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    while (spec.precision > count && count < 64) digits[count++] = static_cast<Char>('0');
    Char text[80];
    size_t length = 0;
    if (negative) text[length++] = static_cast<Char>('-');
    if (spec.alternate && base == 16) {
        text[length++] = static_cast<Char>('0');
        text[length++] = static_cast<Char>(upper ? 'X' : 'x');
    }
    size_t prefix = length;
    while (count > 0) text[length++] = digits[--count];
    if (spec.zero && !spec.left && spec.precision < 0) {
        // zeros go between the sign and the digits
        for (size_t i = 0; i < prefix; ++i) sink.Put(text[i]);
        Spec rest = spec;
        rest.width = spec.width > static_cast<int>(prefix) ? spec.width - static_cast<int>(prefix) : 0;
        PutPadded(sink, text + prefix, length - prefix, rest, static_cast<Char>('0'));
        return;
    }
    PutPadded(sink, text, length, spec, static_cast<Char>(' '));
}

// Converts a string of the other width; the chunked conversion keeps the
// stack small for any length.
void PutOtherString(Sink<char>& sink, const wchar_t* text, const Spec& spec, uint32_t codePage) {
    size_t length = wcslen(text);
    if (spec.precision >= 0 && length > static_cast<size_t>(spec.precision)) length = spec.precision;
    // Measure first so that padding is right.
    int bytes = length ? WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0,
                                             nullptr, nullptr)
                       : 0;
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (!spec.left)
        for (size_t i = static_cast<size_t>(bytes); i < width; ++i) sink.Put(' ');
    char chunk[512];
    size_t done = 0;
    while (done < length) {
        size_t take = length - done > 128 ? 128 : length - done;
        // never split a surrogate pair
        if (take == 128 && text[done + take - 1] >= 0xD800 && text[done + take - 1] <= 0xDBFF) --take;
        int n = WideCharToMultiByte(codePage, 0, text + done, static_cast<int>(take), chunk,
                                    sizeof(chunk), nullptr, nullptr);
        for (int i = 0; i < n; ++i) sink.Put(chunk[i]);
        done += take;
    }
    if (spec.left)
        for (size_t i = static_cast<size_t>(bytes); i < width; ++i) sink.Put(' ');
}

void PutOtherString(Sink<wchar_t>& sink, const char* text, const Spec& spec, uint32_t codePage) {
    size_t length = strlen(text);
    if (spec.precision >= 0 && length > static_cast<size_t>(spec.precision)) length = spec.precision;
    int chars = length ? MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0) : 0;
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (!spec.left)
        for (size_t i = static_cast<size_t>(chars); i < width; ++i) sink.Put(L' ');
    wchar_t chunk[256];
    size_t done = 0;
    while (done < length) {
        size_t take = length - done > 128 ? 128 : length - done;
        // do not cut a double-byte character in two
        if (take == 128) {
            size_t lead = 0;
            for (size_t i = 0; i < take; ++i) {
                if (IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[done + i]))) {
                    if (i + 1 == take) break;
                    ++i;
                }
                lead = i + 1;
            }
            take = lead ? lead : take;
            // nor a UTF-8 sequence
            if (codePage == CP_UTF8)
                while (take > 1 && (static_cast<BYTE>(text[done + take]) & 0xC0) == 0x80) --take;
        }
        int n = MultiByteToWideChar(codePage, 0, text + done, static_cast<int>(take), chunk, 256);
        for (int i = 0; i < n; ++i) sink.Put(chunk[i]);
        done += take;
    }
    if (spec.left)
        for (size_t i = static_cast<size_t>(chars); i < width; ++i) sink.Put(L' ');
}

template <typename Char>
void PutSameString(Sink<Char>& sink, const Char* text, const Spec& spec) {
    size_t length = 0;
    while (text[length] && (spec.precision < 0 || length < static_cast<size_t>(spec.precision))) ++length;
    PutPadded(sink, text, length, spec, static_cast<Char>(' '));
}

template <typename Char, typename Other>
int FormatCore(Char* out, size_t capacity, const Char* format, va_list args, uint32_t codePage) {
    Sink<Char> sink{out, capacity};
    constexpr bool kNarrow = sizeof(Char) == 1;
    for (const Char* p = format; *p; ++p) {
        if (*p != '%') {
            sink.Put(*p);
            continue;
        }
        const Char* start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == '-') spec.left = true;
            else if (*p == '0') spec.zero = true;
            else if (*p == '#') spec.alternate = true;
            else break;
        }
        while (*p >= '0' && *p <= '9') {
            if (spec.width < 100000) spec.width = spec.width * 10 + (*p - '0');
            ++p;
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            while (*p >= '0' && *p <= '9') {
                if (spec.precision < 100000) spec.precision = spec.precision * 10 + (*p - '0');
                ++p;
            }
        }
        if (*p == 'I' && p[1] == '6' && p[2] == '4') {
            spec.wide64 = true;
            p += 3;
        } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (*p == 'I') {
            spec.wide64 = true;   // pointer-sized on x64
            ++p;
        } else if (*p == 'l' && p[1] == 'l') {
            spec.wide64 = true;
            p += 2;
        } else if (*p == 'l' || *p == 'w') {
            spec.longSize = true;
            ++p;
        } else if (*p == 'h') {
            spec.shortSize = true;
            ++p;
        }
        Char type = *p;
        switch (type) {
            case 'd':
            case 'i': {
                int64_t v = spec.wide64 ? va_arg(args, int64_t) : va_arg(args, int);
                uint64_t m = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
                PutNumber(sink, m, v < 0, 10, false, spec);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                uint64_t v = spec.wide64 ? va_arg(args, uint64_t) : va_arg(args, unsigned);
                PutNumber(sink, v, false, type == 'u' ? 10 : 16, type == 'X', spec);
                break;
            }
            case 'p': {
                Spec hex = spec;
                hex.precision = 16;
                PutNumber(sink, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true, hex);
                break;
            }
            case 'c':
            case 'C': {
                int v = va_arg(args, int);
                bool same = kNarrow ? (type == 'c' ? !spec.longSize : spec.shortSize)
                                    : (type == 'c' ? !spec.shortSize : spec.longSize);
                if (same) {
                    Char c = static_cast<Char>(v);
                    PutPadded(sink, &c, 1, spec, static_cast<Char>(' '));
                } else if (kNarrow) {
                    wchar_t w[2] = {static_cast<wchar_t>(v), 0};
                    PutOtherString(sink, reinterpret_cast<const Other*>(w), spec, codePage);
                } else {
                    char n[2] = {static_cast<char>(v), 0};
                    PutOtherString(sink, reinterpret_cast<const Other*>(n), spec, codePage);
                }
                break;
            }
            case 's':
            case 'S': {
                bool same = kNarrow ? (type == 's' ? !spec.longSize : spec.shortSize)
                                    : (type == 's' ? !spec.shortSize : spec.longSize);
                if (same) {
                    const Char* s = va_arg(args, const Char*);
                    static const Char kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
                    PutSameString(sink, s ? s : kNull, spec);
                } else {
                    const Other* s = va_arg(args, const Other*);
                    static const Other kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
                    PutOtherString(sink, s ? s : kNull, spec, codePage);
                }
                break;
            }
            case '%':
                sink.Put('%');
                break;
            case 0:
                // a lone '%' at the end is printed as it stands
                for (const Char* q = start; q < p; ++q) sink.Put(*q);
                --p;
                break;
            default:
                // unknown conversion: print the character, as wsprintf does
                sink.Put(type);
                break;
        }
    }
    return sink.Finish();
}

}  // namespace

uint32_t narrowTextCodePage = CP_ACP;

int FormatTextV(char* out, size_t capacity, const char* format, va_list args) {
    return FormatCore<char, wchar_t>(out, capacity, format, args, narrowTextCodePage);
}

int FormatTextVW(wchar_t* out, size_t capacity, const wchar_t* format, va_list args) {
    return FormatCore<wchar_t, char>(out, capacity, format, args, narrowTextCodePage);
}

int FormatTextUtf8(char* out, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatCore<char, wchar_t>(out, capacity, format, args, CP_UTF8);
    va_end(args);
    return n;
}

int FormatText(char* out, size_t capacity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatTextV(out, capacity, format, args);
    va_end(args);
    return n;
}

int FormatTextW(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatTextVW(out, capacity, format, args);
    va_end(args);
    return n;
}
