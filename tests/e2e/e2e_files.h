// File facts, whole-tree snapshots and output searches shared by the end-to-end tests.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "test_support.h"

namespace qtxtest {

const uint64_t kBase = 131000000000000000ull;
const uint64_t kDay = 864000000000ull;

// A file with its folders and a last-write time.
inline void Put(const TempDir& root, const std::wstring& relative, const std::string& bytes, uint64_t time = kBase) {
    std::wstring full = root / relative;
    MakeFolder(full.substr(0, full.find_last_of(L'\\')));
    ASSERT_TRUE(WriteBytes(full, bytes)) << Narrow(relative);
    ASSERT_TRUE(SetLastWriteTime(full, time));
}

struct FileFacts { uint32_t links = 0; uint64_t index = 0; };

// Link count and file index of a file or folder; zeros when it cannot be opened.
inline FileFacts Facts(const std::wstring& path) {
    BY_HANDLE_FILE_INFORMATION info = {};
    HANDLE file = CreateFileW((L"\\\\?\\" + path).c_str(), 0, 7, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
    if (file != INVALID_HANDLE_VALUE && !GetFileInformationByHandle(file, &info)) info = {};
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return {info.nNumberOfLinks, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

struct Entry {
    bool folder = false;
    std::string bytes;
    uint64_t time = 0, id = 0;
    uint32_t attributes = 0;
    bool operator==(const Entry& o) const {
        return folder == o.folder && bytes == o.bytes && time == o.time && attributes == o.attributes && id == o.id;
    }
};
using TreeMap = std::map<std::wstring, Entry>;

// Every file and folder from root down by path relative to root, "" being root itself.
inline void AddTree(const std::wstring& root, const std::wstring& relative, TreeMap* out) {
    std::wstring path = relative.empty() ? root : root + L"\\" + relative;
    Entry& entry = (*out)[relative];
    entry.attributes = Attributes(path);
    entry.folder = (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.time = LastWriteTime(path);
    entry.id = Facts(path).index;
    if (!entry.folder) entry.bytes = ReadBytesOr(path);
    WIN32_FIND_DATAW data;
    HANDLE search = entry.folder ? FindFirstFileW((L"\\\\?\\" + path + L"\\*").c_str(), &data) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") AddTree(root, relative.empty() ? name : relative + L"\\" + name, out);
    } while (FindNextFileW(search, &data));
    FindClose(search);
}

inline TreeMap Tree(const std::wstring& root) {
    TreeMap tree;
    if (Attributes(root) != INVALID_FILE_ATTRIBUTES) AddTree(root, L"", &tree);
    return tree;
}

// The same names, kinds, bytes and last-write times; a folder's time below the
// root only when folderTimes.
inline void ExpectSameTree(const TreeMap& source, const TreeMap& target, bool folderTimes = true) {
    EXPECT_EQ(source.size(), target.size()) << "entries missing or surplus";
    for (const auto& [path, item] : source) {
        auto found = target.find(path);
        EXPECT_TRUE(found != target.end() && found->second.folder == item.folder && found->second.bytes == item.bytes &&
                    (item.folder && (!folderTimes || path.empty()) ? true : found->second.time == item.time))
            << "missing or different: " << Narrow(path);
    }
}

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The folder a source folder named without a trailing backslash lands in.
inline std::wstring Landed(const TempDir& target, const TempDir& source) {
    return target / source.path().substr(source.path().find_last_of(L'\\') + 1);
}

}  // namespace qtxtest
