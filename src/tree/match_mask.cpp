// The wildcard matcher shared by name masks and -e masks, and name comparison.
#include <windows.h>

#include "folder_listing.h"
#include "options.h"

namespace {

// Equal when the two differ in no bit but 0x20 ('a' and 'A', but also '[' and '{').
inline bool SameChar(wchar_t a, wchar_t b) { return ((a ^ b) & ~0x20) == 0; }

}  // namespace

int MatchMask(const wchar_t* name, const wchar_t* mask) {
    if (!name || !mask) return 0;
    if (mask[0] == L'*' && mask[1] == 0) return 1;
    if (!*name || !*mask) return 0;
    const wchar_t* n = name;
    const wchar_t* m = mask;
    while (*n && *m != L'*') {
        // the end of the mask must not pass for a blank (0x20 apart)
        if (!*m) return 0;
        if (*m != L'?' && !SameChar(*n, *m)) return 0;
        ++n;
        ++m;
    }
    const wchar_t* afterStar = nullptr;
    const wchar_t* retryName = nullptr;
    for (;;) {
        if (!*n) {
            while (*m == L'*') ++m;
            return *m == 0;
        }
        if (*m == L'*') {
            ++m;
            if (!*m) return 1;
            afterStar = m;
            retryName = n + 1;
        } else if (*m && (*m == L'?' || SameChar(*n, *m))) {
            ++n;
            ++m;
        } else {
            if (!afterStar) return 0;
            m = afterStar;
            n = retryName++;
        }
    }
}

int IsExcluded(const wchar_t* name) {
    for (int i = 0; i < kMaxExcludeMasks && options.excludeMasks[i]; ++i)
        if (MatchMask(name, options.excludeMasks[i])) return 1;
    return 0;
}

int CompareNamesNoCase(const wchar_t* a, const wchar_t* b) {
    // as the file system compares names: per UTF-16 unit, no linguistic folding
    int result = CompareStringOrdinal(a, -1, b, -1, TRUE);
    if (result) return result - CSTR_EQUAL;
    for (;; ++a, ++b) {
        wchar_t x = *a, y = *b;
        if (x >= L'a' && x <= L'z') x = static_cast<wchar_t>(x - 32);
        if (y >= L'a' && y <= L'z') y = static_cast<wchar_t>(y - 32);
        if (x != y || !x) return static_cast<int>(x) - static_cast<int>(y);
    }
}
