// Formatting with the Windows wsprintf conventions (%S is the other width,
// %I64/%I prefixes are 64-bit), error names, sizes and speeds.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

constexpr int kFormatLimit = 1024;   // characters a formatted text may hold

// Both return the length written; the output is always terminated and
// never longer than capacity - 1.
int FormatTextV(char* out, size_t capacity, const char* format, va_list args);
int FormatText(char* out, size_t capacity, const char* format, ...);
int FormatTextVW(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);
int FormatTextW(wchar_t* out, size_t capacity, const wchar_t* format, ...);
// Narrow texts hold wide ones in this code page: the console's, or UTF-8 for
// redirected output, so that a script reads every name exactly.
extern uint32_t narrowTextCodePage;
// Always UTF-8, as the error log is written.
int FormatTextUtf8(char* out, size_t capacity, const char* format, ...);

const char* ErrorName(uint32_t code);
const char* LastErrorName();
const char* LastErrorText();
const char* FormatSize(uint64_t bytes, int unitSuffix);
const char* FormatSizeMB(uint64_t bytes, int unitSuffix);
const char* FormatSpeed(uint64_t bytes, uint32_t milliseconds);
inline const char* PluralS(int64_t count) { return count == 1 ? "" : "s"; }
