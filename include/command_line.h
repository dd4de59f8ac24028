// Splitting the command line and reading the switches into Options.
#pragma once
#include <cstdint>

constexpr int kMaxArguments = 31;

struct ArgumentVector {
    wchar_t* buffer = nullptr;                  // all arguments, each NUL-terminated
    wchar_t* entries[kMaxArguments + 1] = {};   // room for the terminating null entry
    int count = 0;
    int tooMany = 0;   // the line held more arguments than fit: the run must not go on without them
};

int IsBlankChar(wchar_t c);
// Fills the vector from the command line; returns the buffer (free with FreeMemory).
wchar_t* SplitCommandLine(const wchar_t* commandLine, ArgumentVector* arguments);
// A whole decimal number (ParseInteger), or one with an optional unit K, M, G,
// T or P, powers of 1000 or with i of 1024, and an optional B (ParseSize):
// 1 with the value when the whole text is such a number up to INT64_MAX, else 0.
int ParseInteger(const wchar_t* text, int64_t* value);
int ParseSize(const wchar_t* text, int64_t* value);
int AddExcludeMask(const wchar_t* mask);

// Reads arguments 1..count-1 into Options and the two paths. Returns -1 to go
// on with the run, or the exit code with which the run ends.
int ReadOptions(ArgumentVector* arguments, wchar_t* sourcePath, wchar_t* targetPath);

void PrintBanner(const wchar_t* versionText);
void PrintUsage();
