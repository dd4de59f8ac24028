// The three fixed forms of sizes and transfer rates on the console.
#include "text_format.h"

namespace {

char sizeText[2][20];
int sizeToggle = 1;
char sizeMBText[2][20];
int sizeMBToggle = 1;
char speedText[36];

const char* Suffix(int unitSuffix) { return unitSuffix ? "B" : ""; }

}  // namespace

const char* FormatSize(uint64_t n, int unitSuffix) {
    sizeToggle ^= 1;
    char* out = sizeText[sizeToggle];
    if (n < 1024) {
        FormatText(out, 20, "%u %s%s", static_cast<unsigned>(n), "", unitSuffix ? "Bytes" : "");
        return out;
    }
    uint64_t number;
    const char* unit;
    if (n < (1ull << 20)) {
        number = n / 1024;
        unit = "K";
    } else if (n < (1ull << 30)) {
        number = (n + (1ull << 19)) >> 20;
        unit = "M";
    } else if (n < (1ull << 40)) {
        number = (n + (1ull << 29)) >> 30;
        unit = "G";
    } else {
        number = (n + (1ull << 39)) >> 40;
        unit = "T";
    }
    // above 4 PiB the number no longer fits the 32-bit field; print it whole
    FormatText(out, 20, "%I64u %s%s", number, unit, Suffix(unitSuffix));
    return out;
}

const char* FormatSizeMB(uint64_t n, int unitSuffix) {
    sizeMBToggle ^= 1;
    char* out = sizeMBText[sizeMBToggle];
    if (n < 1024)
        FormatText(out, 20, "%I64u %s%s", n, "", unitSuffix ? "Bytes" : "");
    else if (n < (1ull << 21))
        FormatText(out, 20, "%I64u %s%s", (n + 512) / 1024, "K", Suffix(unitSuffix));
    else
        FormatText(out, 20, "%I64u %s%s", (n >> 20) + ((n >> 19) & 1), "M", Suffix(unitSuffix));
    return out;
}

const char* FormatSpeed(uint64_t bytes, uint32_t milliseconds) {
    // A run finished within one clock tick has no rate; count it as one millisecond.
    if (milliseconds == 0) milliseconds = 1;
    // bytes * 1000 overflows above 16 EiB / 1000; divide first for such counts
    uint64_t r = bytes <= UINT64_MAX / 1000 ? bytes * 1000 / milliseconds
                                            : bytes / milliseconds * 1000;
    if (r <= 1024) {
        FormatText(speedText, sizeof speedText, "%I64i B/s", r);
        return speedText;
    }
    uint64_t t;
    const char* unit;
    if (r <= (1ull << 20)) {
        t = ((5 * r + 250) * 2) / 1024;
        unit = " KB/s";
    } else if (r <= (1ull << 30)) {
        t = ((r + 50000) / 1024) * 10 / 1024;
        unit = " MB/s";
    } else {
        t = ((5 * r + 250000000) * 2) / (1ull << 30);
        unit = " GB/s";
    }
    char digits[24];
    int length = FormatText(digits, sizeof digits, "%I64i", t);
    char tenth = digits[length - 1];
    digits[length - 1] = '.';
    digits[length] = tenth;
    digits[length + 1] = 0;
    FormatText(speedText, sizeof speedText, "%s%s", digits, unit);
    return speedText;
}
