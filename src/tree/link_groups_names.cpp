// Identity queries on paths and the full paths of all names of a file.
#include <cwchar>

#include "heap_memory.h"
#include "link_groups.h"
#include "run_state.h"

namespace {

bool StartsWith(const wchar_t* text, const wchar_t* prefix) { return wcsncmp(text, prefix, wcslen(prefix)) == 0; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool IsDrivePath(const wchar_t* path) { return IsLetter(path[0]) && path[1] == L':' && path[2] == L'\\'; }

}  // namespace

uint32_t LinkInfo(const wchar_t* path, FileIdentity* identity) {
    FileIdentity found = {};
    uint32_t links = 0;
    if (!path || !hardLinkSystem->identify(path, &found, &links)) links = 0;
    if (identity) *identity = found;
    return links;
}

int FileIndexOf(const wchar_t* path, FileIdentity* identity) { return LinkInfo(path, identity) > 0; }

int HasFileIndex(const wchar_t* path, const FileIdentity& identity) {
    FileIdentity found;
    return LinkInfo(path, &found) > 0 && SameIdentity(found, identity);
}

int SameFile(const wchar_t* a, const wchar_t* b) {
    FileIdentity first, second;
    return LinkInfo(a, &first) > 0 && LinkInfo(b, &second) > 0 && SameIdentity(first, second);
}

int VolumePrefixLength(const wchar_t* path) {
    if (!path) return 0;
    if (StartsWith(path, L"\\\\?\\Volume{") || StartsWith(path, L"\\\\.\\Volume{")) {
        // the volume name up to and including its closing brace
        const int kVolumeNameLength = 48;
        return wcsnlen(path, kVolumeNameLength + 1) > static_cast<size_t>(kVolumeNameLength) &&
                       path[kVolumeNameLength - 1] == L'}'
                   ? kVolumeNameLength
                   : 0;
    }
    if (StartsWith(path, L"\\\\?\\") && IsDrivePath(path + 4)) return 6;
    if (IsDrivePath(path)) return 2;
    if (path[0] == L'\\' && path[1] == L'\\' && path[2] && path[2] != L'\\' && path[2] != L'.' && path[2] != L'?') {
        const wchar_t* server = wcschr(path + 2, L'\\');
        if (!server || server[1] == 0 || server[1] == L'\\') return 0;
        const wchar_t* share = wcschr(server + 1, L'\\');
        return share ? static_cast<int>(share - path) : 0;
    }
    return 0;
}

int ListLinkNames(const wchar_t* path, wchar_t** names, int capacity) {
    if (!path || !names || capacity <= 0) return 0;
    int prefixLength = VolumePrefixLength(path);
    if (!prefixLength) return 0;
    wchar_t* name = static_cast<wchar_t*>(AllocZero(kPathCapacity * sizeof(wchar_t)));
    int count = 0;
    void* search = hardLinkSystem->findFirstName(path, name, kPathCapacity);
    if (search) {
        do {
            name[kPathCapacity - 1] = 0;
            size_t length = wcslen(name);
            wchar_t* full = static_cast<wchar_t*>(AllocZero((prefixLength + length + 1) * sizeof(wchar_t)));
            wmemcpy(full, path, prefixLength);
            wmemcpy(full + prefixLength, name, length + 1);
            names[count++] = full;
        } while (count < capacity && hardLinkSystem->findNextName(search, name, kPathCapacity));
        hardLinkSystem->findClose(search);
    }
    FreeMemory(name);
    return count;
}
