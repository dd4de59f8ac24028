// Entries of the error log: sources not read completely, failed verifications.
#pragma once
#include <cstdint>

constexpr int kLogLineCapacity = 512;   // bytes of one formed line

// failedSectors 0: the whole file could not be read.
void LogReadError(const wchar_t* sourcePath, int32_t failedSectors, uint32_t errorCode);
void LogVerifyFailure(const wchar_t* targetPath);

// The lines as written, bounded by capacity; exposed for the tests.
int FormatReadErrorLine(char* out, int capacity, const wchar_t* sourcePath, int32_t failedSectors,
                        uint32_t errorCode);
int FormatVerifyLine(char* out, int capacity, const wchar_t* targetPath);
