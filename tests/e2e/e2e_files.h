// File facts and output searches shared by the end-to-end tests.
#pragma once
#include <windows.h>

#include <map>
#include <string>

#include "test_support.h"

namespace qtxtest {

// A file with its folders and a last-write time.
inline void Put(const TempDir& root, const std::wstring& relative, const std::string& bytes, uint64_t time) {
    std::wstring full = root / relative;
    MakeFolder(full.substr(0, full.find_last_of(L'\\')));
    ASSERT_TRUE(WriteBytes(full, bytes)) << Narrow(relative);
    ASSERT_TRUE(SetLastWriteTime(full, time));
}

struct FileFacts {
    uint32_t links = 0;
    uint64_t index = 0;
};

// Link count and file index of a file or folder; zeros when it cannot be opened.
inline FileFacts Facts(const std::wstring& path) {
    FileFacts facts;
    HANDLE file = CreateFileW((L"\\\\?\\" + path).c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return facts;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (GetFileInformationByHandle(file, &info)) {
        facts.links = info.nNumberOfLinks;
        facts.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    CloseHandle(file);
    return facts;
}

struct Entry {
    bool folder = false;
    std::string bytes;
    uint64_t time = 0;
    uint32_t attributes = 0;
    uint64_t id = 0;
    bool operator==(const Entry& o) const {
        return folder == o.folder && bytes == o.bytes && time == o.time && attributes == o.attributes && id == o.id;
    }
};

// Every file and folder from root down by path relative to root, "" being root itself.
inline void AddTree(const std::wstring& root, const std::wstring& relative, std::map<std::wstring, Entry>* out) {
    std::wstring path = relative.empty() ? root : root + L"\\" + relative;
    Entry& entry = (*out)[relative];
    entry.attributes = Attributes(path);
    entry.folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.time = LastWriteTime(path);
    entry.id = Facts(path).index;
    if (!entry.folder) {
        entry.bytes = ReadBytesOr(path);
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((L"\\\\?\\" + path + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") AddTree(root, relative.empty() ? name : relative + L"\\" + name, out);
    } while (FindNextFileW(search, &data));
    FindClose(search);
}

inline std::map<std::wstring, Entry> Tree(const std::wstring& root) {
    std::map<std::wstring, Entry> tree;
    if (Attributes(root) != INVALID_FILE_ATTRIBUTES) AddTree(root, L"", &tree);
    return tree;
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether the output shows the text, carriage returns of in-place lines left out.
inline bool Shows(const std::string& text, const std::string& part) {
    std::string plain;
    for (char c : text)
        if (c != '\r') plain += c;
    return Has(plain, part);
}

}  // namespace qtxtest
