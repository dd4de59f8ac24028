// File facts and output searches shared by the end-to-end tests.
#pragma once
#include <windows.h>

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

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Whether the output shows the text, carriage returns of in-place lines left out.
inline bool Shows(const std::string& text, const std::string& part) {
    std::string plain;
    for (char c : text)
        if (c != '\r') plain += c;
    return Has(plain, part);
}

}  // namespace qtxtest
