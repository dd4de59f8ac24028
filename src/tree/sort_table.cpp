// The one sort of the program: quicksort with a final insertion pass that
// doubles as a consistency check of the comparison.
#include <windows.h>

#include <atomic>
#include <cstring>

#include "folder_listing.h"

namespace {

std::atomic<uint32_t> sortSeed{1};

inline char* At(void* base, int64_t index, size_t size) {
    return static_cast<char*>(base) + static_cast<size_t>(index) * size;
}

void Swap(char* a, char* b, size_t size) {
    if (a == b) return;
    size_t done = 0;
    for (; done + 8 <= size; done += 8) {
        uint64_t x, y;
        memcpy(&x, a + done, 8);
        memcpy(&y, b + done, 8);
        memcpy(a + done, &y, 8);
        memcpy(b + done, &x, 8);
    }
    for (; done < size; ++done) {
        char t = a[done];
        a[done] = b[done];
        b[done] = t;
    }
}

// Returns the number of swaps made.
int64_t InsertionSort(void* base, int64_t count, size_t size, int (*compare)(const void*, const void*),
                      bool beepOnSwap) {
    int64_t swaps = 0;
    for (int64_t k = 1; k < count; ++k)
        for (int64_t j = k - 1; j >= 0; --j) {
            char* a = At(base, j, size);
            char* b = At(base, j + 1, size);
            if (compare(a, b) <= 0) break;
            Swap(a, b, size);
            ++swaps;
            if (beepOnSwap) Beep(666, 666);
        }
    return swaps;
}

void QuickSort(void* base, int64_t count, size_t size, int (*compare)(const void*, const void*)) {
    // recurse into the smaller part and loop over the larger, so the stack
    // stays shallow whatever the keys
    while (count >= 32) {
        int64_t pivot = static_cast<int64_t>(NextSortRandom()) % count;
        int64_t last = count - 1;
        char* pivotAt = At(base, last, size);
        Swap(At(base, pivot, size), pivotAt, size);
        // both scans stop at keys equal to the pivot, which splits runs of
        // equal keys in the middle instead of peeling one element per pass
        int64_t i = 0, j = last - 1;
        for (;;) {
            while (i <= j && compare(At(base, i, size), pivotAt) < 0) ++i;
            while (j >= i && compare(At(base, j, size), pivotAt) > 0) --j;
            if (i >= j) break;
            Swap(At(base, i, size), At(base, j, size), size);
            ++i;
            --j;
        }
        Swap(At(base, i, size), pivotAt, size);
        int64_t below = i;
        int64_t above = count - i - 1;
        if (below < above) {
            QuickSort(base, below, size, compare);
            base = At(base, i + 1, size);
            count = above;
        } else {
            QuickSort(At(base, i + 1, size), above, size, compare);
            count = below;
        }
    }
    InsertionSort(base, count, size, compare, false);
}

}  // namespace

uint32_t NextSortRandom() {
    uint32_t seed = sortSeed.load(std::memory_order_relaxed);
    uint32_t next;
    do {
        next = seed * 1103515245u + 12345u;
    } while (!sortSeed.compare_exchange_weak(seed, next, std::memory_order_relaxed));
    return (next >> 16) & 0x7FFF;
}

void SortTable(void* base, int64_t count, size_t elementSize, int (*compare)(const void*, const void*)) {
    if (!base || count < 2 || elementSize == 0) return;
    if (count < 32) {
        InsertionSort(base, count, elementSize, compare, false);
        return;
    }
    QuickSort(base, count, elementSize, compare);
    // a consistent comparison never swaps here; an audible hint if it does
    InsertionSort(base, count, elementSize, compare, true);
}
