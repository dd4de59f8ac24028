// Zero-filled heap memory with a running total; an allocation failure ends the process.
#pragma once
#include <cstddef>
#include <cstdint>

void* AllocZero(size_t bytes);
void FreeMemory(void* block);
int64_t HeapBytesHeld();
wchar_t* DuplicateString(const wchar_t* text);
