// Zero-filled memory from the process heap, with a running total.
#include "heap_memory.h"

#include <windows.h>

#include <cwchar>

#include "run_state.h"

namespace {
volatile LONG64 bytesHeld;

[[noreturn]] void OutOfMemory() {
    Sleep(500);
    Beep(1000, 3000);
    ExitProcess(kExitOutOfMemory);
}
}  // namespace

void* AllocZero(size_t bytes) {
    void* block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
    if (!block) OutOfMemory();
    InterlockedAdd64(&bytesHeld, static_cast<LONG64>(HeapSize(GetProcessHeap(), 0, block)));
    return block;
}

void FreeMemory(void* block) {
    if (!block) return;
    InterlockedAdd64(&bytesHeld, -static_cast<LONG64>(HeapSize(GetProcessHeap(), 0, block)));
    HeapFree(GetProcessHeap(), 0, block);
}

int64_t HeapBytesHeld() { return bytesHeld; }

wchar_t* DuplicateString(const wchar_t* text) {
    size_t length = wcslen(text);
    void* copy = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (length + 1) * sizeof(wchar_t));
    if (!copy) {
        DWORD code = GetLastError();
        char line[64];
        int n = wsprintfA(line, "out of memory error %u\n", code);
        DWORD written;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, n, &written, nullptr);
        ExitProcess(kExitOutOfMemory);
    }
    InterlockedAdd64(&bytesHeld, static_cast<LONG64>(HeapSize(GetProcessHeap(), 0, copy)));
    wmemcpy(static_cast<wchar_t*>(copy), text, length);
    return static_cast<wchar_t*>(copy);
}
