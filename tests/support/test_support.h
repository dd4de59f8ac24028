// Helpers shared by the tests: temporary folders, file contents and running qtx.exe.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_ops.h"

namespace qtxtest {

// A fresh folder below the temporary folder, removed with all it holds.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    // path() + "\\" + relative
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string* bytes);
std::string ReadBytesOr(const std::wstring& path, const std::string& fallback = "<missing>");
bool Exists(const std::wstring& path);
bool MakeFolder(const std::wstring& path);   // with missing parents
void RemoveTree(const std::wstring& path);
std::string PatternBytes(size_t size, uint32_t seed = 1);   // reproducible non-trivial content
uint64_t LastWriteTime(const std::wstring& path);
bool SetLastWriteTime(const std::wstring& path, uint64_t fileTime);
// Creation, last-access and last-write time through a handle; zeros when it cannot be read.
std::vector<uint64_t> FileTimes(const std::wstring& path);
uint32_t Attributes(const std::wstring& path);
std::string Narrow(const std::wstring& text);   // UTF-8, for messages
// Redirected output a script can read: CR LF after every line, the last one
// included, and no CR that would rewrite a line in place.
bool ReadableLines(const std::string& text);

struct RunResult {
    int exitCode = -1;
    std::string out;   // standard output, bytes as written
    std::string err;   // standard error, bytes as written
};

// Runs qtx.exe (beside the test binary) with the given command-line tail,
// written exactly as a user would type it, in the given working folder.
RunResult RunQtx(const std::wstring& commandTail, const std::wstring& workingFolder = L"");
// The same with each argument quoted.
RunResult RunQtxArgs(const std::vector<std::wstring>& arguments, const std::wstring& workingFolder = L"");
// The same, ended at once (as by a power cut) when `when`, polled while it runs, returns true.
RunResult RunQtxKilled(const std::vector<std::wstring>& arguments, const std::function<bool()>& when);

}  // namespace qtxtest
