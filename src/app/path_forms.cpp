// The path forms the program recognises: prefix and suffix tests, the long
// prefix, network, device, wildcard and stream forms, and the folder
// relation used by the recursion guards.
#include "paths.h"

#include <windows.h>

#include <cwchar>

#include "console.h"
#include "file_ops.h"
#include "run_state.h"
#include "text_format.h"

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr size_t kLongPrefixLength = 4;

// Ordinal comparison of two equally long runs, each UTF-16 unit upper-cased.
bool EqualNoCase(const wchar_t* a, const wchar_t* b, size_t length) {
    if (length == 0) return true;
    if (length > 0x7FFFFFFF) return false;
    return CompareStringOrdinal(a, static_cast<int>(length), b, static_cast<int>(length), TRUE) == CSTR_EQUAL;
}

const wchar_t* BehindLongPrefix(const wchar_t* path) { return HasLongPrefix(path) ? path + kLongPrefixLength : path; }

// A folder for the comparison of IsSameOrBelowFolder: the text behind
// \\?\, \\?\UNC\ or \\, whether it is a network form, and its length
// without trailing backslashes.
struct FolderView {
    const wchar_t* text;
    size_t length;
    bool network;
};

FolderView ViewOfFolder(const wchar_t* path) {
    FolderView view{path, 0, false};
    if (StartsWithI(path, L"\\\\?\\UNC\\")) {
        view.text = path + 8;
        view.network = true;
    } else if (HasLongPrefix(path)) {
        view.text = path + kLongPrefixLength;
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        view.text = path + 2;
        view.network = true;
    }
    view.length = wcslen(view.text);
    while (view.length > 0 && view.text[view.length - 1] == L'\\') --view.length;
    return view;
}

}  // namespace

int StartsWithI(const wchar_t* text, const wchar_t* prefix) {
    if (!text || !prefix || !*text || !*prefix) return 0;
    size_t prefixLength = wcslen(prefix);
    if (wcsnlen(text, prefixLength) < prefixLength) return 0;
    return EqualNoCase(text, prefix, prefixLength) ? 1 : 0;
}

int EndsWithI(const wchar_t* text, const wchar_t* suffix) {
    if (!text || !suffix || !*text || !*suffix) return 0;
    size_t textLength = wcslen(text);
    size_t suffixLength = wcslen(suffix);
    if (suffixLength > textLength) return 0;
    return EqualNoCase(text + textLength - suffixLength, suffix, suffixLength) ? 1 : 0;
}

int HasLongPrefix(const wchar_t* path) { return path && wcsncmp(path, kLongPrefix, kLongPrefixLength) == 0 ? 1 : 0; }

int IsUncPath(const wchar_t* path) {
    if (!path || path[0] != L'\\' || path[1] != L'\\') return 0;
    const wchar_t* backslash = wcschr(path + 2, L'\\');
    if (!backslash) return 0;
    const wchar_t* colon = wcschr(path + 2, L':');
    return !colon || colon < backslash ? 1 : 0;
}

int IsDevicePath(const wchar_t* path) {
    if (!path || (wcsncmp(path, L"\\\\.\\", 4) != 0 && wcsncmp(path, kLongPrefix, 4) != 0)) return 0;
    return wcschr(path + 4, L'\\') ? 0 : 1;
}

int IsFolder(const wchar_t* path) {
    if (!path || !*path) return 0;
    uint32_t attributes = fileOps->GetAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    // a folder that could not be asked must not pass for a file in silence
    uint32_t error = GetLastError();
    bool absent = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
                  error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_DRIVE || error == ERROR_NOT_READY ||
                  error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_PARAMETER ||
                  error == ERROR_DIRECTORY || error == ERROR_FILENAME_EXCED_RANGE;
    if (!absent && !IsDevicePath(path)) {
        PrintError("Error %s reading the attributes of '%S'\n", ErrorName(error), SkipLongPrefix(path));
        run.pathKindUnknown = 1;
        CountFailure();
    }
    SetLastError(error);
    return 0;
}

int HasWildcard(const wchar_t* path) {
    if (!path) return 0;
    return wcspbrk(BehindLongPrefix(path), L"*?") ? 1 : 0;
}

int HasStreamName(const wchar_t* path) {
    if (!path || IsDevicePath(path)) return 0;
    const wchar_t* text = BehindLongPrefix(path);
    const wchar_t* colon = wcsrchr(text, L':');
    return colon && colon - text > 2 ? 1 : 0;
}

const wchar_t* SkipLongPrefix(const wchar_t* path) { return path ? BehindLongPrefix(path) : path; }

const wchar_t* FileNamePart(const wchar_t* path) {
    if (!path) return path;
    const wchar_t* backslash = wcsrchr(path, L'\\');
    return backslash ? backslash + 1 : path;
}

int IsAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ? 1 : 0; }

int IsSameOrBelowFolder(const wchar_t* child, const wchar_t* folder) {
    if (!child || !folder) return 0;
    FolderView c = ViewOfFolder(child);
    FolderView f = ViewOfFolder(folder);
    if (f.length == 0 || c.length < f.length || c.network != f.network) return 0;
    if (!EqualNoCase(c.text, f.text, f.length)) return 0;
    return c.length == f.length || c.text[f.length] == L'\\' ? 1 : 0;
}
