#include "test_support.h"

#include <windows.h>

#include <atomic>

namespace qtxtest {

namespace {

std::wstring UniqueName() {
    static std::atomic<unsigned> counter{0};
    wchar_t name[96];
    wsprintfW(name, L"qtxtest_%lu_%lu_%u", GetCurrentProcessId(), GetTickCount(), counter++);
    return name;
}

std::wstring Long(const std::wstring& path) {
    if (path.rfind(L"\\\\", 0) == 0) return path;
    return L"\\\\?\\" + path;
}

}  // namespace

TempDir::TempDir() {
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, n);
    if (!base.empty() && base.back() == L'\\') base.pop_back();
    path_ = base + L"\\" + UniqueName();
    CreateDirectoryW(path_.c_str(), nullptr);
}

// A program that just ended may still hold its output files for a moment.
TempDir::~TempDir() {
    for (int i = 0; i < 50 && (RemoveTree(path_), Exists(path_)); ++i) Sleep(10);
}

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(Long(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = h != INVALID_HANDLE_VALUE && WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return ok;
}

bool ReadBytes(const std::wstring& path, std::string* bytes) {
    HANDLE h = CreateFileW(Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    DWORD read = 0;
    bool ok = GetFileSizeEx(h, &size);
    if (ok) bytes->assign(static_cast<size_t>(size.QuadPart), '\0');
    if (ok && size.QuadPart) ok = ReadFile(h, &(*bytes)[0], static_cast<DWORD>(size.QuadPart), &read, nullptr) && read == size.QuadPart;
    CloseHandle(h);
    return ok;
}

std::string ReadBytesOr(const std::wstring& path, const std::string& fallback) {
    std::string bytes;
    return ReadBytes(path, &bytes) ? bytes : fallback;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(Long(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool MakeFolder(const std::wstring& path) {
    if (CreateDirectoryW(Long(path).c_str(), nullptr)) return true;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return true;
    size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut < 3) return false;
    return MakeFolder(path.substr(0, cut)) && CreateDirectoryW(Long(path).c_str(), nullptr);
}

void RemoveTree(const std::wstring& path) {
    std::wstring longPath = Long(path);
    DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(longPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(longPath.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((longPath + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                RemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    RemoveDirectoryW(longPath.c_str());
}

std::string PatternBytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

uint64_t LastWriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(Long(path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
}

bool SetLastWriteTime(const std::wstring& path, uint64_t fileTime) {
    HANDLE h = CreateFileW(Long(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME t = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    BOOL ok = SetFileTime(h, nullptr, nullptr, &t);
    CloseHandle(h);
    return ok != 0;
}

std::vector<uint64_t> FileTimes(const std::wstring& path) {
    std::vector<uint64_t> times(3, 0);
    HANDLE h = CreateFileW(Long(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return times;
    FILETIME t[3];
    if (GetFileTime(h, &t[0], &t[1], &t[2]))
        for (int i = 0; i < 3; ++i) times[i] = (static_cast<uint64_t>(t[i].dwHighDateTime) << 32) | t[i].dwLowDateTime;
    CloseHandle(h);
    return times;
}

uint32_t Attributes(const std::wstring& path) { return GetFileAttributesW(Long(path).c_str()); }

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

static std::wstring QtxPath() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, n);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"qtx.exe";
}

// Runs qtx.exe; stop, polled while it runs, ends it at once when it returns true.
static RunResult RunQtxStopped(const std::wstring& commandTail, const std::wstring& workingFolder,
                               const std::function<bool()>& stop) {
    RunResult result;
    TempDir capture;
    std::wstring outPath = capture / L"stdout.bin", errPath = capture / L"stderr.bin";
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    std::wstring line = L"\"" + QtxPath() + L"\"";
    if (!commandTail.empty()) line += L" " + commandTail;
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    // Wine now and then fails a process start on a loaded machine
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt) Sleep(200);
        started = CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                 workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &process);
    }
    CloseHandle(out);
    CloseHandle(err);
    CloseHandle(in);
    if (!started) {
        result.err = "CreateProcessW failed";
        return result;
    }
    while (WaitForSingleObject(process.hProcess, stop ? 5 : INFINITE) == WAIT_TIMEOUT) {
        if (stop()) {
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    result.exitCode = static_cast<int>(code);
    ReadBytes(outPath, &result.out);
    ReadBytes(errPath, &result.err);
    return result;
}

RunResult RunQtx(const std::wstring& commandTail, const std::wstring& workingFolder) {
    return RunQtxStopped(commandTail, workingFolder, nullptr);
}

static std::wstring Quoted(const std::vector<std::wstring>& arguments) {
    std::wstring tail;
    for (const std::wstring& argument : arguments) {
        if (!tail.empty()) tail += L" ";
        tail += L"\"" + argument + L"\"";
    }
    return tail;
}

RunResult RunQtxKilled(const std::vector<std::wstring>& arguments, const std::function<bool()>& when) {
    return RunQtxStopped(Quoted(arguments), L"", when);
}

RunResult RunQtxArgs(const std::vector<std::wstring>& arguments, const std::wstring& workingFolder) {
    return RunQtx(Quoted(arguments), workingFolder);
}

bool ReadableLines(const std::string& text) {
    if (text.size() < 2 || text.compare(text.size() - 2, 2, "\r\n") != 0) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
        if (text[i] == '\r' && i > 0 && text[i - 1] == ' ') return false;   // no padding at a line's end
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    }
    return true;
}

}  // namespace qtxtest
